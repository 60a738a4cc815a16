# SPDX-License-Identifier: MIT
# Cross-build for 32-bit ARM Linux with hard float (ARMv7-A and later) against
# musl, always linked statically: Debian's g++-arm-linux-gnueabihf compiles,
# musl-dev:armhf brings the C library. The executable needs no loader and no
# library on the target, and runs under the bare qemu-arm from qemu-user, on a
# Cortex-A8: the oldest CPU the compiler's default target (ARMv7-A with
# VFPv3-D16) runs on.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# musl's headers in /usr/include/<this>, its libraries in /usr/lib/<this>.
set(EVWAIT_MUSL_TRIPLET arm-linux-musleabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu cortex-a8)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
