"""What a run can leave behind, read from /proc: the processes of a Wine
prefix, their zombies and descriptors, simulators, and who holds a pty.

Everything here is scoped to what this run started (one private prefix and
the simulators linked into it), never to a path or a name that something
else on the machine may share: pty numbers are reused as soon as they are
free, and other people run their own Wine prefixes and simulators.

  python3 -m testkit.leftovers port-links PREFIX...   exit 1 if a port link is left
"""

import os
import re
import sys

CLK_TCK = os.sysconf("SC_CLK_TCK")


def _read(path):
    try:
        with open(path, "rb") as f:
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
    except (OSError, TypeError):
        return None


def _server_cwd_suffix(prefix):
    # wineserver works in /tmp/.../server-<dev>-<inode of the prefix>; its
    # clients do not, so this tells the prefix's server apart from them.
    st = os.stat(prefix)
    return "/server-%x-%x" % (st.st_dev, st.st_ino)


def wineserver_pid(prefix):
    suffix = _server_cwd_suffix(prefix)
    for pid in _pids():
        try:
            if os.readlink("/proc/%d/cwd" % pid).endswith(suffix):
                return pid
        except OSError:
            continue
    return None


def stays_up(pid):
    """Whether the wineserver pid was started to outlive its clients for good
    (-p alone; the last -p counts: Debian's wrapper puts -p0 first). One that
    a client started ends with the last client, and takes the prefix's
    volatile registry keys with it."""
    args = (_read("/proc/%d/cmdline" % pid) or b"").split(b"\0")
    persist = [a for a in args if a.startswith((b"-p", b"--persistent"))]
    return bool(persist) and persist[-1] in (b"-p", b"--persistent")


def prefix_processes(prefix):
    """{pid: (name, state)} of every live process of this Wine prefix: its
    wineserver and every Wine client started with WINEPREFIX=prefix."""
    want = os.path.realpath(prefix).encode()
    suffix = _server_cwd_suffix(prefix)
    found = {}
    for pid in _pids():
        try:
            # Only Wine's own binaries: a script run with WINEPREFIX set (the
            # tests, the simulator) is not part of the prefix.
            if "/wine" not in os.readlink("/proc/%d/exe" % pid):
                continue
            ours = os.readlink("/proc/%d/cwd" % pid).endswith(suffix)
        except OSError:
            continue
        for var in (_read("/proc/%d/environ" % pid) or b"").split(b"\0"):
            if not ours and var.startswith(b"WINEPREFIX="):
                ours = os.path.realpath(var[11:]) == want
        st = proc_stat(pid)
        if ours and st is not None:
            found[pid] = (os.path.basename(cmdline(pid).split(" ")[0].replace("\\", "/")) or "?", st[0])
    return found


def zombies_of(parents):
    """{pid: name} of the unreaped children of the given processes."""
    found = {}
    for pid in _pids():
        st = proc_stat(pid)
        if st is not None and st[0] == "Z" and st[1] in parents:
            found[pid] = (_read("/proc/%d/comm" % pid) or b"?").decode(errors="replace").strip()
    return found


def simulators(prefix):
    """Pids of the simulators linked into this prefix."""
    want = os.path.realpath(prefix)
    found = set()
    for pid in _pids():
        argv = cmdline(pid).split(" ")
        if "testkit.sim" in argv and "--prefix" in argv[:-1]:
            if os.path.realpath(argv[argv.index("--prefix") + 1]) == want:
                found.add(pid)
    return found


def pts_entries():
    return {e for e in os.listdir("/dev/pts") if e.isdigit()}


def pty_holders(paths, pids):
    """[(pid, cmdline)] of the given processes that hold one of the ptys.
    A pty whose master is closed shows as "<path> (deleted)" in a holder,
    and its number is not reused while anyone holds it."""
    names = set(paths) | {p + " (deleted)" for p in paths}
    found = []
    for pid in pids:
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) in names:
                    found.append((pid, cmdline(pid)))
                    break
            except OSError:
                continue
    return found


def port_links(prefix):
    """{link: where it leads} of the prefix's COM and LPT entries."""
    dd = os.path.join(prefix, "dosdevices")
    names = os.listdir(dd) if os.path.isdir(dd) else []
    return {os.path.join(dd, n): os.path.realpath(os.path.join(dd, n))
            for n in sorted(names) if re.fullmatch(r"(com|lpt)[0-9]+", n.lower())}


# Once every run is over no port link may remain: each of ours is removed by
# what made it, and Wine's own lead to the host's devices.
if __name__ == "__main__" and sys.argv[1:2] == ["port-links"]:
    left = [item for prefix in sys.argv[2:] for item in port_links(prefix).items()]
    for item in left:
        print("port link left in a prefix: %s -> %s" % item)
    print("port links: %d prefix(es), %d left" % (sum(map(os.path.isdir, sys.argv[2:])), len(left)))
    sys.exit(1 if left else 0)
