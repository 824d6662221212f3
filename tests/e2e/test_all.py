"""The full sequence, end to end."""

import unittest

from harness import E2ETestCase
from testkit import ALL_BYTES
from testkit.expected import ALL_OK, NOTE_LINE, V_TIMEOUT

# Sum of the pauses between the checks.
PAUSES_S = 3.0


class FullSequence(E2ETestCase):
    def test_healthy_controller(self):
        self.start_sim()
        res = self.run_step("all", timeout_s=30)
        self.assertRun(res, 0, ALL_OK)
        self.assertGreaterEqual(res.wall_s, PAUSES_S, self.context(res))
        log = self.stop_sim()
        self.assertReceived(log, ALL_BYTES, res)
        # Each message's first byte, as the controller saw it, against the
        # pause the schedule puts before it, measured from the end of the
        # previous message (the reply: from just before it was written) in
        # the way a late read cannot shorten.
        reply = log.first("REPLY")
        frames = log.frames("ok")
        json_ok = log.of("JSON", "ok")
        self.assertEqual((len(frames), len(json_ok)), (4, 3), self.context(res))
        starts = [int(e.get("start")) for e in frames + json_ok]
        gaps = [starts[0] - reply.ns] + [log.pause_ns(e.ns, start)
                                         for e, start in zip(frames + json_ok, starts[1:])]
        self.assertEqual([g >= p * 1e6 for g, p in zip(gaps, [250, 500, 500, 500, 25, 1000, 250])],
                         [True] * 7, "pauses %s ms\n%s" % ([g / 1e6 for g in gaps], self.context(res)))
        self.assertEqual(log.state(), (True, 50, [(255, 255, 255)] * 12))

    def test_silent_controller_stops_checking_but_keeps_the_schedule(self):
        self.require_sim(why="needs a controller that does not answer")
        self.start_sim("--silent")
        res = self.run_step("all", timeout_s=30)
        self.assertRun(res, 1, V_TIMEOUT + NOTE_LINE)
        self.assertGreaterEqual(res.wall_s, 2.0 + PAUSES_S, self.context(res))
        log = self.stop_sim()
        self.assertReceived(log, b"v", res)


if __name__ == "__main__":
    unittest.main()
