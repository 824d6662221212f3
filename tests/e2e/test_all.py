"""The full sequence, end to end."""

import unittest

from harness import CMD_BRI50, CMD_OFF, CMD_ON, NOTE_LINE, E2ETestCase, frame

ALL_OK = (b'OK v reply="WLED 0.14.0"\n'
          b"OK fill=red bytes=42\n"
          b"OK fill=green bytes=42\n"
          b"OK fill=blue bytes=42\n"
          b"OK bri=50 gap_ms=25\n"
          b"OK off\n"
          b"OK on\n") + NOTE_LINE
ALL_BYTES = (b"v" + frame(255, 0, 0) + frame(0, 255, 0) + frame(0, 0, 255)
             + frame(255, 255, 255) + CMD_BRI50 + CMD_OFF + CMD_ON)
# Sum of the pauses between the checks.
PAUSES_S = 3.0
# The controller timestamps its reads; waking up late for one message makes
# the gap to the next look shorter than the tool made it, by up to about this.
READ_JITTER_MS = 2.0


class FullSequence(E2ETestCase):
    def test_healthy_controller(self):
        self.start_sim()
        res = self.run_step("all", timeout_s=30)
        self.assertRun(res, 0, ALL_OK)
        self.assertGreaterEqual(res.wall_s, PAUSES_S, self.context(res))
        log = self.stop_sim()
        if log is None:
            return
        self.assertReceived(log, ALL_BYTES, res)
        # Each message's first byte, as the controller saw it, against the
        # pause the schedule puts before it, measured from the end of the
        # previous message.
        reply = log.first("REPLY")
        frames = log.frames("ok")
        json_ok = log.of("JSON", "ok")
        self.assertEqual((len(frames), len(json_ok)), (4, 3), self.context(res))
        marks = [(reply.ns, int(frames[0].get("start")), 250),
                 (frames[0].ns, int(frames[1].get("start")), 500),
                 (frames[1].ns, int(frames[2].get("start")), 500),
                 (frames[2].ns, int(frames[3].get("start")), 500),
                 (frames[3].ns, int(json_ok[0].get("start")), 25),
                 (json_ok[0].ns, int(json_ok[1].get("start")), 1000),
                 (json_ok[1].ns, int(json_ok[2].get("start")), 250)]
        for i, (prev_end, start, pause_ms) in enumerate(marks):
            with self.subTest(gap=i):
                self.assertGreaterEqual((start - prev_end) / 1e6, pause_ms - READ_JITTER_MS,
                                        self.context(res))
        self.assertEqual(log.state(), (True, 50, [(255, 255, 255)] * 12))

    def test_silent_controller_stops_checking_but_keeps_the_schedule(self):
        self.require_sim("needs a controller that does not answer")
        self.start_sim("--silent")
        res = self.run_step("all", timeout_s=30)
        self.assertRun(res, 1, b"FAIL v reply_bytes=(none, 2s timeout)\n" + NOTE_LINE)
        self.assertGreaterEqual(res.wall_s, 2.0 + PAUSES_S, self.context(res))
        log = self.stop_sim()
        self.assertReceived(log, b"v", res)


if __name__ == "__main__":
    unittest.main()
