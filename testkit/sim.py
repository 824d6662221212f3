"""Simulated WLED LED controller: python3 -m testkit.sim --help

The controller's end of the line is a transport: PtyTransport, a pty whose
slave is linked into a Wine prefix as DIR/dosdevices/comN -> /dev/pts/X, so
the real .exe can be run against it under Wine; or, with --serial PORT,
SerialTransport, the far end of an existing serial line (a COM port on
Windows, a USB-serial adapter, one end of a socat or com0com pair). The
simulator answers the version query and {"v":true} (its state and info
objects), applies Adalight frames and JSON state lines to a strip of 12 LEDs
(--leds N), is live while frames arrive, can take bytes no faster than a
115200 baud line carries them (--uart-rate), and logs every received byte
and every parsed event with a monotonic timestamp (one line per record, see
simlog.py). Fault modes unplug and replug the device, stall the line, flood
replies, vanish mid-transfer, answer JSON with an error, restart on every
open or after N frames, hang after N frames and make the port appear late;
SERIAL_CANNOT lists those a serial line does not allow.

Python 3.11 standard library for the pty transport (Linux only); the serial
transport needs pyserial (Debian python3-serial, pip install pyserial) and
also runs on Windows.
"""

import argparse
import errno
import importlib.util
import json
import os
import select
import signal
import sys
import time

from testkit import LINE_BYTES_PER_S

try:
    import termios
    import tty
except ImportError:  # Windows: only the serial transport runs there
    termios = tty = None

DEFAULT_LEDS = 12
DEFAULT_REPLY = "WLED 0.14.0\\r\\n"
DEFAULT_BRIGHTNESS = 128
DEFAULT_NAME = "WLED"
QUERY_BYTE = 0x76
# An open JSON line longer than this is garbage, not a command.
JSON_MAX = 512
# The firmware's realtime timeout (--live-timeout-ms): this long after the
# last Adalight frame the effects take the LEDs back, and the JSON reply's
# info.live turns false.
LIVE_TIMEOUT_MS = 2500
# The second stage loader's lines, the same after every reset.
LOADER_TEXT = b"mode:DIO, clock div:2\r\nload:0x3fff0030,len:1184\r\nentry 0x400805f0\r\n"
# ROM messages of a board reset by the port's open, sent this long after the
# open: any sooner and the purge a tool makes right after opening eats them.
BOOT_TEXT = b"\r\nrst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n" + LOADER_TEXT
BOOT_TEXT_DELAY_NS = 200_000_000
# Its first line alone, which --boot-byte-ms prints slowly.
BOOT_LINE = BOOT_TEXT[2:BOOT_TEXT.index(b"\n", 2) + 1]
# A restart of the running firmware (--restart-after-frames): the ROM's
# banner and the cause at once, deaf while the firmware comes up, then the
# Adalight greeting that tells a sender the board listens again.
RESTART_TEXT = (b"ets Jun  8 2016 00:22:57\r\n\r\nrst:0xc (SW_CPU_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n"
                b"configsip: 0, SPIWP:0xee\r\n" + LOADER_TEXT)
RESTART_BOOT_NS = 800_000_000
GREETING = b"Ada\n"
# --uart-rate: the receiver takes bytes in pieces of at least UART_CHUNK (no
# wake-up per byte) and never gains more than its receive FIFO's worth
# while idle, so a burst is not taken faster than the line carries it.
UART_FIFO = 128
UART_CHUNK = 16
# Main loop granularity: timers, the termios watch and the stop flag are
# checked at least this often.
TICK_S = 0.005
SERIAL_BAUD = 115200

_NO_UNPLUG = ("closing the far end of a pair fails no write at the near end (measured with socat "
              "under Wine); only removing the near end's device does")
# What the pty transport plays by owning both sides of the line and a serial
# line does not allow, by capability: the options that need it (refused with
# --serial) and why. The end-to-end harness skips by the same keys.
SERIAL_CANNOT = {
    "stall": (("stall", "stall_after_bytes"),
              "the far end can only stop reading, and a pair or a UART without flow control "
              "buffers or drops the bytes instead of blocking the writer"),
    "unplug": (("unplug_after_frames", "replug_after_ms"), _NO_UNPLUG),
    "vanish": (("vanish_on_query", "vanish_after_bytes"), _NO_UNPLUG),
    "line-settings": ((), "the near end's baud rate and framing do not cross the line (a pair "
                          "carries none), so the far end cannot log them"),
    "flood": ((), "a flood outlives the run: tens of KB stay queued in a pair beyond the reach "
                  "of the next run's purge and spoil it"),
    "open": (("boot_on_open",), "the far end of a pair or a null-modem line does not see the near "
                                "end being opened"),
    "appear": (("appear_after",), "the near end exists as long as the pair or the adapter does; "
                                  "the far end cannot make it appear later"),
    "stale": (("stale",), "bytes the far end writes before the near end is opened may be dropped "
                          "(a closed adapter, com0com) or still be in transit (socat), so they are "
                          "not known to wait in the near end's input queue when the tool opens it"),
}


def serial_refusals(opts):
    """One message per requested fault mode that a serial line cannot play."""
    return ["--serial cannot play --%s: %s" % (opt.replace("_", "-"), why)
            for opts_needed, why in SERIAL_CANNOT.values() for opt in opts_needed
            if getattr(opts, opt, None) not in (None, False)]


def now_ns():
    return time.monotonic_ns()


def decode_escapes(text):
    """Turns a command-line string with C-style escapes into bytes.

    Understands \\xNN, \\r, \\n, \\t, \\0, \\\\, \\" and \\| (a literal bar, for
    --reply-chunks); every other character is taken as its UTF-8 bytes.
    """
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        if i + 1 >= len(text):
            raise ValueError("dangling backslash in %r" % text)
        e = text[i + 1]
        if e == "x":
            digits = text[i + 2:i + 4]
            if len(digits) != 2:
                raise ValueError("bad \\x escape in %r" % text)
            out.append(int(digits, 16))
            i += 4
            continue
        simple = {"r": 13, "n": 10, "t": 9, "0": 0, "\\": 92, "|": 124, '"': 34}
        if e not in simple:
            raise ValueError("unknown escape \\%s in %r" % (e, text))
        out.append(simple[e])
        i += 2
    return bytes(out)


def split_chunks(text):
    """Splits --reply-chunks on unescaped bars, then decodes each piece."""
    pieces = []
    cur = []
    i = 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            cur.append(text[i:i + 2])
            i += 2
        elif text[i] == "|":
            pieces.append("".join(cur))
            cur = []
            i += 1
        else:
            cur.append(text[i])
            i += 1
    pieces.append("".join(cur))
    return [decode_escapes(p) for p in pieces if p != ""]


def parse_hex(text):
    cleaned = text.replace(" ", "").replace(",", "").replace(":", "")
    if cleaned.lower().startswith("0x"):
        cleaned = cleaned[2:]
    return bytes.fromhex(cleaned)


def printable(data):
    """Log-safe text: printable ASCII as is, everything else as \\xNN."""
    out = []
    for b in data:
        if 0x21 <= b <= 0x7E and b != 0x5C:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


class Log:
    def __init__(self, path):
        if path is None:
            self.f = None
        elif path == "-":
            self.f = sys.stderr
        else:
            self.f = open(path, "w", encoding="ascii", errors="backslashreplace")

    def write(self, kind, text="", ns=None):
        if self.f is None:
            return
        ns = now_ns() if ns is None else ns
        line = "%s %d" % (kind, ns)
        if text:
            line += " " + text
        self.f.write(line + "\n")
        self.f.flush()

    def close(self):
        if self.f is not None and self.f is not sys.stderr:
            self.f.close()
        self.f = None


class Parser:
    """Splits the received byte stream into query bytes, Adalight frames and
    JSON lines. Bytes that start none of them are collected as junk."""

    IDLE, HEADER, PAYLOAD, JSON = range(4)

    def __init__(self, message_timeout_ns, leds):
        self.timeout_ns = message_timeout_ns
        self.leds = leds
        self.reset()
        self.junk = bytearray()
        self.junk_start = 0

    def reset(self):
        self.state = Parser.IDLE
        self.buf = bytearray()
        self.need = 0
        self.start_ns = 0
        self.last_ns = 0

    def _junk(self, b, ts):
        if not self.junk:
            self.junk_start = ts
        self.junk.append(b)

    def _flush_junk(self, events):
        if self.junk:
            events.append(("junk", self.junk_start, bytes(self.junk)))
            self.junk = bytearray()

    def feed(self, data, ts):
        events = []
        for b in data:
            self._byte(b, ts, events)
        self._flush_junk(events)
        return events

    def expire(self, ts):
        """A message left half-received for too long is reported as cut off."""
        if self.state == Parser.IDLE or ts - self.last_ns < self.timeout_ns:
            return []
        events = []
        kind = "json" if self.state == Parser.JSON else "frame"
        events.append((kind + "-bad", self.start_ns, self.last_ns,
                       "truncated got=%d" % len(self.buf), bytes(self.buf)))
        self.reset()
        return events

    def _byte(self, b, ts, events):
        self.last_ns = ts
        st = self.state
        if st == Parser.IDLE:
            if b == QUERY_BYTE:
                self._flush_junk(events)
                events.append(("query", ts))
            elif b == 0x41:  # 'A' of the "Ada" marker
                self.state = Parser.HEADER
                self.buf = bytearray([b])
                self.start_ns = ts
            elif b == 0x7B:  # '{'
                self._flush_junk(events)
                self.state = Parser.JSON
                self.buf = bytearray([b])
                self.start_ns = ts
            else:
                self._junk(b, ts)
            return
        if st == Parser.HEADER:
            self.buf.append(b)
            n = len(self.buf)
            if n <= 3:
                if self.buf != b"Ada"[:n]:
                    # Not a frame after all: the marker bytes are junk and the
                    # current byte may itself start something.
                    stale = bytes(self.buf[:-1])
                    start = self.start_ns
                    self.reset()
                    for s in stale:
                        self._junk(s, start)
                    self._byte(b, ts, events)
                return
            if n == 6:
                hi, lo, chk = self.buf[3], self.buf[4], self.buf[5]
                self._flush_junk(events)
                if chk != hi ^ lo ^ 0x55:
                    events.append(("frame-bad", self.start_ns, ts,
                                   "checksum=%02x expected=%02x" % (chk, hi ^ lo ^ 0x55),
                                   bytes(self.buf)))
                    self.reset()
                    return
                self.need = 3 * (((hi << 8) | lo) + 1)
                self.state = Parser.PAYLOAD
            return
        if st == Parser.PAYLOAD:
            self.buf.append(b)
            if len(self.buf) == 6 + self.need:
                count = self.need // 3
                if count != self.leds:
                    events.append(("frame-bad", self.start_ns, ts, "count=%d" % count,
                                   bytes(self.buf)))
                else:
                    events.append(("frame", self.start_ns, ts, bytes(self.buf[6:])))
                self.reset()
            return
        if st == Parser.JSON:
            self.buf.append(b)
            if b == 0x0A:
                events.append(("json", self.start_ns, ts, bytes(self.buf[:-1])))
                self.reset()
            elif len(self.buf) > JSON_MAX:
                events.append(("json-bad", self.start_ns, ts, "too-long", bytes(self.buf)))
                self.reset()


class PtyTransport:
    """One plugged-in device: a pty pair and the COM link to its slave. The
    simulator reaches the line only through name, stalled, describe(),
    wait_readable(), read(), write(), stall(), line_settings() and close()."""

    def __init__(self, link_path, hold_slave=True, link_now=True):
        self.link_path = link_path
        self.master, self.slave = os.openpty()
        # The slave stays open in this process for the device's lifetime, so
        # reading the master never fails with EIO between the tool's runs,
        # unless opens must be seen: the master reports a hang-up exactly
        # while no one has the slave open.
        tty.setraw(self.slave)
        attrs = termios.tcgetattr(self.slave)
        # Start at 9600 baud so the tool's line settings show up as a change.
        attrs[4] = attrs[5] = termios.B9600
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        os.set_blocking(self.master, False)
        self.name = os.ttyname(self.slave)
        self.stalled = False
        self.poll = None
        if not hold_slave:
            os.close(self.slave)
            self.slave = -1
            self.poll = select.poll()
            self.poll.register(self.master, select.POLLIN)
        if link_now:
            self.link()

    def link(self):
        if self.link_path is not None:
            tmp = "%s.sim-%d" % (self.link_path, os.getpid())
            if os.path.lexists(tmp):
                os.unlink(tmp)
            os.symlink(self.name, tmp)
            # Atomic replacement of a stale link left by an earlier run.
            os.replace(tmp, self.link_path)

    def describe(self):
        return "pts=%s link=%s" % (self.name, self.link_path or "-")

    def opened(self):
        """Whether a client holds the port open; None while we hold the slave."""
        return None if self.poll is None else not any(
            ev & select.POLLHUP for _, ev in self.poll.poll(0))

    def wait_readable(self, timeout):
        """True once bytes are waiting, False after timeout, None if interrupted."""
        if self.poll is not None:
            # A hang-up wakes every poll: wait out the tick instead of spinning.
            events = self.poll.poll(timeout * 1000)
            if any(ev & select.POLLIN for _, ev in events):
                return True
            if events:
                time.sleep(timeout)
            return False
        try:
            r, _, _ = select.select([self.master], [], [], timeout)
        except InterruptedError:
            return None
        return bool(r)

    def read(self, limit=4096):
        """The bytes waiting on the line, b"" when there are none (a pty is
        never lost under the simulator: it only goes when unplugged)."""
        try:
            return os.read(self.master, limit)
        except BlockingIOError:
            return b""
        except OSError as e:
            if e.errno == errno.EIO:
                return b""
            raise

    def write(self, data):
        """Bytes taken by the line (0 when it is full)."""
        try:
            return os.write(self.master, data)
        except BlockingIOError:
            return 0

    def stall(self):
        # Suspend output on the tty itself: every writer to the slave (the
        # tool under Wine included) then blocks or gets EAGAIN, however big
        # the kernel's pty buffer is, and the tool's purge does not undo it.
        termios.tcflow(self.slave, termios.TCOOFF)
        self.stalled = True

    def line_settings(self):
        try:
            # On the master these are the slave's settings (Linux).
            a = termios.tcgetattr(self.slave if self.slave >= 0 else self.master)
        except termios.error:
            return None
        iflag, oflag, cflag, lflag, ispeed, ospeed = a[:6]
        speeds = {getattr(termios, n): int(n[1:]) for n in dir(termios)
                  if n.startswith("B") and n[1:].isdigit()}
        csize = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        return ("ispeed=%s ospeed=%s csize=%d parenb=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d "
                "opost=%d icanon=%d echo=%d" % (
                    speeds.get(ispeed, ispeed), speeds.get(ospeed, ospeed), csize,
                    bool(cflag & termios.PARENB), bool(cflag & termios.CSTOPB),
                    bool(cflag & termios.CRTSCTS), bool(iflag & termios.IXON),
                    bool(iflag & termios.IXOFF), bool(oflag & termios.OPOST),
                    bool(lflag & termios.ICANON), bool(lflag & termios.ECHO)))

    def close(self):
        # Link first: once the master is gone a re-open must not find a
        # dangling path to a dead pts (which could be reused by another pty).
        try:
            if self.link_path and os.path.islink(self.link_path) and os.readlink(self.link_path) == self.name:
                os.unlink(self.link_path)
        except OSError:
            pass
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = self.slave = -1


class SerialTransport:
    """The far end of an existing serial line, with PtyTransport's surface.
    read() and write() return None once the line is gone (a USB adapter
    pulled, the socat of a pair stopped). It never stalls and has no view of
    the near end's line settings."""

    stalled = False

    def __init__(self, port):
        import serial  # only this transport needs pyserial; main() checked it is there

        self.error, self.timeout_error = serial.SerialException, serial.SerialTimeoutException
        self.name = port
        # Set here, not learnt: a pair passes no settings across and a real
        # UART needs both ends to agree. Non-blocking both ways, so the main
        # loop keeps its timers while the tool is not reading a flood.
        try:
            self.ser = serial.Serial(port, SERIAL_BAUD, bytesize=serial.EIGHTBITS,
                                     parity=serial.PARITY_NONE, stopbits=serial.STOPBITS_ONE,
                                     timeout=0, write_timeout=0)
        except (serial.SerialException, ValueError) as e:
            raise SystemExit("testkit.sim: cannot open %s: %s" % (port, e))
        # POSIX: a descriptor to select() on. Windows: polled.
        self.fd = self.ser.fileno() if os.name == "posix" else None

    def describe(self):
        return "serial=%s baud=%d bits=8 parity=none stop=1" % (self.name, SERIAL_BAUD)

    def wait_readable(self, timeout):
        if self.fd is not None:
            try:
                r, _, _ = select.select([self.fd], [], [], timeout)
            except InterruptedError:
                return None
            return bool(r)
        deadline = time.monotonic() + timeout
        while True:
            try:
                if self.ser.in_waiting:
                    return True
            except self.error:
                return True  # read() reports the loss
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            time.sleep(min(0.002, left))

    def read(self, limit=4096):
        try:
            return self.ser.read(limit)
        except self.error:
            return None

    def write(self, data):
        # pyserial's POSIX write with write_timeout=0 does not return 0 on a
        # full line: only write when the descriptor has room.
        if self.fd is not None:
            _, w, _ = select.select([], [self.fd], [], 0)
            if not w:
                return 0
        try:
            return self.ser.write(data) or 0
        except self.timeout_error:
            return 0
        except self.error:
            return None

    def line_settings(self):
        return None

    def opened(self):
        return None

    def close(self):
        try:
            self.ser.close()
        except (self.error, OSError):
            pass


class Sim:
    def __init__(self, opts):
        self.o = opts
        self.log = Log(opts.log)
        self.parser = Parser(opts.message_timeout_ms * 1_000_000, opts.leds)
        self.on = True
        self.bri = DEFAULT_BRIGHTNESS
        self.leds = [(0, 0, 0)] * opts.leds
        self.frames_ok = 0
        self.last_frame_ns = None
        self.live_logged = False
        self.hung = False
        # --uart-rate: bytes the line has carried that are not read yet.
        self.uart_room, self.uart_ns = UART_FIFO, now_ns()
        self.rx_total = 0
        self.port_open = False
        self.deaf_until = 0
        self.dev = None         # the transport while the device is plugged in
        self.settings = None    # the line settings last logged
        # When the simulator last found the line idle: no byte of the next
        # read can have arrived before it (see read_line).
        self.quiet_ns = 0
        self.link_path = None
        if opts.prefix is not None:
            dd = os.path.join(os.path.abspath(opts.prefix), "dosdevices")
            if not os.path.isdir(dd):
                raise SystemExit("testkit.sim: no dosdevices directory in %s" % opts.prefix)
            self.link_path = os.path.join(dd, "com%d" % opts.com)
        self.outq = []          # [due_ns, bytes] pending writes to the tool
        self.replug_at = None
        self.flood_until = None
        self.flood_next = 0
        self.flood_sent = 0
        self.stop_reason = None
        self.start_ns = self.boot_ns = now_ns()
        self.exit_at = (None if opts.exit_after_ms is None
                        else self.start_ns + opts.exit_after_ms * 1_000_000)
        self.appear_at = (None if opts.appear_after is None
                          else self.start_ns + opts.appear_after * 1_000_000)
        self.stall_pending = opts.stall_after_bytes

    # ---- state and presentation ----

    def state_text(self):
        return "on=%d bri=%d leds=%s" % (
            1 if self.on else 0, self.bri, ",".join("%02x%02x%02x" % c for c in self.leds))

    def state_changed(self, ts):
        self.log.write("STATE", self.state_text(), ts)

    # ---- device lifetime ----

    def plug(self, replug=False):
        if self.o.serial is not None:
            self.dev = SerialTransport(self.o.serial)
        else:
            self.dev = PtyTransport(self.link_path, hold_slave=self.o.boot_on_open is None,
                                    link_now=replug or self.appear_at is None)
        self.settings = None
        self.parser.reset()
        self.log.write("REPLUG" if replug else "PLUG", self.dev.describe())
        if self.o.stall:
            self.do_stall("start")
        self.check_termios()

    def unplug(self, cause):
        if self.dev is None:
            return
        self.dev.close()
        self.dev = None
        self.outq = []
        self.flood_until = None
        self.parser.reset()
        self.log.write("UNPLUG", "cause=%s" % cause)

    def do_stall(self, cause):
        if self.dev is not None and not self.dev.stalled:
            self.dev.stall()
            self.log.write("STALL", "cause=%s" % cause)

    def watch_open(self, ts):
        """A board that resets when its port is opened: ROM text, then deaf while it boots."""
        opened = self.dev is not None and self.dev.opened()
        if opened and not self.port_open:
            self.deaf_until = ts + self.o.boot_on_open * 1_000_000
            self.log.write("OPEN", "deaf_until=%d" % self.deaf_until, ts)
            self.parser.reset()
            step = (self.o.boot_byte_ms or 0) * 1_000_000
            self.outq = ([[ts + BOOT_TEXT_DELAY_NS + i * step, BOOT_LINE[i:i + 1]] for i in range(len(BOOT_LINE))]
                         if step else [[ts + BOOT_TEXT_DELAY_NS, BOOT_TEXT]])
        elif self.port_open and not opened:
            self.log.write("CLOSE", "", ts)
        self.port_open = bool(opened)

    def restart(self, ts):
        """The firmware restarts: what it was sending is lost, the strip goes
        dark and the live mode ends with it."""
        self.deaf_until = ts + RESTART_BOOT_NS
        self.log.write("RESTART", "deaf_until=%d" % self.deaf_until, ts)
        self.parser.reset()
        self.flood_until = None
        self.outq = [[ts, RESTART_TEXT], [self.deaf_until, GREETING]]
        self.leds = [(0, 0, 0)] * self.o.leds
        self.last_frame_ns = None
        self.boot_ns = ts
        self.state_changed(ts)

    def hang(self, ts):
        self.hung = True
        self.outq = []
        self.flood_until = None
        self.log.write("HANG", "", ts)

    def live_end(self):
        """When the live mode ends: None while it is off or the firmware hangs
        (timing nothing out), 0 once a restart has ended it."""
        if not self.live_logged or self.hung:
            return None
        return 0 if self.last_frame_ns is None else self.last_frame_ns + self.o.live_timeout_ms * 1_000_000

    def watch_live(self, ts):
        end = self.live_end()
        if end is not None and ts >= end:
            self.live_logged = False
            self.log.write("LIVE", "off", ts)

    def check_termios(self):
        if self.dev is None:
            return
        summary = self.dev.line_settings()
        if summary is not None and summary != self.settings:
            self.settings = summary
            self.log.write("TERMIOS", summary)

    # ---- receive side ----

    def line_room(self, ts):
        """--uart-rate: the bytes the line has carried by ts that are not read yet."""
        self.uart_room = min(UART_FIFO, self.uart_room + (ts - self.uart_ns) * LINE_BYTES_PER_S / 1e9)
        self.uart_ns = ts
        return int(self.uart_room)

    def read_line(self, paced=False):
        if self.o.boot_on_open is not None:
            self.watch_open(now_ns())  # bytes that came with the open reach a deaf board
        # Room taken at the read, not before the wait for it: idle time
        # gains no more than the FIFO.
        data = self.dev.read(self.line_room(now_ns()) if paced else 4096)
        ts = now_ns()
        if data is None:
            self.unplug("line-lost")
            return
        if not data:
            return
        if paced:
            self.uart_room -= len(data)
        self.rx_total += len(data)
        # A read is stamped when the simulator gets round to it, possibly long
        # after the bytes came; quiet= bounds their arrival from below.
        if ts < self.deaf_until:
            self.log.write("RX", "%s deaf quiet=%d" % (data.hex(), self.quiet_ns), ts)
            return
        self.log.write("RX", "%s quiet=%d" % (data.hex(), self.quiet_ns), ts)
        self.handle(self.parser.feed(data, ts))
        if (self.o.vanish_after_bytes is not None and self.dev is not None
                and self.rx_total >= self.o.vanish_after_bytes):
            self.unplug("vanish-after-bytes")
        if (self.stall_pending is not None and self.dev is not None
                and self.rx_total >= self.stall_pending):
            self.stall_pending = None
            self.do_stall("after-bytes")

    def handle(self, events):
        for ev in events:
            kind = ev[0]
            # A restart or a hang takes the rest of what was read with it.
            if self.dev is None or self.hung or ev[1] < self.deaf_until:
                return
            if kind == "query":
                self.on_query(ev[1])
            elif kind == "frame":
                self.on_frame(ev[1], ev[2], ev[3])
            elif kind == "frame-bad":
                self.log.write("FRAME", "bad start=%d reason=%s bytes=%s" % (ev[1], ev[3], ev[4].hex()), ev[2])
            elif kind == "json":
                self.on_json(ev[1], ev[2], ev[3])
            elif kind == "json-bad":
                self.log.write("JSON", "bad start=%d reason=%s bytes=%s" % (ev[1], ev[3], ev[4].hex()), ev[2])
            elif kind == "junk":
                self.log.write("JUNK", ev[2].hex(), ev[1])

    def on_query(self, ts):
        self.log.write("QUERY", "", ts)
        if self.o.vanish_on_query:
            self.unplug("vanish-on-query")
            return
        if self.o.silent:
            return
        if self.o.flood:
            self.flood_until = ts + self.o.flood_ms * 1_000_000
            self.flood_next = ts
            self.flood_sent = 0
            self.log.write("FLOOD", "start byte=%02x ms=%d" % (self.o.flood_byte, self.o.flood_ms))
            return
        self.send_reply(ts, self.o.reply_chunks)

    def send_reply(self, ts, pieces):
        due = ts + self.o.reply_delay_ms * 1_000_000
        for i, chunk in enumerate(pieces):
            self.outq.append([due + i * self.o.chunk_delay_ms * 1_000_000, chunk])

    def on_frame(self, start, end, payload):
        self.leds = [tuple(payload[i:i + 3]) for i in range(0, len(payload), 3)]
        self.frames_ok += 1
        self.last_frame_ns = end
        if not self.live_logged:
            self.live_logged = True
            self.log.write("LIVE", "on", start)
        self.log.write("FRAME", "ok start=%d n=%d leds=%s" % (
            start, self.frames_ok, ",".join("%02x%02x%02x" % c for c in self.leds)), end)
        self.state_changed(end)
        if self.frames_ok == self.o.restart_after_frames:
            self.restart(end)
        if self.frames_ok == self.o.hang_after_frames:
            self.hang(end)
        if self.o.unplug_after_frames is not None and self.frames_ok == self.o.unplug_after_frames:
            self.unplug("after-frames")
            if self.o.replug_after_ms is not None:
                self.replug_at = now_ns() + self.o.replug_after_ms * 1_000_000

    def on_json(self, start, end, text):
        obj = None
        try:
            obj = json.loads(text.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            pass
        known = {}
        if isinstance(obj, dict) and obj:
            for k, v in obj.items():
                if k == "on" and isinstance(v, bool):
                    known["on"] = v
                elif k == "bri" and isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= 255:
                    known["bri"] = v
                elif k == "v" and isinstance(v, bool):
                    known["v"] = v
                else:
                    known = None
                    break
        else:
            known = None
        refused = self.o.json_error is not None
        verdict = "refused" if refused else "ok" if known else "unknown"
        self.log.write("JSON", "%s start=%d text=%s" % (verdict, start, printable(text)), end)
        if refused:
            if not self.o.silent:
                self.send_reply(end, [b'{"error":%d}\r\n' % self.o.json_error])
            return
        if known and known.keys() & {"on", "bri"}:
            self.on = known.get("on", self.on)
            self.bri = known.get("bri", self.bri)
            self.state_changed(end)
        if known and known.get("v") and not self.o.silent:
            reply = self.status_reply(end)
            size = self.o.json_chunk_bytes or len(reply)
            self.send_reply(end, [reply[i:i + size] for i in range(0, len(reply), size)])

    def status_reply(self, ts):
        """The firmware's answer to {"v":true}: its state and info objects on one CR LF line."""
        live = self.last_frame_ns is not None and ts - self.last_frame_ns < self.o.live_timeout_ms * 1_000_000
        n = self.o.leds
        seg = {"id": 0, "start": 0, "stop": n, "len": n, "grp": 1, "spc": 0, "of": 0,
               "on": True, "frz": False, "bri": 255, "cct": 127, "set": 0, "col": [list(self.leds[0]),
               [0, 0, 0], [0, 0, 0]], "fx": 0, "sx": 128, "ix": 128, "pal": 0, "c1": 128, "c2": 128,
               "c3": 16, "sel": True, "rev": False, "mi": False, "o1": False, "o2": False, "o3": False}
        state = {"on": self.on, "bri": self.bri, "transition": 7, "ps": -1, "pl": -1, "nl": {
            "on": False, "dur": 60, "mode": 1, "tbri": 0, "rem": -1}, "udpn": {"send": False, "recv": True,
            "sgrp": 1, "rgrp": 1}, "lor": 0, "mainseg": 0, "seg": [seg]}
        info = {"ver": "0.14.0", "vid": 2310130, "leds": {"count": n, "pwr": 0, "fps": 42 if live else 0,
                "maxpwr": 850, "maxseg": 32, "seglc": [1], "lc": 1, "rgbw": False, "wv": 0, "cct": 0},
                "str": False, "name": self.o.name, "udpport": 21324, "live": live, "liveseg": -1, "lm": "",
                "lip": "", "ws": 0, "fxcount": 187, "palcount": 71, "cpalcount": 0, "maps": [{"id": 0}],
                "wifi": {"bssid": "00:00:00:00:00:00", "rssi": 0, "signal": 0, "channel": 1},
                "fs": {"u": 12, "t": 983, "pmt": 0}, "ndc": 0, "arch": "esp32", "core": "v3.3.6-16-gcc5440f6a2",
                "lwip": 0, "freeheap": 198432, "uptime": (ts - self.boot_ns) // 1_000_000_000,
                "time": "1970-1-1, 00:00:00", "opt": 79, "brand": "WLED", "product": "FOSS",
                "mac": "a0b1c2d3e4f5", "ip": "4.3.2.1"}
        body = json.dumps({"state": state, "info": info}, separators=(",", ":"))
        return body.encode("ascii") + b"\r\n"

    # ---- send side ----

    def pump_output(self, ts):
        if self.dev is None:
            return
        while self.outq and self.outq[0][0] <= ts:
            item = self.outq[0]
            # Stamped before the write: the tool cannot have the bytes earlier.
            sent_ns = now_ns()
            n = self.dev.write(item[1])
            if n is None:
                self.unplug("line-lost")
                return
            if n > 0:
                self.log.write("REPLY", item[1][:n].hex(), sent_ns)
            if n < len(item[1]):
                item[1] = item[1][n:]
                return
            self.outq.pop(0)
        if self.flood_until is not None:
            if ts >= self.flood_until:
                self.log.write("FLOOD", "end sent=%d" % self.flood_sent)
                self.flood_until = None
            elif ts >= self.flood_next:
                # A full line (the tool stopped reading) just takes nothing.
                n = self.dev.write(bytes([self.o.flood_byte]) * 256)
                if n is None:
                    self.unplug("line-lost")
                    return
                self.flood_sent += n
                self.flood_next = ts + 10_000_000

    # ---- main loop ----

    def next_timeout(self, ts):
        due = [ts + int(TICK_S * 1e9)]
        if self.outq:
            due.append(self.outq[0][0])
        if self.replug_at is not None:
            due.append(self.replug_at)
        if self.exit_at is not None:
            due.append(self.exit_at)
        if self.appear_at is not None:
            due.append(self.appear_at)
        if self.live_end() is not None:
            due.append(self.live_end())
        return max(0.0, (min(due) - ts) / 1e9)

    def run(self):
        self.log.write("START", "pid=%d com=%s %s" % (
            os.getpid(), "-" if self.o.serial else self.o.com, self.state_text()))
        self.plug()
        if self.o.stale:
            # Before READY, so before any client can open the port: on a pty
            # the bytes wait in the slave's input queue for whoever opens it.
            self.log.write("STALE", self.o.stale.hex())
            self.dev.write(self.o.stale)
        print("READY %s %s" % (self.dev.name, self.link_path or "-"), flush=True)
        while self.stop_reason is None:
            ts = now_ns()
            if self.exit_at is not None and ts >= self.exit_at:
                self.stop_reason = "exit-after"
                break
            if self.replug_at is not None and ts >= self.replug_at:
                self.replug_at = None
                self.plug(replug=True)
            if self.appear_at is not None and ts >= self.appear_at and self.dev is not None:
                self.appear_at = None
                self.dev.link()
                self.log.write("APPEAR", "link=%s" % (self.link_path or "-"))
            if self.o.boot_on_open is not None:
                self.watch_open(ts)
            self.watch_live(ts)
            readable = self.dev is not None and not self.dev.stalled and not self.hung
            timeout = self.next_timeout(ts)
            if self.o.uart_rate and self.line_room(ts) < UART_CHUNK:
                readable, timeout = False, min(timeout, (UART_CHUNK - self.uart_room) / LINE_BYTES_PER_S)
            waited_ns = now_ns()
            if readable:
                r = self.dev.wait_readable(timeout)
            else:
                time.sleep(timeout)
                r = False
            if r:
                self.read_line(paced=self.o.uart_rate)
            elif readable and r is not None:
                # Nothing came while select waited, so nothing was there when
                # it began either: a later read holds bytes sent after that.
                self.quiet_ns = waited_ns
            ts = now_ns()
            for ev in self.parser.expire(ts):
                self.handle([ev])
            self.pump_output(ts)
            self.check_termios()
        self.shutdown()

    def shutdown(self):
        # Take in what the tool wrote just before the stop request, so a test
        # that stops the simulator right after the tool exits sees every byte.
        for _ in range(64):
            if self.dev is None or self.dev.stalled or self.hung:
                break
            before = self.rx_total
            self.read_line()
            if self.rx_total == before:
                break
        if self.dev is not None:
            self.dev.close()
            self.dev = None
        self.log.write("EXIT", "reason=%s frames_ok=%d rx=%d %s" % (
            self.stop_reason, self.frames_ok, self.rx_total, self.state_text()))
        self.log.close()


def build_parser():
    p = argparse.ArgumentParser(
        description="Simulated WLED LED controller on a pty, linked as a Wine COM port, "
                    "or on the far end of an existing serial line (--serial).")
    p.add_argument("--prefix", help="Wine prefix: link DIR/dosdevices/comN to the pty")
    p.add_argument("--com", type=int, default=5, help="COM port number (default 5)")
    p.add_argument("--serial", metavar="PORT",
                   help="serve this existing serial device at 115200 8N1 instead of a pty: "
                        "COMn on Windows, /dev/ttyUSB1 or one end of a pair on Linux")
    p.add_argument("--log", help="event log file ('-' for stderr)")
    p.add_argument("--exit-after-ms", type=int, help="stop by itself after this long")
    r = p.add_argument_group("version reply")
    r.add_argument("--reply", default=DEFAULT_REPLY,
                   help="reply to 'v', with \\r \\n \\t \\0 \\xNN escapes (default %(default)s)")
    r.add_argument("--reply-chunks", help="reply split into pieces at '|', sent --chunk-delay-ms apart")
    r.add_argument("--reply-hex", help="reply as hexadecimal bytes, e.g. '57 4C 00 09 FF'")
    r.add_argument("--chunk-delay-ms", type=int, default=300)
    r.add_argument("--reply-delay-ms", type=int, default=0, help="pause before the first piece")
    r.add_argument("--silent", action="store_true", help="never answer 'v' nor a JSON line")
    r.add_argument("--flood", action="store_true",
                   help="answer 'v' with a stream of bytes without line ending")
    r.add_argument("--flood-ms", type=int, default=5000)
    r.add_argument("--flood-byte", type=lambda s: int(s, 0), default=0x55)
    j = p.add_argument_group("JSON reply")
    j.add_argument("--json-chunk-bytes", type=int, metavar="N",
                   help="send the reply to {\"v\":true} in N-byte pieces, --chunk-delay-ms apart")
    j.add_argument("--json-error", type=int, metavar="N",
                   help="answer every JSON line with {\"error\":N} and apply none")
    j.add_argument("--name", default=DEFAULT_NAME, metavar="TEXT",
                   help="the controller's name in the reply's info object, with escapes as --reply "
                        "and \\\" for a quote (default %(default)s)")
    f = p.add_argument_group("faults")
    f.add_argument("--unplug-after-frames", type=int, metavar="N",
                   help="unplug (close the pty, remove the link) after the Nth valid frame")
    f.add_argument("--replug-after-ms", type=int, metavar="D",
                   help="after an unplug, plug in a new pty under the same name D ms later")
    f.add_argument("--stall", action="store_true", help="block the line from the start")
    f.add_argument("--stall-after-bytes", type=int, metavar="N",
                   help="block the line once N bytes have been received")
    f.add_argument("--vanish-on-query", action="store_true",
                   help="unplug for good right after receiving 'v'")
    f.add_argument("--stale", metavar="TEXT",
                   help="bytes (escapes as --reply) waiting in the port before the tool opens it")
    f.add_argument("--vanish-after-bytes", type=int, metavar="N",
                   help="unplug for good once N bytes have been received")
    f.add_argument("--boot-on-open", type=int, metavar="MS",
                   help="restart whenever the port is opened: boot text, then deaf for MS ms")
    f.add_argument("--restart-after-frames", type=int, metavar="N",
                   help="restart after the Nth valid frame: ROM text, deaf while it boots, then 'Ada'")
    f.add_argument("--hang-after-frames", type=int, metavar="N",
                   help="after the Nth valid frame stop reading and answering for good")
    f.add_argument("--boot-byte-ms", type=int, metavar="MS",
                   help="print only the boot text's first line, a byte every MS ms")
    f.add_argument("--appear-after", type=int, metavar="MS",
                   help="make the COM link only MS ms after the start")
    s = p.add_argument_group("stream")
    s.add_argument("--leds", type=int, default=DEFAULT_LEDS, metavar="N",
                   help="LEDs of the strip: frames of N LEDs apply, info.leds.count (default %(default)s)")
    s.add_argument("--live-timeout-ms", type=int, default=LIVE_TIMEOUT_MS, metavar="MS",
                   help="info.live stays true this long after the last frame (default %(default)s)")
    s.add_argument("--uart-rate", action="store_true",
                   help="read no faster than 115200 baud 8N1 carries (11520 B/s), so an overdriving "
                        "writer backs up")
    p.add_argument("--message-timeout-ms", type=int, default=100,
                   help="a frame or JSON line idle this long is reported as cut off")
    return p


def main(argv=None):
    opts = build_parser().parse_args(argv)
    try:
        if opts.reply_hex is not None:
            opts.reply_chunks = [parse_hex(opts.reply_hex)]
        elif opts.reply_chunks is not None:
            opts.reply_chunks = split_chunks(opts.reply_chunks)
        else:
            opts.reply_chunks = [decode_escapes(opts.reply)]
        if opts.stale is not None:
            opts.stale = decode_escapes(opts.stale)
        try:
            opts.name = decode_escapes(opts.name).decode("utf-8")
        except UnicodeDecodeError:
            # JSON carries text: other bytes could not be sent as they were given.
            raise ValueError("--name %r is not UTF-8 once its escapes are decoded" % opts.name) from None
    except ValueError as e:
        print("testkit.sim: %s" % e, file=sys.stderr)
        return 2
    if opts.serial is not None:
        problems = serial_refusals(opts)
        if opts.prefix is not None:
            problems.append("--serial serves an existing device and --prefix links a pty: not both")
        if importlib.util.find_spec("serial") is None:
            problems.append("--serial needs pyserial (Debian python3-serial, or pip install pyserial)")
        if problems:
            for text in problems:
                print("testkit.sim: %s" % text, file=sys.stderr)
            return 2
    elif opts.boot_on_open is not None and (opts.stall or opts.stall_after_bytes is not None):
        # A stall needs the slave held open, and then no open can be seen.
        print("testkit.sim: --boot-on-open cannot be combined with stalling", file=sys.stderr)
        return 2
    elif termios is None:
        print("testkit.sim: the pty transport needs Linux; use --serial PORT", file=sys.stderr)
        return 2
    if not 1 <= opts.leds <= 2048:
        print("testkit.sim: --leds must be 1..2048", file=sys.stderr)
        return 2
    if opts.prefix is not None and not 1 <= opts.com <= 256:
        print("testkit.sim: --com must be 1..256", file=sys.stderr)
        return 2
    sim = Sim(opts)

    def stop(signum, _frame):
        sim.stop_reason = signal.Signals(signum).name
    # SIGBREAK: Windows' stand-in for SIGTERM (CTRL_BREAK_EVENT to the group).
    for name in ("SIGTERM", "SIGINT", "SIGBREAK"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), stop)
    # Closing our own pty must never take the simulator down.
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
    try:
        sim.run()
    finally:
        if sim.dev is not None:
            sim.dev.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
