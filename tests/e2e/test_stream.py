"""The companion's `stream` under Wine against the simulated controller. Only
bounds the code guarantees, whatever the load: every slot is sent or late."""

import os
import re
import unittest

from harness import TOOL, WINEPREFIX, E2ETestCase, have_sim
from testkit.expected import STREAM_CEILING, STREAM_RESULT, STREAM_RESET_NOTE, line
from testkit.runner import Tool
from testkit.sim import RESTART_TEXT

PROBE = Tool(os.environ.get("LSS_PROBE_EXE", ""), WINEPREFIX, TOOL.wine)


class Stream(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        if not (PROBE.exe and have_sim()):
            raise unittest.SkipTest("needs lumaris_serial_probe (LSS_PROBE_EXE) and the simulated controller")
        super().setUpClass()

    def stream(self, *args, slots=None):
        res = self.finish_tool(PROBE.start([self.port, "stream"] + list(args), 60.0))
        lines = res.out.splitlines(keepends=True)
        at = [n for n, text in enumerate(lines) if re.fullmatch(STREAM_RESULT, text)]
        self.assertEqual(len(at), 1, self.context(res))
        f = re.fullmatch(STREAM_RESULT, lines[at[0]]).groupdict()
        if slots is not None:
            self.assertEqual(int(f["frames"]) + int(f["late"]), slots, self.context(res))
        return res, lines[:at[0]], f, lines[at[0] + 1:]

    def test_a_healthy_stream_passes_with_its_figures(self):
        self.start_sim()
        res, before, f, after = self.stream("seconds=3", slots=90)  # the LED count from the state
        self.assertEqual((res.rc, f["verdict"], f["leds"], f["text_bytes"], f["rest"], before + after,
                          float(f["seconds"]) >= 3.0), (0, b"OK", b"12", b"0", b' reply="WLED 0.14.0"', [], True),
                         self.context(res))
        self.assertEqual(len(self.stop_sim().frames()), int(f["frames"]), self.context(res))

    def test_a_restart_mid_stream_fails_and_quotes_the_rst_line(self):
        self.start_sim("--restart-after-frames", "30")
        res, _, f, notes = self.stream("seconds=3", "leds=12", slots=90)  # it went on to its end
        self.assertTrue(res.rc == 1 and f["rest"].startswith(b" cause=text reply="), self.context(res))
        self.assertGreaterEqual(int(f["text_bytes"]), len(RESTART_TEXT))
        self.assertEqual(notes[1:], [line(STREAM_RESET_NOTE, 1, RESTART_TEXT.split(b"\r\n")[2])], self.context(res))

    def test_a_pulled_cable_ends_the_stream_at_once(self):
        self.start_sim("--unplug-after-frames", "20")
        res, _, f, _ = self.stream("seconds=30", "leds=12")
        m = re.fullmatch(rb" cause=write frame=(\d+) code=\d+ at_ms=\d+", f["rest"])
        # Past the frames the controller took, and far short of the stream's 900 slots.
        self.assertTrue(res.rc == 1 and m and int(m[1]) > 20 and int(f["frames"]) + int(f["late"]) < 900, res)

    def test_300_leds_at_30_fps_run_at_the_ceiling(self):
        self.start_sim("--leds", "300", "--uart-rate")
        res, before, f, _ = self.stream("seconds=3", "fps=30", slots=39)  # 3 s of 906-byte slots
        self.assertEqual((res.rc, f["leds"], before, float(f["fps"]) <= 12.7),
                         (0, b"300", [line(STREAM_CEILING, 30, 300, 906, "12.7")], True), self.context(res))


if __name__ == "__main__":
    unittest.main()
