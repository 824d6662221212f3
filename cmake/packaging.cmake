# The Windows package: one ZIP holding the self-contained .exe, the README,
# the licence, the changelog and the operator guide in a single top-level
# folder, so an operator can unpack it anywhere and run the tool from there.
install(TARGETS lumaris_serial_spike RUNTIME DESTINATION .)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE"
              "${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${PROJECT_SOURCE_DIR}/docs/operator-guide.txt"
        DESTINATION .)

# The archive is written by CPack's own libarchive; no zip program needed.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME lumaris_serial_spike)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "the lumaris_serial_spike developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(LSS_PACKAGE_FILE_NAME "lumaris_serial_spike-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_FILE_NAME "${LSS_PACKAGE_FILE_NAME}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The .exe in the ZIP without debug information; the build tree keeps its own.
set(CPACK_STRIP_FILES ON)
# <package>.zip.sha256 beside the ZIP, in sha256sum's format.
set(CPACK_PACKAGE_CHECKSUM SHA256)
# (CPack.cmake leaves CPACK_PACKAGE_FILE_NAME at the source package's name.)
include(CPack)

# Registers the package check with CTest: build the ZIP, unpack it into an
# empty folder and run the .exe found there with no arguments. Called from
# tests/ so that the Wine fixture and its environment are known.
function(lss_add_package_test)
  # The packaged .exe is started the way every test program is: through the
  # cross build's emulator (Wine), or directly.
  string(REPLACE ";" "|" emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_test(NAME package_zip
    COMMAND ${CMAKE_COMMAND}
            -DCPACK=${CMAKE_CPACK_COMMAND}
            -DCONFIG=${PROJECT_BINARY_DIR}/CPackConfig.cmake
            -DWORK=${PROJECT_BINARY_DIR}/package-check
            -DPACKAGE=${LSS_PACKAGE_FILE_NAME}
            -DBUILD_CONFIG=$<CONFIG>
            -DEMULATOR=${emulator}
            -P ${PROJECT_SOURCE_DIR}/cmake/package_check.cmake)
  set_tests_properties(package_zip PROPERTIES TIMEOUT 240)
  lss_under_wine(package_zip)
endfunction()
