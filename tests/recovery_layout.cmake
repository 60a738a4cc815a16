# SPDX-License-Identifier: MIT
# Installs component "recovery" of the build BINARY_DIR with prefix /usr, as
# `cmake --install --prefix /usr` does, into a scratch DESTDIR, and checks that
# it holds exactly the files each init system of INIT looks for, where it looks
# (the settings and the start script under /etc, not /usr/etc), and that the
# programs are executable. With BUILT true, the whole install too: the gate's
# files and the three programs the gate runs, with their man pages.
cmake_minimum_required(VERSION 3.20)
set(dest ${BINARY_DIR}/recovery-layout)
file(REMOVE_RECURSE ${dest})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${dest}
                        ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix /usr --component recovery
                RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
  message(FATAL_ERROR "cmake --install failed: ${failed}")
endif()
set(programs usr/sbin/evwait-recovery)
set(files etc/default/evwait-recovery usr/share/man/man8/evwait-recovery.8)
if(initramfs-tools IN_LIST INIT)
  list(APPEND programs usr/share/initramfs-tools/hooks/evwait-recovery
                       usr/share/initramfs-tools/scripts/init-premount/evwait-recovery)
endif()
if(initramfs-tools IN_LIST INIT OR dracut IN_LIST INIT)
  list(APPEND files usr/share/evwait-recovery/initramfs-action.sh)
endif()
if(dracut IN_LIST INIT)
  list(APPEND programs usr/lib/dracut/modules.d/90evwait-recovery/module-setup.sh
                       usr/lib/dracut/modules.d/90evwait-recovery/evwait-recovery-hook.sh)
endif()
if(systemd IN_LIST INIT)
  cmake_path(ABSOLUTE_PATH UNIT_DIR BASE_DIRECTORY /usr OUTPUT_VARIABLE unit_dir)
  string(REGEX REPLACE "^/" "" unit_dir "${unit_dir}")
  list(APPEND files ${unit_dir}/evwait-recovery.service ${unit_dir}/evwait-recovery-action.service)
endif()
if(sysv IN_LIST INIT)
  list(APPEND programs etc/init.d/S12evwait-recovery)
endif()
function(check_layout dest programs files)
  file(GLOB_RECURSE got RELATIVE ${dest} ${dest}/*)
  set(want ${programs} ${files})
  list(SORT got)
  list(SORT want)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "installed:\n  ${got}\nwant:\n  ${want}")
  endif()
  foreach(program IN LISTS programs)
    execute_process(COMMAND test -x ${dest}/${program} RESULT_VARIABLE not_executable)
    if(not_executable)
      message(FATAL_ERROR "${program} is not executable")
    endif()
  endforeach()
  message("installed with prefix /usr: ${want}")
endfunction()
check_layout(${dest} "${programs}" "${files}")

if(BUILT)
  file(REMOVE_RECURSE ${dest})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${dest} ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix /usr
                  RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "cmake --install failed: ${failed}")
  endif()
  foreach(name IN ITEMS evwait evwait-held evwait-trigger)
    list(APPEND programs usr/bin/${name})
    list(APPEND files usr/share/man/man1/${name}.1)
  endforeach()
  check_layout(${dest} "${programs}" "${files}")
endif()
