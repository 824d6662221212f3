"""The companion lumaris_serial_probe.exe end to end: each command once, under
Wine against the simulated controller (LSS_PROBE_EXE names the .exe)."""

import json
import os
import re
import unittest

from harness import CMD_BRI50, CMD_OFF, CMD_ON, TOOL, WINEPREFIX, E2ETestCase, have_sim, owns_prefix, frame
from testkit import STEP_BYTES
from testkit.expected import (FIND_FAIL, PORT_BARE, PORTS_COUNT, READY_BOOT_NOTE, READY_OK, STATE_CHECK_FAIL,
                              STATE_ERROR_3, STATE_NONE, STATE_OK, line, pattern)
from testkit.runner import Tool
from testkit.sim import BOOT_TEXT

QUERY = b'{"v":true}\n'
PROBE = Tool(os.environ.get("LSS_PROBE_EXE", ""), WINEPREFIX, TOOL.wine)
# The boot text as the probe counts it: each line with its CR, not the empty first line nor the LFs.
BOOT_NOTE = len(BOOT_TEXT.replace(b"\r\n", b"\r").lstrip(b"\r"))


class Probe(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        if not PROBE.exe:
            raise unittest.SkipTest("LSS_PROBE_EXE is not set: this build has no lumaris_serial_probe")
        if not have_sim():
            raise unittest.SkipTest("the checks expect the simulated controller's replies")
        super().setUpClass()

    def probe(self, *args):
        run = PROBE.start(args, 60.0)
        self.addCleanup(run.kill)
        return self.finish_tool(run)

    def test_ports_lists_a_port_added_to_serialcomm(self):
        if not owns_prefix():
            self.skipTest("needs the Wine prefix: the port is added to its SERIALCOMM key")
        reg = Tool("reg", WINEPREFIX, TOOL.wine)
        value = ["HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v", "\\Device\\Serial9"]
        self.assertEqual(reg.run(["add"] + value + ["/t", "REG_SZ", "/d", "COM42", "/f"]).rc, 0)
        self.addCleanup(reg.run, ["delete"] + value + ["/f"])
        res = self.probe("ports")
        self.assertRun(res, 0, None)
        lines = res.out.splitlines(keepends=True)
        self.assertIn(line(PORT_BARE, "COM42", b"\\Device\\Serial9"), lines)
        self.assertEqual(lines[-1], line(PORTS_COUNT, len(lines) - 1))

    def test_find_finds_nothing_under_wine(self):
        if not owns_prefix():
            self.skipTest("only Wine's SetupAPI is known to hold no USB device")
        # Nothing on standard output: a script that runs the tool on the answer gets no port name.
        self.assertRun(self.probe("find", "1A86:7523"), 1, b"", line(FIND_FAIL, "1A86:7523", 0))

    def test_ready_waits_for_a_late_port_and_a_booting_board(self):
        self.require_sim("appear", "open")
        self.clear_link(self.port)
        run = PROBE.start([self.port, "ready"], 60.0)
        self.addCleanup(run.kill)
        # The port's 3 s start after the probe's: with the boot's second, the
        # reply cannot come within 3 s of the probe's own clock unless Wine
        # took over a second to start it.
        self.start_sim("--appear-after", "3000", "--boot-on-open", "1000")
        res = self.finish_tool(run)
        self.assertRun(res, 0, None)
        m = re.fullmatch(pattern(READY_OK, None, None, "WLED 0.14.0") + pattern(READY_BOOT_NOTE), res.out)
        self.assertIsNotNone(m, self.context(res))
        self.assertGreaterEqual(int(m[1]), 3000)
        self.assertEqual(int(m[3]), BOOT_NOTE)
        self.assertEqual(set(self.stop_sim().rx_bytes()), {ord("v")}, self.context(res))

    def test_state_after_off_on_and_bri50(self):
        sim = self.start_sim()
        for n, (step, on, bri) in enumerate((("off", b"false", 128), ("on", b"true", 128), ("bri50", b"true", 50))):
            with self.subTest(step=step):
                self.assertRun(self.run_step(step), 0, None)
                # The probe's open purges the port, which under Wine on a pty
                # also drops what the step wrote and the controller has not
                # read yet: the probe starts once the controller has it all.
                self.assertIsNotNone(sim.wait_for(lambda log: log.rx_bytes().endswith(STEP_BYTES[step]), 10),
                                     "the step printed OK, but its bytes never reached the controller\n"
                                     + self.context())
                res = self.probe(self.port, "state", "on=false")
                # Whether the frame of bri50 still holds the LEDs depends on how
                # fast the probe came: what the controller said is the truth,
                # once it has logged the reply it wrote.
                replies = sim.wait_for(lambda log: log.reply_bytes().count(b"\r\n") > n, 5)
                self.assertIsNotNone(replies, self.context(res))
                live = json.loads(replies.reply_bytes().split(b"\r\n")[n])["info"]["live"]
                checked = b"" if step == "off" else line(STATE_CHECK_FAIL, "on", "false", "true")
                self.assertRun(res, 0 if step == "off" else 1,
                               line(STATE_OK, on, bri, b"true" if live else b"false", 12, "0.14.0", "WLED") + checked)
        self.assertReceived(self.stop_sim(), CMD_OFF + QUERY + CMD_ON + QUERY
                            + frame(255, 255, 255) + CMD_BRI50 + QUERY)

    def test_state_keeps_a_hostile_name_inside_its_one_line(self):
        self.start_sim("--name", 'x\\"y\\nOK state on=true')
        self.assertRun(self.probe(self.port, "state"), 0,
                       line(STATE_OK, "true", 128, "false", 12, "0.14.0", "x'y?OK state on=true"))

    def test_state_reads_through_a_restart_and_says_so(self):
        self.require_sim("open")
        self.start_sim("--boot-on-open", "1000")
        res = self.probe(self.port, "state")
        self.assertRun(res, 0, line(STATE_OK, "true", 128, "false", 12, "0.14.0", "WLED")
                       + line(READY_BOOT_NOTE, BOOT_NOTE))
        # The query lost to the boot is asked again, once a second for at most 10 s.
        self.assertIn(self.stop_sim().rx_bytes(), [QUERY * n for n in range(2, 13)], self.context(res))

    def test_state_listens_through_slow_boot_text(self):
        self.require_sim("open")
        # The first boot line is still arriving when the first 3 s are over; deaf until 3.6 s.
        self.start_sim("--boot-on-open", "3600", "--boot-byte-ms", "60")
        self.assertRun(self.probe(self.port, "state"), 0, line(STATE_OK, "true", 128, "false", 12, "0.14.0", "WLED")
                       + line(READY_BOOT_NOTE, BOOT_NOTE))

    def test_state_fails_on_an_error_reply_and_on_silence(self):
        for args in (["--json-error", "3"], ["--silent"]):
            with self.subTest(controller=args[0]):
                self.start_sim(*args)
                res = self.probe(self.port, "state")
                self.assertRun(res, 1, STATE_ERROR_3 if args[1:] else None)
                if not args[1:]:
                    m = re.fullmatch(pattern(STATE_NONE), res.out)
                    self.assertTrue(m and int(m[1]) >= 3000, self.context(res))
                self.assertReceived(self.stop_sim(), QUERY, res)


if __name__ == "__main__":
    unittest.main()
