# SPDX-License-Identifier: MIT
# The Debian package: cpack -G DEB in the build folder. What only a package
# needs is worked out by cpack (cmake/cpack-deb.cmake).

set(CPACK_PACKAGE_CONTACT "evwait maintainers <maintainers@users.noreply.c-seed-e7baa5e2.example>")
set(CPACK_PACKAGE_DESCRIPTION "Opens /dev/input/event0, event1 and event2, waits five seconds for one
input event, prints it and exits with the product of its code, type and value,
or with 255 when none came. Boot scripts use it to ask whether a key is held.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES ON)

if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  # Left alone, CPack would label the package with the build machine's architecture.
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
endif()

# Read by cpack once the files are staged: derives the package's dependencies
# from the executable itself.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-deb.cmake)
set(CPACK_EVWAIT_READELF "${CMAKE_READELF}")
include(CPack)
