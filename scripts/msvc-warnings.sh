#!/usr/bin/env bash
# Stands in for the msvc presets' /W4 /WX build, which runs only on Windows:
# every file of ours that the windows preset compiles (the same sources as
# the msvc presets) is checked by clang for the Windows target against the
# MinGW-w64 headers, with the warnings that correspond to /W4 as errors.
#   msvc-warnings.sh [BUILD_DIR]    (a configured tree; default build/windows)
# Files, defines and include folders come from BUILD_DIR/compile_commands.json;
# GoogleTest's sources are not ours and are left out, its headers (and all
# other headers from outside the repository, and the JSON library's, which
# the build tree hands over) are system headers.
set -euo pipefail

root=$(realpath "$(dirname "${BASH_SOURCE[0]}")/..")
build=$(realpath -m "${1:-$root/build/windows}")
db=$build/compile_commands.json
if [ ! -f "$db" ]; then
    echo "msvc-warnings: no $db; configure first: cmake --preset windows" >&2
    exit 1
fi
clang="clang++-14"
work=$build/msvc-warnings
rm -rf "$work"
mkdir -p "$work"

flags=(
    --target=x86_64-w64-windows-gnu -fsyntax-only -fno-color-diagnostics
    # MinGW marks the C runtime functions MSVC calls unsafe or POSIX-only (C4996).
    -D__MINGW_MSVC_COMPAT_WARNINGS -include "$root/scripts/msvc-warnings-crt.h"
    -Werror -Wall -Wextra                # C4701, C4706, C4715 and the like
    -Wconversion -Wsign-conversion       # C4244, C4267, C4245, C4389, C4018
    -Wunused-parameter -Wunused-variable # C4100, C4189
    -Wshadow-all                         # C4456, C4457, C4458, C4459
    -Wunreachable-code                   # C4702
    -Wimplicit-fallthrough               # C26819 (code analysis; /W4 has none)
    -Wdeprecated-declarations            # C4996
)

# One response file per source: the flags above, the preset's language
# standard, defines and include folders, the compiler's C++ and C runtime
# headers (not GCC's own builtin headers: clang brings its own), the file.
python3 - "$db" "$root" "$build" "$work" "${flags[@]}" <<'EOF'
import json, os, re, shlex, subprocess, sys

db, root, build, work, *flags = sys.argv[1:]
inside = lambda path, top: os.path.commonpath([path, top]) == top

def rsp(args):
    return "\n".join(re.sub(r'([\\\s"\'])', r"\\\1", a) for a in args) + "\n"

sources, compiler = [], None
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    if not inside(path, root) or inside(path, build) or not path.endswith((".cpp", ".cc", ".cxx")):
        continue
    args = entry.get("arguments") or shlex.split(entry["command"])
    compiler = compiler or args[0]
    own, i = [], 1
    while i < len(args):
        a = args[i]
        for opt in ("-D", "-U", "-I", "-isystem"):
            if a == opt or (a.startswith(opt) and opt != "-isystem"):
                value = args[i + 1] if a == opt else a[len(opt):]
                i += a == opt
                if opt in ("-I", "-isystem"):
                    value = os.path.realpath(os.path.join(entry["directory"], value))
                    # Ours are the repository's folders outside the build
                    # tree; a library's headers in the build tree (the JSON
                    # library's folder) stay system headers.
                    ours = inside(value, root) and not inside(value, build) and opt == "-I"
                    opt = "-I" if ours else "-isystem"
                own += [opt, value]
                break
        else:
            if a.startswith("-std="):
                own.append(a)
        i += 1
    sources.append((path, own))

if not sources:
    sys.exit(f"msvc-warnings: no source of {root} in {db}")
probe = subprocess.run([compiler, "-x", "c++", "-E", "-v", os.devnull],
                       capture_output=True, text=True, check=True).stderr.splitlines()
start = probe.index("#include <...> search starts here:") + 1
gcc_own = os.path.realpath(subprocess.run([compiler, "-print-file-name=include"], capture_output=True,
                                          text=True, check=True).stdout.strip())
runtime = ["-nostdlibinc"]
for line in probe[start:probe.index("End of search list.")]:
    folder = os.path.realpath(line.strip())
    if folder not in (gcc_own, gcc_own + "-fixed"):
        runtime += ["-isystem", folder]

for n, (path, own) in enumerate(sources):
    with open(os.path.join(work, f"{n:03d}.rsp"), "w") as out:
        out.write(rsp(flags + runtime + own + [path]))
    with open(os.path.join(work, f"{n:03d}.src"), "w") as out:
        out.write(os.path.relpath(path, root) + "\n")
print(f"msvc-warnings: {len(sources)} files from {os.path.relpath(db, root)}, headers of {compiler}")
EOF

# The stage must still have teeth: getenv has to fail it, memcpy must not.
# (Flags of the first source, the source itself replaced by standard input.)
probe() {
    sed '$d' "$work/000.rsp" >"$work/probe.rsp"
    printf '#include <cstdlib>\n#include <cstring>\nint probe(char* d) { %s }\n' "$1" |
        "$clang" "@$work/probe.rsp" -x c++ - 2>&1
}
out=$(probe 'd[0] = std::getenv("X") != nullptr ? 1 : 0; return 0;') || true
if ! grep -q "'getenv' is deprecated" <<<"$out"; then
    echo "msvc-warnings: a getenv call passed the check; the headers no longer mark it:"
    echo "$out"
    exit 1
fi
if ! out=$(probe 'std::memcpy(d, "ab", 2); std::memmove(d, d + 1, 1); return 0;'); then
    echo "msvc-warnings: memcpy/memmove failed the check, which MSVC allows:"
    echo "$out"
    exit 1
fi

# Two at a time: the machine is shared. Each file's diagnostics go to its own log.
status=0
# shellcheck disable=SC2016 # $0 and $1 are the inner shell's
printf '%s\0' "$work"/[0-9]*.rsp | xargs -0 -n 1 -P 2 sh -c '"$0" "@$1" >"${1%.rsp}.log" 2>&1' "$clang" || status=$?

bad=0
for rsp in "$work"/[0-9]*.rsp; do
    log=${rsp%.rsp}.log
    if [ ! -f "$log" ] || [ -s "$log" ]; then
        bad=$((bad + 1))
        echo "---- $(cat "${rsp%.rsp}.src")"
        cat "$log" 2>/dev/null || echo "(not checked)"
    fi
done
total=$(find "$work" -name '[0-9]*.rsp' | wc -l)
echo "msvc-warnings: $total files, $bad with diagnostics"
[ "$status" -eq 0 ] && [ "$bad" -eq 0 ]
