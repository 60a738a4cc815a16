# SPDX-License-Identifier: MIT
# A toolchain file as an image builder (Buildroot, Yocto) writes one: it names
# the system and the cross compilers, and none of what the project's own
# toolchain files in cmake/ add. A build with it must get from CMakeLists.txt
# alone what the program needs, 64-bit time_t on 32-bit glibc among it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Only for the tests, which an image builder does not run: qemu-arm on the
# armhf compiler's oldest CPU, with the loader and libraries of Debian's cross
# root (-L), which also comes first for the library search (-E, see
# cmake/glibc.cmake).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu cortex-a8 -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/lib)
