"""Misbehaving controllers and odd devices: a stalled line, a flood of
bytes, odd reply bytes, a device that vanishes mid-run, and a COM link that
points at something that is not a serial port."""

import os
import re
import unittest

from harness import WINEPREFIX, E2ETestCase, com_number, frame, owns_prefix
from testkit.expected import (BRI50_FAIL, FILL_FAIL, FILL_OK, NOTE_LINE, OPEN_FAIL, POWER_FAIL, STEP_OK, V_BYTES,
                              V_OK, V_TIMEOUT, V_WRITE_FAIL, line, pattern)

# A write the line never takes: 258 from the tool's own wait, 29 for a short
# count, or the driver's time-out status (1460, as Wine completes it).
WRITE_TIMEOUT_CODES = {258, 29, 1460}
# Wine start-up plus the bounded waits of one step; no step may hang.
BOUNDED_S = 8.0


class StalledLine(E2ETestCase):
    def test_every_first_write_times_out(self):
        self.require_sim("stall")
        self.start_sim("--stall")
        cases = [("off", pattern(POWER_FAIL, "off")),
                 ("fill-red", pattern(FILL_FAIL, "red")),
                 ("v", pattern(V_WRITE_FAIL)),
                 ("bri50", pattern(BRI50_FAIL, "adalight_write"))]
        for step, want in cases:
            with self.subTest(step=step):
                res = self.run_step(step, timeout_s=30)
                m = re.fullmatch(want, res.out)
                self.assertIsNotNone(m, self.context(res))
                self.assertIn(int(m.group(1)), WRITE_TIMEOUT_CODES, self.context(res))
                self.assertRun(res, 1, None)
                self.assertLess(res.wall_s, BOUNDED_S, self.context(res))

    def test_bri50_json_write_times_out_after_the_frame(self):
        self.require_sim("stall")
        self.start_sim("--stall-after-bytes", "42")
        res = self.run_step("bri50", timeout_s=30)
        m = re.fullmatch(pattern(BRI50_FAIL, "json_write"), res.out)
        self.assertIsNotNone(m, self.context(res))
        self.assertIn(int(m.group(1)), WRITE_TIMEOUT_CODES)
        self.assertRun(res, 1, None)
        log = self.stop_sim()
        self.assertReceived(log, frame(255, 255, 255), res)

    def test_full_sequence_with_a_line_that_stalls_after_the_query(self):
        self.require_sim("stall")
        self.start_sim("--stall-after-bytes", "1")
        res = self.run_step("all", timeout_s=30)
        m = re.fullmatch(re.escape(STEP_OK["v"]) + pattern(FILL_FAIL, "red") + re.escape(NOTE_LINE), res.out)
        self.assertIsNotNone(m, self.context(res))
        self.assertIn(int(m.group(1)), WRITE_TIMEOUT_CODES)
        self.assertRun(res, 1, None)


class OddReplies(E2ETestCase):
    def probe(self, *sim_args):
        self.start_sim(*sim_args)
        res = self.run_step("v", timeout_s=30)
        log = self.stop_sim()
        self.assertReceived(log, b"v", res)
        return res, log

    def test_flood_is_cut_at_63_bytes(self):
        self.require_sim("flood")
        res, log = self.probe("--flood", "--flood-ms", "4000")
        self.assertRun(res, 1, line(V_BYTES, " ".join(["55"] * 63)))
        # Collection stopped at the byte limit, not at the 2 s deadline.
        started = log.first("FLOOD", "start").ns
        self.assertLess((res.end_ns - started) / 1e9, 1.5, self.context(res))

    def test_reply_bytes_are_judged_and_printed_as_they_came(self):
        self.require_sim()
        cases = [
            # tab and a high-bit byte are not trimmed and reach stdout raw
            ("57 4C 45 44 20 31 09 FF 0D 0A", 0, line(V_OK, b"WLED 1\t\xff")),
            # a NUL inside the reply ends the printed text
            ("57 4C 45 44 20 00 31 0D 0A", 0, line(V_OK, "WLED ")),
            ("00 57 4C 45 44 20 0D 0A", 1, line(V_BYTES, "00 57 4C 45 44 20 0D 0A")),
            # two lines in one read: only the trailing CR LF goes
            ("57 4C 45 44 20 31 0D 0A 58 0D 0A", 0, line(V_OK, "WLED 1\r\nX")),
        ]
        for reply, rc, out in cases:
            with self.subTest(reply=reply):
                res, _ = self.probe("--reply-hex", reply)
                self.assertEqual((res.rc, res.out, res.err), (rc, out, b""), self.context(res))

    def test_bare_prefix_is_trimmed_after_the_deadline(self):
        self.require_sim()
        res, _ = self.probe("--reply-hex", "57 4C 45 44 20")
        self.assertRun(res, 0, line(V_OK, "WLED"))
        self.assertGreaterEqual(res.wall_s, 2.0)

    def test_long_reply_stops_at_63_bytes(self):
        self.require_sim()
        body = b"WLED " + b"a" * 70
        res, log = self.probe("--reply-hex", body.hex())
        self.assertRun(res, 0, line(V_OK, body[:63]))
        self.assertLess((res.end_ns - log.first("REPLY").ns) / 1e9, 1.5, self.context(res))


class VanishingDevice(E2ETestCase):
    def test_vanish_while_the_reply_is_awaited(self):
        self.require_sim("vanish")
        self.start_sim("--vanish-on-query")
        res = self.run_step("v", timeout_s=30)
        self.assertRun(res, 1, V_TIMEOUT)
        self.assertLess(res.wall_s, BOUNDED_S, self.context(res))
        # Gone for good: the next run cannot open the name.
        again = self.run_step("v", timeout_s=30)
        self.assertRun(again, 1, b"", line(OPEN_FAIL, self.port, 2))

    def test_vanish_in_the_middle_of_the_full_sequence(self):
        self.require_sim("vanish")
        # The query and the red frame arrive; the device goes once it has
        # the green frame, so the blue write is the first to fail.
        self.start_sim("--vanish-after-bytes", str(1 + 42 + 42))
        res = self.run_step("all", timeout_s=30)
        m = re.fullmatch(re.escape(STEP_OK["v"] + line(FILL_OK, "red") + line(FILL_OK, "green"))
                         + pattern(FILL_FAIL, "blue") + re.escape(NOTE_LINE), res.out)
        self.assertIsNotNone(m, self.context(res))
        self.assertNotEqual(int(m.group(1)), 0)
        self.assertRun(res, 1, None)
        self.assertGreaterEqual(res.wall_s, 3.0, "pauses skipped after the failure")
        log = self.stop_sim()
        self.assertReceived(log, b"v" + frame(255, 0, 0) + frame(0, 255, 0), res)


class NotASerialPort(E2ETestCase):
    """dosdevices entries that lead to a regular file, /dev/null or a
    directory: the open fails cleanly and nothing is written."""

    def setUp(self):
        super().setUp()
        if not owns_prefix():
            self.skipTest("needs a Wine prefix of the tests' own to plant the link in")
        self.port_name = "COM%d" % (com_number(self.port) + 1)
        self.link = os.path.join(WINEPREFIX, "dosdevices", self.port_name.lower())
        self.clear_link(self.port_name)
        self.addCleanup(self.clear_link, self.port_name)

    def test_targets_that_are_not_serial_devices(self):
        plain = os.path.join(self.artifacts, "plain-file")
        with open(plain, "wb") as f:
            f.write(b"untouched\n")
        for target in [plain, "/dev/null", self.artifacts]:
            with self.subTest(target=target):
                if os.path.lexists(self.link):
                    os.unlink(self.link)
                os.symlink(target, self.link)
                res = self.run_tool(self.port_name, "off")
                m = re.fullmatch(pattern(OPEN_FAIL, self.port_name), res.err)
                self.assertIsNotNone(m, self.context(res))
                self.assertNotEqual(int(m.group(1)), 0)
                self.assertRun(res, 1, b"", None)
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), b"untouched\n")


if __name__ == "__main__":
    unittest.main()
