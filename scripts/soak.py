#!/usr/bin/python3
"""Soak: runs `lumaris_serial_spike COMn all` under Wine against one simulated
controller N times in a row and reports

  - every failed run: exit status other than 0, output other than the seven
    OK lines and the closing note, anything on stderr, a run over its time
    limit, Wine processes left in the tool's process group, or controller
    bytes other than exactly one full sequence per run;
  - the distribution of wall times (min, median, p90, max);
  - anything left behind: processes of the prefix (the persistent wineserver
    and Wine's own services are expected, and counted before and after),
    simulator processes of this prefix, ptys still held by them, the
    simulator's open descriptors before the first and after the last run.

Exit status 0 when every run passed and nothing was left behind, 1 otherwise,
2 on a usage error or a missing wineserver.

  python3 scripts/soak.py --exe build/windows/lumaris_serial_spike.exe \\
      --prefix build/windows/wineprefix [--runs 200]

The prefix must be initialised and its persistent server running
(scripts/wine-prefix.sh up); otherwise the first run would start a server
that then shows up as a leftover.
"""

import argparse
import collections
import os
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "bench"))
import runlib  # noqa: E402

# Longest a healthy `all` takes is about 3 s of pauses plus start-up; this is
# only the kill limit for a run that hangs.
RUN_LIMIT_S = 30.0
# How long to wait for the simulator to log the bytes of a finished run.
RX_SETTLE_S = 2.0
MAX_LISTED = 10


def census(prefix, sim=None):
    procs = runlib.prefix_processes(prefix)
    names = collections.Counter(n for n, _ in procs.values())
    zombies = collections.Counter(runlib.zombies_of(set(procs) | {os.getpid()}).values())
    want = os.path.realpath(prefix)
    sims = set()
    for pid in runlib.sim_processes():
        argv = runlib.cmdline(pid).split(" ")
        if "--prefix" in argv:
            i = argv.index("--prefix")
            if i + 1 < len(argv) and os.path.realpath(argv[i + 1]) == want:
                sims.add(pid)
    server = runlib.wineserver_pid(prefix)
    return {
        "procs": procs,
        "names": names,
        "zombies": zombies,
        "sims": sims,
        "pts": runlib.pts_entries(),
        "server": server,
        "server_fds": runlib.fd_count(server) if server else None,
        "sim_fds": sim.fd_count() if sim is not None else None,
    }


def fmt_counter(c):
    return ", ".join("%s×%d" % (k, v) for k, v in sorted(c.items())) or "none"


def held_by(path, pids):
    return [h for h in runlib.pty_holders(path) if h[0] in pids]


class Soak:
    def __init__(self, o):
        self.o = o
        self.walls = []
        self.failures = []
        self.leftovers = []
        self.info = []

    def fail(self, i, text):
        self.failures.append((i, text))

    def check_run(self, i, run, tail):
        problems = []
        if run.timed_out:
            problems.append("killed after %.0f s" % self.o.timeout)
        if run.rc != 0:
            problems.append("exit status %s" % run.rc)
        got = run.out.split(b"\n")
        want = runlib.ALL_OK.split(b"\n")
        if not run.out:
            problems.append("nothing on stdout")
        elif got != want:
            extra = [l for l in got if l not in want]
            missing = [l for l in want if l not in got]
            problems.append("stdout differs (unexpected %r, missing %r)" % (extra, missing)
                            if extra or missing else "stdout lines out of order: %r" % run.out)
        if run.err:
            problems.append("stderr %r" % run.err)
        if not run.group_clean:
            problems.append("Wine processes outlived the tool in its process group")
        rx = self.collect_rx(tail, len(runlib.ALL_BYTES))
        if rx != runlib.ALL_BYTES:
            problems.append("controller received %d bytes, not the %d of one sequence%s" % (
                len(rx), len(runlib.ALL_BYTES),
                "" if len(rx) == len(runlib.ALL_BYTES) else ": %s" % rx.hex(" ")))
        for p in problems:
            self.fail(i, p)
        return not problems

    def collect_rx(self, tail, want_len):
        """The bytes the controller read since the previous call, waiting a
        moment for the simulator to log the last of them."""
        data = b""
        deadline = time.monotonic() + RX_SETTLE_S
        while True:
            for e in tail.new_events():
                if e.kind == "RX" and e.words:
                    data += bytes.fromhex(e.words[0])
            if len(data) >= want_len or time.monotonic() >= deadline:
                # Anything beyond one sequence would be logged by now too.
                time.sleep(0.02)
                for e in tail.new_events():
                    if e.kind == "RX" and e.words:
                        data += bytes.fromhex(e.words[0])
                return data
            time.sleep(0.01)

    def go(self):
        o = self.o
        if runlib.wineserver_pid(o.prefix) is None:
            print("soak: no wineserver runs for %s; start it first:\n"
                  "  WINEPREFIX=%s bash scripts/wine-prefix.sh up" % (o.prefix, o.prefix),
                  file=sys.stderr)
            return 2
        os.makedirs(o.logs, exist_ok=True)
        log_path = os.path.join(o.logs, "soak-sim.log")
        start = census(o.prefix)
        sim = runlib.Simulator(o.prefix, o.com, log_path,
                               lifetime_ms=int((o.runs * (o.timeout + 5) + 120) * 1000))
        sim_problems = []
        try:
            tail = runlib.LogTail(log_path)
            before = census(o.prefix, sim)
            t0 = time.monotonic()
            for i in range(1, o.runs + 1):
                run = runlib.run_tool(o.wine, o.exe, [o.port, "all"], o.prefix,
                                      timeout_s=o.timeout)
                self.walls.append(run.wall_s)
                self.check_run(i, run, tail)
                if o.progress and (i % o.progress == 0 or i == o.runs):
                    print("soak: %d/%d runs, %d failure(s), %.0f s" % (
                        i, o.runs, len({n for n, _ in self.failures}), time.monotonic() - t0),
                        file=sys.stderr, flush=True)
            after = census(o.prefix, sim)
            self.elapsed = time.monotonic() - t0
        finally:
            sim_problems = sim.stop()
        final = census(o.prefix)
        self.compare(start, before, after, final, sim, sim_problems)
        return 0

    def compare(self, start, before, after, final, sim, sim_problems):
        for p in sim_problems:
            self.leftovers.append("simulator: %s" % p)
        # Processes of the prefix, by name: the persistent server and Wine's
        # services stay; anything more after the runs is a leftover.
        grew = after["names"] - before["names"]
        if grew:
            self.leftovers.append("prefix processes after the runs beyond those before: %s" %
                                  fmt_counter(grew))
        new_z = final["zombies"] - start["zombies"]
        if new_z:
            self.leftovers.append("zombie processes of the prefix: %s" % fmt_counter(new_z))
        if final["sims"]:
            self.leftovers.append("simulator processes still running: %s" % sorted(final["sims"]))
        if after["sim_fds"] is not None and before["sim_fds"] is not None \
                and after["sim_fds"] > before["sim_fds"]:
            self.leftovers.append("simulator descriptors grew from %d to %d" % (
                before["sim_fds"], after["sim_fds"]))
        # ptys: the machine's total moves with whatever else runs on it, so a
        # new entry counts only if a process of this prefix or this script
        # holds it.
        ours = set(final["procs"]) | {os.getpid()}
        for pts in sorted(final["pts"] - start["pts"], key=int):
            path = "/dev/pts/" + pts
            holders = held_by(path, ours)
            if holders:
                self.leftovers.append("%s held by %s" % (path, holders))
        if sim.pts and os.path.exists(sim.pts):
            holders = held_by(sim.pts, ours)
            if holders:
                self.leftovers.append("simulator pty %s held by %s" % (sim.pts, holders))
        self.census_rows = [
            ("prefix processes", fmt_counter(before["names"]), fmt_counter(after["names"])),
            ("zombies of the prefix", fmt_counter(start["zombies"]), fmt_counter(final["zombies"])),
            ("simulator processes (this prefix)", len(before["sims"]), len(final["sims"])),
            ("simulator open fds", before["sim_fds"], after["sim_fds"]),
            ("wineserver pid / open fds", "%s / %s" % (before["server"], before["server_fds"]),
             "%s / %s" % (after["server"], after["server_fds"])),
            ("/dev/pts entries, simulator up (whole machine)", len(before["pts"]), len(after["pts"])),
            ("/dev/pts entries, no simulator (whole machine)", len(start["pts"]), len(final["pts"])),
        ]

    def report(self):
        o = self.o
        failed_runs = sorted({i for i, _ in self.failures})
        print("## soak: `%s all` x %d under Wine against the simulator" % (o.port, o.runs))
        print()
        print("runs: %d, passed: %d, failed: %d; %.0f s in all" % (
            o.runs, o.runs - len(failed_runs), len(failed_runs), self.elapsed))
        if self.walls:
            w = [x * 1e3 for x in self.walls]
            print()
            print("| wall time (ms) | min | median | p90 | max |")
            print("|---|---:|---:|---:|---:|")
            print("| `all` | %.0f | %.0f | %.0f | %.0f |" % (
                min(w), runlib.median(w), runlib.percentile(w, 90), max(w)))
            slow = sorted(range(len(w)), key=lambda k: -w[k])[:3]
            print()
            print("slowest runs: %s" % ", ".join("#%d %.0f ms" % (k + 1, w[k]) for k in slow))
        print()
        print("| left behind? | before | after |")
        print("|---|---|---|")
        for name, b, a in self.census_rows:
            print("| %s | %s | %s |" % (name, b, a))
        print()
        for i, text in self.failures[:MAX_LISTED]:
            print("FAIL run %d: %s" % (i, text))
        if len(self.failures) > MAX_LISTED:
            print("... and %d more failure line(s)" % (len(self.failures) - MAX_LISTED))
        for text in self.leftovers:
            print("LEFTOVER: %s" % text)
        ok = not self.failures and not self.leftovers
        print("soak: %s" % ("PASS" if ok else "FAIL"))
        return 0 if ok else 1


def main(argv=None):
    p = argparse.ArgumentParser(description="Runs `all` back to back and looks for failures and leftovers.")
    p.add_argument("--exe", default=os.environ.get("LSS_EXE"), help="the .exe (default $LSS_EXE)")
    p.add_argument("--prefix", default=os.environ.get("WINEPREFIX"),
                   help="the initialised Wine prefix (default $WINEPREFIX)")
    p.add_argument("--wine", default=os.environ.get("LSS_WINE", "wine"))
    p.add_argument("--runs", type=int, default=200)
    p.add_argument("--com", type=int, default=11, help="COM number for the simulator (default 11)")
    p.add_argument("--timeout", type=float, default=RUN_LIMIT_S, help="kill limit per run, s")
    p.add_argument("--logs", default=os.path.join(REPO, "build", "soak-logs"))
    p.add_argument("--progress", type=int, default=10, help="progress line every N runs (0: none)")
    o = p.parse_args(argv)
    if not o.exe or not o.prefix:
        p.error("--exe and --prefix (or LSS_EXE and WINEPREFIX) are required")
    if o.runs < 1:
        p.error("--runs must be at least 1")
    o.prefix = os.path.abspath(o.prefix)
    o.port = "COM%d" % o.com
    if not os.path.isdir(os.path.join(o.prefix, "dosdevices")):
        p.error("%s is not an initialised Wine prefix" % o.prefix)
    s = Soak(o)
    rc = s.go()
    if rc == 2:
        return 2
    return s.report()


if __name__ == "__main__":
    sys.exit(main())
