# SPDX-License-Identifier: MIT
# Cross-build for 32-bit ARM Linux with soft float (ARMv5TE and later) against
# musl, always linked statically: Debian's g++-arm-linux-gnueabi compiles,
# musl-dev:armel brings the C library. The executable needs no loader and no
# library on the target, so it runs on any ARM Linux from ARMv5TE on, with a
# hard- or soft-float root filesystem of any C library. Tests run under the
# bare qemu-arm from qemu-user on an ARM926EJ-S, the oldest CPU the compiler's
# default target (ARMv5TE) runs on.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
# musl's headers in /usr/include/<this>, its libraries in /usr/lib/<this>.
set(EVWAIT_MUSL_TRIPLET arm-linux-musleabi)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm926)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
