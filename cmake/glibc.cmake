# SPDX-License-Identifier: MIT
# A Debian cross toolchain with its own glibc, for every target: included at
# the end of a toolchain file that has set
#   CMAKE_SYSTEM_PROCESSOR, CMAKE_C_COMPILER and CMAKE_CXX_COMPILER: Debian's
#     cross compiler for the target (g++-<triplet>);
#   EVWAIT_CROSS_ROOT: the folder that holds the target's loader and glibc
#     libraries, and glibc's headers (/usr/<triplet>);
#   CMAKE_CROSSCOMPILING_EMULATOR: the emulator on the oldest CPU the build
#     claims, told to take the loader and libraries of a dynamic executable
#     from EVWAIT_CROSS_ROOT (-L, which the static build's tests leave out).
set(CMAKE_SYSTEM_NAME Linux)

# The emulator finds the loader in the cross root (-L), but every path missing
# there it takes from the host, and Debian's loader looks in the multiarch
# folder /lib/<triplet> first, which the cross root lacks: on a host with the
# target's own libc6 installed (as cross builds of Debian packages need), the
# cross root's loader would meet the host's libc.so.6 of another version and
# crash. The guest's /lib, searched first, is the cross root's.
list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=/lib)

# Debian's cross compiler finds its own headers and libraries in the cross
# root; it is not a --sysroot, so only CMake's searches are pointed at it.
set(CMAKE_FIND_ROOT_PATH ${EVWAIT_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
