# Configures tests/e2e the way a native Windows build does (not cross
# compiling, so real ports) in a scratch project, and checks that no
# end-to-end test is registered until a port is named, by cache variable or
# environment, and that a named port is the only one the tests are given.
#   cmake -DSOURCE=<repo> -DWORK=<dir> -DGENERATOR=<gen> -P registration_check.cmake
cmake_minimum_required(VERSION 3.21)
file(REMOVE_RECURSE "${WORK}")
file(WRITE "${WORK}/src/CMakeLists.txt" "cmake_minimum_required(VERSION 3.21)
project(e2e_registration NONE)
add_executable(lumaris_serial_spike IMPORTED)
set_target_properties(lumaris_serial_spike PROPERTIES IMPORTED_LOCATION \"${WORK}/lumaris_serial_spike.exe\")
enable_testing()
add_subdirectory(\"${SOURCE}/tests/e2e\" e2e)
")

# case: environment, cache arguments, expected ports of the e2e tests ("" none)
set(cases
  "none|--unset=LSS_E2E_PORT||"
  "cache|--unset=LSS_E2E_PORT|-DLSS_E2E_PORT=COM3|COM3"
  "env|LSS_E2E_PORT=COM4||COM4")
foreach(c IN LISTS cases)
  string(REPLACE "|" ";" c "${c}")
  list(GET c 0 name)
  list(GET c 1 env)
  list(GET c 2 arg)
  list(GET c 3 want)
  set(bin "${WORK}/${name}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} --unset=LSS_E2E_ABSENT_PORT
                          ${CMAKE_COMMAND} -G "${GENERATOR}" -S "${WORK}/src" -B "${bin}" ${arg}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name}: configure failed:\n${out}")
  endif()
  execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --show-only=json-v1
    WORKING_DIRECTORY "${bin}" OUTPUT_VARIABLE json RESULT_VARIABLE rc)
  string(JSON n LENGTH "${json}" tests)
  string(REGEX MATCHALL "LSS_E2E_(ABSENT_)?PORT=[A-Z0-9]*" ports "${json}")
  list(REMOVE_DUPLICATES ports)
  if(want STREQUAL "")
    set(expected_ports "")
  else()
    set(expected_ports "LSS_E2E_ABSENT_PORT=;LSS_E2E_PORT=${want}")
  endif()
  list(SORT ports)
  if(want STREQUAL "" AND NOT n EQUAL 0 OR NOT ports STREQUAL expected_ports)
    message(FATAL_ERROR "${name}: ${n} tests, ports [${ports}], expected [${expected_ports}]:\n${json}")
  endif()
  message(STATUS "${name}: ${n} e2e tests, ports [${ports}]")
endforeach()
file(REMOVE_RECURSE "${WORK}")
