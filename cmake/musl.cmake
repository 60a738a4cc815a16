# SPDX-License-Identifier: MIT
# How musl takes glibc's place in a Debian cross toolchain, for every target:
# included at the end of a toolchain file that has set
#   CMAKE_SYSTEM_PROCESSOR, CMAKE_C_COMPILER and CMAKE_CXX_COMPILER: Debian's
#     cross compiler for the target, built for glibc (g++-<glibc triplet>);
#   EVWAIT_MUSL_TRIPLET: the folder name of Debian's musl-dev for the target
#     (headers in /usr/include/<it>, libraries and specs file in /usr/lib/<it>);
#   CMAKE_CROSSCOMPILING_EMULATOR: the emulator on the oldest CPU the build
#     claims, without a cross root (a static executable needs none).
# Every executable is linked statically against musl.
set(CMAKE_SYSTEM_NAME Linux)

# Executables are linked through the C driver, which unlike g++ adds no
# -lstdc++: the only C++ runtime library here is built for glibc, so code that
# needs one fails to link instead of mixing it in. The header-only parts of the
# C++ library (<atomic>, <cstdio>, ...) need none.
set(CMAKE_CXX_LINK_EXECUTABLE
    "${CMAKE_C_COMPILER} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(EVWAIT_MUSL_INCLUDE /usr/include/${EVWAIT_MUSL_TRIPLET})
set(EVWAIT_MUSL_SPECS /usr/lib/${EVWAIT_MUSL_TRIPLET}/musl-gcc.specs)
if(NOT EXISTS ${EVWAIT_MUSL_SPECS})
  message(FATAL_ERROR "${EVWAIT_MUSL_SPECS} is missing: install Debian's musl-dev for the target")
endif()

# Asked from the compiler rather than spelled out with its version: its own
# header search list for C++ gives the C++ library's folders (in its order)
# and the first folder that holds each of the kernel's header folders (all in
# one folder for a cross compiler; asm/ in the multiarch folder natively).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE compiler_search COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE ".*#include <...> search starts here:\n(.*)\nEnd of search list.*" "\\1"
       compiler_search "${compiler_search}")
string(STRIP "${compiler_search}" compiler_search)
string(REGEX REPLACE "\n *" ";" compiler_search "${compiler_search}")
set(cxx_headers "")
set(kernel_folders linux asm asm-generic)
foreach(dir IN LISTS compiler_search)
  file(REAL_PATH "${dir}" dir)
  if(dir MATCHES "/c\\+\\+/")
    list(APPEND cxx_headers ${dir})
    continue()
  endif()
  foreach(kernel IN LISTS kernel_folders)
    if(NOT DEFINED kernel_${kernel} AND IS_DIRECTORY ${dir}/${kernel})
      set(kernel_${kernel} ${dir}/${kernel})
    endif()
  endforeach()
endforeach()
if(NOT cxx_headers OR NOT DEFINED kernel_linux OR NOT DEFINED kernel_asm OR NOT DEFINED kernel_asm-generic)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} lists no C++ library headers or not all of the kernel's "
                      "linux/, asm/ and asm-generic/")
endif()
# Headers that come with the compiler itself (stddef.h, arm_acle.h, ...).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE compiler_headers OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# The kernel's headers (linux/, asm/, asm-generic/) sit beside glibc's, which
# must stay out of sight: a folder of links to just those three, made once in
# the top build folder. CMake's compiler checks, which read this file again in
# folders of their own, are handed its name instead of making another.
if(NOT EVWAIT_KERNEL_HEADERS)
  set(EVWAIT_KERNEL_HEADERS ${CMAKE_BINARY_DIR}/${EVWAIT_MUSL_TRIPLET}-kernel-headers)
  file(MAKE_DIRECTORY ${EVWAIT_KERNEL_HEADERS})
  foreach(kernel IN LISTS kernel_folders)
    file(CREATE_LINK ${kernel_${kernel}} ${EVWAIT_KERNEL_HEADERS}/${kernel} SYMBOLIC)
  endforeach()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EVWAIT_KERNEL_HEADERS)

# -nostdinc: none of the compiler's own search list, which holds glibc's
# headers. In its place, in the order musl-gcc.specs gives them, musl's headers
# then the compiler's; the kernel's after all of them (-idirafter), so that
# they can shadow nothing of musl's.
set(musl_headers "-isystem ${EVWAIT_MUSL_INCLUDE} -isystem ${compiler_headers} -idirafter ${EVWAIT_KERNEL_HEADERS}")
set(CMAKE_C_FLAGS_INIT "-nostdinc ${musl_headers}")
# The C++ library's folders go first, so that the #include_next <stdlib.h> and
# the like in its headers reach musl's. It was configured for glibc, and its
# bits/os_defines.h tests the glibc version in #if with __GLIBC_PREREQ(), which
# musl lacks; as 0 it says no glibc version is present, and the glibc-only
# branches stay off. (Quoted for the shell that runs each compile.)
list(TRANSFORM cxx_headers PREPEND "-isystem ")
list(JOIN cxx_headers " " cxx_headers)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc ${cxx_headers} ${musl_headers} '-D__GLIBC_PREREQ(major,minor)=0'")

# Every executable, CMake's checks included, is linked statically with musl's
# start files and libc.a (the specs file that comes with musl-dev says which,
# and replaces glibc's). The specs file's link line drops the build ID that
# Debian's compiler adds by itself, which debuggers and dh_strip's separate
# debug symbols go by: asked for again.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-specs=${EVWAIT_MUSL_SPECS} -static -Wl,--build-id")
# The project learns it too: its tests run it as a static executable.
set(EVWAIT_STATIC ON CACHE BOOL "Link evwait statically (always, with this toolchain)" FORCE)
# No C++ runtime library is linked (see above), so nothing that needs one, such
# as the unit tests with GoogleTest, is built.
set(EVWAIT_CXX_RUNTIME OFF CACHE BOOL "The toolchain links the C++ runtime library (never, this one)" FORCE)
