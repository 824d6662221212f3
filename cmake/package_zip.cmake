# Writes the Windows ZIP and its .sha256 so that the same commit gives the
# same bytes wherever, whenever and however it is checked out and built:
# every entry carries one time (the last commit's), the entries are in sorted
# order with fixed permissions, and no path outside the package is named.
# Runs under any CMake, Windows' included: no shell, no zip program.
#   cmake -DNAME=pkg -DOUT=dir -DSOURCE_DIR=src -DPROGRAMS=a.exe|b.exe
#         -DDOCS=README.md|... [-DSTRIP=strip] [-DGIT=git] -P package_zip.cmake
# PROGRAMS are built files (a leading "|" is ignored), DOCS are relative to
# SOURCE_DIR; all go flat into the one top-level folder NAME. Writes
# OUT/NAME.zip and OUT/NAME.zip.sha256 (sha256sum's format).
# CMake's archiver (before 4.3, with no option to change it) also records the
# numeric user and group id of the account that builds: builds under other
# ids differ in those bytes.
foreach(var NAME OUT SOURCE_DIR PROGRAMS DOCS)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "package_zip: ${var} not set")
  endif()
endforeach()
string(REGEX REPLACE "^\\|" "" PROGRAMS "${PROGRAMS}")
string(REPLACE "|" ";" PROGRAMS "${PROGRAMS}")
string(REPLACE "|" ";" DOCS "${DOCS}")

# 1980-01-01 00:00:00 UTC, the earliest time a ZIP entry can hold: an
# obvious stand-in when there is no commit to date the package by (a source
# archive, no git on PATH).
set(epoch 315532800)
set(dated "no git checkout: the fixed time")
if(GIT)
  # A checkout owned by another account is still dated by its commit, not by
  # the stand-in: its build scripts are run anyway, so git's ownership guard
  # protects nothing here.
  execute_process(COMMAND "${GIT}" -c safe.directory=* -C "${SOURCE_DIR}" log -1 --no-show-signature --format=%ct
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND out MATCHES "^[0-9]+$")
    set(epoch "${out}")
    set(dated "the last commit's time")
  endif()
endif()

set(stage_root "${OUT}/package-stage")
set(stage "${stage_root}/${NAME}")
file(REMOVE_RECURSE "${stage_root}")
file(MAKE_DIRECTORY "${stage}")
set(entries "")

# Notepad before Windows 10 (1809) shows bare LF line ends as one long line.
# A checkout may have either (git's autocrlf on Windows), so CRs are dropped
# first and then put back before every LF; on Windows file(WRITE) writes in
# text mode, which puts them back itself.
foreach(doc IN LISTS DOCS)
  get_filename_component(base "${doc}" NAME)
  # The folder is flat: docs/x and x would be one entry.
  if(EXISTS "${stage}/${base}")
    message(FATAL_ERROR "package_zip: two files named ${base} in DOCS")
  endif()
  file(READ "${SOURCE_DIR}/${doc}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  if(NOT CMAKE_HOST_WIN32)
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
  file(WRITE "${stage}/${base}" "${text}")
  file(CHMOD "${stage}/${base}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND entries "${NAME}/${base}")
endforeach()

# The build tree keeps the debug information; the package does not. GNU
# strip writes a PE header time stamp, SOURCE_DATE_EPOCH's if it is set; the
# archiver below reads it too.
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
foreach(program IN LISTS PROGRAMS)
  get_filename_component(base "${program}" NAME)
  file(COPY_FILE "${program}" "${stage}/${base}")
  if(STRIP)
    execute_process(COMMAND "${STRIP}" "${stage}/${base}" RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "package_zip: ${STRIP} ${base} failed (${rc}): ${err}")
    endif()
  endif()
  file(CHMOD "${stage}/${base}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND entries "${NAME}/${base}")
endforeach()

# Only files are named, so no directory is walked in the file system's order.
# With SOURCE_DATE_EPOCH the archiver sets the access and change times too
# (tar's --mtime would leave those in the ZIP's extended time field), and
# TZ=UTC fixes the DOS time field, which is in local time.
list(SORT entries)
set(zip "${OUT}/${NAME}.zip")
file(REMOVE "${zip}" "${zip}.sha256")
set(ENV{TZ} "UTC0")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${zip}" --format=zip -- ${entries}
  WORKING_DIRECTORY "${stage_root}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  file(REMOVE "${zip}")
  message(FATAL_ERROR "package_zip: could not write ${zip} (${rc}):\n${out}")
endif()
file(REMOVE_RECURSE "${stage_root}")

file(SHA256 "${zip}" digest)
file(WRITE "${zip}.sha256" "${digest}  ${NAME}.zip\n")
message(STATUS "package: ${zip}, entries dated ${epoch} (${dated})")
