"""The demo: runs one step of the tool against the simulated controller and
prints, line by line, what the tool printed next to what the controller did
(its LEDs, power and brightness) and what it received. `stream` runs the
companion's stream instead and draws the controller's strip as it goes.

  python3 -m testkit.demo --exe EXE --prefix PREFIX [--com 5] [step]
  python3 -m testkit.demo --probe-exe EXE --prefix PREFIX stream [seconds=S fps=F leds=N]
                          [restart|hang|unplug]

scripts/demo.sh builds the .exe and brings the prefix up first. Exits with
the tool's exit status.
"""

import argparse
import os
import sys
import time

from testkit import ROOT, stream_rate
from testkit.runner import Simulator, Tool
from testkit.simlog import parse_leds, parse_line, unescape

COLUMNS = 80
# A tool line longer than this is printed whole above its row.
LABEL_MAX = 30
# Each tool line is paired with what the controller received up to 150 ms
# after it was printed (its own transfer ends before the line; the next step
# starts at least 250 ms later), and with the strip as it stood then.
WINDOW_NS = 150_000_000
NAMES = {(0, 0, 0): ".", (255, 0, 0): "R", (0, 255, 0): "G", (0, 0, 255): "B",
         (255, 255, 255): "W", (16, 16, 16): "g"}
SHOWN = ("QUERY", "REPLY", "FRAME", "JSON", "JUNK", "UNPLUG", "REPLUG", "STALL")
# stream: the faults a word after the arguments plays, halfway through.
STREAM_FAULTS = {"restart": "--restart-after-frames", "hang": "--hang-after-frames",
                 "unplug": "--unplug-after-frames"}
STRIP_MAX = 40


def luminance(rgb):
    """Relative luminance of an sRGB colour, 0 to 1."""
    lin = [c / 255 / 12.92 if c <= 10 else ((c / 255 + 0.055) / 1.055) ** 2.4 for c in rgb]
    return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]


def strip(leds, on, bri, colour):
    """The LEDs as a person sees them: dark when the controller is off, else
    each colour scaled by the brightness, as the controller drives them."""
    if not colour:
        return "".join(NAMES.get(c, "*") if on else "." for c in leds)
    cells = []
    for c in leds:
        lit = tuple(v * bri // 255 for v in c) if on else (0, 0, 0)
        # Black or white letters, whichever stands out more from the cell.
        ink = (0, 0, 0) if luminance(lit) > 0.179 else (255, 255, 255)
        cells.append("\x1b[48;2;%d;%d;%dm\x1b[38;2;%d;%d;%dm%s" % (lit + ink + (NAMES.get(c, "*") if on else ".",)))
    return "".join(cells) + "\x1b[0m"


def describe(events):
    words, frames = [], None
    for e in events + [None]:
        if e is not None and e.kind == "FRAME" and "ok" in e.words:
            leds = parse_leds(e.get("leds"))
            text = "%d x %02x%02x%02x" % ((len(leds),) + leds[0]) if len(set(leds)) == 1 else e.get("leds")
            if frames and frames[1] == text:
                frames[0] += 1
            else:
                if frames:
                    words.append(("frame " if frames[0] == 1 else "%d frames " % frames[0]) + frames[1])
                frames = [1, text]
            continue
        if frames:
            words.append(("frame " if frames[0] == 1 else "%d frames " % frames[0]) + frames[1])
            frames = None
        if e is None:
            break
        if e.kind == "QUERY":
            words.append("query")
        elif e.kind == "REPLY" and e.words:
            text = bytes.fromhex(e.words[0]).decode("ascii", "backslashreplace")
            words.append('reply "%s"' % text.replace("\r", "\\r").replace("\n", "\\n"))
        elif e.kind == "JSON":
            text = unescape(e.get("text", "")).decode("utf-8", "backslashreplace")
            words.append(text if "ok" in e.words else "(%s) %s" % (" ".join(e.words), text or e.get("reason")))
        elif e.kind == "FRAME":
            words.append("bad frame (%s)" % e.get("reason", "?"))
        elif e.kind == "JUNK":
            words.append("junk %s" % (e.words[0] if e.words else ""))
        else:
            words.append(e.kind.lower())
    return ", ".join(words)


def view(tool_lines, log, colour):
    """The demo's table, one string per line, each within COLUMNS."""
    out = []
    t = log.last("TERMIOS")
    if t is not None:
        out.append("port as the controller sees it: %s baud, %s data bits, %s, %s" % (
            t.get("ispeed"), t.get("csize"), "parity on" if t.get("parenb") == "1" else "no parity",
            "2 stop bits" if t.get("cstopb") == "1" else "1 stop bit"))
    relevant = [e for e in log.events if e.kind in SHOWN]
    states = [e for e in log.events if e.kind in ("START", "STATE")]
    lines = [(ts, ("stderr: " if s == "err" else "") + text.decode("utf-8", "backslashreplace").rstrip("\n"))
             for ts, s, text in tool_lines]
    width = max([len(label) for _, label in lines if len(label) <= LABEL_MAX] + [12])
    room = COLUMNS - width - 26

    def row(label, right, what):
        return "%-*s | %s | %s" % (width, label, right, what if len(what) <= room else what[:room - 1] + "…")

    out.append(row("tool printed", "%-12s %-3s %3s" % ("LEDs", "pwr", "bri"), "controller received"))
    out.append("-" * width + "-+-" + "-" * 20 + "-+-" + "-" * room)
    prev_cut, shown = 0, None
    for i, (ts, label) in enumerate(lines):
        # Not cut short by the next line: the closing note follows `OK on` at
        # once, often before the controller has logged the JSON line.
        cut = ts + WINDOW_NS if i + 1 < len(lines) else float("inf")
        what = describe([e for e in relevant if prev_cut < e.ns <= cut])
        prev_cut = max(prev_cut, cut)
        state = [e for e in states if e.ns <= cut][-1]
        on, bri = state.get("on") == "1", int(state.get("bri"))
        right = "%s %-3s %3d" % (strip(parse_leds(state.get("leds")), on, bri, colour), "on" if on else "off", bri)
        # The strip is repeated only where something reached the controller
        # or changed, so lines printed together stay readable.
        show = bool(what) or right != shown or i == 0
        shown = right if show else shown
        if len(label) > width:
            out.append(label)
            if what:
                out.append(row("", right, what))
        else:
            out.append(row(label, right, what) if show else label)
    return out


def animate(run, log_path, colour, out=sys.stdout):
    """Draws the strip from the simulator's log as it grows, in place on a
    terminal (once a second elsewhere), until the tool has ended and the
    controller's live mode is over or has had its time-out since."""
    on, bri, leds, frames, live, t0, events, shown = True, 128, [], 0, False, None, [], 0.0
    rest, ended = "", None
    with open(log_path, encoding="ascii", errors="replace") as f:
        while ended is None or (live and time.monotonic() < ended + 3):
            text = rest + f.read()
            lines = text.split("\n")
            rest = lines.pop()  # a line still being written
            for e in map(parse_line, lines):
                t0 = e.ns if t0 is None and e.kind == "LIVE" else t0
                when = "%.1f s" % ((e.ns - t0) / 1e9) if t0 is not None else "start"
                if e.kind in ("START", "STATE"):
                    on, bri, leds = e.get("on") == "1", int(e.get("bri")), parse_leds(e.get("leds"))
                elif e.kind == "FRAME" and "ok" in e.words:
                    frames = int(e.get("n"))
                elif e.kind == "LIVE":
                    live = e.words == ["on"]
                    events.append("live %s at %s" % (e.words[0], when))
                elif e.kind in ("RESTART", "HANG", "UNPLUG", "REPLUG"):
                    events.append("%s at %s" % (e.kind.lower(), when))
            shown_leds = leds[:STRIP_MAX]
            what = "%s %d frames; %s" % ("…" if len(leds) > STRIP_MAX else "", frames,
                                        ", ".join(events[-3:]) or "waiting for frames")
            line = strip(shown_leds, on, bri, colour) + what[:COLUMNS - 1 - len(shown_leds)]
            if colour:
                out.write("\r" + line + "\x1b[K")
                out.flush()
            elif time.monotonic() - shown >= 1 or (ended and not live):
                shown = time.monotonic()
                print(line, file=out, flush=True)
            if ended is None and run.end_ns is not None:
                ended = time.monotonic()
            time.sleep(0.04)
    if colour:
        print(file=out)


def stream(o):
    """The companion's stream against the simulated controller, drawn."""
    sim_args, args = [], []
    for word in o.args:
        key, _, value = word.partition("=")
        if word in STREAM_FAULTS:
            sim_args.append(word)
        elif key in ("seconds", "fps", "leds") and value.isdigit():
            args.append(word)
        else:
            print("demo: stream takes seconds=S fps=F leds=N and one of %s, not %r" % (
                "|".join(STREAM_FAULTS), word), file=sys.stderr)
            return 2
    given = dict(a.split("=") for a in args)
    seconds, fps = int(given.setdefault("seconds", "10")), int(given.setdefault("fps", "30"))
    leds = int(given.get("leds", 12))
    halfway = max(1, int(seconds * stream_rate(fps, leds) / 2))
    # The count the controller reports, so that the companion's default is the same.
    sim_args = ["--leds", leds, "--uart-rate"] + [a for w in sim_args for a in (STREAM_FAULTS[w], halfway)]
    args = ["COM%d" % o.com, "stream"] + ["%s=%s" % kv for kv in given.items()]
    sim = Simulator(o.prefix, o.com, os.path.join(o.logs, "sim.log"), sim_args, (seconds + 90) * 1000)
    run = None
    try:
        print("== lumaris_serial_probe %s   (simulated controller on %s, %s LEDs)" % (
            " ".join(args), sim.pts, sim_args[1]), flush=True)
        run = Tool(o.probe_exe, o.prefix, o.wine).start(args, timeout_s=seconds + 60)
        animate(run, sim.log_path, sys.stdout.isatty() and os.environ.get("TERM", "dumb") != "dumb")
        run.wait()
    finally:
        if run is not None:
            run.kill()
        problems = sim.stop()
    for _, s, text in run.lines:
        print(("stderr: " if s == "err" else "") + text.decode("utf-8", "backslashreplace").rstrip("\n"))
    for text in problems:
        print("demo: left behind: %s" % text, file=sys.stderr)
    return run.rc if run.rc is not None and run.rc >= 0 else 1


def main(argv=None):
    p = argparse.ArgumentParser(description="One step of the tool against the simulated controller, shown.")
    p.add_argument("--exe", default=os.path.join(ROOT, "build/windows/lumaris_serial_spike.exe"))
    p.add_argument("--probe-exe", default=os.path.join(ROOT, "build/windows/lumaris_serial_probe.exe"))
    p.add_argument("--prefix", default=os.environ.get("WINEPREFIX"), help="initialised Wine prefix")
    p.add_argument("--wine", default="wine")
    p.add_argument("--com", type=int, default=5)
    p.add_argument("--logs", default=os.path.join(ROOT, "build/demo-logs"))
    p.add_argument("step", nargs="?", default="all")
    p.add_argument("args", nargs="*", help="stream: its arguments and a fault to play")
    o = p.parse_args(argv)
    if not o.prefix:
        p.error("--prefix (or WINEPREFIX) is required")
    os.makedirs(o.logs, exist_ok=True)
    if o.step == "stream":
        return stream(o)
    if o.args:
        p.error("only stream takes arguments")
    limit, sim_args = 60, []
    if o.step == "unplug-loop":
        # The simulated cable is pulled after a few frames and put back 3 s later.
        limit, sim_args = 240, ["--unplug-after-frames", 8, "--replug-after-ms", 3000]
    # The simulator stops by itself should this be killed outright.
    sim = Simulator(o.prefix, o.com, os.path.join(o.logs, "sim.log"), sim_args, (limit + 60) * 1000)
    run = None
    try:
        print("== lumaris_serial_spike COM%d %s   (simulated controller on %s)" % (o.com, o.step, sim.pts),
              flush=True)
        run = Tool(o.exe, o.prefix, o.wine).start(["COM%d" % o.com, o.step], timeout_s=limit)
        run.wait()
    finally:
        if run is not None:
            run.kill()
        # Stopped before its log is read, so that the log is complete.
        problems = sim.stop()
    colour = sys.stdout.isatty() and os.environ.get("TERM", "dumb") != "dumb"
    print("\n".join(view(run.lines, sim.log(), colour)))
    if run.timed_out:
        print("demo: the tool did not finish within %d s" % limit)
    for text in problems:
        print("demo: left behind: %s" % text, file=sys.stderr)
    return run.rc if run.rc is not None and run.rc >= 0 else 1


if __name__ == "__main__":
    sys.exit(main())
