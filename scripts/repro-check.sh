#!/usr/bin/env bash
# Builds the .exe and the ZIP twice from clean, in two folders of different
# names and depths, at different times and in different time zones, and
# checks that both builds' files are byte-identical: no link time stamp, no
# build path, no file's time or order may end up inside. Only the package
# target (and the programs it packs) is built.
#   bash scripts/repro-check.sh WORKDIR
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${1:?usage: repro-check.sh WORKDIR}
trees=("$work/a" "$work/second/tree")
zones=(UTC0 XST-5)

rm -rf "$work"
for i in 0 1; do
    tree=${trees[$i]}
    mkdir -p "$tree"
    cmake -S "$src" -B "$tree" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64-posix.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLSS_BUILD_TESTS=OFF >"$tree.log" 2>&1 \
        || { cat "$tree.log"; exit 1; }
    TZ=${zones[$i]} cmake --build "$tree" --target package >>"$tree.log" 2>&1 \
        || { cat "$tree.log"; exit 1; }
done

zips=("${trees[0]}"/*-win64.zip)
zip=${zips[0]##*/}
for f in lumaris_serial_spike.exe "$zip" "$zip.sha256"; do
    a=${trees[0]}/$f
    b=${trees[1]}/$f
    sha256sum "$a" "$b"
    if ! cmp "$a" "$b"; then
        echo "repro-check: the two builds' $f differ" >&2
        exit 1
    fi
done
echo "repro-check: identical .exe ($(stat -c %s "${trees[0]}/lumaris_serial_spike.exe") bytes) and $zip"
rm -rf "$work"
