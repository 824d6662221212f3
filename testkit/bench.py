"""Benchmark: the real .exe under Wine against the simulated controller.

Prints figures only, never judges them: a Markdown table of medians, minima
and maxima over --runs runs of each measurement. A measure whose spread
(max - min) is wider than its median shows "noise (spread X)" in place of
the three: on a busy machine a difference of two times can even come out
below zero, and no such figure is printed.

  start-up         wall time of a run that fails at once (invalid port name)
                   and of one whose open fails (no such COM port)
  step overhead    a step's wall time minus the start-up median and minus the
                   pauses the step takes on purpose (bri50: 25 ms; all: 3000 ms
                   of pauses and the 25 ms gap)
  v latency        from the query byte's arrival at the controller (simulator
                   log) to the OK line's arrival on the tool's stdout
  silent v         total time against a controller that never answers, the
                   collection window as seen from outside, and the CPU time
                   it costs (tool process tree; wineserver and the prefix's
                   other processes sampled from /proc)
  unplug-loop      from the simulated unplug to the "ERR write" line, and from
                   the replug to the "OK reopen" line

With --stream, the companion's `stream` at 12 LEDs instead, for 30 and 60
frames per second and over the line's ceiling (fps=300, so the ceiling of
274.3): the achieved rate against min(requested, ceiling), the frames the
controller received, the spread of their arrivals around the ideal slots
(each frame's slot told by its lit LED, the slots fitted to the first
arrival), write times, and CPU time per second of streaming.

Needs an initialised prefix with a running wineserver: `bash bench/run.sh`
builds the .exe, brings the prefix up and runs this. Python 3.11 standard
library only.
"""

import argparse
import math
import os
import sys
import time
from statistics import median

from testkit import ROOT, leftovers, stream_rate
from testkit.expected import (ALL_OK, INVALID_PORT, OPEN_FAIL, REOPEN_OK, STEP_OK, V_OK, V_TIMEOUT, WRITE_ERROR,
                              head, line)
from testkit.runner import Simulator, Tool
from testkit.simlog import parse_leds

EXPECTED = dict(STEP_OK, all=ALL_OK)
# Pauses each step takes by design, in ms.
FIXED_PAUSE_MS = {"off": 0, "on": 0, "fill-red": 0, "bri50": 25, "v": 0, "all": 3025}
STREAM_LEDS = 12
STREAM_FPS = (30, 60, 300)


def percentile(values, q):
    """Nearest rank: the smallest value with at least q of them at or below it."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)]


def slot_errors_ms(frames, rate, late):
    """|arrival - ideal slot| of each frame the controller logged, in ms.
    Frame k lights LED k mod n, so a frame dropped as late shifts the slot
    of the next; the slots are start + k / rate, start fitted to the first
    arrival. An arrival is the read of the frame's first byte."""
    arrivals, steps, k = [], [], -1
    for e in frames:
        leds = parse_leds(e.get("leds"))
        lit, n = next((i for i, c in enumerate(leds) if c != (0, 0, 0)), 0), len(leds)
        steps.append(1 + (lit - k - 1) % n)
        k += steps[-1]
        arrivals.append(int(e.get("start")))
    # n or more dropped in a row do not show in the lit LED: the late count
    # says how many such runs there were, the widest gaps where.
    runs = (late - sum(s - 1 for s in steps)) // n
    widest = sorted(range(1, len(steps)), key=lambda i: (arrivals[i] - arrivals[i - 1]) * rate / 1e9 - steps[i])
    for i in widest[len(widest) - max(0, runs):]:
        steps[i] += n
    errors, k = [], -1
    for at, step in zip(arrivals, steps):
        k += step
        errors.append(abs(at - arrivals[0] - (k - steps[0] + 1) * 1e9 / rate) / 1e6)
    return errors


def cells(values):
    """The median, min and max cells of one measure."""
    mid, spread = median(values), max(values) - min(values)
    if spread > mid or mid < 0:
        return ("noise (spread %.1f)" % spread if spread else "noise"), "-", "-"
    return "%.1f" % mid, "%.1f" % min(values), "%.1f" % max(values)


class Bench:
    def __init__(self, o):
        self.o = o
        self.tool = Tool(o.exe, o.prefix, o.wine)
        self.samples = {}      # key -> [ms]
        self.notes = []
        self.failures = []

    def add(self, key, value_ms):
        if value_ms is not None:
            self.samples.setdefault(key, []).append(value_ms)

    def run(self, args, timeout_s=30.0, stdin_bytes=None):
        return self.tool.run(args, timeout_s=timeout_s, stdin=stdin_bytes)

    def check(self, what, run, rc, out=None, err=None):
        problems = run.problems(rc, out, err)
        if problems:
            self.failures.append("%s: %s" % (what, "; ".join(problems)))
            return False
        return True

    def sim(self, com, name, *args, lifetime_ms=900_000):
        path = os.path.join(self.o.logs, "%s.log" % name)
        return Simulator(self.o.prefix, com, path, args, lifetime_ms=lifetime_ms)

    def stop(self, sim):
        for p in sim.stop():
            self.failures.append("simulator %s: %s" % (sim.log_path, p))

    def events_between(self, sim, kind, start_ns, end_ns, settle_s=0.5):
        """Events of one kind that the simulator logged during a run."""
        log = sim.wait_for(lambda l: any(start_ns <= e.ns <= end_ns for e in l.of(kind)), settle_s)
        if log is None:
            return []
        return [e for e in log.of(kind) if start_ns <= e.ns <= end_ns]

    # ---- measurements ----

    def startup(self, first=False):
        bad_name = self.run(["COM1234", "v"])
        ok = self.check("COM1234 v", bad_name, 2, b"", line(INVALID_PORT, "COM1234"))
        absent = self.run([self.o.absent_port, "v"])
        ok2 = self.check("%s v" % self.o.absent_port, absent, 1, b"", line(OPEN_FAIL, self.o.absent_port, 2))
        if first:
            self.notes.append("first runs (not counted): invalid name %.0f ms, open failure %.0f ms"
                              % (bad_name.wall_s * 1e3, absent.wall_s * 1e3))
            return
        if ok:
            self.add("startup_invalid", bad_name.wall_s * 1e3)
            self.add("startup_cpu", bad_name.cpu_s * 1e3)
        if ok2:
            self.add("startup_absent", absent.wall_s * 1e3)

    def steps(self, sim):
        for step in ("off", "on", "fill-red", "bri50", "v", "all"):
            res = self.run([self.o.port, step])
            if not self.check(step, res, 0, EXPECTED[step], b""):
                continue
            self.samples.setdefault("wall_" + step, []).append(res.wall_s * 1e3)
            if step != "v":
                continue
            queries = self.events_between(sim, "QUERY", res.start_ns, res.end_ns)
            replies = self.events_between(sim, "REPLY", res.start_ns, res.end_ns)
            ok_ns = res.line_time(head(V_OK))
            if len(queries) != 1 or not replies or ok_ns is None:
                self.failures.append("v: %d query events, %d replies in the log" % (
                    len(queries), len(replies)))
                continue
            self.add("v_query_to_ok", (ok_ns - queries[0].ns) / 1e6)
            self.add("v_reply_to_ok", (ok_ns - replies[0].ns) / 1e6)

    def silent_v(self, sim):
        server = leftovers.wineserver_pid(self.o.prefix)
        others = {pid for pid in leftovers.prefix_processes(self.o.prefix) if pid != server}
        before = {pid: leftovers.cpu_ticks(pid) for pid in others | {server}}
        res = self.run([self.o.port_silent, "v"], timeout_s=20)
        after = {pid: leftovers.cpu_ticks(pid) for pid in before}
        if not self.check("silent v", res, 1, V_TIMEOUT, b""):
            return

        def delta_ms(pids, b, a):
            ticks = sum(a[p] - b[p] for p in pids
                        if b.get(p) is not None and a.get(p) is not None)
            return ticks * 1e3 / leftovers.CLK_TCK

        self.add("silent_wall", res.wall_s * 1e3)
        self.add("silent_cpu", res.cpu_s * 1e3)
        if server is not None:
            self.add("silent_server_cpu", delta_ms([server], before, after))
        self.add("silent_others_cpu", delta_ms(others, before, after))
        # The same processes over the same time with no tool running: Wine's
        # device host polls on its own, and that is not the tool's doing.
        idle_before = {pid: leftovers.cpu_ticks(pid) for pid in before}
        time.sleep(res.wall_s)
        idle_after = {pid: leftovers.cpu_ticks(pid) for pid in before}
        if server is not None:
            self.add("idle_server_cpu", delta_ms([server], idle_before, idle_after))
        self.add("idle_others_cpu", delta_ms(others, idle_before, idle_after))
        queries = self.events_between(sim, "QUERY", res.start_ns, res.end_ns)
        fail_ns = res.line_time(V_TIMEOUT)
        if len(queries) == 1 and fail_ns is not None:
            self.add("silent_query_to_fail", (fail_ns - queries[0].ns) / 1e6)

    def unplug(self, i):
        sim = self.sim(self.o.com_unplug, "unplug-%d" % i, "--unplug-after-frames", 3,
                       "--replug-after-ms", 2500, lifetime_ms=120_000)
        try:
            res = self.run([self.o.port_unplug, "unplug-loop"], timeout_s=90, stdin_bytes=b"\n")
        finally:
            self.stop(sim)
        if not self.check("unplug-loop", res, 0, None, b""):
            return
        log = sim.log()
        unplug, replug = log.first("UNPLUG"), log.first("REPLUG")
        err_ns, ok_ns = res.line_time(head(WRITE_ERROR)), res.line_time(head(REOPEN_OK))
        if None in (unplug, replug, err_ns, ok_ns):
            self.failures.append("unplug-loop: missing UNPLUG/REPLUG or output line: %r" % res)
            return
        self.add("unplug_detect", (err_ns - unplug.ns) / 1e6)
        self.add("replug_detect", (ok_ns - replug.ns) / 1e6)
        for _, s, text in res.lines:
            if text.startswith(head(REOPEN_OK)):
                self.samples.setdefault("unplug_lines", []).append(text.decode().strip())
            elif text.startswith(head(WRITE_ERROR)):
                self.samples.setdefault("unplug_err_lines", []).append(text.decode().strip())

    # ---- the companion's stream ----

    def stream_startup(self):
        """CPU of a run that ends before any port is opened: the start-up to leave out."""
        res = self.probe.run(["COM1234", "stream"])
        if res.rc == 2 and res.cpu_s is not None:
            self.add("stream_startup_cpu", res.cpu_s * 1e3)

    def stream(self, fps, i):
        o = self.o
        sim = self.sim(o.com, "stream-%d-%d" % (fps, i), "--leds", STREAM_LEDS, lifetime_ms=(o.seconds + 120) * 1000)
        server = leftovers.wineserver_pid(o.prefix)
        before = leftovers.cpu_ticks(server) if server else None
        try:
            res = self.probe.run([o.port, "stream", "seconds=%d" % o.seconds, "fps=%d" % fps,
                                  "leds=%d" % STREAM_LEDS], timeout_s=o.seconds + 60)
        finally:
            self.stop(sim)
        after = leftovers.cpu_ticks(server) if server else None
        result = next((l.decode() for _, s, l in res.lines if s == "out" and l.startswith(b"OK stream")), None)
        if not self.check("stream fps=%d" % fps, res, 0):
            return
        if result is None:
            self.failures.append("stream fps=%d: no OK stream line: %r" % (fps, res))
            return
        got = dict(w.split("=", 1) for w in result.split() if "=" in w)
        frames, rate = sim.log().frames(), stream_rate(fps, STREAM_LEDS)
        if len(frames) != int(got["frames"]):
            self.failures.append("stream fps=%d: %s frames sent, %d received" % (fps, got["frames"], len(frames)))
            return
        key = "stream%d_" % fps
        self.add(key + "fps", float(got["fps"]))
        self.add(key + "ratio", float(got["fps"]) / rate)
        self.add(key + "late", int(got["late"]))
        self.add(key + "write_p99", float(got["write_p99_ms"]))
        self.add(key + "write_max", float(got["write_max_ms"]))
        errors = slot_errors_ms(frames, rate, int(got["late"]))
        self.add(key + "slot_p50", percentile(errors, 0.5))
        self.add(key + "slot_p99", percentile(errors, 0.99))
        # Each run's own figures: a median over few runs hides a bad one.
        self.notes.append("fps=%d run %d: slot error p50 %.1f p99 %.1f max %.1f ms; %s" % (
            fps, i + 1, percentile(errors, 0.5), percentile(errors, 0.99), max(errors), result.strip()))
        self.stream_cpu.setdefault(fps, []).append((res.cpu_s, float(got["seconds"])))
        if None not in (before, after):
            self.add(key + "server_cpu", (after - before) * 1e3 / leftovers.CLK_TCK / float(got["seconds"]))

    def go_stream(self):
        o = self.o
        self.probe, self.stream_cpu = Tool(o.probe_exe, o.prefix, o.wine), {}
        os.makedirs(o.logs, exist_ok=True)
        started, self.load = time.monotonic(), [os.getloadavg()]
        for i in range(o.runs):
            self.stream_startup()
            for fps in STREAM_FPS:
                self.stream(fps, i)
            print("bench: round %d/%d done (%.0f s)" % (i + 1, o.runs, time.monotonic() - started),
                  file=sys.stderr, flush=True)
        self.load.append(os.getloadavg())
        base = median(self.samples.get("stream_startup_cpu", [0.0]))
        for fps, runs in self.stream_cpu.items():
            for cpu_s, seconds in runs:
                self.add("stream%d_cpu" % fps, (cpu_s * 1e3 - base) / seconds)
        self.elapsed_s = time.monotonic() - started

    def stream_report(self):
        s, o = self.samples, self.o
        print("## lumaris_serial_probe stream under Wine against the simulator\n")
        print("runs=%d of %d s each at %d LEDs; load average (1, 5, 15 min) %s at the start, %s at the end, "
              "%d cores; %.0f s in all\n" % (o.runs, o.seconds, STREAM_LEDS, *("%.2f %.2f %.2f" % l for l in self.load),
                                            os.cpu_count(), self.elapsed_s))
        print("| Measure | n | median | min | max | note |\n|---|---:|---:|---:|---:|---|")
        for fps in STREAM_FPS:
            key, rate = "stream%d_" % fps, stream_rate(fps, STREAM_LEDS)
            for name, label, note in (
                    ("fps", "achieved fps", "min(requested, ceiling) = %.1f" % rate),
                    ("ratio", "achieved / min(requested, ceiling)", ""),
                    ("late", "frames dropped as late", ""),
                    ("slot_p50", "slot error p50 (ms)", "|arrival - ideal slot| at the controller"),
                    ("slot_p99", "slot error p99 (ms)", ""),
                    ("write_p99", "write completion p99 (ms)", "the companion's own figures"),
                    ("write_max", "write completion max (ms)", ""),
                    ("cpu", "companion CPU (ms per s of stream)", "wait4 rusage, less start-up"),
                    ("server_cpu", "wineserver CPU (ms per s of stream)", "/proc stat delta")):
                values = s.get(key + name)
                cols = cells(values) if values else ("-", "-", "-")
                if values and name in ("ratio",):
                    cols = tuple("%.3f" % v for v in (median(values), min(values), max(values)))
                print("| fps=%d: %s | %d | %s | %s | %s | %s |" % ((fps, label, len(values or [])) + cols + (note,)))
        print("\n- start-up CPU left out: median %.1f ms of `COM1234 stream` (exit 2 before any open)"
              % median(s.get("stream_startup_cpu", [0.0])))
        for n in self.notes:
            print("- %s" % n)
        for f in self.failures:
            print("- FAILED RUN (left out of the figures): %s" % f)

    # ---- driver ----

    def go(self):
        o = self.o
        if leftovers.wineserver_pid(o.prefix) is None:
            sys.exit("bench: no wineserver runs for %s; start it with "
                     "WINEPREFIX=%s bash scripts/wine-prefix.sh up" % (o.prefix, o.prefix))
        os.makedirs(o.logs, exist_ok=True)
        started = time.monotonic()
        healthy = self.sim(o.com, "healthy")
        silent = self.sim(o.com_silent, "silent", "--silent")
        try:
            self.startup(first=True)
            first_v = self.run([o.port, "v"])
            self.check("first v", first_v, 0, EXPECTED["v"])
            self.notes.append("first `v` (not counted): %.0f ms wall" % (first_v.wall_s * 1e3))
            for i in range(o.runs):
                self.startup()
                self.steps(healthy)
                self.silent_v(silent)
                if i < o.unplug_runs:
                    self.unplug(i)
                print("bench: round %d/%d done (%.0f s)" % (i + 1, o.runs, time.monotonic() - started),
                      file=sys.stderr, flush=True)
        finally:
            self.stop(healthy)
            self.stop(silent)
        self.elapsed_s = time.monotonic() - started

    def table(self):
        s = self.samples
        base = median(s["startup_invalid"]) if s.get("startup_invalid") else 0.0
        rows = []

        def row(label, values, note=""):
            if not values:
                rows.append("| %s | 0 | - | - | - | %s |" % (label, note))
                return
            rows.append("| %s | %d | %s | %s | %s | %s |" % ((label, len(values)) + cells(values) + (note,)))

        row("start-up: invalid name (`COM1234 v`), wall", s.get("startup_invalid"),
            "exit 2 before any open; baseline below")
        row("start-up: open failure (`%s v`, no such port), wall" % self.o.absent_port,
            s.get("startup_absent"), "exit 1, code=2")
        for step in ("off", "on", "fill-red", "bri50", "v", "all"):
            pause = FIXED_PAUSE_MS[step]
            vals = [w - base - pause for w in s.get("wall_" + step, [])]
            label = "`%s`: wall − start-up%s" % (step, " − %d ms" % pause if pause else "")
            note = {"bri50": "25 ms gap", "all": "3000 ms pauses + 25 ms gap",
                    "v": "default reply"}.get(step, "")
            row(label, vals, note)
        row("`v`: query byte at controller → OK line on stdout", s.get("v_query_to_ok"))
        row("`v`: reply written by controller → OK line on stdout", s.get("v_reply_to_ok"))
        row("`v` silent: total wall", s.get("silent_wall"),
            "bound: 2000 + ≤150 ms last round + start-up")
        row("`v` silent: total wall − start-up", [w - base for w in s.get("silent_wall", [])])
        row("`v` silent: query byte at controller → FAIL line", s.get("silent_query_to_fail"),
            "collection window seen from outside")
        row("`v` silent: CPU user+sys, tool process tree", s.get("silent_cpu"), "wait4 rusage")
        row("start-up run: CPU user+sys, tool process tree", s.get("startup_cpu"), "for comparison")
        row("`v` silent: CPU of wineserver (delta)", s.get("silent_server_cpu"),
            "/proc stat, %d ms ticks" % (1000 // leftovers.CLK_TCK))
        row("`v` silent: CPU of other prefix processes (delta)", s.get("silent_others_cpu"),
            "winedevice etc.")
        row("no tool running, same duration: CPU of wineserver", s.get("idle_server_cpu"),
            "idle baseline")
        row("no tool running, same duration: CPU of other prefix processes",
            s.get("idle_others_cpu"), "idle baseline")
        row("`unplug-loop`: UNPLUG → \"ERR write\" line", s.get("unplug_detect"),
            "unplug after frame 3; 250 ms pause between writes")
        row("`unplug-loop`: REPLUG → \"OK reopen\" line", s.get("replug_detect"),
            "replug 2500 ms after unplug; re-open once a second")
        out = ["| Measure (ms) | n | median | min | max | note |",
               "|---|---:|---:|---:|---:|---|"] + rows
        return "\n".join(out)

    def report(self):
        print("## lumaris_serial_spike under Wine against the simulator\n")
        print("runs=%d, unplug runs=%d, start-up baseline = median of the invalid-name run; "
              "%.0f s in all\n" % (self.o.runs, min(self.o.unplug_runs, self.o.runs), self.elapsed_s))
        print(self.table())
        lines = self.samples.get("unplug_lines", [])
        errs = self.samples.get("unplug_err_lines", [])
        if lines:
            counts = {}
            for l in errs + lines:
                counts[l] = counts.get(l, 0) + 1
            self.notes.append("unplug-loop lines: " + "; ".join(
                "%s ×%d" % (k, v) for k, v in sorted(counts.items())))
        if self.notes or self.failures:
            print()
        for n in self.notes:
            print("- %s" % n)
        for f in self.failures:
            print("- FAILED RUN (left out of the figures): %s" % f)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--exe", default=os.path.join(ROOT, "build/bench-win/lumaris_serial_spike.exe"))
    p.add_argument("--prefix", default=os.environ.get("WINEPREFIX") or
                   os.path.join(ROOT, "build/bench-win/wineprefix"))
    p.add_argument("--wine", default="wine")
    p.add_argument("--runs", type=int, help="runs of each measurement (default 7; 3 with --stream)")
    p.add_argument("--stream", action="store_true", help="the companion's stream instead (see above)")
    p.add_argument("--seconds", type=int, default=10, help="--stream: seconds of each stream (default 10)")
    p.add_argument("--probe-exe", default=os.path.join(ROOT, "build/bench-win/lumaris_serial_probe.exe"))
    p.add_argument("--unplug-runs", type=int, default=None,
                   help="unplug-loop runs (default: --runs; each takes about 5 s)")
    p.add_argument("--com", type=int, default=5, help="COM number of the healthy controller")
    p.add_argument("--com-silent", type=int, default=6)
    p.add_argument("--com-unplug", type=int, default=7)
    p.add_argument("--absent-port", default="COM9", help="a valid name with nothing behind it")
    p.add_argument("--logs", default=os.path.join(ROOT, "build/bench-logs"))
    o = p.parse_args(argv)
    o.runs = o.runs or (3 if o.stream else 7)
    if o.runs < 1:
        p.error("--runs must be at least 1")
    o.unplug_runs = o.runs if o.unplug_runs is None else o.unplug_runs
    o.prefix = os.path.abspath(o.prefix)
    o.port, o.port_silent, o.port_unplug = ("COM%d" % o.com, "COM%d" % o.com_silent,
                                            "COM%d" % o.com_unplug)
    absent_link = os.path.join(o.prefix, "dosdevices", o.absent_port.lower())
    if os.path.lexists(absent_link):
        p.error("%s exists in the prefix; pick another --absent-port" % absent_link)
    b = Bench(o)
    if o.stream:
        b.go_stream()
        b.stream_report()
    else:
        b.go()
        b.report()
    return 1 if b.failures else 0


if __name__ == "__main__":
    sys.exit(main())
