"""Soak: runs `lumaris_serial_spike COMn all` under Wine against one simulated
controller N times in a row and reports

  - every failed run: exit status other than 0, output other than the seven
    OK lines and the closing note, anything on stderr, a run over its time
    limit, Wine processes left in the tool's process group, or controller
    bytes other than exactly one full sequence per run;
  - the distribution of wall times (min, median, p90, max);
  - anything left behind: processes of the prefix (the persistent wineserver
    and Wine's own services are expected, and counted before and after),
    simulators of this prefix, ptys held by the prefix's processes, the
    simulator's open descriptors before the first and after the last run.

Exit status 0 when every run passed and nothing was left behind, 1 otherwise,
2 on a usage error or a missing wineserver.

  bash bench/run.sh soak [--runs 200]      (builds, brings the prefix up)
  python3 -m testkit.soak --exe EXE --prefix PREFIX [--runs 200]
"""

import argparse
import collections
import os
import statistics
import sys
import time

from testkit import ALL_BYTES, ALL_OK, ROOT, leftovers
from testkit.runner import Simulator, Tool

# Longest a healthy `all` takes is about 3 s of pauses plus start-up; this is
# only the kill limit for a run that hangs.
RUN_LIMIT_S = 30.0
# How long to wait for the simulator to log the bytes of a finished run.
RX_SETTLE_S = 2.0
MAX_LISTED = 10


def census(prefix, sim=None):
    procs = leftovers.prefix_processes(prefix)
    server = leftovers.wineserver_pid(prefix)
    return {
        "procs": procs,
        "names": collections.Counter(n for n, _ in procs.values()),
        "zombies": collections.Counter(leftovers.zombies_of(set(procs) | {os.getpid()}).values()),
        "sims": leftovers.simulators(prefix),
        "pts": leftovers.pts_entries(),
        "server": server,
        "server_fds": leftovers.fd_count(server),
        "sim_fds": leftovers.fd_count(sim and sim.pid),
    }


def fmt_counter(c):
    return ", ".join("%s×%d" % (k, v) for k, v in sorted(c.items())) or "none"


class Soak:
    def __init__(self, o):
        self.o = o
        self.walls = []
        self.failures = []
        self.leftovers = []

    def check_run(self, i, run, sim):
        problems = run.problems(0, None, b"")
        got, want = run.out.split(b"\n"), ALL_OK.split(b"\n")
        if not run.out:
            problems.append("nothing on stdout")
        elif got != want:
            extra = [line for line in got if line not in want]
            missing = [line for line in want if line not in got]
            problems.append("stdout differs (unexpected %r, missing %r)" % (extra, missing)
                            if extra or missing else "stdout lines out of order: %r" % run.out)
        # The bytes the controller read during this run, with a moment for
        # the simulator to log the last of them.
        def rx(log):
            return b"".join(c for ns, c in log.rx_chunks() if ns >= run.start_ns)
        sim.wait_for(lambda log: len(rx(log)) >= len(ALL_BYTES), RX_SETTLE_S)
        time.sleep(0.02)  # anything beyond one sequence would be logged by now too
        got = rx(sim.log())
        if got != ALL_BYTES:
            problems.append("controller received %d bytes, not the %d of one sequence%s" % (
                len(got), len(ALL_BYTES), "" if len(got) == len(ALL_BYTES) else ": %s" % got.hex(" ")))
        self.failures += [(i, p) for p in problems]

    def go(self):
        o = self.o
        if leftovers.wineserver_pid(o.prefix) is None:
            print("soak: no wineserver runs for %s; start it first:\n"
                  "  WINEPREFIX=%s bash scripts/wine-prefix.sh up" % (o.prefix, o.prefix), file=sys.stderr)
            return 2
        os.makedirs(o.logs, exist_ok=True)
        tool = Tool(o.exe, o.prefix, o.wine)
        start = census(o.prefix)
        sim = Simulator(o.prefix, o.com, os.path.join(o.logs, "soak-sim.log"),
                        lifetime_ms=int((o.runs * (o.timeout + 5) + 120) * 1000))
        try:
            before = census(o.prefix, sim)
            t0 = time.monotonic()
            for i in range(1, o.runs + 1):
                run = tool.run([o.port, "all"], timeout_s=o.timeout)
                self.walls.append(run.wall_s * 1e3)
                self.check_run(i, run, sim)
                if o.progress and (i % o.progress == 0 or i == o.runs):
                    print("soak: %d/%d runs, %d failure(s), %.0f s" % (
                        i, o.runs, len({n for n, _ in self.failures}), time.monotonic() - t0),
                        file=sys.stderr, flush=True)
            after = census(o.prefix, sim)
            self.elapsed = time.monotonic() - t0
        finally:
            self.leftovers += ["simulator: %s" % p for p in sim.stop()]
        self.compare(start, before, after, census(o.prefix))
        return 0

    def compare(self, start, before, after, final):
        # Processes of the prefix, by name: the persistent server and Wine's
        # services stay; anything more after the runs is a leftover.
        grew = after["names"] - before["names"]
        if grew:
            self.leftovers.append("prefix processes after the runs beyond those before: %s" % fmt_counter(grew))
        new_z = final["zombies"] - start["zombies"]
        if new_z:
            self.leftovers.append("zombie processes of the prefix: %s" % fmt_counter(new_z))
        if final["sims"]:
            self.leftovers.append("simulator processes still running: %s" % sorted(final["sims"]))
        if None not in (after["sim_fds"], before["sim_fds"]) and after["sim_fds"] > before["sim_fds"]:
            self.leftovers.append("simulator descriptors grew from %d to %d" % (
                before["sim_fds"], after["sim_fds"]))
        # The machine's ptys come and go with whatever else runs on it: a new
        # one counts only if a process of this prefix holds it.
        paths = ["/dev/pts/" + n for n in final["pts"] - start["pts"]]
        for pid, cmd in leftovers.pty_holders(paths, set(final["procs"])):
            self.leftovers.append("a new pty held by %d %s" % (pid, cmd))
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
        print("## soak: `%s all` x %d under Wine against the simulator\n" % (o.port, o.runs))
        print("runs: %d, passed: %d, failed: %d; %.0f s in all\n" % (
            o.runs, o.runs - len(failed_runs), len(failed_runs), self.elapsed))
        w = self.walls
        # Nearest-rank 90th percentile.
        p90 = sorted(w)[max(0, -(-len(w) * 9 // 10) - 1)]
        print("| wall time (ms) | min | median | p90 | max |\n|---|---:|---:|---:|---:|")
        print("| `all` | %.0f | %.0f | %.0f | %.0f |\n" % (min(w), statistics.median(w), p90, max(w)))
        slow = sorted(range(len(w)), key=lambda k: -w[k])[:3]
        print("slowest runs: %s\n" % ", ".join("#%d %.0f ms" % (k + 1, w[k]) for k in slow))
        print("| left behind? | before | after |\n|---|---|---|")
        for row in self.census_rows:
            print("| %s | %s | %s |" % row)
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
    p.add_argument("--logs", default=os.path.join(ROOT, "build", "soak-logs"))
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
    return s.go() or s.report()


if __name__ == "__main__":
    sys.exit(main())
