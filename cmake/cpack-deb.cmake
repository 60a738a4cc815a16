# SPDX-License-Identifier: MIT
# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the files are staged, before the
# package is made: stops with a clear message when the package would be wrong,
# sets the time stamps and folder modes it gets, and sets its Depends from
# what the staged executables really reference.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  # CPack would otherwise label it with the build machine's architecture.
  message(FATAL_ERROR "No Debian architecture is known for this target: "
                      "configure with -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE=<arch>")
endif()

if(NOT CPACK_EVWAIT_GZIP)
  message(FATAL_ERROR "gzip was not found at configure time: a package needs its man page "
                      "and changelog compressed")
endif()
# The changelog's latest entry must be the one for this version.
file(READ "${CPACK_EVWAIT_CHANGELOG}" changelog)
string(REGEX MATCH "^[^\n]*" entry "${changelog}")
string(REPLACE "." "\\." version "${CPACK_PACKAGE_VERSION}")
if(NOT entry MATCHES "^[a-z0-9][a-z0-9+.-]+ \\(${version}\\) ")
  message(FATAL_ERROR "The latest entry of ${CPACK_EVWAIT_CHANGELOG} is not for version "
                      "${CPACK_PACKAGE_VERSION}:\n  ${entry}\nAdd an entry for the new version.")
endif()

# Time stamps. CPack's DEB generator reads SOURCE_DATE_EPOCH from its own
# environment as it writes the archives, gives that time to the ar members
# and to every entry of the control and data tars, and leaves the time out of
# the tars' gzip headers. Set here, it reaches the generator however cpack was
# started: by hand, by a package preset or by the package target. Unless the
# caller set one, it is the date of the changelog's newest entry: the same
# source gives the same package, with or without its git history.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    # CPack would ignore it and take the files' own times.
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is '$ENV{SOURCE_DATE_EPOCH}', not a number of seconds since 1970")
  endif()
  message(STATUS "Time stamps from SOURCE_DATE_EPOCH: $ENV{SOURCE_DATE_EPOCH}")
else()
  include(${CMAKE_CURRENT_LIST_DIR}/changelog-date.cmake)
  evwait_changelog_epoch("${changelog}" epoch why)
  if(why)
    message(FATAL_ERROR "${CPACK_EVWAIT_CHANGELOG}: ${why}.\nThe package's time stamps are taken from there "
                        "(or from SOURCE_DATE_EPOCH in the environment).")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  message(STATUS "Time stamps from the changelog's newest entry: SOURCE_DATE_EPOCH=${epoch}")
endif()

# Modes. install() sets every file's mode, but the folders it creates get
# the mode the umask leaves: rwx------ under 077, rwxrwxr-x under 002. CMake
# 3.25 hands CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS to mkdir(), which the
# umask masks too, so the staged folders are made rwxr-xr-x here, the mode
# Debian gives folders.
file(GLOB_RECURSE staged_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(dir IN LISTS staged_dirs)
  if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
    file(CHMOD "${dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                              GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

# gzip -n leaves the input's name and time out of a compressed document. A
# gzip that kept them would put the build folder's clock into the package.
file(GLOB_RECURSE gzipped LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*.gz")
foreach(file IN LISTS gzipped)
  # Bytes 0-2: magic and method; 3: flags, of which 8 says a name follows;
  # 4-7: the time, 0 for none.
  file(READ "${file}" header LIMIT 8 HEX)
  string(SUBSTRING "${header}" 6 2 flags)
  string(SUBSTRING "${header}" 8 8 time)
  math(EXPR named "0x${flags} & 8")
  if(NOT named EQUAL 0 OR NOT time STREQUAL "00000000")
    file(RELATIVE_PATH shown "${CPACK_TEMPORARY_DIRECTORY}" "${file}")
    message(FATAL_ERROR "${shown} holds its file's name or time: ${CPACK_EVWAIT_GZIP} ignored -n")
  endif()
endforeach()

# Depends. A dynamic executable needs the C library package in at least the
# version that first had every symbol version the executable asks for: glibc
# names them GLIBC_2.x after the release that brought them. A static one
# needs nothing. Only glibc's own libraries can be mapped this way; any other
# library stops the packaging, unless a Depends was given at configure time.
if(CPACK_DEBIAN_PACKAGE_DEPENDS)
  message(STATUS "Depends as configured: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
  return()
endif()
if(NOT CPACK_EVWAIT_READELF)
  message(FATAL_ERROR "readelf was not found at configure time: it reads the libraries the executable needs")
endif()

# The libraries of glibc, all of them in Debian's libc6, the loader included.
set(glibc_library "^(libc\\.so\\.6|libm\\.so\\.6|libpthread\\.so\\.0|libdl\\.so\\.2|librt\\.so\\.1|libresolv\\.so\\.2|libutil\\.so\\.1|libanl\\.so\\.1|ld-linux[-a-z0-9_]*\\.so\\.[0-9]+|ld64\\.so\\.[12]|ld\\.so\\.1)$")
set(uses_libc FALSE)
set(libc_version "")
set(foreign "")

file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  file(RELATIVE_PATH shown "${CPACK_TEMPORARY_DIRECTORY}" "${file}")
  # The messages of readelf are translated; the C locale keeps them parseable.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C
                          ${CPACK_EVWAIT_READELF} --wide --dynamic --version-info "${file}"
                  OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CPACK_EVWAIT_READELF} cannot read ${shown}:\n${errors}")
  endif()
  string(REPLACE "\n" ";" lines "${dump}")
  set(library "")
  foreach(line IN LISTS lines)
    if(line MATCHES "\\(NEEDED\\) +Shared library: \\[([^]]+)\\]")
      set(needed "${CMAKE_MATCH_1}")
      if(needed MATCHES "${glibc_library}")
        set(uses_libc TRUE)
      else()
        list(APPEND foreign "${shown} needs ${needed}")
      endif()
    elseif(line MATCHES "Version: [0-9]+ +File: ([^ ]+) +Cnt:")
      # A list of the versions needed from one library follows.
      set(library "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ *0x[0-9a-f]+: +Name: ([^ ]+) +Flags:")
      set(name "${CMAKE_MATCH_1}")
      if(NOT library MATCHES "${glibc_library}")
        # Another library's needs are reported through its NEEDED entry.
        continue()
      elseif(name MATCHES "^GLIBC_([0-9]+(\\.[0-9]+)+)$")
        set(version "${CMAKE_MATCH_1}")
      elseif(name STREQUAL "GLIBC_ABI_DT_RELR")
        # Packed relative relocations, understood by the loader since 2.36.
        set(version 2.36)
      else()
        message(FATAL_ERROR "${shown} needs ${name} from ${library}, which no libc6 version stands for")
      endif()
      if(version VERSION_GREATER libc_version)
        set(libc_version "${version}")
      endif()
    endif()
  endforeach()
endforeach()

if(foreign)
  list(JOIN foreign "\n  " foreign)
  message(FATAL_ERROR "Only the C library can be named as a dependency, but\n  ${foreign}\n"
                      "Link those libraries statically, or configure with -DCPACK_DEBIAN_PACKAGE_DEPENDS=...")
endif()
if(uses_libc AND libc_version)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${libc_version})")
elseif(uses_libc)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
endif()
if(CPACK_DEBIAN_PACKAGE_DEPENDS)
  message(STATUS "Depends from the staged executables: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
else()
  message(STATUS "Depends from the staged executables: none, they load no shared library")
endif()
