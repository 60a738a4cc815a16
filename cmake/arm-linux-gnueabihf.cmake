# SPDX-License-Identifier: MIT
# Cross-build for 32-bit ARM Linux with hard float (Debian armhf: ARMv7-A and
# later) with Debian's g++-arm-linux-gnueabihf; tests run under qemu-arm from
# qemu-user on a Cortex-A8, the oldest CPU the compiler's default target
# (ARMv7-A with VFPv3-D16) runs on, so that code needing a newer one fails them.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(EVWAIT_CROSS_ROOT /usr/arm-linux-gnueabihf)
# A dynamic executable finds its loader and libraries in the cross root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu cortex-a8 -L ${EVWAIT_CROSS_ROOT})
include(${CMAKE_CURRENT_LIST_DIR}/glibc.cmake)
