# SPDX-License-Identifier: MIT
# Cross-build for 32-bit ARM Linux with soft float (Debian armel: ARMv5TE and
# later) with Debian's g++-arm-linux-gnueabi; tests run under qemu-arm from
# qemu-user on an ARM926EJ-S, the oldest CPU the compiler's default target
# (ARMv5TE) runs on, so that code needing a newer one fails them.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(EVWAIT_CROSS_ROOT /usr/arm-linux-gnueabi)
# A dynamic executable finds its loader and libraries in the cross root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm926 -L ${EVWAIT_CROSS_ROOT})
include(${CMAKE_CURRENT_LIST_DIR}/glibc.cmake)
