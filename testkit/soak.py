"""Soak: runs `lumaris_serial_spike COMn all` under Wine against a simulated
controller N times in all and reports

  - every failed run: exit status other than 0, output other than the seven
    OK lines and the closing note, anything on stderr, a run over its time
    limit, Wine processes left in the tool's process group, or controller
    bytes other than exactly one full sequence per run;
  - among them, the misreported runs: the tool failed a step that the
    controller's log shows done (its reply written in time, or the step's
    bytes received in full);
  - the distribution of wall times (min, median, p90, max);
  - anything left behind: processes of the prefix (the persistent wineserver
    and Wine's own services are expected, and counted before and after),
    simulators of this prefix and zombies beyond those of the census taken
    at its start, ptys held by the prefix's processes, the simulators' open
    descriptors before the first and after the last run.

With --parallel N, N runs go at a time, each lane on a controller of its own
(COM<com> to COM<com+N-1>, one simulator each). --load starts one CPU-bound
process per core before the first run and stops it after the last.

Exit status 0 when every run passed and nothing was left behind, 1 otherwise,
2 on a usage error or a missing wineserver. SIGTERM or SIGINT stops it: the
runs in flight are killed with their Wine processes (and not counted), the
simulators and the load stop, the report covers the runs made, and the exit
status is 128 + the signal's number. Killed outright, its simulators get
SIGTERM from the kernel and the load ends by itself.

  bash bench/run.sh soak [--runs 200] [--parallel 8] [--load]   (builds, brings the prefix up)
  python3 -m testkit.soak --exe EXE --prefix PREFIX [--runs 200] [--parallel 8] [--load]
"""

import argparse
import collections
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

from testkit import ALL_BYTES, ROOT, STEP_BYTES, leftovers
from testkit.expected import ALL_OK, STEP_OK
from testkit.runner import PYTHON, Simulator, Tool
from testkit.sim import DEFAULT_REPLY, decode_escapes

# Longest a healthy `all` takes is about 3 s of pauses plus start-up; this is
# only the kill limit for a run that hangs.
RUN_LIMIT_S = 30.0
# How long to wait for the simulator to log the bytes of a finished run.
RX_SETTLE_S = 2.0
MAX_LISTED = 20
REPLY = decode_escapes(DEFAULT_REPLY)
# The tool collects the reply for 2 s from after its query was written, which
# was after the line was last seen idle before the simulator read the query.
# A reply written within this much of that moment was the tool's to read.
REPLY_DUE_S = 1.5
# A failed run counts once, under the first of its kinds in this order.
KINDS = ("misreported", "tool", "controller")
# Busy-loops until its parent is gone, so a soak that is killed outright
# leaves no load behind either.
BURNER = "import os\np = os.getppid()\nwhile os.getppid() == p:\n    for _ in range(100000): pass\n"


def start_load(count):
    return [subprocess.Popen([PYTHON, "-c", BURNER], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True) for _ in range(count)]


def stop_load(procs):
    left = []
    for proc in procs:
        proc.kill()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            left.append("load process %d did not end" % proc.pid)
    return left


def census(prefix, sims=()):
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
        "sim_fds": [leftovers.fd_count(sim.pid) for sim in sims],
    }


def fmt_counter(c):
    return ", ".join("%s×%d" % (k, v) for k, v in sorted(c.items())) or "none"


def fmt_list(values):
    return "/".join(str(v) for v in values)


class Soak:
    def __init__(self, o):
        self.o = o
        self.walls = []     # (run, port, ms)
        self.failures = []  # (run, port, kind, text)
        self.leftovers = []
        self.lock = threading.Lock()
        self.next_run = 1
        self.inflight = set()
        self.stopped_by = None

    def misreport(self, run, log, got):
        """How the controller's log shows done the step the run failed at, or None."""
        if run.rc != 1 or run.timed_out:
            return None
        steps = list(STEP_OK)
        k = next((k for k, step in enumerate(steps) if STEP_OK[step] not in run.out), None)
        if k is None or not got.startswith(b"".join(STEP_BYTES[step] for step in steps[:k + 1])):
            return None
        said = "the tool printed %s" % (", ".join(
            "'%s'" % l.decode(errors="replace") for l in run.out.split(b"\n") if l.startswith(b"FAIL"))
            or "no FAIL line")
        if steps[k] != "v":
            return "%s, but the controller received all of %s" % (said, steps[k])
        replies = [e for e in log.of("REPLY") if e.ns >= run.start_ns]
        query = next((e for e in log.of("RX") if e.ns >= run.start_ns), None)
        if b"".join(bytes.fromhex(e.words[0]) for e in replies) != REPLY or query is None:
            return None
        if replies[-1].ns - int(query.get("quiet")) > REPLY_DUE_S * 1e9:
            return None
        return "%s, but the controller answered %r %.1f ms after reading the query" % (
            said, REPLY.decode(), (replies[0].ns - query.ns) / 1e6)

    def check_run(self, run, sim):
        """[(kind, text)] of what went wrong in one run."""
        problems = [("tool", p) for p in run.problems(0, None, b"")]
        got, want = run.out.split(b"\n"), ALL_OK.split(b"\n")
        if not run.out:
            problems.append(("tool", "nothing on stdout"))
        elif got != want:
            extra = [line for line in got if line not in want]
            missing = [line for line in want if line not in got]
            problems.append(("tool", "stdout differs (unexpected %r, missing %r)" % (extra, missing)
                             if extra or missing else "stdout lines out of order: %r" % run.out))
        # The bytes the controller read during this run, with a moment for
        # the simulator to log the last of them.
        def rx(log):
            return b"".join(c for ns, c in log.rx_chunks() if ns >= run.start_ns)
        sim.wait_for(lambda log: len(rx(log)) >= len(ALL_BYTES), RX_SETTLE_S)
        time.sleep(0.02)  # anything beyond one sequence would be logged by now too
        log = sim.log()
        got = rx(log)
        if got != ALL_BYTES:
            problems.append(("controller", "controller received %d bytes, not the %d of one sequence%s" % (
                len(got), len(ALL_BYTES), "" if len(got) == len(ALL_BYTES) else ": %s" % got.hex(" "))))
        said = problems and self.misreport(run, log, got)
        return [("misreported", said)] + problems if said else problems

    def lane(self, tool, sim, port, t0):
        """Runs `all` on one controller until the runs are used up."""
        o = self.o
        while True:
            with self.lock:
                if self.stopped_by or self.next_run > o.runs:
                    return
                i, self.next_run = self.next_run, self.next_run + 1
                run = tool.start([port, "all"], timeout_s=o.timeout)
                self.inflight.add(run)
            run.wait()
            with self.lock:
                self.inflight.discard(run)
                if self.stopped_by:
                    return  # killed by stop(): not the tool's doing
            problems = self.check_run(run, sim)
            with self.lock:
                self.walls.append((i, port, run.wall_s * 1e3))
                self.failures += [(i, port, kind, text) for kind, text in problems]
                done = len(self.walls)
                if o.progress and (done % o.progress == 0 or done == o.runs):
                    print("soak: %d/%d runs, %d failure(s), %.0f s" % (
                        done, o.runs, len({f[0] for f in self.failures}), time.monotonic() - t0),
                        file=sys.stderr, flush=True)

    def stop(self, signum, _frame):
        """SIGTERM, SIGINT: no new runs; the runs in flight are killed."""
        self.stopped_by = self.stopped_by or signal.Signals(signum).name
        with self.lock:
            for run in self.inflight:
                run.kill()

    def go(self):
        o = self.o
        if leftovers.wineserver_pid(o.prefix) is None:
            print("soak: no wineserver runs for %s; start it first:\n"
                  "  WINEPREFIX=%s bash scripts/wine-prefix.sh up" % (o.prefix, o.prefix), file=sys.stderr)
            return 2
        os.makedirs(o.logs, exist_ok=True)
        tool = Tool(o.exe, o.prefix, o.wine)
        start = census(o.prefix)
        sims, load = [], []
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, self.stop)
        try:
            load = start_load(o.load)
            for com in o.coms:
                sims.append(Simulator(o.prefix, com, os.path.join(o.logs, "soak-sim-COM%d.log" % com),
                                      lifetime_ms=int((o.runs * (o.timeout + 5) + 120) * 1000)))
            before = census(o.prefix, sims)
            t0 = time.monotonic()
            lanes = [threading.Thread(target=self.lane, args=(tool, sim, "COM%d" % com, t0), daemon=True)
                     for com, sim in zip(o.coms, sims)]
            for t in lanes:
                t.start()
            for t in lanes:
                t.join()
            after = census(o.prefix, sims)
            self.elapsed = time.monotonic() - t0
        finally:
            for com, sim in zip(o.coms, sims):
                self.leftovers += ["simulator COM%d: %s" % (com, p) for p in sim.stop()]
            self.leftovers += stop_load(load)
        if len(self.walls) != o.runs and not self.stopped_by:
            self.failures.append((0, "-", "tool", "%d of %d runs made" % (len(self.walls), o.runs)))
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
        # Against the start, as the zombies: another soak's simulators on
        # this prefix (one killed outright just now) are not ours to judge.
        if final["sims"] - start["sims"]:
            self.leftovers.append("simulator processes still running: %s" % sorted(final["sims"] - start["sims"]))
        for com, was, now in zip(self.o.coms, before["sim_fds"], after["sim_fds"]):
            if None not in (was, now) and now > was:
                self.leftovers.append("simulator COM%d descriptors grew from %d to %d" % (com, was, now))
        # The machine's ptys come and go with whatever else runs on it: a new
        # one counts only if a process of this prefix holds it.
        paths = ["/dev/pts/" + n for n in final["pts"] - start["pts"]]
        for pid, cmd in leftovers.pty_holders(paths, set(final["procs"])):
            self.leftovers.append("a new pty held by %d %s" % (pid, cmd))
        self.census_rows = [
            ("prefix processes", fmt_counter(before["names"]), fmt_counter(after["names"])),
            ("zombies of the prefix", fmt_counter(start["zombies"]), fmt_counter(final["zombies"])),
            ("simulator processes (this prefix)", len(start["sims"]), len(final["sims"])),
            ("simulator open fds", fmt_list(before["sim_fds"]), fmt_list(after["sim_fds"])),
            ("wineserver pid / open fds", "%s / %s" % (before["server"], before["server_fds"]),
             "%s / %s" % (after["server"], after["server_fds"])),
            ("/dev/pts entries, simulator up (whole machine)", len(before["pts"]), len(after["pts"])),
            ("/dev/pts entries, no simulator (whole machine)", len(start["pts"]), len(final["pts"])),
        ]

    def report(self):
        o = self.o
        runs = collections.OrderedDict()
        for i, port, kind, text in sorted(self.failures, key=lambda f: f[0]):
            runs.setdefault((i, port), []).append((kind, text))
        kinds = collections.Counter(min((k for k, _ in p), key=KINDS.index) for p in runs.values())
        ports = o.port if len(o.coms) == 1 else "COM%d..COM%d" % (o.coms[0], o.coms[-1])
        print("## soak: `%s all` x %d under Wine against the simulator, %d at a time, %d CPU-bound "
              "process(es) beside\n" % (ports, o.runs, len(o.coms), o.load))
        if self.stopped_by:
            print("stopped by %s after %d of %d runs; the runs in flight were killed and are not counted\n"
                  % (self.stopped_by, len(self.walls), o.runs))
        made = len(self.walls) if self.stopped_by else o.runs
        print("runs: %d, passed: %d, failed: %d (%s); %.0f s in all\n" % (
            made, made - len(runs), len(runs), ", ".join("%s: %d" % (k, kinds[k]) for k in KINDS),
            self.elapsed))
        w = [ms for _, _, ms in self.walls] or [0.0]
        # Nearest-rank 90th percentile.
        p90 = sorted(w)[max(0, -(-len(w) * 9 // 10) - 1)]
        print("| wall time (ms) | min | median | p90 | max |\n|---|---:|---:|---:|---:|")
        print("| `all` | %.0f | %.0f | %.0f | %.0f |\n" % (min(w), statistics.median(w), p90, max(w)))
        slow = sorted(self.walls, key=lambda r: -r[2])[:3]
        print("slowest runs: %s\n" % ", ".join("#%d %s %.0f ms" % r for r in slow))
        print("| left behind? | before | after |\n|---|---|---|")
        for row in self.census_rows:
            print("| %s | %s | %s |" % row)
        print()
        for (i, port), problems in list(runs.items())[:MAX_LISTED]:
            kind = min((k for k, _ in problems), key=KINDS.index)
            print("FAIL run %d %s (%s): %s" % (i, port, kind, "; ".join(t for _, t in problems)))
        if len(runs) > MAX_LISTED:
            print("... and %d more failed run(s)" % (len(runs) - MAX_LISTED))
        for text in self.leftovers:
            print("LEFTOVER: %s" % text)
        ok = not self.failures and not self.leftovers
        print("soak: %s" % ("PASS" if ok else "FAIL"))
        return 128 + signal.Signals[self.stopped_by] if self.stopped_by else 0 if ok else 1


def main(argv=None):
    p = argparse.ArgumentParser(description="Runs `all` back to back and looks for failures and leftovers.")
    p.add_argument("--exe", default=os.environ.get("LSS_EXE"), help="the .exe (default $LSS_EXE)")
    p.add_argument("--prefix", default=os.environ.get("WINEPREFIX"),
                   help="the initialised Wine prefix (default $WINEPREFIX)")
    p.add_argument("--wine", default=os.environ.get("LSS_WINE", "wine"))
    p.add_argument("--runs", type=int, default=200)
    p.add_argument("--com", type=int, default=11,
                   help="COM number of the (first) simulator (default 11); lanes take the next ones")
    p.add_argument("--parallel", type=int, default=1, metavar="N",
                   help="N runs at a time, each on a simulator of its own (default 1); --runs is the total")
    p.add_argument("--load", type=int, nargs="?", const=os.cpu_count() or 1, default=0, metavar="N",
                   help="N CPU-bound processes beside the runs (without N: one per core)")
    p.add_argument("--timeout", type=float, default=RUN_LIMIT_S, help="kill limit per run, s")
    p.add_argument("--logs", default=os.path.join(ROOT, "build", "soak-logs"))
    p.add_argument("--progress", type=int, default=10, help="progress line every N runs (0: none)")
    o = p.parse_args(argv)
    if not o.exe or not o.prefix:
        p.error("--exe and --prefix (or LSS_EXE and WINEPREFIX) are required")
    if o.runs < 1 or o.parallel < 1 or o.load < 0:
        p.error("--runs and --parallel must be at least 1, --load at least 0")
    o.coms = list(range(o.com, o.com + o.parallel))
    if not 1 <= o.com <= o.coms[-1] <= 256:
        p.error("COM numbers must stay within 1..256")
    o.prefix = os.path.abspath(o.prefix)
    o.port = "COM%d" % o.com
    if not os.path.isdir(os.path.join(o.prefix, "dosdevices")):
        p.error("%s is not an initialised Wine prefix" % o.prefix)
    s = Soak(o)
    return s.go() or s.report()


if __name__ == "__main__":
    sys.exit(main())
