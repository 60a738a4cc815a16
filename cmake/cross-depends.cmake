# SPDX-License-Identifier: MIT
# Read by cpack (CPACK_PROJECT_CONFIG_FILE) for a dynamic cross-build: asks
# dpkg-shlibdeps which packages the executable needs on the target. The cross
# packages that stand in for the target's libraries describe them as, e.g.,
# "libc6:armhf" or "libgcc-s1-armhf-cross"; on the target these are libc6 and
# libgcc-s1.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps)
  file(WRITE ${work}/debian/control "Source: evwait\n")
  execute_process(COMMAND dpkg-shlibdeps -O -l${CPACK_EVWAIT_TARGET_LIBDIR} ${CPACK_EVWAIT_EXECUTABLE}
                  WORKING_DIRECTORY ${work} RESULT_VARIABLE failed OUTPUT_VARIABLE depends ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "dpkg-shlibdeps failed:\n${errors}")
  endif()
  set(arch ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
  string(REGEX REPLACE "^shlibs:Depends=|\n" "" depends "${depends}")
  string(REGEX REPLACE ":${arch}|-${arch}-cross" "" CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
endif()
