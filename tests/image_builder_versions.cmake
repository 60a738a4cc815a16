# SPDX-License-Identifier: MIT
# cmake -DSOURCE_DIR=... -DVERSION=... -P image_builder_versions.cmake
# The Buildroot package and the Yocto recipe build the checkout they sit in:
# their version must be project(VERSION), and the recipe's licence checksum
# the md5 of LICENSE, or the image names the wrong version or the Yocto build
# stops on the licence. Fails with every mismatch it finds.
cmake_policy(VERSION 3.20)
file(MD5 "${SOURCE_DIR}/LICENSE" license_md5)
set(mk "${SOURCE_DIR}/buildroot/package/evwait/evwait.mk")
set(bb "${SOURCE_DIR}/meta-evwait/recipes-support/evwait/evwait.bb")
set(wrong "")
# The one line of FILE that matches REGEX must hold EXPECTED in its group.
function(expect file regex expected)
  file(STRINGS "${file}" lines REGEX "${regex}")
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    set(wrong "${wrong}\n  ${file}: ${count} lines match '${regex}', expected one" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "\\;" ";" line "${lines}") # file(STRINGS) escapes a line's ;
  if(NOT line MATCHES "${regex}" OR NOT CMAKE_MATCH_1 STREQUAL expected)
    set(wrong "${wrong}\n  ${file}: '${CMAKE_MATCH_1}' where '${expected}' belongs (${regex})" PARENT_SCOPE)
  endif()
endfunction()
expect("${mk}" "^EVWAIT_VERSION = (.*)$" "${VERSION}")
expect("${bb}" "^PV = \"([^\"]*)\"$" "${VERSION}")
expect("${bb}" "^LIC_FILES_CHKSUM = \"file://LICENSE;md5=([0-9a-f]*)\"$" "${license_md5}")
if(wrong)
  message(FATAL_ERROR "The image builders' files do not match the tree:${wrong}")
endif()
message(STATUS "evwait.mk and evwait.bb name version ${VERSION}; the recipe's licence md5 is ${license_md5}")
