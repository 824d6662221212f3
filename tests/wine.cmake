# Registers a gtest executable with CTest. Natively each test case is its own
# CTest entry; under Wine the whole executable is one entry, since every
# process start there costs a wine launch.
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  set(LSS_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Private Wine prefix for the tests")
  set(LSS_WINE_ENV "WINEPREFIX=${LSS_WINEPREFIX}" "WINEDEBUG=-all")

  # One prefix per build tree, initialised once and kept; its wineserver
  # runs for the whole CTest run and is stopped at the end.
  add_test(NAME wine_prefix_up
    COMMAND ${CMAKE_COMMAND} -E env ${LSS_WINE_ENV}
            bash ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh up)
  set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
  add_test(NAME wine_prefix_down
    COMMAND ${CMAKE_COMMAND} -E env ${LSS_WINE_ENV}
            bash ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh down)
  set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()

function(lss_add_gtest target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
    set_tests_properties(${target} PROPERTIES
      ENVIRONMENT "${LSS_WINE_ENV}" FIXTURES_REQUIRED wine TIMEOUT 300)
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
