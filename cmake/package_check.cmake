# Builds the package target, checks the ZIP's checksum file, its entries
# (sorted, in one folder) and the line ends of its text files (CR LF), unpacks
# it and checks that each packaged program is stripped and, run with no
# arguments, exits 2 with its usage text on standard error and nothing on
# standard output. Run from a clean folder, this also proves that no program
# needs a DLL beside it. (scripts/repro-check.sh compares two clean builds.)
#   cmake -DBUILD_TREE=... -DWORK=dir -DPACKAGE=name -DPROGRAMS=a|b
#         [-DBUILD_CONFIG=Release] [-DEMULATOR=wine] -P package_check.cmake
# BUILD_CONFIG is the configuration CTest runs (-C); under a multi-config
# generator the build needs it to find the programs that were built.
foreach(var BUILD_TREE WORK PACKAGE PROGRAMS)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "package_check: ${var} not set")
  endif()
endforeach()
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
string(REGEX REPLACE "^\\|" "" PROGRAMS "${PROGRAMS}")
string(REPLACE "|" ";" PROGRAMS "${PROGRAMS}")

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/unpacked")

set(build_config "")
if(BUILD_CONFIG)
  set(build_config --config "${BUILD_CONFIG}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD_TREE}" --target package ${build_config}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 180)
set(zip "${BUILD_TREE}/${PACKAGE}.zip")
if(NOT rc EQUAL 0 OR NOT EXISTS "${zip}")
  message(FATAL_ERROR "building the package target failed (${rc}) or wrote no ${zip}:\n${out}")
endif()

# The checksum file beside the ZIP, in sha256sum's format.
file(SHA256 "${zip}" digest)
file(READ "${zip}.sha256" listed)
# Written in text mode: CR LF on Windows, LF elsewhere.
string(REPLACE "\r\n" "\n" listed "${listed}")
if(NOT listed STREQUAL "${digest}  ${PACKAGE}.zip\n")
  message(FATAL_ERROR "${zip}.sha256 is [${listed}], expected the digest ${digest}")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}"
  WORKING_DIRECTORY "${WORK}/unpacked" RESULT_VARIABLE rc ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not unpack ${zip}: ${out}")
endif()

# In archive order: sorted, so that no file system's order can leak in.
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${zip}" OUTPUT_VARIABLE entries)
string(REGEX REPLACE "\r?\n$" "" entries "${entries}")
string(REGEX REPLACE "\r?\n" ";" entries "${entries}")
set(texts CHANGELOG.md LICENSE README.md operator-guide.txt reference.md)
set(expected ${texts})
foreach(name IN LISTS PROGRAMS)
  list(APPEND expected "${name}.exe")
endforeach()
list(SORT expected)
list(TRANSFORM expected PREPEND "${PACKAGE}/")
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "package content:\n  ${entries}\nexpected:\n  ${expected}")
endif()

set(top "${WORK}/unpacked/${PACKAGE}")
# Notepad on older Windows shows a file with bare LF line ends as one line.
# (Read as hex: file(READ) as text drops the CRs on Windows.)
foreach(text IN LISTS texts)
  file(READ "${top}/${text}" bytes HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${bytes}")
  string(REGEX MATCHALL "0a " lf "${bytes}")
  string(REGEX MATCHALL "0d 0a " crlf "${bytes}")
  list(LENGTH lf lf)
  list(LENGTH crlf crlf)
  if(lf EQUAL 0 OR NOT lf EQUAL crlf)
    message(FATAL_ERROR "${text} in the package has line ends other than CR LF")
  endif()
endforeach()

# Each copy must run from its own folder, not from the build tree.
set(no_input "")
if(EXISTS /dev/null)
  set(no_input INPUT_FILE /dev/null)
endif()
set(usage "usage: lumaris_serial_spike <COMn> <step>
  <step>: v | fill-red | fill-green | fill-blue | bri50 | off | on |
          unplug-loop | all
")
foreach(name IN LISTS PROGRAMS)
  # Stripped: no DWARF section names left in the image.
  file(STRINGS "${top}/${name}.exe" debug_names REGEX "^\\.debug_" LIMIT_COUNT 1)
  if(debug_names)
    message(FATAL_ERROR "the packaged ${name}.exe still has debug information (${debug_names})")
  endif()
  execute_process(COMMAND ${EMULATOR} "${top}/${name}.exe"
    WORKING_DIRECTORY "${top}" ${no_input}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  # Every program's usage text names it first; the tool's is known in full.
  string(FIND "${err}" "usage: ${name}" at)
  if(name STREQUAL "lumaris_serial_spike" AND NOT err STREQUAL usage)
    set(at -1)
  endif()
  if(NOT "${rc}" STREQUAL "2" OR NOT "${out}" STREQUAL "" OR NOT at EQUAL 0)
    message(FATAL_ERROR "packaged ${name} with no arguments: exit ${rc}\n"
      "stdout: [${out}]\nstderr: [${err}]\nexpected exit 2, empty stdout and its usage text on stderr")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
message(STATUS "package ${PACKAGE}.zip: order, CR LF, stripped programs and their usage exit status checked")
