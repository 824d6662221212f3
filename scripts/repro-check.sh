#!/usr/bin/env bash
# Builds the .exe twice from clean, in two folders of different names and
# depths, and checks that both files are byte-identical: no link time stamp
# and no build path may end up inside. Only the .exe target is built.
#   bash scripts/repro-check.sh WORKDIR
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${1:?usage: repro-check.sh WORKDIR}
trees=("$work/a" "$work/second/tree")

rm -rf "$work"
for tree in "${trees[@]}"; do
    mkdir -p "$tree"
    cmake -S "$src" -B "$tree" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64-posix.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLSS_BUILD_TESTS=OFF >"$tree.log" 2>&1 \
        || { cat "$tree.log"; exit 1; }
    cmake --build "$tree" --target lumaris_serial_spike >>"$tree.log" 2>&1 \
        || { cat "$tree.log"; exit 1; }
done

a=${trees[0]}/lumaris_serial_spike.exe
b=${trees[1]}/lumaris_serial_spike.exe
sha256sum "$a" "$b"
if ! cmp "$a" "$b"; then
    echo "repro-check: the two builds differ" >&2
    exit 1
fi
echo "repro-check: identical ($(stat -c %s "$a") bytes)"
rm -rf "$work"
