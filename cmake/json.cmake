# nlohmann/json for the probe's state reply: header-only, with exceptions
# compiled out. Defines lss_json when the library is found, in one of two ways:
# an installed package (find_package(nlohmann_json CONFIG): vcpkg's
# nlohmann-json on Windows, Debian's nlohmann-json3-dev natively), or the
# headers under LSS_JSON_INCLUDE_DIR (default /usr/include, Debian's package),
# which the MinGW cross build uses: its package search stays inside the MinGW
# root, and /usr/include must never be on the cross compiler's include path
# (the host's C headers would shadow MinGW's). The headers are handed to the
# compiler through a folder of the build tree that holds only them.
set(LSS_JSON_INCLUDE_DIR "/usr/include" CACHE PATH "Folder holding nlohmann/json.hpp")

find_package(nlohmann_json CONFIG QUIET)
if(nlohmann_json_FOUND)
  message(STATUS "nlohmann/json: package in ${nlohmann_json_DIR}")
  add_library(lss_json INTERFACE)
  # Include folders of an imported target are system headers: the warnings
  # the project treats as errors are not the library's to answer.
  target_link_libraries(lss_json INTERFACE nlohmann_json::nlohmann_json)
elseif(EXISTS "${LSS_JSON_INCLUDE_DIR}/nlohmann/json.hpp")
  message(STATUS "nlohmann/json: headers in ${LSS_JSON_INCLUDE_DIR}")
  add_library(lss_json INTERFACE)
  set(only_json "${CMAKE_BINARY_DIR}/json-include")
  file(MAKE_DIRECTORY "${only_json}")
  file(CREATE_LINK "${LSS_JSON_INCLUDE_DIR}/nlohmann" "${only_json}/nlohmann" SYMBOLIC COPY_ON_ERROR)
  target_include_directories(lss_json SYSTEM INTERFACE "${only_json}")
else()
  message(WARNING "nlohmann/json not found: lumaris_serial_probe is not built. "
    "Install it (vcpkg nlohmann-json with its toolchain file, Debian nlohmann-json3-dev) or set "
    "LSS_JSON_INCLUDE_DIR to the folder holding nlohmann/json.hpp (now '${LSS_JSON_INCLUDE_DIR}').")
endif()

if(TARGET lss_json)
  # The library throws on misuse; without exceptions it aborts instead, so the
  # probe uses only its non-throwing calls (parse without exceptions, find,
  # get_ptr, the is_* tests).
  target_compile_definitions(lss_json INTERFACE JSON_NOEXCEPTION)
endif()
