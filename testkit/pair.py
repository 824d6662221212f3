"""The end-to-end modules in pair mode on Linux: python3 -m testkit.pair --help

Starts a socat pty pair, links its near end into the Wine prefix as COM<n>,
and runs the given tests/e2e modules with the simulator serving the far end
through pyserial (LSS_SIM_SERIAL), as it would on a com0com pair or two
wired adapters. Then stops socat and removes the links. Exits with the
status of the test run.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

from testkit import ROOT

PYTHON = sys.executable or "/usr/bin/python3"
E2E_DIR = os.path.join(ROOT, "tests", "e2e")


def start_pair(directory):
    """socat with its two pty ends linked as DIR/near and DIR/far. Returns
    the process once both links exist, or None (socat's log then says why)."""
    near, far = os.path.join(directory, "near"), os.path.join(directory, "far")
    for path in (near, far):
        if os.path.lexists(path):
            os.unlink(path)
    with open(os.path.join(directory, "socat.log"), "wb") as log:
        proc = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + near, "pty,raw,echo=0,link=" + far],
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and proc.poll() is None:
        if os.path.exists(near) and os.path.exists(far):
            return proc
        time.sleep(0.05)
    stop_pair(proc)
    return None


def stop_pair(proc):
    # SIGTERM, never SIGKILL: only then does socat remove its links, which
    # would otherwise point at pts numbers that other programs get next.
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(10)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--exe", required=True, help="lumaris_serial_spike.exe")
    p.add_argument("--prefix", required=True, help="the Wine prefix (its server already running)")
    p.add_argument("--wine", default="wine")
    p.add_argument("--com", type=int, default=12, help="COM number of the near end (default 12)")
    p.add_argument("--dir", required=True, help="directory for the pair's links, socat's log and the simulator logs")
    p.add_argument("modules", nargs="+", help="e2e modules, e.g. cli steps all hardening")
    o = p.parse_args(argv)
    if shutil.which("socat") is None:
        print("testkit.pair: needs socat (Debian socat)", file=sys.stderr)
        return 2
    directory = os.path.abspath(o.dir)
    os.makedirs(directory, exist_ok=True)
    link = os.path.join(o.prefix, "dosdevices", "com%d" % o.com)
    pair = start_pair(directory)
    if pair is None:
        print("testkit.pair: socat made no pair; see %s" % os.path.join(directory, "socat.log"),
              file=sys.stderr)
        return 1
    near = os.path.join(directory, "near")

    def stop(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, stop)
    try:
        # Wine follows a link to socat's link to the pts.
        tmp = link + ".pair-%d" % os.getpid()
        os.symlink(near, tmp)
        os.replace(tmp, link)
        env = dict(os.environ, LSS_EXE=o.exe, WINEPREFIX=o.prefix, LSS_WINE=o.wine, WINEDEBUG="-all",
                   LSS_E2E_PORT="COM%d" % o.com, LSS_SIM_SERIAL=os.path.join(directory, "far"),
                   LSS_E2E_ARTIFACTS=directory, PYTHONPATH=ROOT)
        env.pop("LSS_SIM", None)
        cmd = [PYTHON, "-B", "-m", "unittest", "-v"] + ["test_" + m for m in o.modules]
        return subprocess.run(cmd, cwd=E2E_DIR, env=env, stdin=subprocess.DEVNULL).returncode
    finally:
        if os.path.islink(link) and os.readlink(link) == near:
            os.unlink(link)
        stop_pair(pair)


if __name__ == "__main__":
    sys.exit(main())
