"""Every line lumaris_serial_spike.exe and lumaris_serial_probe.exe print, as
the tests expect them, written out once; the tests keep their own copy of the bytes, so a changed line fails
a test. Each "{}" of a template is filled by line() or matched by pattern()."""

import re

USAGE = (b"usage: lumaris_serial_spike <COMn> <step>\n"
         b"  <step>: v | fill-red | fill-green | fill-blue | bri50 | off | on |\n"
         b"          unplug-loop | all\n")
NOTE_LINE = "NOTE: run `unplug-loop` separately \u2014 it requires an interactive unplug/replug.\n".encode()
PROMPT = b"Unplug the Orvane-1 now; replug within 30 s. Press ENTER to begin.\n"
V_TIMEOUT = b"FAIL v reply_bytes=(none, 2s timeout)\n"
BRI50_OK = b"OK bri=50 gap_ms=25\n"
V_OK = b'OK v reply="{}"\n'
V_BYTES = b"FAIL v reply_bytes={}\n"
V_WRITE_FAIL = b"FAIL v write code={}\n"
FILL_OK = b"OK fill={} bytes=42\n"
FILL_FAIL = b"FAIL fill={} code={}\n"
BRI50_FAIL = b"FAIL bri50 {} code={}\n"  # adalight_write or json_write
POWER_OK = b"OK {}\n"
POWER_FAIL = b"FAIL {} code={}\n"
INVALID_PORT = b"ERR invalid port name (expected COM<digits>, got '{}')\n"
OPEN_FAIL = b"ERR open {} code={}\n"
UNKNOWN_STEP = b"ERR unknown step '{}'\n"
WRITE_ERROR = b"ERR write code={}\n"
REOPEN_OK = b"OK reopen attempt={} (first_write_err={})\n"
NO_REOPEN = b"FAIL no-reopen (first_write_err={})\n"

# lumaris_serial_probe
PORT_BARE = b'OK port={} vid=- pid=- mi=- chip=- serial=- location=- name=- driver=- device="{}"\n'
PORT_USB = (b'OK port={} vid={} pid={} mi=- chip="{}" serial={} location="{}" name="{}" driver="{}" '
            b'device="{}"\n')
PORTS_COUNT = b"OK ports count={}\n"
READY_OK = b'OK ready ms={} attempts={} reply="{}"\n'
# state's too: both read through a board's restart and say so in the same words.
READY_BOOT_NOTE = (b"NOTE: {} bytes of other text came before the reply; "
                   b"the board probably restarted when the port opened.\n")
READY_FAIL = b"FAIL ready ms={} attempts=30 last={}\n"
# After ready, state and stream on a native-USB port whose driver refused DTR (Wine on a pty: code 50).
READY_DTR_NOTE = (b"NOTE: {} is a native USB port ({}), but the driver refused to raise DTR (code={}): DTR stayed off, "
                  b"and such firmware usually answers only while DTR is up.\n")
STATE_OK = b'OK state on={} bri={} live={} leds={} ver="{}" name="{}"\n'
STATE_ERROR_3 = b"FAIL state reply=error error=3\nNOTE: error 3: the controller had no buffer free; try again.\n"
STATE_NONE = b"FAIL state reply=none waited_ms={}\n"
STATE_CHECK_FAIL = b"FAIL state key={} expected={} reported={}\n"
FIND_FAIL = b"FAIL find id={} count={}\n"
FIND_CANDIDATE = b"NOTE: candidate port={} serial={}\n"
# stream's result, its fields as named groups; "rest" is the reply or the cause.
STREAM_RESULT = (rb"(?P<verdict>OK|FAIL) stream frames=(?P<frames>\d+) late=(?P<late>\d+) fps=(?P<fps>\d+\.\d) "
                 rb"leds=(?P<leds>\d+) seconds=(?P<seconds>\d+\.\d) write_p50_ms=(?P<write_p50_ms>\d+\.\d) "
                 rb"write_p99_ms=(?P<write_p99_ms>\d+\.\d) write_max_ms=(?P<write_max_ms>\d+\.\d) "
                 rb"text_bytes=(?P<text_bytes>\d+)(?P<rest>.*)\n")
STREAM_CEILING = (b"NOTE: fps={} is over the line's ceiling at {} LEDs ({} bytes a frame): the stream runs at {} "
                  b"frames per second.\n")
STREAM_RESET_NOTE = b'NOTE: the board reported a reset {} time(s), first: "{}"\n'


def _text(value):
    return value if isinstance(value, bytes) else str(value).encode()


def line(template, *values):
    """The template with its "{}" replaced by the values (bytes, str or int), in order."""
    parts = template.split(b"{}")
    return parts[0] + b"".join(_text(v) + p for v, p in zip(values, parts[1:]))


def pattern(template, *values):
    """A regular expression for the line; a value left out or None matches a number as a group."""
    parts = template.split(b"{}")
    values += (None,) * (len(parts) - 1 - len(values))
    return re.escape(parts[0]) + b"".join((rb"(\d+)" if v is None else re.escape(_text(v))) + re.escape(p)
                                          for v, p in zip(values, parts[1:]))


def head(template):
    """The fixed text before a template's first value."""
    return template.split(b"{}")[0]


# Each non-interactive step's line when it passes against the default controller.
STEP_OK = {"v": line(V_OK, "WLED 0.14.0"), **{"fill-" + c: line(FILL_OK, c) for c in ("red", "green", "blue")},
           "bri50": BRI50_OK, "off": line(POWER_OK, "off"), "on": line(POWER_OK, "on")}
ALL_OK = b"".join(STEP_OK.values()) + NOTE_LINE
