"""Reader for the event log written by testkit.sim.

Every line is "KIND <monotonic ns> [rest]". The rest is a list of tokens,
either bare words or key=value pairs:

  START   <ns> pid=P com=N on=1 bri=128 leds=...
  PLUG    <ns> pts=/dev/pts/X link=PATH        (REPLUG the same, after an unplug)
  PLUG    <ns> serial=PORT baud=115200 bits=8 parity=none stop=1   (with --serial)
  TERMIOS <ns> ispeed=115200 ospeed=115200 csize=8 parenb=0 cstopb=0 ...
  STALE   <ns> <hex of the bytes queued before any client opened the port>
  RX      <ns> <hex of the bytes of one read> [deaf] quiet=<ns: the line was idle then>
  QUERY   <ns>                                  (a 0x76 byte outside any message)
  REPLY   <ns taken just before the write> <hex of the bytes written back>
  FRAME   <end ns> ok start=<ns: its first byte read> n=<count> leds=rrggbb,... (--leds of them)
  FRAME   <end ns> bad start=<ns> reason=... bytes=<hex>
  JSON    <end ns> ok|unknown|refused start=<ns> text=<line without LF, \\xNN escaped>
  JSON    <end ns> bad start=<ns> reason=... bytes=<hex>
  JUNK    <ns> <hex>                             (bytes that start no message)
  STATE   <ns> on=0|1 bri=N leds=rrggbb,...
  FLOOD   <ns> start byte=55 ms=5000 | end sent=N
  STALL   <ns> cause=start|after-bytes
  APPEAR  <ns> link=PATH                        (--appear-after: the COM link made late)
  OPEN    <ns> deaf_until=<ns>                  (--boot-on-open: a client opened the port)
  RESTART <ns> deaf_until=<ns>                  (--restart-after-frames: the firmware restarted)
  HANG    <ns>                                  (--hang-after-frames: it reads and answers no more)
  LIVE    <ns> on|off                           (frames started to arrive | the live time-out passed)
  CLOSE   <ns>                                  (--boot-on-open: the last client closed it)
  UNPLUG  <ns> cause=after-frames|vanish-on-query|vanish-after-bytes|line-lost
  EXIT    <ns> reason=SIGTERM|exit-after frames_ok=N rx=N on=.. bri=.. leds=..

Timestamps are CLOCK_MONOTONIC, the clock of time.monotonic_ns() in any
process on the machine, so a test can compare them with its own readings.
"""


class Event:
    __slots__ = ("kind", "ns", "words", "fields", "raw")

    def __init__(self, kind, ns, words, fields, raw):
        self.kind = kind
        self.ns = ns
        self.words = words
        self.fields = fields
        self.raw = raw

    def __repr__(self):
        return "Event(%r)" % self.raw

    def get(self, key, default=None):
        return self.fields.get(key, default)


def parse_line(line):
    line = line.rstrip("\n")
    parts = line.split(" ")
    if len(parts) < 2:
        raise ValueError("malformed log line %r" % line)
    words, fields = [], {}
    for tok in parts[2:]:
        key, eq, value = tok.partition("=")
        if eq:
            fields[key] = value
        else:
            words.append(tok)
    return Event(parts[0], int(parts[1]), words, fields, line)


def parse_leds(text):
    return [tuple(bytes.fromhex(c)) for c in text.split(",")]


def unescape(text):
    """Inverse of the simulator's printable(): back to the exact bytes."""
    out = bytearray()
    i = 0
    while i < len(text):
        if text.startswith("\\x", i):
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out += text[i].encode("ascii")
            i += 1
    return bytes(out)


class SimLog:
    def __init__(self, events):
        self.events = events

    @classmethod
    def read(cls, path):
        with open(path, encoding="ascii", errors="replace") as f:
            # A line still being written has no LF yet; leave it for later.
            return cls([parse_line(l) for l in f if l.endswith("\n")])

    def of(self, kind, *words):
        return [e for e in self.events
                if e.kind == kind and all(w in e.words for w in words)]

    def first(self, kind, *words):
        found = self.of(kind, *words)
        return found[0] if found else None

    def last(self, kind, *words):
        found = self.of(kind, *words)
        return found[-1] if found else None

    def rx_chunks(self):
        """[(ns, bytes)] for every read of the simulator, in order."""
        return [(e.ns, bytes.fromhex(e.words[0]) if e.words else b"") for e in self.of("RX")]

    def rx_bytes(self):
        return b"".join(c for _, c in self.rx_chunks())

    def rx_byte_times(self):
        """One (ns, byte) per received byte; each byte carries its read's time."""
        return [(ns, b) for ns, chunk in self.rx_chunks() for b in chunk]

    def pause_ns(self, end_ns, start_ns):
        """An upper estimate of the pause between a message whose last byte
        was read at end_ns and one whose first byte was read at start_ns.
        Read times lag arrival by however late the simulator got round to
        the read, so their plain difference can look shorter than the pause
        the tool made; this one is measured from the last moment the line
        was seen idle before end_ns and can only look longer."""
        quiet = [int(e.get("quiet")) for e in self.of("RX") if e.ns == end_ns]
        return start_ns - quiet[0]

    def reply_bytes(self):
        return b"".join(bytes.fromhex(e.words[0]) for e in self.of("REPLY") if e.words)

    def frames(self, verdict="ok"):
        return self.of("FRAME", verdict)

    def json_lines(self, verdict=None):
        evs = self.of("JSON") if verdict is None else self.of("JSON", verdict)
        return [unescape(e.get("text")) for e in evs if "text" in e.fields]

    def state(self):
        """(on, bri, leds) of the last STATE line, else of START."""
        e = self.last("STATE") or self.first("START")
        if e is None:
            return None
        return (e.get("on") == "1", int(e.get("bri")), parse_leds(e.get("leds")))
