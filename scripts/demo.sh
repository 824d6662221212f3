#!/usr/bin/env bash
# Runs the Windows tool under Wine against the simulated controller and shows,
# line by line, what the tool printed next to what the controller did.
#   bash scripts/demo.sh [step]     step defaults to `all`
# Exits with the tool's exit status. Everything it starts (simulator, Wine
# server, COM link) is stopped or removed on the way out.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
step=${1:-all}
com=5

logs=$root/build/demo-logs
prefix=$root/build/demo-prefix
exe=$root/build/windows/lumaris_serial_spike.exe
mkdir -p "$logs"
exec </dev/null
# The simulator and the view below need only the standard library of the
# system Python, which install-deps.sh guarantees.
py=/usr/bin/python3
[ -x "$py" ] || py=python3

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
say "building lumaris_serial_spike.exe (windows preset)"
quiet configure cmake --preset windows
quiet build cmake --build --preset windows --target lumaris_serial_spike

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PYTHONIOENCODING=utf-8
[ -f "$prefix/.lss-ready" ] || say "initialising the Wine prefix $prefix (first run only, about 20 s)"

sim_pid=
# shellcheck disable=SC2317  # called from the EXIT trap
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    sim_pid=
    # The simulator removes its own link; this is for one it could not.
    [ -L "$prefix/dosdevices/com$com" ] && rm -f "$prefix/dosdevices/com$com"
    bash scripts/wine-prefix.sh down || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

quiet wine-prefix bash scripts/wine-prefix.sh up

sim_opts=(--prefix "$prefix" --com "$com" --log "$logs/sim.log")
tool_limit=60
if [ "$step" = unplug-loop ]; then
    # The simulated cable is pulled after a few frames and put back 3 s later.
    sim_opts+=(--unplug-after-frames 8 --replug-after-ms 3000)
    tool_limit=240
fi
# The simulator stops by itself should this script be killed outright.
"$py" sim/lumaris_sim.py "${sim_opts[@]}" --exit-after-ms $(((tool_limit + 60) * 1000)) \
    >"$logs/sim.out" 2>"$logs/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^READY' "$logs/sim.out" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q '^READY' "$logs/sim.out" 2>/dev/null; then
    cat "$logs/sim.err" >&2
    say "demo: the simulator did not come up" >&2
    exit 1
fi
read -r _ pts _ <"$logs/sim.out"

say "== lumaris_serial_spike COM$com $step   (simulated controller on $pts)"

# Timestamps every line the tool prints on the clock the simulator logs with.
status=0
"$py" - "$logs/tool.lines" "$tool_limit" wine "$exe" "COM$com" "$step" <<'PY' || status=$?
import os, selectors, subprocess, sys, time
out_path, limit, cmd = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
sel = selectors.DefaultSelector()
sel.register(p.stdout, selectors.EVENT_READ, "out")
sel.register(p.stderr, selectors.EVENT_READ, "err")
pending = {"out": b"", "err": b""}
deadline = time.monotonic() + limit
with open(out_path, "w", encoding="utf-8") as f:
    while sel.get_map():
        left = deadline - time.monotonic()
        if left <= 0:
            p.kill()
            f.write("%d err demo: the tool did not finish within %d s\n" % (time.monotonic_ns(), limit))
            break
        for key, _ in sel.select(min(left, 1.0)):
            data = os.read(key.fileobj.fileno(), 4096)
            if not data:
                sel.unregister(key.fileobj)
                lines = [pending[key.data]] if pending[key.data] else []
                pending[key.data] = b""
            else:
                *lines, pending[key.data] = (pending[key.data] + data).split(b"\n")
            ts = time.monotonic_ns()
            for line in lines:
                f.write("%d %s %s\n" % (ts, key.data, line.decode("utf-8", "backslashreplace")))
rc = p.wait(timeout=10)
sys.exit(rc if rc >= 0 else 1)
PY

# Stop the simulator now so its log is complete before it is read.
kill -TERM "$sim_pid" 2>/dev/null || true
for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
wait "$sim_pid" 2>/dev/null || true
sim_pid=

colour=0
[ -t 1 ] && [ "${TERM:-dumb}" != dumb ] && colour=1
"$py" - "$logs/tool.lines" "$logs/sim.log" "$colour" "$root/sim" <<'PY'
import sys
lines_path, log_path, colour, simdir = sys.argv[1], sys.argv[2], sys.argv[3] == "1", sys.argv[4]
sys.path.insert(0, simdir)
from simlog import SimLog, parse_leds, unescape

tool = []
with open(lines_path, encoding="utf-8") as f:
    for raw in f:
        ts, stream, text = raw.rstrip("\n").split(" ", 2)
        tool.append((int(ts), stream, text))
log = SimLog.read(log_path)

NAMES = {(0, 0, 0): ".", (255, 0, 0): "R", (0, 255, 0): "G", (0, 0, 255): "B",
         (255, 255, 255): "W", (16, 16, 16): "g"}

def strip(leds):
    cells = []
    for c in leds:
        ch = NAMES.get(c, "*")
        if colour:
            fg = 16 if sum(c) > 200 else 231
            cells.append("\x1b[48;2;%d;%d;%dm\x1b[38;5;%dm%s\x1b[0m" % (c + (fg, ch)))
        else:
            cells.append(ch)
    return "".join(cells)

def uniform(leds):
    return "12 x %02x%02x%02x" % leds[0] if len(set(leds)) == 1 else ",".join("%02x%02x%02x" % c for c in leds)

def describe(events):
    words, frames = [], None
    def flush():
        nonlocal frames
        if frames:
            n, text = frames
            words.append(("frame " if n == 1 else "%d frames " % n) + text)
        frames = None
    for e in events:
        if e.kind == "FRAME" and "ok" in e.words:
            text = uniform(parse_leds(e.get("leds")))
            if frames and frames[1] == text:
                frames = (frames[0] + 1, text)
                continue
            flush()
            frames = (1, text)
            continue
        flush()
        if e.kind == "QUERY":
            words.append("query")
        elif e.kind == "REPLY" and e.words:
            words.append('answered "%s"' % bytes.fromhex(e.words[0]).decode("ascii", "backslashreplace")
                         .replace("\r", "\\r").replace("\n", "\\n"))
        elif e.kind == "JSON":
            words.append("%s%s" % ("" if "ok" in e.words else "(%s) " % " ".join(e.words),
                                   unescape(e.get("text", "")).decode("utf-8", "backslashreplace")
                                   if "text" in e.fields else e.get("reason", "")))
        elif e.kind == "FRAME":
            words.append("bad frame (%s)" % e.get("reason", "?"))
        elif e.kind == "JUNK":
            words.append("junk %s" % (e.words[0] if e.words else ""))
        elif e.kind in ("UNPLUG", "REPLUG", "STALL"):
            words.append(e.kind.lower())
    flush()
    return ", ".join(words)

start = log.first("START")
termios = log.last("TERMIOS")
if termios is not None:
    print("port as the controller sees it: %s baud, %s data bits, parity %s, %s stop bit(s)" % (
        termios.get("ispeed"), termios.get("csize"), "on" if termios.get("parenb") == "1" else "none",
        "2" if termios.get("cstopb") == "1" else "1"))

# Each tool line is paired with what the controller received up to 150 ms
# after it was printed (its own transfer ends before the line; the next step
# starts at least 250 ms later), and with the strip as it stood then.
WINDOW = 150_000_000
relevant = [e for e in log.events if e.kind in
            ("QUERY", "REPLY", "FRAME", "JSON", "JUNK", "UNPLUG", "REPLUG", "STALL")]
states = [e for e in log.events if e.kind in ("START", "STATE")]
# Long lines (the closing note) are printed whole above their row instead.
width = max([len(t) + (8 if s == "err" else 0) for _, s, t in tool
             if len(t) + (8 if s == "err" else 0) <= 44] + [12])
print("%-*s | %-12s %-5s %3s | %s" % (width, "tool printed", "LEDs", "power", "bri", "controller received"))
print("-" * width + "-+-" + "-" * 22 + "-+-" + "-" * 30)
prev_cut = 0
shown = None
for i, (ts, stream, text) in enumerate(tool):
    # Not cut short by the next line: the closing note follows `OK on` at
    # once, often before the controller has logged the JSON line.
    cut = ts + WINDOW if i + 1 < len(tool) else float("inf")
    mine = [e for e in relevant if prev_cut < e.ns <= cut]
    prev_cut = max(prev_cut, cut)
    now = [e for e in states if e.ns <= cut]
    state = now[-1] if now else start
    label = ("stderr: " if stream == "err" else "") + text
    right = ""
    if state is not None:
        right = "%s %-5s %3s" % (strip(parse_leds(state.get("leds"))),
                                 "on" if state.get("on") == "1" else "off", state.get("bri"))
    what = describe(mine)
    # The strip is repeated only where something reached the controller or
    # changed, so lines printed together stay readable.
    show = bool(what) or right != shown or i == 0
    if show:
        shown = right
    if len(label) > width:
        print(label)
        if what:
            print("%-*s | %s | %s" % (width, "", right, what))
    elif show:
        print("%-*s | %s | %s" % (width, label, right, what))
    else:
        print(label)
PY

say "== exit status $status"
exit "$status"
