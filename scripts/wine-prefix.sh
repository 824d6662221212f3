#!/usr/bin/env bash
# Private Wine prefix for the tests and the demo.
#   wine-prefix.sh up    initialise $WINEPREFIX once, start its persistent wineserver,
#                        remove Wine's links to the host's serial and parallel ports
#   wine-prefix.sh down  stop that prefix's wineserver
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the private prefix}"
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko: the tool is a console program and their installers would
# try to reach the network.
export WINEDLLOVERRIDES="mscoree,mshtml="

case "${1:-}" in
up)
    mkdir -p "$WINEPREFIX"
    exec 9>"$WINEPREFIX.lock"
    flock -w 170 9
    if [ ! -f "$WINEPREFIX/.lss-ready" ]; then
        timeout 160 wineboot -i >/dev/null 2>&1 </dev/null
        timeout 60 wineserver -w || true
        touch "$WINEPREFIX/.lss-ready"
    fi
    mkdir -p "$WINEPREFIX/dosdevices"
    # Persistent server, detached from our session: a closing pty sends it
    # SIGHUP, and it dumps its object table to stdout when that happens.
    # Neither it nor the services the first client starts may inherit the
    # lock descriptor: they would hold the lock for their whole life and the
    # next "up" would wait out its flock time-out and fail.
    # -w: wait until it holds the prefix, so no client can come first and
    # start a server of its own, which would end with that client and take
    # the volatile registry keys with it. It fails when a server already runs
    # (an earlier "up"): that one is kept.
    setsid -w wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    # Let it bind its socket before the first client starts.
    timeout 20 bash -c 'until WINEDEBUG=-all wine cmd /c exit 0 >/dev/null 2>&1 </dev/null; do sleep 0.2; done' 9>&-
    # Each new server's device manager links COM1, COM2... and LPTn to the
    # host's serial and parallel devices (com1 -> /dev/ttyS0), skipping any
    # number the Ports registry key reserves, so no key setting keeps them
    # out. It has run by the time the first client is back, and runs again
    # only with the next server: remove every port link that does not lead
    # to a pty, so no run of ours can reach a real port.
    for link in "$WINEPREFIX"/dosdevices/com* "$WINEPREFIX"/dosdevices/lpt*; do
        [ -L "$link" ] || continue
        case $(readlink -m "$link") in
        /dev/pts/[0-9]*) ;;
        *) rm -f "$link" ;;
        esac
    done
    ;;
down)
    wineserver -k >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: wine-prefix.sh up|down" >&2
    exit 2
    ;;
esac
