#!/usr/bin/env bash
# Builds the .exe in its own tree, brings up a private Wine prefix, runs the
# benchmark and stops the prefix's wineserver again.
#   bash bench/run.sh [bench.py options, e.g. --runs 11]
# The figures are printed, never judged; a full run takes a few minutes.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
tree=${LSS_BENCH_TREE:-build/bench-win}
exec </dev/null
export WINEDEBUG=-all
export WINEPREFIX=$PWD/$tree/wineprefix

mkdir -p "$(dirname "$tree")"
cmake --preset windows -B "$tree" >"$tree.configure.log" 2>&1 ||
    { tail -n 40 "$tree.configure.log" >&2; exit 1; }
cmake --build "$tree" --target lumaris_serial_spike >"$tree.build.log" 2>&1 ||
    { tail -n 40 "$tree.build.log" >&2; exit 1; }

trap 'bash scripts/wine-prefix.sh down' EXIT
bash scripts/wine-prefix.sh up
python3 bench/bench.py --exe "$tree/lumaris_serial_spike.exe" --prefix "$WINEPREFIX" "$@"
