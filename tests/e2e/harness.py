"""End-to-end harness: the real lumaris_serial_spike.exe against the simulated
controller (sim/lumaris_sim.py) on a pty linked into a Wine prefix.

Environment:
  LSS_EXE        path to lumaris_serial_spike.exe (required)
  WINEPREFIX     the prefix whose dosdevices the simulator links into
  LSS_SIM        path to lumaris_sim.py; empty or unset: no simulator, the
                 port is real hardware or a virtual pair (log checks and
                 fault-mode tests are skipped)
  LSS_E2E_PORT   port under test (default COM5 with the simulator; none
                 without: the tests skip)
  LSS_E2E_ABSENT_PORT  a valid name with nothing behind it (default COM9 with
                 the simulator, which clears it; none without: that test skips)
  LSS_E2E_ARTIFACTS    directory for simulator logs (default: a temp dir)
  LSS_WINE       the wine launcher (default "wine"; ignored on Windows)

Every process started here has a hard time limit and is killed with its
whole process group when it runs over; each test checks that neither the
tool nor the simulator left a process or a pty behind.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "sim"))
import simlog  # noqa: E402  (lives next to the simulator)

EXE = os.environ.get("LSS_EXE", "")
WINEPREFIX = os.environ.get("WINEPREFIX", "")
SIM = os.environ.get("LSS_SIM", "")
ON_WINDOWS = os.name == "nt"
# Without the simulator every COM name may be a real device: no defaults.
SIMULATED = bool(SIM) and not ON_WINDOWS
PORT = os.environ.get("LSS_E2E_PORT", "COM5" if SIMULATED else "")
ABSENT_PORT = os.environ.get("LSS_E2E_ABSENT_PORT", "COM9" if SIMULATED else "")
WINE = os.environ.get("LSS_WINE", "wine")
PYTHON = sys.executable or "/usr/bin/python3"

USAGE = (b"usage: lumaris_serial_spike <COMn> <step>\n"
         b"  <step>: v | fill-red | fill-green | fill-blue | bri50 | off | on |\n"
         b"          unplug-loop | all\n")
HEADER = bytes([0x41, 0x64, 0x61, 0x00, 0x0B, 0x5E])
CMD_OFF = b'{"on":false}\n'
CMD_ON = b'{"on":true}\n'
CMD_BRI50 = b'{"bri":50}\n'
NOTE_LINE = "NOTE: run `unplug-loop` separately \u2014 it requires an interactive unplug/replug.\n".encode()

# Hard limit for a simulator that outlives its test (the harness stops it
# long before; this only matters if the harness itself dies).
SIM_LIFETIME_MS = 600_000
# Wine helpers (wineboot on the first run after a server start) can linger in
# the tool's process group for a moment after the tool itself has exited.
GROUP_DRAIN_S = 5.0


def frame(r, g, b):
    return HEADER + bytes([r, g, b]) * 12


def com_number(port):
    m = re.fullmatch(r"COM(\d+)", port)
    return int(m.group(1)) if m else None


def have_sim():
    return SIMULATED


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def drain_group(pgid, limit_s=GROUP_DRAIN_S):
    """Waits for every process of a group to end; kills what is left.
    Returns True when the group ended by itself."""
    if ON_WINDOWS:
        return True
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if not group_alive(pgid):
            return True
        time.sleep(0.05)
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        return True
    return False


def pty_holders(path):
    """[(pid, cmdline)] of the processes with a descriptor open on path."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) == path:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
                    found.append((int(pid), cmd))
                    break
            except OSError:
                continue
    return found


def in_our_prefix(pid):
    """Whether the process runs with this tree's Wine prefix: the tool and
    the wineserver do; another tree's, which may hold the pty number once
    ours has let it go, do not."""
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            return ("WINEPREFIX=" + WINEPREFIX).encode() in f.read().split(b"\0")
    except OSError:
        return False


def ensure_wineserver():
    """A persistent wineserver for the prefix, detached from us. Without one,
    the first wine client starts a server that inherits the client's output
    files and dumps its object table into them when a pty hangs up."""
    if ON_WINDOWS or not WINEPREFIX:
        return
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all")
    # A second server finds the running one and exits at once. Ours lingers
    # 30 s after the last client (the CTest fixture's stays until "down").
    subprocess.run(["setsid", "-f", "wineserver", "-p30"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)


class ToolResult:
    def __init__(self, argv, rc, out, err, wall_s, timed_out, group_clean):
        self.argv = argv
        self.rc = rc
        self.out = out
        self.err = err
        self.wall_s = wall_s
        self.timed_out = timed_out
        self.group_clean = group_clean
        self.start_ns = 0
        self.end_ns = 0

    def __repr__(self):
        return ("tool %s: rc=%s timed_out=%s wall=%.3fs\n  stdout=%r\n  stderr=%r" % (
            " ".join(self.argv), self.rc, self.timed_out, self.wall_s, self.out, self.err))


class ToolRun:
    """One run of the .exe. stdin: None (already at end), bytes (fed from a
    file) or "pipe" (the test writes to .stdin, e.g. ENTER for unplug-loop)."""

    def __init__(self, args, timeout_s=30.0, stdin=None):
        if not EXE:
            raise unittest.SkipTest("LSS_EXE is not set")
        self.args = list(args)
        self.argv = ([EXE] if ON_WINDOWS else [WINE, EXE]) + self.args
        self.timeout_s = timeout_s
        env = dict(os.environ, WINEDEBUG="-all")
        if WINEPREFIX:
            env["WINEPREFIX"] = WINEPREFIX
        # Files, not pipes, for the output: a Wine helper that outlives the
        # tool would hold a pipe open and stall the read.
        self.out_f = tempfile.TemporaryFile()
        self.err_f = tempfile.TemporaryFile()
        self.in_f = None
        if stdin == "pipe":
            stdin_arg = subprocess.PIPE
        elif stdin is None:
            stdin_arg = subprocess.DEVNULL
        else:
            self.in_f = tempfile.TemporaryFile()
            self.in_f.write(stdin)
            self.in_f.seek(0)
            stdin_arg = self.in_f
        self.start_ns = time.monotonic_ns()
        kw = {} if ON_WINDOWS else {"start_new_session": True}
        self.proc = subprocess.Popen(self.argv, stdin=stdin_arg, stdout=self.out_f,
                                     stderr=self.err_f, env=env, **kw)
        self.stdin = self.proc.stdin
        # (monotonic ns when first seen, line) for each complete stdout line.
        self.lines = []
        self._seen = 0
        self.done = False

    def output_so_far(self):
        self.out_f.flush()
        with open(self.out_f.fileno(), "rb", closefd=False) as f:
            f.seek(0)
            return f.read()

    def _note_lines(self):
        data = self.output_so_far()
        ts = time.monotonic_ns()
        end = data.rfind(b"\n") + 1
        if end > self._seen:
            for line in data[self._seen:end].splitlines(keepends=True):
                self.lines.append((ts, line))
            self._seen = end
        return data

    def wait_output(self, predicate, timeout_s):
        """Polls stdout (every 20 ms, noting when each line first shows up)
        until predicate(bytes) holds; returns the bytes or None."""
        deadline = time.monotonic() + timeout_s
        while True:
            exited = self.proc.poll() is not None
            data = self._note_lines()
            if predicate(data):
                return data
            if exited or time.monotonic() >= deadline:
                return None
            time.sleep(0.02)

    def line_time(self, prefix):
        """When the first stdout line starting with prefix was seen, or None."""
        for ts, line in self.lines:
            if line.startswith(prefix):
                return ts
        return None

    def kill(self):
        if self.done:
            return
        if ON_WINDOWS:
            self.proc.kill()
        else:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def wait(self):
        timed_out = False
        remaining = self.timeout_s - (time.monotonic_ns() - self.start_ns) / 1e9
        try:
            rc = self.proc.wait(max(0.0, remaining))
        except subprocess.TimeoutExpired:
            timed_out = True
            self.kill()
            rc = self.proc.wait(10)
        end_ns = time.monotonic_ns()
        if self.stdin is not None:
            try:
                self.stdin.close()
            except OSError:
                pass
        clean = True if ON_WINDOWS else drain_group(self.proc.pid)
        self.done = True
        out = self._note_lines()
        self.err_f.seek(0)
        err = self.err_f.read()
        for f in (self.out_f, self.err_f, self.in_f):
            if f is not None:
                f.close()
        res = ToolResult(self.argv, rc, out, err, (end_ns - self.start_ns) / 1e9, timed_out, clean)
        res.start_ns, res.end_ns = self.start_ns, end_ns
        return res


def run_tool(*args, timeout_s=30.0, stdin=None):
    return ToolRun(args, timeout_s, stdin).wait()


class NoSim:
    """Stands in for the simulator when the port is real hardware."""
    active = False
    pts = None

    def log(self):
        return None

    def stop(self):
        return None


class Simulator:
    active = True

    def __init__(self, com, args=(), log_path=None, lifetime_ms=SIM_LIFETIME_MS):
        if not WINEPREFIX:
            raise unittest.SkipTest("WINEPREFIX is not set")
        self.com = com
        self.args = [str(a) for a in args]
        self.log_path = log_path
        self.err_path = log_path + ".stderr"
        self.link = os.path.join(WINEPREFIX, "dosdevices", "com%d" % com)
        cmd = [PYTHON, SIM, "--prefix", WINEPREFIX, "--com", str(com), "--log", log_path,
               "--exit-after-ms", str(lifetime_ms)] + self.args
        self.err_f = open(self.err_path, "wb")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.err_f, start_new_session=True)
        self.pts = None
        self.stopped = False
        line = self._ready_line(10.0)
        if line is None:
            self._kill()
            raise AssertionError("simulator did not get ready: %s" % self._stderr_text())
        parts = line.split()
        self.pts = parts[1]

    def _ready_line(self, timeout_s):
        deadline = time.monotonic() + timeout_s
        buf = b""
        fd = self.proc.stdout.fileno()
        while time.monotonic() < deadline and b"\n" not in buf:
            r, _, _ = select.select([fd], [], [], 0.05)
            if r:
                chunk = os.read(fd, 256)
                if not chunk:
                    break
                buf += chunk
        if not buf.startswith(b"READY ") or b"\n" not in buf:
            return None
        return buf.split(b"\n", 1)[0].decode()

    def _stderr_text(self):
        self.err_f.flush()
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def _kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(10)

    def log(self):
        return simlog.SimLog.read(self.log_path)

    def wait_for(self, predicate, timeout_s):
        """Polls the log until predicate(SimLog) holds; returns the log or None."""
        deadline = time.monotonic() + timeout_s
        while True:
            log = self.log()
            if predicate(log):
                return log
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.02)

    def stop(self):
        """Stops the simulator; returns a list of leftovers (empty when clean)."""
        if self.stopped:
            return []
        self.stopped = True
        problems = []
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                problems.append("simulator ignored SIGTERM")
                self._kill()
        if self.proc.returncode != 0:
            problems.append("simulator exit status %s: %s" % (self.proc.returncode, self._stderr_text()))
        if not drain_group(self.proc.pid, 2.0):
            problems.append("simulator process group outlived it")
        self.proc.stdout.close()
        self.err_f.close()
        if os.path.lexists(self.link) and os.path.islink(self.link) and os.readlink(self.link) == self.pts:
            problems.append("link %s still points to %s" % (self.link, self.pts))
        if self.pts and os.path.exists(self.pts):
            # A pts node lives while anything holds it open. Its number may
            # already belong to another simulator's new pty, here or in
            # another tree; a process of our prefix holding it is a leak.
            holders = [h for h in pty_holders(self.pts) if "lumaris_sim" not in h[1] and in_our_prefix(h[0])]
            if holders:
                problems.append("pty %s still held by %s" % (self.pts, holders))
        return problems


class E2ETestCase(unittest.TestCase):
    """Base class: one simulator per test on this module's port."""

    maxDiff = None
    port = PORT

    @classmethod
    def setUpClass(cls):
        if not EXE:
            raise unittest.SkipTest("LSS_EXE is not set")
        if not PORT:
            raise unittest.SkipTest("LSS_E2E_PORT is not set; without the simulator ports are real devices")
        ensure_wineserver()
        cls.artifacts = os.environ.get("LSS_E2E_ARTIFACTS") or tempfile.mkdtemp(prefix="lss-e2e-")
        os.makedirs(cls.artifacts, exist_ok=True)

    def setUp(self):
        self._sim = None
        self._results = []

    # ---- simulator ----

    def start_sim(self, *args, port=None):
        """Starts the simulator on the port (or returns a stand-in without
        one). Stopped and checked for leftovers at the end of the test."""
        port = port or self.port
        if not have_sim():
            self._sim = NoSim()
            return self._sim
        com = com_number(port)
        if com is None:
            self.fail("port %r is not COM<digits>" % port)
        name = re.sub(r"[^A-Za-z0-9_.-]", "_", self.id().split(".", 1)[-1])
        log_path = os.path.join(self.artifacts, name + ".log")
        self._sim = Simulator(com, args, log_path)
        self.addCleanup(self._stop_sim, self._sim)
        return self._sim

    def require_sim(self, why="needs the simulator's fault modes"):
        if not have_sim():
            self.skipTest(why)

    def _stop_sim(self, sim):
        problems = sim.stop()
        if problems:
            self.fail("simulator leftovers: %s" % "; ".join(problems))

    def stop_sim(self):
        """Stops the simulator now and returns its final log (None without one)."""
        sim = self._sim
        if sim is None or not sim.active:
            return None
        problems = sim.stop()
        self.assertEqual(problems, [], "simulator leftovers")
        return sim.log()

    def clear_link(self, port):
        """Makes sure nothing is linked as `port` in the prefix."""
        if not have_sim():
            return
        link = os.path.join(WINEPREFIX, "dosdevices", "com%d" % com_number(port))
        if os.path.lexists(link):
            os.unlink(link)

    # ---- tool ----

    def run_tool(self, *args, timeout_s=30.0, stdin=None):
        res = run_tool(*args, timeout_s=timeout_s, stdin=stdin)
        self._results.append(res)
        self.assertFalse(res.timed_out, "tool ran past its %.0f s limit: %r" % (timeout_s, res))
        self.assertTrue(res.group_clean, "tool left processes behind: %r" % res)
        return res

    def start_tool(self, *args, timeout_s=30.0, stdin=None):
        """Starts the tool without waiting; finish with finish_tool()."""
        run = ToolRun(args, timeout_s, stdin)
        self.addCleanup(run.kill)
        return run

    def finish_tool(self, run):
        """Follows the run's output to its end (or time limit) and checks it."""
        run.wait_output(lambda _: False, max(0.0, run.timeout_s - (time.monotonic_ns() - run.start_ns) / 1e9))
        res = run.wait()
        self._results.append(res)
        self.assertFalse(res.timed_out, "tool ran past its %.0f s limit: %r" % (run.timeout_s, res))
        self.assertTrue(res.group_clean, "tool left processes behind: %r" % res)
        return res

    def run_step(self, step, timeout_s=30.0, stdin=None):
        return self.run_tool(self.port, step, timeout_s=timeout_s, stdin=stdin)

    # ---- assertions ----

    def context(self, res=None):
        parts = [repr(res)] if res is not None else []
        if self._sim is not None and self._sim.active:
            try:
                with open(self._sim.log_path) as f:
                    lines = f.readlines()
                parts.append("simulator log (%s), last lines:\n    %s" % (
                    self._sim.log_path, "    ".join(lines[-25:])))
            except OSError:
                pass
        return "\n".join(parts)

    def assertLinesLF(self, data, res=None):
        """Every line ends in exactly one 0x0A, with no CR anywhere."""
        if data:
            self.assertTrue(data.endswith(b"\n"), "output does not end in LF: %r" % data)
        self.assertNotIn(b"\r", data, "CR in output: %r" % data)

    def assertRun(self, res, rc, out=None, err=b""):
        """Exit status and exact output bytes (out=None: stdout not compared)."""
        ctx = self.context(res)
        self.assertEqual(res.rc, rc, "exit status\n" + ctx)
        if out is not None:
            self.assertEqual(res.out, out, "stdout\n" + ctx)
        if err is not None:
            self.assertEqual(res.err, err, "stderr\n" + ctx)
        self.assertLinesLF(res.out)
        self.assertLinesLF(res.err)

    def assertReceived(self, log, expected, res=None):
        """The controller received exactly these bytes, in order, and nothing else."""
        if log is None:
            return
        self.assertEqual(log.rx_bytes().hex(" "), expected.hex(" "),
                         "bytes at the controller\n" + self.context(res))
