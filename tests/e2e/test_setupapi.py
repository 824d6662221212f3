"""The companion's USB identity through Wine's own SetupAPI: fake devices in
the test prefix's registry as Windows keeps them, read back by `ports`, `find`,
`ready` and the README's cmd line. Removed afterwards (and before, should a
run have died): these keys are not volatile."""

import os
import re
import unittest

from harness import PORT, TOOL, WINEPREFIX, E2ETestCase, com_number, owns_prefix
from testkit import ALL_BYTES, ROOT
from testkit.expected import (ALL_OK, FIND_CANDIDATE, FIND_FAIL, PORT_USB, READY_DTR_NOTE, READY_FAIL, line,
                              pattern)
from testkit.runner import Run, Tool

PROBE = Tool(os.environ.get("LSS_PROBE_EXE", ""), WINEPREFIX, TOOL.wine)
REG = Tool("reg", WINEPREFIX, TOOL.wine)
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"
ENUM = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\"
DRIVERS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\" + PORTS_CLASS + "\\"
SERIALCOMM = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
NAME = "USB Serial (%s)"
NATIVE_PORT, TWIN_PORT = ("COM%d" % ((com_number(PORT) or 0) + n) for n in (1, 2))
# VID&PID, instance, port, driver key, provider, version, kernel device, location
CH340 = ("VID_1A86&PID_7523", "5&2A3B4C5D&0&2", PORT, "0091", "wch.cn", "3.8.2023.2", "USBSER000", "Port_#0002")
NATIVE = ("VID_2E8A&PID_000A", "E6605838833B2F2D", NATIVE_PORT, "0092", "Microsoft", "10.0.19041.1", "USBSER001",
          "Port_#0003")
TWIN = CH340[:1] + ("5&2A3B4C5D&0&3", TWIN_PORT, "0093") + CH340[4:6] + ("USBSER002", "Port_#0004")


def quoted(text):
    return '"%s"' % text.replace("\\", "\\\\")


def reg_lines(d, remove):
    """The .reg lines that write one device as Windows keeps it (the twin
    without its SERIALCOMM entry), or remove it."""
    ids, instance, port, driver, provider, version, device, location = d
    serialcomm = [quoted("\\Device\\" + device) + "=" + ("-" if remove else quoted(port))]
    if remove:
        return ["[-%s%s]" % (ENUM, ids), "[-%s%s]" % (DRIVERS, driver), "[%s]" % SERIALCOMM] + serialcomm
    key = ENUM + ids + "\\" + instance
    hardware_ids = ("USB\\%s&REV_0100\0USB\\%s\0\0" % (ids, ids)).encode("utf-16-le")
    values = {key: [("ClassGUID", PORTS_CLASS), ("Class", "Ports"), ("FriendlyName", NAME % port),
                    ("LocationInformation", location), ("Driver", PORTS_CLASS + "\\" + driver)],
              key + "\\Device Parameters": [("PortName", port)],
              DRIVERS + driver: [("ProviderName", provider), ("DriverVersion", version)]}
    return sum((["[%s]" % k] + ["%s=%s" % (quoted(n), quoted(v)) for n, v in vs] for k, vs in values.items()), []) + [
        "[%s]" % key, '"HardwareID"=hex(7):' + ",".join("%02x" % b for b in hardware_ids)] + (
        ["[%s]" % SERIALCOMM] + serialcomm if d is not TWIN else [])


def reg_import(directory, remove):
    # One reg run for all: each run of a Wine program costs about 2 s here.
    path = os.path.join(directory, "remove.reg" if remove else "register.reg")
    # UTF-16, as regedit writes it: the hex(7) list is UTF-16 text only then.
    with open(path, "w", encoding="utf-16", newline="") as f:
        f.write("\r\n".join(["Windows Registry Editor Version 5.00"]
                             + sum((reg_lines(d, remove) for d in (CH340, NATIVE, TWIN)), []) + [""]))
    res = REG.run(["import", "Z:" + os.path.abspath(path).replace("/", "\\")], 60.0)
    assert res.rc == 0, "reg import %s: %r" % (path, res)


class SetupApi(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        if not (PROBE.exe and owns_prefix()):
            raise unittest.SkipTest("needs lumaris_serial_probe (LSS_PROBE_EXE) under Wine in a prefix of ours, "
                                    "whose registry gets the devices")
        super().setUpClass()
        reg_import(cls.artifacts, remove=True)
        cls.addClassCleanup(reg_import, cls.artifacts, True)
        reg_import(cls.artifacts, remove=False)

    def probe(self, *args):
        return self.finish_tool(PROBE.start(args, 60.0))  # killed at its limit

    def test_ports_shows_identity_and_driver(self):
        res = self.probe("ports")
        self.assertRun(res, 0, None)
        for d, chip, serial in ((CH340, "CH340/CH341", "-"), (NATIVE, "RP2040 (Pico SDK)", '"%s"' % NATIVE[1])):
            vid, pid = re.findall(r"_([0-9A-F]{4})", d[0])
            self.assertIn(line(PORT_USB, d[2], vid, pid, chip, serial, d[7], NAME % d[2], d[4] + " " + d[5],
                               "\\Device\\" + d[6]), res.out.splitlines(True))

    def test_find_returns_the_port(self):
        self.assertRun(self.probe("find", "1a86:7523"), 0, PORT.encode() + b"\n")
        self.assertRun(self.probe("find", "2E8A:000A:e6605838833b2f2d"), 0, NATIVE_PORT.encode() + b"\n")

    def test_two_boards_of_one_kind_are_both_named(self):
        value = [SERIALCOMM, "/v", "\\Device\\" + TWIN[6], "/f"]
        self.assertEqual(REG.run(["add"] + value + ["/t", "REG_SZ", "/d", TWIN_PORT]).rc, 0)
        self.addCleanup(REG.run, ["delete"] + value)
        self.assertRun(self.probe("find", "1A86:7523"), 1, b"", line(FIND_FAIL, "1A86:7523", 2)
                       + b"".join(line(FIND_CANDIDATE, p, "-") for p in (PORT, TWIN_PORT)))

    def test_silent_native_board_gets_the_dtr_note(self):
        self.require_sim(why="needs a port that opens and stays silent")
        self.start_sim("--silent", port=NATIVE_PORT)
        res = self.probe(NATIVE_PORT, "ready")
        self.assertRun(res, 1, None)
        self.assertRegex(res.out, b"^" + pattern(READY_FAIL, None, "silence")
                         + re.escape(line(READY_DTR_NOTE, NATIVE_PORT, "RP2040 (Pico SDK)", 50)) + b"$")

    def test_readme_cmd_line_drives_the_spike_on_the_found_port(self):
        with open(os.path.join(ROOT, "README.md")) as f:
            command = re.search(r"^for /f %p in \('lumaris_serial_probe find .*$", f.read(), re.M)[0]
        sim = self.start_sim()
        # As a user who put both programs on PATH would type it into cmd.
        argv, env = Tool("cmd", WINEPREFIX, TOOL.wine).command(["/c", command])
        exe_dirs = {os.path.dirname(os.path.abspath(e)) for e in (TOOL.exe, PROBE.exe)}
        env["WINEPATH"] = ";".join("Z:" + d.replace("/", "\\") for d in exe_dirs)
        res = self.finish_tool(Run(argv, env, 60.0, None))
        self.assertRun(res, 0, ALL_OK)
        self.assertReceived(self.stop_sim(), ALL_BYTES, res)


if __name__ == "__main__":
    unittest.main()
