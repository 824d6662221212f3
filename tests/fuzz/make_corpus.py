#!/usr/bin/env python3
"""Writes the seed corpora of the two fuzz targets (corpus/version, corpus/cli).

The input layouts are described at the top of version_fuzz.cpp and
cli_fuzz.cpp. Seeds are regenerated, not edited: run this after changing a
layout and commit the result.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def read(data, dur_ms=None, uncounted=b""):
    """One scripted read record for version_fuzz."""
    assert len(data) < 64 and len(uncounted) < 64
    ctl = len(data)
    extra = b""
    if dur_ms is not None:
        ctl |= 0x80
        extra += bytes([dur_ms])
    if uncounted:
        ctl |= 0x40
        extra += bytes([len(uncounted)])
    return bytes([ctl]) + extra + data + uncounted


def version_seeds():
    wled = b"WLED 0.14.0\r\n"
    return {
        "empty": b"",
        "silent": b"\x00",
        "wled_one_read": b"\x00" + read(wled),
        "wled_three_pieces": b"\x00" + read(b"WL") + read(b"ED 0.14.0") + read(b"\r\n"),
        "wled_pieces_empty_reads": b"\x00" + read(b"WL") + read(b"", 100) + read(b"")
        + read(b"ED 0.14.0", 0) + read(b"\r\n", 1),
        "ok_no_line_end": b"\x00" + read(b"OK"),
        "wled_no_space": b"\x00" + read(b"WLED\r\n"),
        "bare_prefix": b"\x00" + read(b"WLED "),
        "wled_63_bytes": b"\x00" + read(b"WLED " + b"x" * 58),
        "wled_70_bytes_two_reads": b"\x00" + read(b"WLED " + b"x" * 58) + read(b"yyyyyyy"),
        "a_63_bytes": b"\x00" + read(b"A" * 63),
        "wled_nul_tab_high": b"\x00" + read(b"WLED 1\t\x00\xff \r\n"),
        "wled_two_lines": b"\x00" + read(b"WLED 1\r\nX\r\n"),
        "failed_read_leaves_crlf": b"\x00" + read(b"WLED 0.14") + read(b"", 100, b".0\r\nEXTRA"),
        # Four counted bytes, the space after them only left behind uncounted.
        "wled_space_uncounted": b"\x00" + read(b"WLED", 100, b" 1\r\n"),
        # Slow idle reads that leave junk behind, and a slow query write.
        "slow_idle_with_junk": bytes([0x38 | 0x04]) + read(b"WL"),
        "write_fails_21": b"\x01\x15\x00\x00\x00",
        "write_fails_max_code": b"\x01\xff\xff\xff\xff",
    }


def cli(argc, args, open_fail=False, open_code=0, reopen_failures=0, failing_write=0,
        write_code=0, reply=0, stdin=0):
    header = bytes([
        argc,
        (1 if open_fail else 0) | (open_code << 1),
        reopen_failures,
        failing_write & 0xFF,
        failing_write >> 8,
        write_code,
        reply,
        stdin,
    ])
    return header + b"\x00".join(args)


def cli_seeds():
    seeds = {}
    for step in [b"fill-red", b"fill-green", b"fill-blue", b"bri50", b"off", b"on"]:
        seeds["step_" + step.decode()] = cli(3, [b"COM5", step])
    seeds["step_v_ok"] = cli(3, [b"COM5", b"v"], reply=1)
    seeds["step_all_pass"] = cli(3, [b"COM5", b"all"], reply=1)
    seeds["step_all_bri50_json_fails"] = cli(3, [b"COM5", b"all"], reply=1, failing_write=6, write_code=2)
    seeds["unplug_reopen_after_3"] = cli(3, [b"COM5", b"unplug-loop"], reopen_failures=3,
                                         failing_write=5, write_code=0, stdin=1)
    seeds["unplug_never_fails"] = cli(3, [b"COM12", b"unplug-loop"], stdin=2)
    seeds["unplug_no_reopen"] = cli(3, [b"COM5", b"unplug-loop"], reopen_failures=30, failing_write=600)
    seeds["open_fails"] = cli(3, [b"COM007", b"v"], open_fail=True, open_code=2)
    seeds["no_args"] = cli(1, [])
    seeds["three_args"] = cli(4, [b"COM5", b"off", b"extra"])
    seeds["argc_zero"] = cli(0, [])
    seeds["bad_name_lower"] = cli(3, [b"com3", b"off"])
    seeds["bad_name_too_long"] = cli(3, [b"COM1234", b"off"])
    seeds["bad_name_colon"] = cli(3, [b"COM1:", b"off"])
    seeds["bad_name_device_path"] = cli(3, [b"\\\\.\\COM5", b"v"])
    seeds["bad_name_format"] = cli(3, [b"%s%n%x\"'", b"off"])
    seeds["unknown_step_format"] = cli(3, [b"COM5", b"%n%s\"\xe2\x80\x94"])
    seeds["unknown_step_case"] = cli(3, [b"COM999", b"V"])
    return seeds


def write(subdir, seeds):
    path = os.path.join(HERE, "corpus", subdir)
    os.makedirs(path, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


def main():
    write("version", version_seeds())
    write("cli", cli_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
