# Builds the ZIP package, checks its checksum file and content (the guide in
# CR LF, the .exe stripped), unpacks it and runs the packaged tool with no
# arguments: it must exit 2 with the usage text on standard error and nothing
# on standard output. Run from a clean folder, this also proves that the .exe
# needs no DLL beside it.
#   cmake -DCPACK=... -DCONFIG=.../CPackConfig.cmake -DWORK=dir -DPACKAGE=name
#         [-DBUILD_CONFIG=Release] [-DEMULATOR=wine] -P package_check.cmake
# BUILD_CONFIG is the configuration CTest runs (-C); under a multi-config
# generator cpack needs it to find the .exe that was built.
foreach(var CPACK CONFIG WORK PACKAGE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "package_check: ${var} not set")
  endif()
endforeach()
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/out" "${WORK}/unpacked")

set(build_config "")
if(BUILD_CONFIG)
  set(build_config -C "${BUILD_CONFIG}")
endif()
execute_process(COMMAND "${CPACK}" --config "${CONFIG}" ${build_config} -G ZIP -B "${WORK}/out"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 180)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}")
endif()
set(zip "${WORK}/out/${PACKAGE}.zip")
if(NOT EXISTS "${zip}")
  message(FATAL_ERROR "cpack did not write ${zip}:\n${out}")
endif()

# The checksum file beside the ZIP, in sha256sum's format.
file(SHA256 "${zip}" digest)
file(READ "${zip}.sha256" listed)
# CPack writes the file in text mode: CR LF on Windows, LF elsewhere.
string(REPLACE "\r\n" "\n" listed "${listed}")
if(NOT listed STREQUAL "${digest}  ${PACKAGE}.zip\n")
  message(FATAL_ERROR "${zip}.sha256 is [${listed}], expected the digest ${digest}")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}"
  WORKING_DIRECTORY "${WORK}/unpacked" RESULT_VARIABLE rc ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not unpack ${zip}: ${out}")
endif()

set(top "${WORK}/unpacked/${PACKAGE}")
file(GLOB_RECURSE entries RELATIVE "${WORK}/unpacked" "${WORK}/unpacked/*")
list(SORT entries)
set(expected
  "${PACKAGE}/CHANGELOG.md" "${PACKAGE}/LICENSE" "${PACKAGE}/README.md"
  "${PACKAGE}/lumaris_serial_spike.exe" "${PACKAGE}/operator-guide.txt")
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "package content:\n  ${entries}\nexpected:\n  ${expected}")
endif()

# Notepad on older Windows shows a file with bare LF line ends as one line.
# (Read as hex: file(READ) as text drops the CRs.)
file(READ "${top}/operator-guide.txt" guide HEX)
string(REGEX REPLACE "(..)" "\\1 " guide "${guide}")
string(REGEX MATCHALL "0a " lf "${guide}")
string(REGEX MATCHALL "0d 0a " crlf "${guide}")
list(LENGTH lf lf)
list(LENGTH crlf crlf)
if(lf EQUAL 0 OR NOT lf EQUAL crlf)
  message(FATAL_ERROR "operator-guide.txt in the package has line ends other than CR LF")
endif()
# Stripped: no DWARF section names left in the image.
file(STRINGS "${top}/lumaris_serial_spike.exe" debug_names REGEX "^\\.debug_" LIMIT_COUNT 1)
if(debug_names)
  message(FATAL_ERROR "the packaged .exe still has debug information (${debug_names})")
endif()

# The copy must run from its own folder, not from the build tree.
set(no_input "")
if(EXISTS /dev/null)
  set(no_input INPUT_FILE /dev/null)
endif()
execute_process(COMMAND ${EMULATOR} "${top}/lumaris_serial_spike.exe"
  WORKING_DIRECTORY "${top}" ${no_input}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
set(usage "usage: lumaris_serial_spike <COMn> <step>
  <step>: v | fill-red | fill-green | fill-blue | bri50 | off | on |
          unplug-loop | all
")
if(NOT "${rc}" STREQUAL "2" OR NOT "${out}" STREQUAL "" OR NOT "${err}" STREQUAL "${usage}")
  message(FATAL_ERROR "packaged tool with no arguments: exit ${rc}\n"
    "stdout: [${out}]\nstderr: [${err}]\nexpected exit 2, empty stdout and stderr:\n[${usage}]")
endif()

file(REMOVE_RECURSE "${WORK}")
message(STATUS "package ${PACKAGE}.zip: content and usage exit status checked")
