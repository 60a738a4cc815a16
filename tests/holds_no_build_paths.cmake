# SPDX-License-Identifier: MIT
# cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DFILES=<file>[,<file>...] -P holds_no_build_paths.cmake
# Fails when any of the files holds the path of the source or the build
# folder, as `strings` would find it: the same source built in another folder
# would then give other bytes.
cmake_policy(VERSION 3.20)
string(REPLACE "," ";" files "${FILES}")
set(found "")
foreach(file IN LISTS files)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file} does not exist")
  endif()
  foreach(dir IN ITEMS "${SOURCE_DIR}" "${BINARY_DIR}")
    string(REGEX REPLACE "([][+.*?()^$|\\\\])" "\\\\\\1" pattern "${dir}")
    file(STRINGS "${file}" hits REGEX "${pattern}" LIMIT_COUNT 1)
    if(hits)
      list(APPEND found "${file} holds ${dir}")
    endif()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " found)
  message(FATAL_ERROR "Build folders named in the executables:\n  ${found}")
endif()
message(STATUS "Neither ${SOURCE_DIR} nor ${BINARY_DIR} in ${FILES}")
