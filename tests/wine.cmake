# Test registration, the same code on every host. The one difference is how
# a test program is launched: in the cross build the MinGW toolchain file
# sets CMAKE_CROSSCOMPILING_EMULATOR to Wine, and add_test puts it in front
# of every command that names a target; on Windows the programs run directly.
#
# What only the Linux side has is found, never inferred from the target
# platform, so a Windows host registers none of the tests that need it:
#   LSS_WINE_PROGRAM  Wine; set by the MinGW toolchain file, so its presence
#                     also means the cross compiler and a Unix host
#   LSS_BASH          bash, for the scripts under scripts/
find_program(LSS_BASH NAMES bash)

if(LSS_WINE_PROGRAM AND LSS_BASH)
  set(LSS_TESTS_UNDER_WINE ON)
  set(LSS_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Private Wine prefix for the tests")
  set(LSS_WINE_ENV "WINEPREFIX=${LSS_WINEPREFIX}" "WINEDEBUG=-all")

  # One prefix per build tree, initialised once and kept; its wineserver
  # runs for the whole CTest run and is stopped at the end.
  add_test(NAME wine_prefix_up
    COMMAND ${CMAKE_COMMAND} -E env ${LSS_WINE_ENV}
            ${LSS_BASH} ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh up)
  set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
  add_test(NAME wine_prefix_down
    COMMAND ${CMAKE_COMMAND} -E env ${LSS_WINE_ENV}
            ${LSS_BASH} ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh down)
  set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
else()
  set(LSS_TESTS_UNDER_WINE OFF)
endif()

# Wine, when a test program needs it: the private prefix and its fixture.
function(lss_under_wine test)
  if(LSS_TESTS_UNDER_WINE)
    set_tests_properties(${test} PROPERTIES ENVIRONMENT "${LSS_WINE_ENV}" FIXTURES_REQUIRED wine)
  endif()
endfunction()

# A GoogleTest program is one CTest entry on every host: under Wine each
# process start costs a wine launch, and per-case discovery would make the
# Windows host the only one with a different list of tests.
function(lss_add_gtest target)
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
  set_tests_properties(${target} PROPERTIES TIMEOUT 300)
  lss_under_wine(${target})
endfunction()
