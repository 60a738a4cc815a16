# SPDX-License-Identifier: MIT
# The documents installed beside the executable, and the Debian package:
# cpack -G DEB in the build folder. Configuring and building need nothing
# from here but CMake and the compiler; what only a package needs is worked
# out by cpack (cmake/cpack-deb.cmake).

set(CPACK_PACKAGE_CONTACT "evwait maintainers <maintainers@users.noreply.c-seed-e7baa5e2.example>")
# The summary is the project's description. Debian takes an empty line as
# the start of a new paragraph.
set(CPACK_PACKAGE_DESCRIPTION "evwait answers one question: did any input event arrive within five seconds
of the start, and what was its product? It opens /dev/input/event0, event1
and event2, waits five seconds, prints the first event that arrives and exits
with the low byte of the product of its code, type and value, or with 255
when none came.

The kernel reports changes, not states: the first record of a key press may
be a scan code rather than the key, and a key held since before the start
shows only through auto-repeat, if at all. evwait does not tell whether a key
is held.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES ON)

# Each variant is a package of its own, so that a static build is never taken
# for the dynamic one, in a repository or on a device.
set(EVWAIT_PACKAGE_NAME "" CACHE STRING
    "Debian package name (empty: evwait, or evwait-static for a static build)")
if(EVWAIT_PACKAGE_NAME)
  set(evwait_package "${EVWAIT_PACKAGE_NAME}")
elseif(EVWAIT_STATIC)
  set(evwait_package evwait-static)
else()
  set(evwait_package evwait)
endif()
if(NOT evwait_package MATCHES "^[a-z0-9][a-z0-9+.-]+$")
  message(FATAL_ERROR "EVWAIT_PACKAGE_NAME '${evwait_package}' is no Debian package name: "
                      "lower-case letters, digits, '+', '-' and '.', at least two")
endif()
set(CPACK_DEBIAN_PACKAGE_NAME "${evwait_package}")
if(NOT evwait_package STREQUAL "evwait")
  # Every variant installs the same /usr/bin/evwait. Each one provides evwait
  # and conflicts with it, which is the conflict with every other package that
  # provides it too: only one variant is ever installed, and it takes over the
  # files of the one it replaces.
  set(CPACK_DEBIAN_PACKAGE_SOURCE evwait)
  set(CPACK_DEBIAN_PACKAGE_PROVIDES "evwait (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS evwait)
  set(CPACK_DEBIAN_PACKAGE_REPLACES evwait)
endif()

# Documents installed beside the executable, where a Debian package keeps
# them: usr/share/doc/<package> holds the licence as a machine-readable
# copyright file and the changelog, the man page goes to man1.
if("$CACHE{CMAKE_INSTALL_DOCDIR}" STREQUAL "")
  set(CMAKE_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${evwait_package}")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Man pages and changelogs are read compressed. gzip -n leaves out the name
# and time of the input, so that the same text gives the same bytes in every
# build. gzip runs on the build machine; without it they are installed as
# they are, which is enough for a plain install but not for a package.
find_program(EVWAIT_GZIP gzip NO_CMAKE_FIND_ROOT_PATH)
set(compressed "")
foreach(document IN ITEMS "${CMAKE_CURRENT_BINARY_DIR}/evwait.1;${CMAKE_INSTALL_MANDIR}/man1"
                          "${PROJECT_SOURCE_DIR}/packaging/changelog;${CMAKE_INSTALL_DOCDIR}")
  list(GET document 0 source)
  list(GET document 1 destination)
  if(EVWAIT_GZIP)
    get_filename_component(name "${source}" NAME)
    set(copy "${CMAKE_CURRENT_BINARY_DIR}/compressed/${name}")
    add_custom_command(OUTPUT "${copy}.gz"
                       COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${copy}"
                       COMMAND ${EVWAIT_GZIP} -9nf "${copy}"
                       DEPENDS "${source}" VERBATIM)
    list(APPEND compressed "${copy}.gz")
    install(FILES "${copy}.gz" DESTINATION "${destination}")
  else()
    install(FILES "${source}" DESTINATION "${destination}")
  endif()
endforeach()
add_custom_target(evwait_compressed_documents ALL DEPENDS ${compressed})
if(EVWAIT_STATIC AND NOT evwait_package MATCHES "-static$")
  # Lintian reports a static executable as an error unless the package says
  # that it is static on purpose; it takes a package named *-static to be
  # static on purpose already, and reports an override there as unused.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/static.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${evwait_package})
endif()

# The package's architecture is the target's, named as Debian names it. Left
# empty, it follows from the compiler's target triplet, so that a cross-build
# is not labelled with the build machine's architecture.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "" CACHE STRING
    "Debian architecture of the package (empty: from the compiler's target)")
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(triplet "${CMAKE_CXX_COMPILER_TARGET}")
  if(NOT triplet)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                    OUTPUT_VARIABLE triplet OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  # Debian 12's release architectures. An x86-64 compiler that makes 32-bit
  # code (-m32) still names its default target.
  if(triplet MATCHES "^x86_64-" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  elseif(triplet MATCHES "^x86_64-")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  elseif(triplet MATCHES "^i[3-6]86-")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  elseif(triplet MATCHES "^aarch64-")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(triplet MATCHES "^arm.*-linux-(gnu|musl)eabihf$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(triplet MATCHES "^arm.*-linux-(gnu|musl)eabi$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armel)
  elseif(triplet MATCHES "^mips64el-")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mips64el)
  elseif(triplet MATCHES "^mipsel-")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
  elseif(triplet MATCHES "^powerpc64le-")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ppc64el)
  elseif(triplet MATCHES "^s390x-")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE s390x)
  else()
    message(STATUS "No Debian architecture known for target '${triplet}': "
                   "set CPACK_DEBIAN_PACKAGE_ARCHITECTURE to make a package")
  endif()
endif()

# Read by cpack once the files are staged: checks what a package needs,
# sets its time stamps and derives its dependencies from the executable
# itself. The second runs once the package is made, and takes the umask out
# of its ar headers.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-deb.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-deb-modes.cmake)
set(CPACK_EVWAIT_READELF "${CMAKE_READELF}")
set(CPACK_EVWAIT_GZIP "${EVWAIT_GZIP}")
set(CPACK_EVWAIT_CHANGELOG "${PROJECT_SOURCE_DIR}/packaging/changelog")
include(CPack)
