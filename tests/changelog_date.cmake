# SPDX-License-Identifier: MIT
# cmake -DCHANGELOG=packaging/changelog -P changelog_date.cmake
# The date of a changelog's newest entry, read by cmake/changelog-date.cmake,
# against GNU date: each closing line is written by date from a moment and
# a time zone, and must be read back as that moment. Dates that do not exist
# must be refused, with a reason.
cmake_policy(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/changelog-date.cmake)
find_program(DATE date REQUIRED)
set(failures "")

function(closing_line epoch zone format out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=${zone} LC_ALL=C ${DATE} -d @${epoch} "+${format}"
                  OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out} " -- A Maintainer <a@example.org>  ${date}" PARENT_SCOPE)
endfunction()

function(expect_epoch what text epoch)
  evwait_changelog_epoch("${text}" got why)
  if(NOT got STREQUAL "${epoch}")
    set(failures "${failures}\n  ${what}: read ${got} (${why}), expected ${epoch}" PARENT_SCOPE)
  else()
    message(STATUS "ok ${what}: ${got}")
  endif()
endfunction()

function(expect_refusal what text)
  evwait_changelog_epoch("${text}" got why)
  if(NOT got STREQUAL "" OR why STREQUAL "")
    set(failures "${failures}\n  ${what}: read '${got}' with reason '${why}', expected a refusal" PARENT_SCOPE)
  else()
    message(STATUS "ok ${what}: refused, ${why}")
  endif()
endfunction()

set(entry "evwait (1.0.0) unstable; urgency=medium\n\n  * Something.\n\n")
set(rfc "%a, %d %b %Y %H:%M:%S %z")

# Moments at the edges of days, months, years and leap days, seen from time
# zones east and west of UTC (POSIX TZ: "XXX-01:00" is one hour east).
foreach(case IN ITEMS "0 UTC0" "951782400 UTC0" "951782399 XXX-01:00" "1709251199 XXX+03:30"
                      "4107542400 XXX+12" "4107542399 UTC0" "1798761599 XXX-14" "1796731200 UTC0"
                      "2147483648 XXX+05:45")
  string(REPLACE " " ";" case "${case}")
  list(GET case 0 epoch)
  list(GET case 1 zone)
  closing_line(${epoch} ${zone} "${rfc}" line)
  expect_epoch("'${line}'" "${entry}${line}\n" ${epoch})
endforeach()
# Debian's tools also write the day of the month without a leading zero.
closing_line(1796731200 XXX+01 "%a, %-d %b %Y %H:%M:%S %z" line)
expect_epoch("'${line}'" "${entry}${line}\n" 1796731200)

# The newest entry is the first; an older one below must not be taken.
closing_line(1796731200 UTC0 "${rfc}" newer)
closing_line(1700000000 UTC0 "${rfc}" older)
expect_epoch("the first of two entries" "${entry}${newer}\n\n${entry}${older}\n" 1796731200)

# The project's own changelog, as GNU date reads its date.
file(READ "${CHANGELOG}" changelog)
string(REGEX MATCH "\n -- [^\n]*>  ([^\n]*)" trailer "${changelog}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${DATE} -d "${CMAKE_MATCH_1}" +%s
                OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
expect_epoch("${CHANGELOG}" "${changelog}" ${epoch})

# Dates that are no dates, and lines that are not closing lines.
foreach(case IN ITEMS "a weekday that does not fit|Mon, 08 Dec 2026 12:00:00 +0000"
                      "29 February of a year that is not a leap year|Mon, 29 Feb 2100 00:00:00 +0000"
                      "31 April|Fri, 31 Apr 2026 00:00:00 +0000"
                      "hour 24|Tue, 08 Dec 2026 24:00:00 +0000"
                      "a month's name in German|Tue, 08 Dez 2026 12:00:00 +0000"
                      "a zone without minutes|Tue, 08 Dec 2026 12:00:00 +00"
                      "before 1970 in UTC|Thu, 01 Jan 1970 00:30:00 +0100"
                      "a year before 1970|Wed, 31 Dec 1969 23:59:59 +0000")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 what)
  list(GET case 1 date)
  expect_refusal("${what}" "${entry} -- A Maintainer <a@example.org>  ${date}\n")
endforeach()
expect_refusal("one space after the mail address"
               "${entry} -- A Maintainer <a@example.org> Tue, 08 Dec 2026 12:00:00 +0000\n")
expect_refusal("no closing line" "${entry}")

if(failures)
  message(FATAL_ERROR "Changelog dates read wrongly:${failures}")
endif()
