# SPDX-License-Identifier: MIT
# Cross-build for 64-bit ARM Linux (ARMv8-A and later) against musl, always
# linked statically: Debian's g++-aarch64-linux-gnu compiles, musl-dev:arm64
# brings the C library. The executable needs no loader and no library on the
# target, and runs under the bare qemu-aarch64 from qemu-user, on a
# Cortex-A53: the oldest CPU the compiler's default target (ARMv8-A) runs on.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# musl's headers in /usr/include/<this>, its libraries in /usr/lib/<this>.
set(EVWAIT_MUSL_TRIPLET aarch64-linux-musl)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu cortex-a53)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
