# The Windows package: one ZIP holding the self-contained programs, the
# README, the licence, the changelog, the operator guide and the reference of
# every line the programs print in a single top-level folder, so an operator
# can unpack it anywhere and run the tools from there. `cmake --build <tree>
# --target package` writes it with cmake/package_zip.cmake rather than CPack,
# whose ZIP takes each entry's time from the file and its order from the file
# system, so that two builds of one commit give the same bytes.

# Every program the ZIP ships, by target name; one that this build does not
# define is left out.
set(LSS_PACKAGE_PROGRAMS lumaris_serial_spike lumaris_serial_probe)
# Text files, relative to the source tree; they get CR LF line ends.
# Each goes into the package's folder under its own name, without its path.
set(LSS_PACKAGE_DOCS README.md LICENSE CHANGELOG.md docs/operator-guide.txt docs/reference.md)
set(LSS_PACKAGE_FILE_NAME "lumaris_serial_spike-${PROJECT_VERSION}-win64")

# The programs' files, and their names for the package check, as
# "|"-separated lists (a leading "|" is dropped by the scripts). Naming a
# target here also makes the package target depend on it.
set(LSS_PACKAGE_PROGRAM_FILES "")
set(LSS_PACKAGE_PROGRAM_NAMES "")
foreach(program IN LISTS LSS_PACKAGE_PROGRAMS)
  string(APPEND LSS_PACKAGE_PROGRAM_FILES "$<$<TARGET_EXISTS:${program}>:|$<TARGET_FILE:${program}>>")
  string(APPEND LSS_PACKAGE_PROGRAM_NAMES "$<$<TARGET_EXISTS:${program}>:|${program}>")
endforeach()
string(REPLACE ";" "|" docs "${LSS_PACKAGE_DOCS}")

# A tree last configured by 0.2.1 or older holds CPack's configuration,
# whose presence alone makes CMake refuse a target named package.
file(REMOVE "${PROJECT_BINARY_DIR}/CPackConfig.cmake" "${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake")
# The entries are dated by the last commit; without git a fixed time is used.
find_package(Git QUIET)
# CMAKE_STRIP takes the debug information out of the packaged programs (the
# build tree keeps its own); MSVC puts none in an .exe and sets no strip.
add_custom_target(package
  COMMAND ${CMAKE_COMMAND} -DNAME=${LSS_PACKAGE_FILE_NAME} -DOUT=${PROJECT_BINARY_DIR}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DPROGRAMS=${LSS_PACKAGE_PROGRAM_FILES}
          -DDOCS=${docs} -DSTRIP=${CMAKE_STRIP} -DGIT=${GIT_EXECUTABLE}
          -P ${CMAKE_CURRENT_LIST_DIR}/package_zip.cmake
  COMMENT "Writing ${LSS_PACKAGE_FILE_NAME}.zip and its .sha256"
  VERBATIM)

# Registers the package check with CTest: build the package target, check
# the ZIP's order and text files, unpack it into an empty folder and run
# each program found there with no arguments. Called from tests/ so that the
# Wine fixture and its environment are known.
function(lss_add_package_test)
  # The packaged programs are started the way every test program is: through
  # the cross build's emulator (Wine), or directly.
  string(REPLACE ";" "|" emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_test(NAME package_zip
    COMMAND ${CMAKE_COMMAND}
            -DBUILD_TREE=${PROJECT_BINARY_DIR}
            -DWORK=${PROJECT_BINARY_DIR}/package-check
            -DPACKAGE=${LSS_PACKAGE_FILE_NAME}
            -DPROGRAMS=${LSS_PACKAGE_PROGRAM_NAMES}
            -DBUILD_CONFIG=$<CONFIG>
            -DEMULATOR=${emulator}
            -P ${PROJECT_SOURCE_DIR}/cmake/package_check.cmake)
  set_tests_properties(package_zip PROPERTIES TIMEOUT 240)
  lss_under_wine(package_zip)
endfunction()
