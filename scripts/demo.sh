#!/usr/bin/env bash
# Runs the Windows tool under Wine against the simulated controller and shows,
# line by line, what the tool printed next to what the controller did.
#   bash scripts/demo.sh [step]     step defaults to `all`
#   bash scripts/demo.sh stream [seconds=S fps=F leds=N] [restart|hang|unplug]
#                                   the companion's stream, the strip drawn as it runs
# Exits with the tool's exit status. Everything it starts (simulator, Wine
# server, COM link) is stopped or removed on the way out.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
logs=$PWD/build/demo-logs
mkdir -p "$logs"
exec </dev/null

say() { printf '%s\n' "$*"; }
# Runs a noisy command with its output in a log; shows the log only if it fails.
quiet() {
    local name=$1
    shift
    if ! "$@" >"$logs/$name.log" 2>&1; then
        tail -n 40 "$logs/$name.log" >&2
        say "demo: $name failed (full log: $logs/$name.log)" >&2
        exit 1
    fi
}

say "== preparing"
bash scripts/install-deps.sh
[ $# -gt 0 ] || set -- all
target=lumaris_serial_spike
[ "$1" != stream ] || target=lumaris_serial_probe
say "building $target.exe (windows preset)"
quiet configure cmake --preset windows
quiet build cmake --build --preset windows --target "$target"

export WINEPREFIX=$PWD/build/demo-prefix WINEDEBUG=-all PYTHONIOENCODING=utf-8
[ -f "$WINEPREFIX/.lss-ready" ] || say "initialising the Wine prefix build/demo-prefix (first run only, ~20 s)"
trap 'bash scripts/wine-prefix.sh down || true' EXIT
quiet wine-prefix bash scripts/wine-prefix.sh up

status=0
/usr/bin/python3 -m testkit.demo --logs "$logs" "$@" || status=$?
say "== exit status $status"
exit "$status"
