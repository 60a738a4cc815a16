# SPDX-License-Identifier: MIT
# Cross-build for 64-bit ARM Linux (Debian arm64: ARMv8-A and later) with
# Debian's g++-aarch64-linux-gnu; tests run under qemu-aarch64 from qemu-user
# on a Cortex-A53, the oldest CPU the compiler's default target (ARMv8-A) runs
# on, so that code needing a newer one fails them.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(EVWAIT_CROSS_ROOT /usr/aarch64-linux-gnu)
# A dynamic executable finds its loader and libraries in the cross root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu cortex-a53 -L ${EVWAIT_CROSS_ROOT})
include(${CMAKE_CURRENT_LIST_DIR}/glibc.cmake)
