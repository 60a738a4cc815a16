# SPDX-License-Identifier: MIT
# Run by cpack (CPACK_POST_BUILD_SCRIPTS) once a package is made, before it is
# copied out of the packaging folder. CPack 3.25 gives each member of the
# .deb's ar archive (debian-binary, control.tar.*, data.tar.*) the mode its
# file had on disk, which the umask decided: under umask 077 they read
# rw-------, and the same source gave other bytes. This rewrites every such
# header with the mode rw-r--r-- (what dpkg-deb writes), from the members
# CPack left in the packaging folder, and leaves all else as it was.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(mode "100644  ")  # the header's mode field: 8 characters, octal, padded with spaces
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(READ "${package}" magic LIMIT 8)
  if(NOT magic STREQUAL "!<arch>\n")
    message(FATAL_ERROR "${package} is no ar archive")
  endif()
  file(SIZE "${package}" size)
  set(pieces_dir "${CPACK_TOPLEVEL_DIRECTORY}/ar-pieces")
  file(REMOVE_RECURSE "${pieces_dir}")
  file(WRITE "${pieces_dir}/magic" "${magic}")
  set(pieces "${pieces_dir}/magic")
  set(rewritten FALSE)
  set(offset 8)
  set(index 0)
  while(offset LESS size)
    # Header: name 16, time 12, owner 6, group 6, mode 8, size 10, "`\n".
    file(READ "${package}" header OFFSET ${offset} LIMIT 60)
    string(SUBSTRING "${header}" 0 16 name)
    string(STRIP "${name}" name)
    string(SUBSTRING "${header}" 40 8 member_mode)
    string(SUBSTRING "${header}" 48 10 length)
    string(STRIP "${length}" length)
    string(SUBSTRING "${header}" 58 2 end)
    if(NOT end STREQUAL "`\n" OR NOT length MATCHES "^[0-9]+$" OR NOT name MATCHES "^[a-z][a-z.-]*$")
      message(FATAL_ERROR "${package}: no ar member header at byte ${offset}")
    endif()
    math(EXPR data "${offset} + 60")
    math(EXPR next "${data} + ${length} + ${length} % 2")

    # The member's bytes come from its file in the packaging folder, which
    # must hold exactly what the archive holds.
    set(member "${CPACK_TEMPORARY_DIRECTORY}/${name}")
    if(NOT EXISTS "${member}")
      message(FATAL_ERROR "${package}: member ${name} is not in ${CPACK_TEMPORARY_DIRECTORY}")
    endif()
    file(READ "${package}" archived OFFSET ${data} LIMIT ${length} HEX)
    file(READ "${member}" on_disk HEX)
    if(NOT archived STREQUAL on_disk)
      message(FATAL_ERROR "${package}: member ${name} differs from ${member}")
    endif()

    if(NOT member_mode STREQUAL mode)
      set(rewritten TRUE)
    endif()
    string(SUBSTRING "${header}" 0 40 before)
    string(SUBSTRING "${header}" 48 12 after)
    file(WRITE "${pieces_dir}/${index}-header" "${before}${mode}${after}")
    list(APPEND pieces "${pieces_dir}/${index}-header" "${member}")
    math(EXPR padding "${data} + ${length}")
    if(length MATCHES "[13579]$" AND padding LESS size)
      # Members start on even offsets: a newline fills the gap.
      file(READ "${package}" byte OFFSET ${padding} LIMIT 1 HEX)
      if(NOT byte STREQUAL "0a")
        message(FATAL_ERROR "${package}: member ${name} is followed by byte 0x${byte}, not a newline")
      endif()
      file(WRITE "${pieces_dir}/${index}-padding" "\n")
      list(APPEND pieces "${pieces_dir}/${index}-padding")
    endif()
    set(offset ${next})
    math(EXPR index "${index} + 1")
  endwhile()

  if(rewritten)
    execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${pieces} OUTPUT_FILE "${package}.modes"
                    RESULT_VARIABLE failed)
    file(SIZE "${package}.modes" new_size)
    if(failed OR NOT new_size EQUAL size)
      message(FATAL_ERROR "${package}: rewriting the members' modes failed")
    endif()
    file(RENAME "${package}.modes" "${package}")
    message(STATUS "Members of ${package} given mode ${mode}")
  endif()
  file(REMOVE_RECURSE "${pieces_dir}")
endforeach()
