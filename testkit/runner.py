"""Runs the .exe (Tool, Run) and the simulated controller (Simulator) for the
end-to-end tests, the benchmark, the soak and the demo.

All timestamps are time.monotonic_ns() (CLOCK_MONOTONIC), the clock the
simulator writes into its log, so the two can be subtracted directly.
"""

import atexit
import ctypes
import os
import signal
import subprocess
import sys
import threading
import time

from testkit import ON_WINDOWS, ROOT, leftovers, simlog

PYTHON = sys.executable or "/usr/bin/python3"
PR_SET_PDEATHSIG = 1


def _death_signal_setter():
    """preexec_fn that has the child sent SIGTERM when the thread that
    started it ends, however it ends (SIGKILL included); None off Linux.
    libc is looked up here: a forked child of a threaded parent must not
    load anything."""
    if not sys.platform.startswith("linux"):
        return None
    prctl, parent = ctypes.CDLL(None, use_errno=True).prctl, os.getpid()

    def preexec():
        prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() != parent:  # the parent died before the call took hold
            os._exit(1)
    return preexec


# Wine helpers (wineboot on the first run after a server start) can linger in
# the tool's process group for a moment after the tool itself has exited.
GROUP_DRAIN_S = 5.0
# Faster than Wine can start a program: an exit before it is Wine's own.
WINE_START_S = 0.03
# How long a wineserver that a client started may take to end with its clients.
SERVER_WAIT_S = 60


def drain_group(pgid, limit_s=GROUP_DRAIN_S):
    """Waits for every process of a group to end; kills what is left.
    Returns True when the group ended by itself."""
    deadline = time.monotonic() + limit_s
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.02)
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        return True
    return False


class Tool:
    """How the .exe is started: under Wine in the given prefix, or directly on
    Windows. Everything that runs the tool goes through command()."""

    def __init__(self, exe, prefix=None, wine="wine"):
        self.exe, self.prefix, self.wine = exe, prefix, wine

    def command(self, args):
        env = dict(os.environ, WINEDEBUG="-all")
        if ON_WINDOWS:
            return [self.exe] + list(args), env
        if self.prefix:
            env["WINEPREFIX"] = self.prefix
        return [self.wine, self.exe] + list(args), env

    def start(self, args, timeout_s=30.0, stdin=None):
        return Run(*self.command(args), timeout_s, stdin)

    def run(self, args, timeout_s=30.0, stdin=None):
        return self.start(args, timeout_s, stdin).wait()

    def ensure_server(self):
        """A wineserver for the prefix that stays up until stopped (-p),
        detached from us. Without one, each run starts a server of its own
        that ends with it: every run then pays for Wine's start-up services,
        a value added to the volatile SERIALCOMM key is gone by the next run,
        and a server left to the first client dumps its object table into
        that client's output when a pty hangs up. One that this process
        starts is stopped when it exits."""
        if ON_WINDOWS or not self.prefix:
            return
        env = self.command([])[1]
        quiet = dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid = leftovers.wineserver_pid(self.prefix) if os.path.isdir(self.prefix) else None
        if pid is not None and leftovers.stays_up(pid):
            return
        if pid is not None:
            # A client's own server (a client that won the race against a
            # `wineserver -p` started beside it) goes with its last client.
            try:
                subprocess.run(["wineserver", "-w"], timeout=SERVER_WAIT_S, **quiet)
            except subprocess.TimeoutExpired:
                pass
        # Waited for: it returns once the server holds the prefix's lock, so
        # no client can come first and start a server of its own. It moves
        # into its server directory, where wineserver_pid finds it, just after.
        subprocess.run(["setsid", "-w", "wineserver", "-p"], timeout=60, **quiet)
        deadline = time.monotonic() + 10
        while (pid := leftovers.wineserver_pid(self.prefix)) is None and time.monotonic() < deadline:
            time.sleep(0.01)
        if pid is None or not leftovers.stays_up(pid):
            raise RuntimeError("no wineserver -p for %s: %s" % (
                self.prefix, leftovers.cmdline(pid) if pid else "none runs"))
        atexit.register(self._stop_server, pid, quiet)
        # Its first client links the host's serial ports into the prefix, as
        # in scripts/wine-prefix.sh: take them out before any run of ours.
        subprocess.run([self.wine, "cmd", "/c", "exit", "0"], timeout=160, **quiet)
        for link, target in leftovers.port_links(self.prefix).items():
            if not target.startswith("/dev/pts/"):
                os.unlink(link)

    def _stop_server(self, pid, quiet):
        if leftovers.wineserver_pid(self.prefix) == pid:
            subprocess.run(["wineserver", "-k"], timeout=60, **quiet)


class Run:
    """One run of the tool in a process group of its own, killed with it at
    its time limit. stdin: None (at its end), bytes (given, then closed) or
    "pipe" (the caller writes to .stdin, e.g. ENTER for unplug-loop). Each
    output line is stamped as it is read: .lines holds (ns, "out" | "err",
    the line with its LF)."""

    def __init__(self, argv, env, timeout_s, stdin):
        self.argv, self._env, self._stdin, self.timeout_s = argv, env, stdin, timeout_s
        self.restarted = False
        self._spawn()

    def _spawn(self):
        stdin = self._stdin
        self.lines = []
        self.rc = self.cpu_s = self.end_ns = None
        self.timed_out, self.group_clean = False, True
        self._cv = threading.Condition()
        self.start_ns = time.monotonic_ns()
        self.proc = subprocess.Popen(self.argv, env=self._env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL if stdin is None else subprocess.PIPE,
                                     start_new_session=not ON_WINDOWS)
        self.stdin = self.proc.stdin if stdin == "pipe" else None
        if isinstance(stdin, bytes):
            try:
                self.proc.stdin.write(stdin)
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        # Threads, not select(): the same code reads pipes on Windows.
        self._readers = [threading.Thread(target=self._read, args=a, daemon=True)
                         for a in ((self.proc.stdout, "out"), (self.proc.stderr, "err"))]
        for t in self._readers + [threading.Thread(target=self._reap, daemon=True)]:
            t.start()

    def _read(self, f, stream):
        for line in iter(f.readline, b""):
            with self._cv:
                self.lines.append((time.monotonic_ns(), stream, line))
                self._cv.notify_all()

    def _reap(self):
        # The exit is taken when the tool ends, not when its pipes reach EOF:
        # a Wine helper that outlives it can hold them open.
        if ON_WINDOWS:
            rc, cpu = self.proc.wait(), None
        else:
            # CPU time of the tool and of every descendant it waited for.
            _, status, ru = os.wait4(self.proc.pid, 0)
            rc = self.proc.returncode = os.waitstatus_to_exitcode(status)
            cpu = ru.ru_utime + ru.ru_stime
        with self._cv:
            self.rc, self.cpu_s, self.end_ns = rc, cpu, time.monotonic_ns()
            self._cv.notify_all()

    def _text(self, stream):
        with self._cv:
            return b"".join(line for _, s, line in self.lines if s == stream)

    out = property(lambda self: self._text("out"))
    err = property(lambda self: self._text("err"))
    wall_s = property(lambda self: ((self.end_ns or time.monotonic_ns()) - self.start_ns) / 1e9)

    def line_time(self, prefix, stream="out"):
        """When the first line on stream starting with prefix was read, or None."""
        with self._cv:
            return next((ns for ns, s, line in self.lines if s == stream and line.startswith(prefix)), None)

    def wait_output(self, predicate, timeout_s):
        """Waits until predicate(stdout so far) holds; returns that output, or
        None once the tool has ended or the time is up without it."""
        with self._cv:
            self._cv.wait_for(lambda: predicate(self.out) or self.end_ns is not None, timeout_s)
        out = self.out
        return out if predicate(out) else None

    def kill(self):
        if self.end_ns is not None:
            return
        if ON_WINDOWS:
            self.proc.kill()
            return
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def wait(self):
        """Waits for the end (killing the tool at its limit), its output and
        its process group; returns self."""
        left = self.timeout_s - (time.monotonic_ns() - self.start_ns) / 1e9
        with self._cv:
            if not self._cv.wait_for(lambda: self.end_ns is not None, max(0.0, left)):
                self.timed_out = True
                self.kill()
                self._cv.wait_for(lambda: self.end_ns is not None, 10)
        if self.stdin is not None:
            try:
                self.stdin.close()
            except OSError:
                pass
        # Once the group is gone, ended or killed, the pipes reach EOF.
        self.group_clean = ON_WINDOWS or drain_group(self.proc.pid)
        for t, f in zip(self._readers, (self.proc.stdout, self.proc.stderr)):
            t.join(5)
            if not t.is_alive():
                f.close()
        if self._wine_did_not_start() and not self.restarted:
            # Seen about once in a thousand runs under load: Wine's loader
            # ends with status 1 and no word within milliseconds, before the
            # program itself runs (Wine takes 60 ms or more to reach it).
            # Both programs print a line on every path that exits 1, so this
            # is never theirs; it is started once more, and said so.
            print("runner: %s ended with status 1 after %.0f ms and no output, before the program "
                  "ran; started again" % (" ".join(self.argv), self.wall_s * 1000), file=sys.stderr)
            self.restarted = True
            self._spawn()
            return self.wait()
        return self

    def _wine_did_not_start(self):
        return (not ON_WINDOWS and self._stdin != "pipe" and self.rc == 1 and not self.timed_out
                and not self.lines and self.wall_s < WINE_START_S)

    def problems(self, rc, out=None, err=None):
        """What is wrong with a finished run (out, err: None to accept any)."""
        found = ["killed after %.0f s" % self.timeout_s] if self.timed_out else []
        found += ["exit status %s, expected %s" % (self.rc, rc)] if self.rc != rc else []
        found += ["stdout %r" % self.out] if out is not None and self.out != out else []
        found += ["stderr %r" % self.err] if err is not None and self.err != err else []
        return found + ([] if self.group_clean else ["Wine processes outlived the tool in its group"])

    def __repr__(self):
        return "tool %s: rc=%s timed_out=%s wall=%.3fs\n  stdout=%r\n  stderr=%r" % (
            " ".join(self.argv), self.rc, self.timed_out, self.wall_s, self.out, self.err)


class Simulator:
    """The simulated controller (testkit.sim) as COM<com> of a Wine prefix,
    or with serial= on the far end of that existing serial line (prefix and
    com then unused), in a session of its own; it stops by itself after
    lifetime_ms, and on Linux when the thread that started it ends."""

    def __init__(self, prefix, com, log_path, args=(), lifetime_ms=600_000, serial=None):
        self.prefix, self.log_path = prefix, log_path
        self.err_path = log_path + ".stderr"
        if serial is None:
            self.link = os.path.join(prefix, "dosdevices", "com%d" % com)
            where = ["--prefix", prefix, "--com", str(com)]
        else:
            self.link, where = None, ["--serial", serial]
        cmd = [PYTHON, "-m", "testkit.sim"] + where + ["--log", log_path, "--exit-after-ms",
                                                       str(lifetime_ms)] + [str(a) for a in args]
        # Windows: a group of its own, so CTRL_BREAK_EVENT reaches it alone.
        # Linux: ended with whoever started it, so a soak killed outright
        # leaves no simulator holding a link and a pty until its lifetime.
        group = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP} if ON_WINDOWS else {
            "start_new_session": True, "preexec_fn": _death_signal_setter()}
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
                                         env=dict(os.environ, PYTHONPATH=ROOT), **group)
        self.pid, self.stopped = self.proc.pid, False
        # A thread, not select(): Windows cannot select() on a pipe.
        first = []
        reader = threading.Thread(target=lambda: first.append(self.proc.stdout.readline()), daemon=True)
        reader.start()
        reader.join(10.0)
        words = first[0].decode().split() if first else []
        if words[:1] != ["READY"]:
            self._kill()
            raise RuntimeError("simulator did not get ready: %s" % self.stderr_text())
        self.pts = words[1]

    def stderr_text(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def _kill(self):
        if ON_WINDOWS:
            self.proc.kill()
        else:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait(10)

    def log(self):
        return simlog.SimLog.read(self.log_path)

    def wait_for(self, predicate, timeout_s):
        """Polls the log until predicate(SimLog) holds; returns the log or None."""
        deadline = time.monotonic() + timeout_s
        while True:
            log = self.log()
            if predicate(log):
                return log
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.01)

    def stop(self):
        """Stops the simulator; returns what it or a run against it left
        behind (empty when clean)."""
        if self.stopped:
            return []
        self.stopped = True
        problems = []
        if self.proc.poll() is None:
            self.proc.send_signal(signal.CTRL_BREAK_EVENT if ON_WINDOWS else signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                problems.append("simulator ignored SIGTERM")
                self._kill()
        if self.proc.returncode != 0:
            problems.append("simulator exit status %s: %s" % (self.proc.returncode, self.stderr_text()))
        if not ON_WINDOWS and not drain_group(self.proc.pid, 2.0):
            problems.append("simulator process group outlived it")
        self.proc.stdout.close()
        if self.link is None:
            return problems  # a serial line: no link, no pty of ours
        # Every pty this simulator plugged in, replugs included.
        ptys = [e.get("pts") for e in self.log().events if e.kind in ("PLUG", "REPLUG")]
        if os.path.islink(self.link) and os.readlink(self.link) in ptys:
            problems.append("link %s still points to %s" % (self.link, os.readlink(self.link)))
        # Held by a Wine process of this prefix, the tool's own having been
        # drained with its group: a leak of ours. Anyone else holding a pts
        # of the same number has a pty of its own.
        holders = leftovers.pty_holders(ptys, leftovers.prefix_processes(self.prefix))
        if holders:
            problems.append("ptys %s still held by %s" % (ptys, holders))
        return problems
