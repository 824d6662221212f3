#!/usr/bin/env bash
# Builds the .exe in its own tree, brings up a private Wine prefix, runs the
# benchmark or the soak and stops the prefix's wineserver again.
#   bash bench/run.sh [--runs 11 ...]        benchmark: figures, never judged (a few minutes)
#   bash bench/run.sh soak [--runs 200 ...]  `all` back to back: failures and leftovers
#   bash bench/run.sh stream [--runs 3 --seconds 10]   the companion's stream: rate, slots, CPU
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
tree=${LSS_BENCH_TREE:-build/bench-win}
module=bench
case "${1:-}" in
soak)
    module=soak
    shift
    ;;
stream)
    shift
    set -- --stream --probe-exe "$tree/lumaris_serial_probe.exe" "$@"
    ;;
esac
exec </dev/null
export WINEDEBUG=-all
export WINEPREFIX=$PWD/$tree/wineprefix

mkdir -p "$(dirname "$tree")"
cmake --preset windows -B "$tree" >"$tree.configure.log" 2>&1 ||
    { tail -n 40 "$tree.configure.log" >&2; exit 1; }
cmake --build "$tree" --target lumaris_serial_spike lumaris_serial_probe >"$tree.build.log" 2>&1 ||
    { tail -n 40 "$tree.build.log" >&2; exit 1; }

trap 'bash scripts/wine-prefix.sh down' EXIT
bash scripts/wine-prefix.sh up
/usr/bin/python3 -m testkit.$module --exe "$tree/lumaris_serial_spike.exe" --prefix "$WINEPREFIX" "$@"
