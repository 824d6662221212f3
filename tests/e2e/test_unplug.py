"""The interactive unplug and replug loop against a controller that unplugs
itself after a few frames."""

import re
import time
import unittest

from harness import E2ETestCase, frame
from testkit.expected import NO_REOPEN, PROMPT, REOPEN_OK, WRITE_ERROR, head, pattern

DIM = frame(16, 16, 16)


class UnplugLoop(E2ETestCase):
    def test_unplug_after_three_frames_and_replug(self):
        self.require_sim("unplug", "line-settings", why="the unplug is scripted in the simulator")
        sim = self.start_sim("--unplug-after-frames", "3", "--replug-after-ms", "2500")
        run = self.start_tool(self.port, "unplug-loop", timeout_s=60, stdin="pipe")
        self.assertIsNotNone(run.wait_output(lambda d: d == PROMPT, 15),
                             "no prompt: %r" % run.out)
        # Nothing is streamed while the operator has not pressed ENTER, but
        # the port is already open and configured.
        time.sleep(1.0)
        log = sim.log()
        self.assertEqual(log.rx_bytes(), b"", self.context())
        self.assertTrue(any(e.get("ispeed") == "115200" for e in log.of("TERMIOS")), self.context())
        run.stdin.write(b"\n")
        run.stdin.flush()
        res = self.finish_tool(run)

        m = re.fullmatch(rb"(.*?)" + pattern(WRITE_ERROR) + pattern(REOPEN_OK), res.out, re.S)
        self.assertIsNotNone(m, self.context(res))
        self.assertEqual(m.group(1), PROMPT)
        code, attempt = int(m.group(2)), int(m.group(3))
        self.assertNotEqual(code, 0)
        self.assertEqual(int(m.group(4)), code, "first write error not carried over")
        self.assertRun(res, 0, None)
        # The link comes back 2.5 s after the unplug, the write after the
        # unplug fails at most 350 ms after it and attempts are >= 1 s apart:
        # attempt 3 is the first that can find it.
        self.assertEqual(attempt, 3, self.context(res))
        gap_s = (run.line_time(head(REOPEN_OK)) - run.line_time(head(WRITE_ERROR))) / 1e9
        self.assertGreaterEqual(gap_s, attempt - 0.1, self.context(res))

        log = self.stop_sim()
        self.assertEqual(log.rx_bytes(), DIM * 3, self.context(res))
        frames = log.frames("ok")
        for a, b in zip(frames, frames[1:]):
            self.assertGreaterEqual(log.pause_ns(a.ns, int(b.get("start"))) / 1e6, 250.0,
                                    "frames closer than the pause")
        replug = log.first("REPLUG")
        self.assertIsNotNone(replug)
        # The re-opened port is the new device, set up and closed without data.
        after = [e for e in log.events if e.ns > replug.ns]
        self.assertTrue(any(e.kind == "TERMIOS" and e.get("ispeed") == "115200" for e in after),
                        self.context(res))
        self.assertFalse(any(e.kind == "RX" for e in after), self.context(res))

    def test_no_replug_gives_up_after_thirty_attempts(self):
        self.require_sim("unplug", why="the unplug is scripted in the simulator")
        self.start_sim("--unplug-after-frames", "1")
        res = self.run_step("unplug-loop", timeout_s=90)
        m = re.fullmatch(re.escape(PROMPT) + pattern(WRITE_ERROR) + pattern(NO_REOPEN), res.out)
        self.assertIsNotNone(m, self.context(res))
        self.assertEqual(m.group(1), m.group(2))
        self.assertRun(res, 1, None)
        self.assertGreaterEqual(res.wall_s, 30.0, self.context(res))
        log = self.stop_sim()
        self.assertEqual(log.rx_bytes(), DIM, self.context(res))


if __name__ == "__main__":
    unittest.main()
