"""The simulated controller on its own, driven through its pty by a plain
Linux client (no Wine): what the end-to-end tests rely on it to do."""

import json
import os
import select
import shutil
import subprocess
import tempfile
import termios
import time
import tty
import unittest

from harness import CMD_OFF, ON_WINDOWS, frame
from testkit import ROOT
from testkit.runner import PYTHON, Simulator
from testkit import LINE_BYTES_PER_S
from testkit.sim import BOOT_TEXT, GREETING, RESTART_TEXT, UART_FIFO


def frame_of(leds):
    hi, lo = divmod(len(leds) - 1, 256)
    return b"Ada" + bytes([hi, lo, hi ^ lo ^ 0x55]) + b"".join(bytes(c) for c in leds)


@unittest.skipIf(ON_WINDOWS, "the simulator needs Linux ptys")
class SimulatorAlone(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="lss-sim-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        os.mkdir(os.path.join(self.dir, "dosdevices"))
        self.link = os.path.join(self.dir, "dosdevices", "com3")
        self.log_path = os.path.join(self.dir, "sim.log")

    def start(self, *args):
        self.sim = Simulator(self.dir, 3, self.log_path, args, lifetime_ms=60000)
        self.addCleanup(self.sim.stop)
        self.assertEqual(os.readlink(self.link), self.sim.pts)
        return self.sim.pts

    def stop(self):
        self.assertEqual(self.sim.stop(), [])
        return self.sim.log()

    def open_port(self, path=None):
        fd = os.open(path or self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        tty.setraw(fd)
        return fd

    def read_for(self, fd, seconds, until=None):
        out = b""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not (until and out.endswith(until)):
            r, _, _ = select.select([fd], [], [], 0.02)
            if r:
                out += os.read(fd, 256)
        return out

    def test_messages_update_the_state_and_bad_frames_do_not(self):
        self.start()
        fd = self.open_port()
        bad_check = frame(1, 2, 3)[:5] + b"\x5f" + frame(1, 2, 3)[6:]
        for chunk in [frame(255, 0, 0), CMD_OFF, b'{"bri":50}\n{"x":1}\n', bad_check,
                      b"Ad", b"A", frame(0, 0, 255)[:20]]:
            os.write(fd, chunk)
            time.sleep(0.03)
        time.sleep(0.2)  # the cut-off frame expires
        log = self.stop()
        self.assertEqual(log.rx_bytes(), frame(255, 0, 0) + CMD_OFF + b'{"bri":50}\n{"x":1}\n'
                         + bad_check + b"AdA" + frame(0, 0, 255)[:20])
        self.assertEqual(len(log.frames("ok")), 1)
        self.assertEqual([e.get("reason") for e in log.frames("bad")],
                         ["checksum=5f", "truncated"])
        self.assertEqual(log.json_lines("ok"), [b'{"on":false}', b'{"bri":50}'])
        self.assertEqual(log.json_lines("unknown"), [b'{"x":1}'])
        self.assertEqual(log.state(), (False, 50, [(255, 0, 0)] * 12))
        self.assertFalse(os.path.lexists(self.link), "link left behind")

    def test_reply_pieces_arrive_apart(self):
        self.start("--reply-chunks", "WL|ED 0.14.0|\\r\\n", "--chunk-delay-ms", "200")
        fd = self.open_port()
        os.write(fd, b"v")
        got, stamps = b"", []
        deadline = time.monotonic() + 3
        while b"\n" not in got and time.monotonic() < deadline:
            r, _, _ = select.select([fd], [], [], 0.02)
            if r:
                got += os.read(fd, 64)
                stamps.append(time.monotonic())
        self.assertEqual(got, b"WLED 0.14.0\r\n")
        self.assertGreaterEqual(stamps[-1] - stamps[0], 0.39)
        self.stop()

    def test_stall_blocks_writers_even_after_a_purge(self):
        self.start("--stall")
        fd = self.open_port()
        # The tool purges both directions when it opens the port.
        termios.tcflush(fd, termios.TCIOFLUSH)
        os.set_blocking(fd, False)
        with self.assertRaises(BlockingIOError):
            os.write(fd, frame(1, 1, 1))
        log = self.stop()
        self.assertEqual(log.rx_bytes(), b"")

    def test_unplug_and_replug_under_the_same_name(self):
        old = self.start("--unplug-after-frames", "1", "--replug-after-ms", "300")
        fd = self.open_port()
        os.write(fd, frame(16, 16, 16))
        time.sleep(0.1)
        self.assertFalse(os.path.lexists(self.link), "link kept after the unplug")
        with self.assertRaises(OSError):
            os.write(fd, frame(16, 16, 16))
        time.sleep(0.4)
        self.assertTrue(os.path.islink(self.link), "no link after the replug")
        fd2 = self.open_port()
        os.write(fd2, CMD_OFF)
        time.sleep(0.05)
        log = self.stop()
        self.assertEqual([e.kind for e in log.events if e.kind in ("PLUG", "UNPLUG", "REPLUG")],
                         ["PLUG", "UNPLUG", "REPLUG"])
        self.assertEqual(log.first("PLUG").get("pts"), old)
        self.assertEqual(log.rx_bytes(), frame(16, 16, 16) + CMD_OFF)

    def test_json_state_reply_reflects_the_state_and_comes_in_pieces(self):
        self.start("--json-chunk-bytes", "400", "--chunk-delay-ms", "20", "--name", 'a\\"b\\n{')
        fd = self.open_port()
        pieces = 0
        for sent, expected in [(b"", (True, 128, False)),
                               (CMD_OFF + b'{"bri":50}\n' + frame(1, 2, 3), (False, 50, True))]:
            os.write(fd, sent + b'{"v":true}\n')
            reply = self.read_for(fd, 3, until=b"\r\n")
            self.assertTrue(1000 <= len(reply) <= 3000 and reply.endswith(b"}\r\n"), reply)
            pieces += -(-len(reply) // 400)
            got = json.loads(reply)
            self.assertEqual((got["state"]["on"], got["state"]["bri"], got["info"]["live"]), expected)
            self.assertEqual((got["info"]["leds"]["count"], got["info"]["ver"], got["info"]["name"]),
                             (12, "0.14.0", 'a"b\n{'))
        log = self.stop()
        self.assertEqual(len(log.of("REPLY")), pieces)

    def test_json_error_answers_every_line_and_applies_none(self):
        self.start("--json-error", "3")
        fd = self.open_port()
        os.write(fd, b'{"v":true}\n' + CMD_OFF)
        self.assertEqual(self.read_for(fd, 3, until=b"}\r\n{\"error\":3}\r\n"),
                         b'{"error":3}\r\n{"error":3}\r\n')
        self.assertEqual(self.stop().state()[:2], (True, 128))

    def test_boot_on_open_sends_boot_text_then_is_deaf_on_every_open(self):
        self.start("--boot-on-open", "1000")
        for query, answer in ((b"v", b"WLED 0.14.0\r\n"), (b'{"v":true}\n', b'{"state":{"on":true,')):
            fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
            os.write(fd, query)
            self.assertEqual(self.read_for(fd, 5, until=BOOT_TEXT), BOOT_TEXT)
            deaf_until = int(self.sim.log().last("OPEN").get("deaf_until"))
            time.sleep(max(0.0, (deaf_until - time.monotonic_ns()) / 1e9))
            os.write(fd, query)
            self.assertTrue(self.read_for(fd, 3, until=b"\n").startswith(answer))
            os.close(fd)
            self.assertIsNotNone(self.sim.wait_for(lambda log: log.last("CLOSE"), 5))
        log = self.stop()
        self.assertEqual([("deaf" in e.words) for e in log.of("RX")], [True, False] * 2)
        self.assertEqual((len(log.of("QUERY")), len(log.json_lines())), (1, 1))

    def test_restart_after_frames_is_deaf_then_greets_and_the_live_mode_times_out(self):
        self.start("--leds", "30", "--restart-after-frames", "2", "--live-timeout-ms", "300")
        fd = self.open_port()
        dim = frame_of([(0, 0, 24)] + [(0, 0, 0)] * 29)
        # The third frame and the query reach a board that is booting.
        os.write(fd, dim * 3 + b'{"v":true}\n')
        self.assertEqual(self.read_for(fd, 5, until=GREETING), RESTART_TEXT + GREETING)
        for wait, live in ((0, True), (0.4, False)):
            time.sleep(wait)
            os.write(fd, (dim if live else b"") + b'{"v":true}\n')
            info = json.loads(self.read_for(fd, 3, until=b"\r\n"))["info"]
            self.assertEqual((info["leds"]["count"], info["live"]), (30, live))
        log = self.stop()
        self.assertEqual((len(log.frames()), len(log.of("RESTART")), len(log.json_lines())), (3, 1, 2))
        self.assertEqual([e.words for e in log.of("LIVE")][:3], [["on"], ["off"], ["on"]])

    def test_hang_after_frames_reads_and_answers_nothing_more(self):
        self.start("--hang-after-frames", "1")
        fd = self.open_port()
        os.write(fd, frame(0, 0, 24))
        self.assertIsNotNone(self.sim.wait_for(lambda log: log.first("HANG"), 5))
        os.write(fd, b"v")
        self.assertEqual(self.read_for(fd, 0.5), b"")
        self.assertEqual(self.stop().rx_bytes(), frame(0, 0, 24))

    def test_uart_rate_takes_bytes_no_faster_than_the_line_carries_them(self):
        self.start("--uart-rate")
        fd = self.open_port()
        data = frame(0, 0, 24) * 100
        began = time.monotonic_ns()
        os.write(fd, data)
        log = self.sim.wait_for(lambda log: len(log.frames()) == 100, 10)
        self.assertEqual(log.rx_bytes(), data)
        self.assertGreaterEqual(log.last("RX").ns - began, (len(data) - UART_FIFO) * 1e9 / LINE_BYTES_PER_S)
        self.stop()

    def test_port_appears_after_the_delay(self):
        started = time.monotonic()
        self.sim = Simulator(self.dir, 3, self.log_path, ["--appear-after", "1500"], lifetime_ms=60000)
        self.addCleanup(self.sim.stop)
        self.assertTrue(time.monotonic() - started >= 1.5 or not os.path.lexists(self.link))
        log = self.sim.wait_for(lambda log: log.first("APPEAR"), 10)
        self.assertGreaterEqual(log.first("APPEAR").ns - log.first("START").ns, 1_500_000_000)
        self.assertEqual(os.readlink(self.link), self.sim.pts)
        self.stop()

    def test_stale_link_is_replaced(self):
        os.symlink("/nonexistent/pts", self.link)
        pts = self.start()
        self.assertEqual(os.readlink(self.link), pts)
        self.stop()
        self.assertFalse(os.path.lexists(self.link))

    def test_its_pty_number_held_by_another_program_is_no_leftover(self):
        pts = self.start("--unplug-after-frames", "1")
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        os.write(fd, frame(1, 1, 1))
        self.assertIsNotNone(self.sim.wait_for(lambda log: log.first("UNPLUG"), 5))
        os.close(fd)
        # Another program's new pty takes the freed number.
        mine = [os.openpty() for _ in range(8)]
        self.addCleanup(lambda: [os.close(f) for pair in mine for f in pair])
        if pts not in [os.ttyname(s) for _, s in mine]:
            self.skipTest("%s went to someone else's pty" % pts)
        self.stop()


class SerialLineRefusals(unittest.TestCase):
    def test_modes_that_need_both_sides_of_the_line_are_refused(self):
        run = subprocess.run([PYTHON, "-m", "testkit.sim", "--serial", "/nonexistent", "--stall",
                              "--vanish-on-query", "--unplug-after-frames", "1", "--boot-on-open", "1",
                              "--appear-after", "1"],
                             capture_output=True, timeout=30, env=dict(os.environ, PYTHONPATH=ROOT))
        self.assertEqual(run.returncode, 2, run)
        for option in (b"--stall", b"--vanish-on-query", b"--unplug-after-frames", b"--boot-on-open",
                       b"--appear-after"):
            self.assertIn(b"testkit.sim: --serial cannot play %s: " % option, run.stderr)


if __name__ == "__main__":
    unittest.main()
