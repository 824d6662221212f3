"""End-to-end harness: the real lumaris_serial_spike.exe against the simulated
controller (testkit.sim) on a pty linked into a Wine prefix, or (pair mode)
on the far end of a serial line whose near end the .exe opens. The root of
the repository must be on the module path (PYTHONPATH).

Environment:
  LSS_EXE        path to lumaris_serial_spike.exe (required)
  WINEPREFIX     the prefix whose dosdevices the simulator links into
  LSS_SIM        1: run the simulator on a pty; empty or unset (and no
                 LSS_SIM_SERIAL): the port is a real controller, and the
                 tests that need the simulator's fault modes or its log
                 skip themselves
  LSS_SIM_SERIAL pair mode: the simulator serves this serial device (COM21,
                 /dev/ttyUSB1, one end of a socat pair) and LSS_E2E_PORT
                 is the other end; the tests that need what a serial line
                 cannot play (testkit.sim.SERIAL_CANNOT) skip themselves
  LSS_E2E_PORT   port under test (default COM5 when the simulator runs in
                 our Wine prefix; otherwise none, and the tests skip)
  LSS_E2E_ABSENT_PORT  a valid name with nothing behind it (default COM9 when
                 the simulator runs in our Wine prefix, which clears it;
                 otherwise none, and that test skips)
  LSS_E2E_ARTIFACTS    directory for simulator logs (default: a temp dir)
  LSS_WINE       the wine launcher (default "wine"; ignored on Windows)

Each test checks that neither the tool nor the simulator left a process or
a pty behind.
"""

import os
import re
import tempfile
import unittest

from testkit import CMD_BRI50, CMD_OFF, CMD_ON, ON_WINDOWS, frame  # noqa: F401
from testkit.runner import Simulator, Tool
from testkit.sim import SERIAL_CANNOT

SIM_SERIAL = os.environ.get("LSS_SIM_SERIAL", "")


def have_sim():
    return bool(SIM_SERIAL) or (os.environ.get("LSS_SIM", "") not in ("", "0") and not ON_WINDOWS)


EXE = os.environ.get("LSS_EXE", "")
WINEPREFIX = os.environ.get("WINEPREFIX", "")


def owns_prefix():
    """COM links in the prefix are the tests' to plant and remove: the
    simulator runs and the tool runs under Wine."""
    return have_sim() and bool(WINEPREFIX) and not ON_WINDOWS


# Outside a prefix of our own every COM name may be a real device: no defaults.
PORT = os.environ.get("LSS_E2E_PORT", "COM5" if owns_prefix() else "")
ABSENT_PORT = os.environ.get("LSS_E2E_ABSENT_PORT", "COM9" if owns_prefix() else "")
TOOL = Tool(EXE, WINEPREFIX, os.environ.get("LSS_WINE", "wine"))


def com_number(port):
    m = re.fullmatch(r"COM(\d+)", port)
    return int(m.group(1)) if m else None


class NoSim:
    """Stands in for the simulator when the port is real hardware."""
    active = False

    def log(self, *_):
        raise unittest.SkipTest("no simulator log to check: the port is not simulated")

    wait_for = stop = log


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
        TOOL.ensure_server()
        cls.artifacts = os.environ.get("LSS_E2E_ARTIFACTS") or tempfile.mkdtemp(prefix="lss-e2e-")
        os.makedirs(cls.artifacts, exist_ok=True)

    def setUp(self):
        self._sim = None

    # ---- simulator ----

    def start_sim(self, *args, port=None):
        """Starts the simulator on the port (or returns a stand-in without
        one). Stopped and checked for leftovers at the end of the test."""
        if not have_sim():
            self._sim = NoSim()
            return self._sim
        name = re.sub(r"[^A-Za-z0-9_.-]", "_", self.id().split(".", 1)[-1])
        log_path = os.path.join(self.artifacts, name + ".log")
        if SIM_SERIAL:
            self._sim = Simulator(None, None, log_path, args, serial=SIM_SERIAL)
        else:
            if not WINEPREFIX:
                self.skipTest("WINEPREFIX is not set")
            com = com_number(port or self.port)
            if com is None:
                self.fail("port %r is not COM<digits>" % (port or self.port))
            self._sim = Simulator(WINEPREFIX, com, log_path, args)
        self._sim.active = True
        self.addCleanup(self._stop_sim, self._sim)
        return self._sim

    def require_sim(self, *needs, why="needs the simulator's fault modes"):
        """Skips the test without a simulator, or in pair mode when it needs
        what a serial line cannot play (keys of testkit.sim.SERIAL_CANNOT)."""
        if not have_sim():
            self.skipTest(why)
        for need in needs:
            reason = SERIAL_CANNOT[need][1]
            if SIM_SERIAL:
                self.skipTest("on a serial line, no %s: %s" % (need, reason))

    def _stop_sim(self, sim):
        problems = sim.stop()
        if problems:
            self.fail("simulator leftovers: %s" % "; ".join(problems))

    def stop_sim(self):
        """Stops the simulator now and returns its final log; skips the rest
        of the test when there is no simulator."""
        problems = self._sim.stop()
        self.assertEqual(problems, [], "simulator leftovers")
        return self._sim.log()

    def clear_link(self, port):
        """Makes sure nothing is linked as `port` in the prefix."""
        if not owns_prefix():
            return
        link = os.path.join(WINEPREFIX, "dosdevices", "com%d" % com_number(port))
        if os.path.lexists(link):
            os.unlink(link)

    # ---- tool ----

    def start_tool(self, *args, timeout_s=30.0, stdin=None):
        """Starts the tool without waiting; finish with finish_tool()."""
        run = TOOL.start(args, timeout_s, stdin)
        self.addCleanup(run.kill)
        return run

    def finish_tool(self, run):
        """Waits for the run's end (or time limit) and checks it left nothing."""
        res = run.wait()
        self.assertFalse(res.timed_out, "tool ran past its %.0f s limit: %r" % (run.timeout_s, res))
        self.assertTrue(res.group_clean, "tool left processes behind: %r" % res)
        return res

    def run_tool(self, *args, timeout_s=30.0, stdin=None):
        return self.finish_tool(self.start_tool(*args, timeout_s=timeout_s, stdin=stdin))

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

    def assertLinesLF(self, data):
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
        self.assertEqual(log.rx_bytes().hex(" "), expected.hex(" "),
                         "bytes at the controller\n" + self.context(res))
