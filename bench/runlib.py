"""Shared by bench/bench.py and scripts/soak.py: runs the .exe under Wine
against sim/lumaris_sim.py, timestamps every output line as it is read, and
takes a census of the processes, ptys and descriptors a run could leave
behind.

All timestamps are time.monotonic_ns() (CLOCK_MONOTONIC), the clock the
simulator writes into its log, so the two can be subtracted directly.

Python 3.11 standard library only; Linux only (pidfd, /proc).
"""

import os
import select
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SIM = os.path.join(REPO, "sim", "lumaris_sim.py")
sys.path.insert(0, os.path.join(REPO, "sim"))
import simlog  # noqa: E402  (lives next to the simulator)

PYTHON = sys.executable or "/usr/bin/python3"
CLK_TCK = os.sysconf("SC_CLK_TCK")
# After the tool has exited, a Wine helper it started may still hold the
# output pipes; stop reading after this long instead of waiting for EOF.
PIPE_DRAIN_S = 1.0
GROUP_DRAIN_S = 5.0

HEADER = bytes([0x41, 0x64, 0x61, 0x00, 0x0B, 0x5E])
CMD_OFF = b'{"on":false}\n'
CMD_ON = b'{"on":true}\n'
CMD_BRI50 = b'{"bri":50}\n'
NOTE_LINE = ("NOTE: run `unplug-loop` separately \u2014 it requires an interactive "
             "unplug/replug.\n").encode()
ALL_OK = (b'OK v reply="WLED 0.14.0"\n'
          b"OK fill=red bytes=42\n"
          b"OK fill=green bytes=42\n"
          b"OK fill=blue bytes=42\n"
          b"OK bri=50 gap_ms=25\n"
          b"OK off\n"
          b"OK on\n") + NOTE_LINE


def frame(r, g, b):
    return HEADER + bytes([r, g, b]) * 12


ALL_BYTES = (b"v" + frame(255, 0, 0) + frame(0, 255, 0) + frame(0, 0, 255)
             + frame(255, 255, 255) + CMD_BRI50 + CMD_OFF + CMD_ON)


def wine_env(prefix):
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")


# ---------------------------------------------------------------- tool runs

class Run:
    def __init__(self, argv):
        self.argv = argv
        self.rc = None
        self.start_ns = 0
        self.exit_ns = 0
        self.lines = []          # (ns, "out" | "err", bytes with its LF)
        self.cpu_s = 0.0         # user + sys of the tool and its waited children
        self.timed_out = False
        self.group_clean = True

    @property
    def wall_s(self):
        return (self.exit_ns - self.start_ns) / 1e9

    @property
    def out(self):
        return b"".join(l for _, s, l in self.lines if s == "out")

    @property
    def err(self):
        return b"".join(l for _, s, l in self.lines if s == "err")

    def line_ns(self, prefix, stream="out"):
        """Read time of the first line on stream that starts with prefix."""
        for ns, s, l in self.lines:
            if s == stream and l.startswith(prefix):
                return ns
        return None

    def __repr__(self):
        return "%s: rc=%s wall=%.3fs timed_out=%s out=%r err=%r" % (
            " ".join(self.argv), self.rc, self.wall_s, self.timed_out, self.out, self.err)


def _group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def drain_group(pgid, limit_s=GROUP_DRAIN_S):
    """Waits for a process group to empty; kills what is left. True when it
    ended by itself."""
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        if not _group_alive(pgid):
            return True
        time.sleep(0.02)
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        return True
    return False


def run_tool(wine, exe, args, prefix, timeout_s=30.0, stdin_bytes=None):
    """Runs `wine exe args...` in its own session. stdin: /dev/null, or a
    pipe that is given stdin_bytes and closed at once. Output goes through
    pipes so each line can be timestamped the moment it is read."""
    run = Run([wine, exe] + list(args))
    stdin_arg = subprocess.DEVNULL if stdin_bytes is None else subprocess.PIPE
    run.start_ns = time.monotonic_ns()
    proc = subprocess.Popen(run.argv, stdin=stdin_arg, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=wine_env(prefix),
                            start_new_session=True)
    if stdin_bytes is not None:
        try:
            proc.stdin.write(stdin_bytes)
            proc.stdin.close()
        except BrokenPipeError:
            pass
    # The pidfd turns readable when the child exits: the exit time is taken
    # there, not when the pipes reach EOF (a lingering helper can hold them).
    pidfd = os.pidfd_open(proc.pid)
    streams = {proc.stdout.fileno(): "out", proc.stderr.fileno(): "err"}
    pending = {"out": b"", "err": b""}
    deadline = run.start_ns + int(timeout_s * 1e9)
    drain_until = None
    exited = False
    while streams:
        now = time.monotonic_ns()
        limit = drain_until if exited else deadline
        if now >= limit:
            if not exited and not run.timed_out:
                run.timed_out = True
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                deadline = now + int(10e9)
                continue
            break
        fds = list(streams) + ([] if exited else [pidfd])
        ready, _, _ = select.select(fds, [], [], (limit - now) / 1e9)
        for fd in ready:
            if fd == pidfd:
                run.exit_ns = time.monotonic_ns()
                exited = True
                drain_until = run.exit_ns + int(PIPE_DRAIN_S * 1e9)
                continue
            data = os.read(fd, 65536)
            ts = time.monotonic_ns()
            name = streams[fd]
            if not data:
                del streams[fd]
                if pending[name]:
                    run.lines.append((ts, name, pending[name]))
                    pending[name] = b""
                continue
            buf = pending[name] + data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                run.lines.append((ts, name, line + b"\n"))
            pending[name] = buf
    for name, rest in pending.items():
        if rest:
            run.lines.append((time.monotonic_ns(), name, rest))
    if not exited:
        select.select([pidfd], [], [], 10.0)
        run.exit_ns = time.monotonic_ns()
    # wait4 gives the rusage of this child and of every descendant it
    # waited for: the same figure as a RUSAGE_CHILDREN delta around it.
    _, status, ru = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    run.rc = proc.returncode
    run.cpu_s = ru.ru_utime + ru.ru_stime
    os.close(pidfd)
    proc.stdout.close()
    proc.stderr.close()
    run.group_clean = drain_group(proc.pid)
    return run


# ---------------------------------------------------------------- simulator

class LogTail:
    """Reads the simulator log incrementally, complete lines only."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.partial = b""

    def new_events(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return []
        self.offset += len(data)
        data = self.partial + data
        lines = data.split(b"\n")
        self.partial = lines.pop()
        return [simlog.parse_line(l.decode("ascii", "replace")) for l in lines if l]


class Simulator:
    def __init__(self, prefix, com, log_path, args=(), lifetime_ms=600_000):
        self.prefix = prefix
        self.com = com
        self.log_path = log_path
        self.link = os.path.join(prefix, "dosdevices", "com%d" % com)
        self.err_path = log_path + ".stderr"
        self.err_f = open(self.err_path, "wb")
        cmd = [PYTHON, SIM, "--prefix", prefix, "--com", str(com), "--log", log_path,
               "--exit-after-ms", str(lifetime_ms)] + [str(a) for a in args]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.err_f, start_new_session=True)
        self.pid = self.proc.pid
        self.stopped = False
        self.pts = None
        line = self._ready_line(10.0)
        if line is None:
            self._kill()
            raise RuntimeError("simulator did not get ready: %s" % self.stderr_text())
        self.pts = line.split()[1]

    def _ready_line(self, timeout_s):
        deadline = time.monotonic() + timeout_s
        buf = b""
        fd = self.proc.stdout.fileno()
        while time.monotonic() < deadline and b"\n" not in buf:
            r, _, _ = select.select([fd], [], [], 0.05)
            if r:
                chunk = os.read(fd, 256)
                if not chunk:
                    break
                buf += chunk
        if not buf.startswith(b"READY ") or b"\n" not in buf:
            return None
        return buf.split(b"\n", 1)[0].decode()

    def stderr_text(self):
        self.err_f.flush()
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def _kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(10)

    def log(self):
        return simlog.SimLog.read(self.log_path)

    def wait_for(self, predicate, timeout_s):
        deadline = time.monotonic() + timeout_s
        while True:
            log = self.log()
            if predicate(log):
                return log
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.01)

    def fd_count(self):
        return fd_count(self.pid)

    def stop(self):
        """Stops the simulator; returns a list of leftovers (empty when clean)."""
        if self.stopped:
            return []
        self.stopped = True
        problems = []
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                problems.append("simulator ignored SIGTERM")
                self._kill()
        if self.proc.returncode != 0:
            problems.append("simulator exit status %s: %s" % (self.proc.returncode,
                                                             self.stderr_text()))
        if not drain_group(self.proc.pid, 2.0):
            problems.append("simulator process group outlived it")
        self.proc.stdout.close()
        self.err_f.close()
        if os.path.islink(self.link) and os.readlink(self.link) == self.pts:
            problems.append("link %s still points to %s" % (self.link, self.pts))
        if self.pts and os.path.exists(self.pts):
            holders = pty_holders(self.pts)
            if holders:
                problems.append("pty %s still held by %s" % (self.pts, holders))
        return problems


# ---------------------------------------------------------------- census

def _read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return None


def _pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def cmdline(pid):
    raw = _read("/proc/%d/cmdline" % pid)
    return raw.replace(b"\0", b" ").decode(errors="replace").strip() if raw else ""


def proc_stat(pid):
    """(state, ppid, utime+stime in ticks) or None."""
    raw = _read("/proc/%d/stat" % pid)
    if raw is None:
        return None
    # The command name is in parentheses and may itself hold spaces.
    rest = raw[raw.rindex(b")") + 2:].split()
    return rest[0].decode(), int(rest[1]), int(rest[11]) + int(rest[12])


def cpu_ticks(pid):
    st = proc_stat(pid)
    return None if st is None else st[2]


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def server_dir_suffix(prefix):
    # wineserver works in /tmp/.../server-<dev>-<inode of the prefix>; its
    # clients do not, so this tells the prefix's server apart from them.
    st = os.stat(prefix)
    return "/server-%x-%x" % (st.st_dev, st.st_ino)


def prefix_processes(prefix):
    """{pid: (name, state)} of every live process of this Wine prefix: its
    wineserver and every Wine client started with WINEPREFIX=prefix."""
    want = os.path.realpath(prefix).encode()
    suffix = server_dir_suffix(prefix)
    found = {}
    for pid in _pids():
        ours = False
        try:
            # Only Wine's own binaries: a script run with WINEPREFIX set (this
            # one, the simulator) is not part of the prefix.
            if "/wine" not in os.readlink("/proc/%d/exe" % pid):
                continue
            if os.readlink("/proc/%d/cwd" % pid).endswith(suffix):
                ours = True
        except OSError:
            pass
        if not ours:
            env = _read("/proc/%d/environ" % pid)
            if env:
                for var in env.split(b"\0"):
                    if var.startswith(b"WINEPREFIX="):
                        ours = os.path.realpath(var[11:]) == want
                        break
        if ours:
            st = proc_stat(pid)
            if st is not None:
                name = os.path.basename(cmdline(pid).split(" ")[0].replace("\\", "/")) or "?"
                found[pid] = (name, st[0])
    return found


def zombies_of(parents):
    """{pid: name} of the unreaped children of the given processes."""
    found = {}
    for pid in _pids():
        st = proc_stat(pid)
        if st is not None and st[0] == "Z" and st[1] in parents:
            comm = _read("/proc/%d/comm" % pid) or b"?"
            found[pid] = comm.decode(errors="replace").strip()
    return found


def wineserver_pid(prefix):
    suffix = server_dir_suffix(prefix)
    for pid in _pids():
        try:
            if os.readlink("/proc/%d/cwd" % pid).endswith(suffix):
                return pid
        except OSError:
            continue
    return None


def pts_entries():
    return {e for e in os.listdir("/dev/pts") if e.isdigit()}


def pty_holders(path):
    """[(pid, cmdline)] of the processes with a descriptor open on path,
    the simulator that owns it excepted."""
    found = []
    for pid in _pids():
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path:
                    cmd = cmdline(pid)
                    if "lumaris_sim" not in cmd:
                        found.append((pid, cmd))
                    break
            except OSError:
                continue
    return found


def sim_processes():
    return {pid for pid in _pids() if "lumaris_sim.py" in cmdline(pid)}


# ---------------------------------------------------------------- figures

def median(xs):
    s = sorted(xs)
    n = len(s)
    if n == 0:
        return None
    return s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) / 2


def percentile(xs, p):
    """Nearest-rank percentile."""
    s = sorted(xs)
    if not s:
        return None
    k = max(1, -(-len(s) * p // 100))
    return s[int(k) - 1]
