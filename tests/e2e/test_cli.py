"""Command line, port opening and the power steps, end to end."""

import unittest

from harness import ABSENT_PORT, CMD_OFF, CMD_ON, USAGE, E2ETestCase


def configured(log):
    """The tool set the line up: the pty saw 115200 8N1 at some point."""
    return any(e.get("ispeed") == "115200" and e.get("csize") == "8"
               and e.get("parenb") == "0" and e.get("cstopb") == "0"
               for e in log.of("TERMIOS"))


class PowerSteps(E2ETestCase):
    def test_off_sends_exactly_the_off_line(self):
        self.start_sim()
        res = self.run_step("off")
        self.assertRun(res, 0, b"OK off\n")
        log = self.stop_sim()
        if log is None:
            return
        self.assertReceived(log, CMD_OFF, res)
        self.assertTrue(configured(log), self.context(res))
        self.assertEqual(log.json_lines("ok"), [CMD_OFF[:-1]])
        self.assertFalse(log.state()[0], "controller still on\n" + self.context(res))

    def test_on_after_off_switches_the_controller_back_on(self):
        sim = self.start_sim()
        self.assertRun(self.run_step("off"), 0, b"OK off\n")
        if sim.active:
            self.assertIsNotNone(sim.wait_for(lambda l: l.state()[0] is False, 2.0),
                                 self.context())
        res = self.run_step("on")
        self.assertRun(res, 0, b"OK on\n")
        log = self.stop_sim()
        if log is None:
            return
        # Each run puts exactly its own line on the wire, nothing before or after.
        self.assertReceived(log, CMD_OFF + CMD_ON, res)
        self.assertEqual([e.get("on") for e in log.of("STATE")], ["0", "1"])


class ArgumentErrors(E2ETestCase):
    """Rejected command lines: usage or name errors, and the port untouched."""

    def assertPortUntouched(self, res):
        log = self.stop_sim()
        if log is None:
            return
        self.assertReceived(log, b"", res)
        self.assertFalse(configured(log), "the port was opened\n" + self.context(res))

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
                err = b"ERR invalid port name (expected COM<digits>, got '%s')\n" % name.encode()
                self.assertRun(res, 2, b"", err)
        self.assertPortUntouched(res)

    def test_unknown_step_on_an_existing_port(self):
        self.start_sim()
        for step in ["V", "Fill-red", "fill-red ", ""]:
            with self.subTest(step=step):
                res = self.run_step(step)
                err = b"ERR unknown step '%s'\n" % step.encode() + USAGE
                self.assertRun(res, 2, b"", err)
        log = self.stop_sim()
        if log is None:
            return
        self.assertReceived(log, b"", res)
        # The step name is judged only after the port was opened and set up.
        self.assertTrue(configured(log), "port never configured\n" + self.context(res))


class OpenFailure(E2ETestCase):
    def test_valid_name_without_a_device(self):
        if not ABSENT_PORT:
            self.skipTest("no LSS_E2E_ABSENT_PORT named; a guessed COM name could be a real device")
        self.clear_link(ABSENT_PORT)
        for step in ["v", "off", "no-such-step"]:
            with self.subTest(step=step):
                res = self.run_tool(ABSENT_PORT, step)
                self.assertRun(res, 1, b"", b"ERR open %s code=2\n" % ABSENT_PORT.encode())


if __name__ == "__main__":
    unittest.main()
