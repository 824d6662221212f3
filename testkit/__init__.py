"""Everything around lumaris_serial_spike.exe that is not the product: the
simulated controller (sim), its log (simlog), running the .exe (runner),
what a run leaves behind (leftovers), and the front ends built on them:
the end-to-end harness, the benchmark (bench), the soak and the demo.

The repository root is the package root: run a module from there with
`python3 -m testkit.<module>`.
"""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ON_WINDOWS = os.name == "nt"
# 115200 baud 8N1: ten bits on the line for each byte.
LINE_BYTES_PER_S = 11520


def stream_rate(fps, leds):
    """Frames per second a stream of frames of 6 + 3 x leds bytes runs at:
    as asked, or the line's ceiling."""
    return min(fps, LINE_BYTES_PER_S / (6 + 3 * leds))

# The bytes the tool sends, as the tests expect them; the lines it prints
# are in testkit.expected.
HEADER = bytes([0x41, 0x64, 0x61, 0x00, 0x0B, 0x5E])
CMD_OFF = b'{"on":false}\n'
CMD_ON = b'{"on":true}\n'
CMD_BRI50 = b'{"bri":50}\n'


def frame(r, g, b):
    return HEADER + bytes([r, g, b]) * 12


# What the controller receives from each of those steps, in the order `all` runs them.
STEP_BYTES = {
    "v": b"v",
    "fill-red": frame(255, 0, 0),
    "fill-green": frame(0, 255, 0),
    "fill-blue": frame(0, 0, 255),
    "bri50": frame(255, 255, 255) + CMD_BRI50,
    "off": CMD_OFF,
    "on": CMD_ON,
}
ALL_BYTES = b"".join(STEP_BYTES.values())
