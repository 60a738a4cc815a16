# SPDX-License-Identifier: MIT
# Cross-build for 32-bit ARM Linux (hard float) with Debian's
# g++-arm-linux-gnueabihf; tests run under qemu-arm from qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Debian's cross compiler finds its own headers and libraries here; it is not
# a --sysroot, so only CMake's searches are pointed at it.
set(EVWAIT_ARM_ROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${EVWAIT_ARM_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A dynamic executable finds its loader and libraries in the cross root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${EVWAIT_ARM_ROOT})
