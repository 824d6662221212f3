"""Command line, port opening and the power steps, end to end."""

import os
import re
import shlex
import shutil
import subprocess
import unittest
from unittest import mock

from harness import ABSENT_PORT, CMD_OFF, CMD_ON, ON_WINDOWS, TOOL, E2ETestCase
from testkit.expected import INVALID_PORT, OPEN_FAIL, STEP_OK, UNKNOWN_STEP, USAGE, V_OK, line


def configured(test, log):
    """The tool set the line up: the pty saw 115200 8N1 at some point. Skips
    the rest of the test where the simulator cannot see line settings."""
    test.require_sim("line-settings")
    return any(e.get("ispeed") == "115200" and e.get("csize") == "8"
               and e.get("parenb") == "0" and e.get("cstopb") == "0"
               for e in log.of("TERMIOS"))


class PowerSteps(E2ETestCase):
    def test_off_sends_exactly_the_off_line(self):
        self.start_sim()
        res = self.run_step("off")
        self.assertRun(res, 0, STEP_OK["off"])
        log = self.stop_sim()
        self.assertReceived(log, CMD_OFF, res)
        self.assertEqual(log.json_lines("ok"), [CMD_OFF[:-1]])
        self.assertFalse(log.state()[0], "controller still on\n" + self.context(res))
        self.assertTrue(configured(self, log), self.context(res))

    def test_on_after_off_switches_the_controller_back_on(self):
        sim = self.start_sim()
        self.assertRun(self.run_step("off"), 0, STEP_OK["off"])
        if sim.active:
            self.assertIsNotNone(sim.wait_for(lambda l: l.state()[0] is False, 2.0),
                                 self.context())
        res = self.run_step("on")
        self.assertRun(res, 0, STEP_OK["on"])
        log = self.stop_sim()
        # Each run puts exactly its own line on the wire, nothing before or after.
        self.assertReceived(log, CMD_OFF + CMD_ON, res)
        self.assertEqual([e.get("on") for e in log.of("STATE")], ["0", "1"])


class ArgumentErrors(E2ETestCase):
    """Rejected command lines: usage or name errors, and the port untouched."""

    def assertPortUntouched(self, res):
        log = self.stop_sim()
        self.assertReceived(log, b"", res)
        self.assertFalse(configured(self, log), "the port was opened\n" + self.context(res))

    def test_wrong_argument_count_prints_usage(self):
        self.start_sim()
        cases = {"none": [], "one": [self.port], "three": [self.port, "off", "on"]}
        for name, args in cases.items():
            with self.subTest(args=name):
                res = self.run_tool(*args)
                self.assertRun(res, 2, b"", USAGE)
        self.assertPortUntouched(res)

    def test_port_names_outside_the_com_digits_rule(self):
        self.start_sim()
        names = ["com3", "COM", "COM1234", "COM1a", "\\\\.\\COM5", "COM5 ", "COM-1"]
        for name in names:
            with self.subTest(name=name):
                res = self.run_tool(name, "off")
                self.assertRun(res, 2, b"", line(INVALID_PORT, name))
        self.assertPortUntouched(res)

    def test_unknown_step_on_an_existing_port(self):
        self.start_sim()
        for step in ["V", "Fill-red", "fill-red ", ""]:
            with self.subTest(step=step):
                res = self.run_step(step)
                self.assertRun(res, 2, b"", line(UNKNOWN_STEP, step) + USAGE)
        log = self.stop_sim()
        self.assertReceived(log, b"", res)
        # The step name is judged only after the port was opened and set up.
        self.assertTrue(configured(self, log), "port never configured\n" + self.context(res))


class ArgumentsAsTyped(E2ETestCase):
    """Non-ASCII arguments are judged as the UTF-8 of what was typed: an ANSI
    conversion once turned full-width letters into the step they resemble.
    Wine decodes the Unix argv with the locale, hence a UTF-8 one."""

    def setUp(self):
        super().setUp()
        patcher = mock.patch.dict(os.environ, LC_ALL="C.UTF-8")
        patcher.start()
        self.addCleanup(patcher.stop)

    def test_full_width_and_accented_step_names_are_unknown(self):
        self.start_sim()
        for step in ["\uff4f\uff46\uff46", "off\u00e9"]:  # "ｏｆｆ", "offé"
            with self.subTest(step=step):
                res = self.run_step(step)
                self.assertRun(res, 2, b"", line(UNKNOWN_STEP, step) + USAGE)
        self.assertReceived(self.stop_sim(), b"", res)

    def test_full_width_port_name_is_invalid_and_not_opened(self):
        self.start_sim()
        name = "\uff23\uff2f\uff2d\uff15"  # "ＣＯＭ５"
        res = self.run_tool(name, "off")
        self.assertRun(res, 2, b"", line(INVALID_PORT, name))
        log = self.stop_sim()
        self.assertReceived(log, b"", res)
        self.assertFalse(configured(self, log), "the port was opened\n" + self.context(res))

    def on_console(self, *args):
        """What a terminal shows of the run, without its cursor moves."""
        if ON_WINDOWS or shutil.which("script") is None:
            self.skipTest("needs Wine and util-linux `script` to give the tool a console")
        argv, env = TOOL.command(list(args))
        run = subprocess.run(["script", "-qec", shlex.join(argv), "/dev/null"], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", run.stdout)

    def test_a_console_shows_the_echoed_text(self):
        # Under Wine a Unix terminal is a console, which turns what the tool
        # writes into the locale's UTF-8; bytes written as-is would be
        # decoded with code page 437 on the way ("\u2014" as "\u0393\u00c7\u00f6").
        self.assertIn("'COM\u2014'".encode(), self.on_console("COM\u2014", "off"))

    def test_a_console_shows_control_characters_on_standard_output_as_escapes(self):
        self.require_sim(why="needs a scripted reply")
        self.start_sim("--reply-hex", "57 4C 45 44 20 31 1B 5B 32 4A 07 0D 0A")
        self.assertIn(line(V_OK, r"WLED 1\x1B[2J\x07").rstrip(b"\n"), self.on_console(self.port, "v"))


class OpenFailure(E2ETestCase):
    def test_valid_name_without_a_device(self):
        if not ABSENT_PORT:
            self.skipTest("no LSS_E2E_ABSENT_PORT named; a guessed COM name could be a real device")
        self.clear_link(ABSENT_PORT)
        for step in ["v", "off", "no-such-step"]:
            with self.subTest(step=step):
                res = self.run_tool(ABSENT_PORT, step)
                self.assertRun(res, 1, b"", line(OPEN_FAIL, ABSENT_PORT, 2))


if __name__ == "__main__":
    unittest.main()
