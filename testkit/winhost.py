"""The Windows-host check's two judgements on a tree that Windows CMake
configured under Wine (scripts/windows-host-check.sh runs them):

  placeholders BUILD   an empty file at every executable target's path, read
                       from CMake's file API, so that ctest names their
                       programs although nothing was compiled
  judge SHOW_JSON      every test that `ctest --show-only=json-v1` lists can
                       run on a Windows host

Wine shows the Linux root as drive Z:, so Z:/x here is /x there.
"""

import argparse
import glob
import json
import os
import re
import sys

# Tests a Windows build with GoogleTest must register, so that an empty or
# broken registration cannot pass.
EXPECTED = ("unit_tests", "link_tests", "package_zip")
# The programs a Windows build makes.
PROGRAMS = ("lumaris_serial_spike.exe", "lumaris_serial_probe.exe")
# Environment each test needs from its registration.
NEEDS_ENV = {"link_tests": ("LSS_EXE", "LSS_PROBE_EXE")}
# Programs a Windows host does not have, by base name without ".exe".
LINUX_PROGRAMS = {"bash", "sh", "dash", "wine", "wine64", "wineserver"}
# A rooted path of two or more parts (/usr/bin/..., /work/...) at the start
# of an argument or after "=" or ";"; MSVC options such as /W4 have one part.
# Z:/usr and Z:/bin are the same Linux folders as Wine shows them.
LINUX_PATH = re.compile(r"(?:^|[=;])(?:/|[Zz]:/(?:usr|bin)/)[^/;=\s]+/")


def linux_path(windows_path):
    m = re.match(r"([A-Za-z]):/(.*)", windows_path.replace("\\", "/"))
    if not m or m.group(1).upper() != "Z":
        raise ValueError("not on Wine's drive Z: %r" % windows_path)
    return "/" + m.group(2)


def executables(build):
    """Paths of the executable targets' files, from the codemodel reply."""
    replies = sorted(glob.glob(os.path.join(build, ".cmake/api/v1/reply/index-*.json")))
    if not replies:
        raise FileNotFoundError("no file API reply in %s" % build)
    reply_dir = os.path.dirname(replies[-1])
    with open(replies[-1]) as f:
        index = json.load(f)
    model = next(o for o in index["objects"] if o["kind"] == "codemodel")
    with open(os.path.join(reply_dir, model["jsonFile"])) as f:
        config = json.load(f)["configurations"][0]
    paths = []
    for ref in config["targets"]:
        with open(os.path.join(reply_dir, ref["jsonFile"])) as f:
            target = json.load(f)
        if target["type"] != "EXECUTABLE":
            continue
        for artifact in target.get("artifacts", []):
            p = artifact["path"]
            if not p.lower().endswith(".exe"):
                continue  # the .pdb beside it
            paths.append(linux_path(p) if re.match(r"[A-Za-z]:", p) else os.path.join(build, p))
    return paths


def placeholders(build):
    paths = executables(build)
    for p in paths:
        os.makedirs(os.path.dirname(p), exist_ok=True)
        if not os.path.exists(p):
            open(p, "wb").close()
    print("placeholders: %d executable target file(s): %s"
          % (len(paths), " ".join(os.path.basename(p) for p in paths)))
    missing = set(PROGRAMS) - {os.path.basename(p) for p in paths}
    for name in sorted(missing):
        print("FAIL %s: not a target of this tree" % name)
    return 0 if paths and not missing else 1


def _environment(test):
    for prop in test.get("properties", []):
        if prop["name"] == "ENVIRONMENT":
            return prop["value"]
    return []


def problems(test):
    """Why this test cannot run on a Windows host; empty if it can."""
    found = []
    command = test.get("command")
    if not command:
        found.append("no command: ctest finds no such program (not a target of this tree, not on PATH)")
        command = []
    for arg in command:
        base = re.split(r"[/\\]", arg)[-1]
        if re.sub(r"\.exe$", "", base, flags=re.I).lower() in LINUX_PROGRAMS:
            found.append("runs a Linux program: %s" % arg)
        elif base.endswith(".sh"):
            found.append("runs a shell script: %s" % arg)
        elif LINUX_PATH.search(arg):
            found.append("Linux path in its command: %s" % arg)
    env = _environment(test)
    for var in env:
        if LINUX_PATH.search(var):
            found.append("Linux path in its environment: %s" % var)
    names = {var.split("=", 1)[0] for var in env if var.split("=", 1)[1:] != [""]}
    for need in NEEDS_ENV.get(test["name"], ()):
        if need not in names:
            found.append("no %s in its environment" % need)
    return found


def _where(graph, node):
    """file:line of the add_test() call that registered a test."""
    if node is None:
        return "?"
    n = graph["nodes"][node]
    return "%s:%s" % (graph["files"][n["file"]], n.get("line", "?"))


def judge(show_json):
    with open(show_json) as f:
        info = json.load(f)
    tests = info.get("tests", [])
    failures = 0
    for test in tests:
        found = problems(test)
        failures += bool(found)
        print("%-4s %s" % ("FAIL" if found else "ok", test["name"]))
        if found:
            print("       registered at " + _where(info["backtraceGraph"], test.get("backtrace")))
        for why in found:
            print("       " + why)
    names = {t["name"] for t in tests}
    for name in EXPECTED:
        if name not in names:
            failures += 1
            print("FAIL %s: not registered" % name)
    print("winhost: %d test(s) registered, %d problem(s)" % (len(tests), failures))
    return 1 if failures else 0


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="what", required=True)
    sub.add_parser("placeholders").add_argument("build")
    sub.add_parser("judge").add_argument("show_json")
    args = p.parse_args(argv)
    if args.what == "placeholders":
        return placeholders(args.build)
    return judge(args.show_json)


if __name__ == "__main__":
    sys.exit(main())
