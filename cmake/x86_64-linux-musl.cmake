# SPDX-License-Identifier: MIT
# Build for 64-bit x86 Linux against musl, always linked statically: Debian's
# g++ compiles, musl-dev brings the C library. The executable needs no loader
# and no library on the target (an x86 board with any root filesystem) and
# runs here without an emulator.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++)
# musl's headers in /usr/include/<this>, its libraries in /usr/lib/<this>.
set(EVWAIT_MUSL_TRIPLET x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
