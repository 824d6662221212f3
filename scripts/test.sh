#!/usr/bin/env bash
# Builds the three presets and runs every test suite:
#   native   unit tests under ASan/UBSan
#   fuzz     libFuzzer targets, time-boxed
#   windows  the cross-built tests under Wine (unit, link, end-to-end, package)
# and four stages of checks outside CTest, one test per check:
#   lint           clang-format, shellcheck, yamllint
#   winhost        the msvc-release preset as a Windows host configures it
#   msvc-warnings  MSVC's /W4 /WX warnings, stood in for by clang
#   prefixes       no COM or LPT link left in the Wine prefixes made here
#                  (Wine's own lead to the host's ports)
# A failing build or suite does not stop the others. The last line is the sum
# over all suites, "tests: N passed, N failed"; the exit status is 0 only if
# every build and every test passed.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
# Nothing here reads standard input; make sure nothing can wait on it either.
exec </dev/null
export WINEDEBUG=-all

start=$(date +%s)
logdir=build/test-logs
mkdir -p "$logdir"

banner() { printf '\n==== %s ====\n' "$*"; }

banner "dependencies"
if ! bash scripts/install-deps.sh; then
    echo "test.sh: dependencies could not be installed" >&2
    echo "tests: 0 passed, 1 failed"
    exit 1
fi

# Checks outside CTest: each counts as one test, under its stage's line in
# the summary. Log: build/test-logs/<stage>-<check>.log.
stages=(lint winhost msvc-warnings prefixes)
declare -A stage_pass stage_fail
check() {
    local stage=$1 what=$2 log="$logdir/$1-$2.log"
    shift 2
    if "$@" >"$log" 2>&1; then
        stage_pass[$stage]=$((${stage_pass[$stage]:-0} + 1))
        echo "$stage $what: passed"
    else
        stage_fail[$stage]=$((${stage_fail[$stage]:-0} + 1))
        echo "$stage $what: FAILED"
        cat "$log"
    fi
}

# Formatting, shell and workflow lint.
banner "lint"
check lint clang-format bash -c "git ls-files -z 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
    | xargs -0 clang-format-14 --dry-run --Werror"
check lint shellcheck bash -c "git ls-files -z 'scripts/*.sh' 'bench/*.sh' .ci/run | xargs -0 shellcheck"
check lint yamllint bash -c "git ls-files -z '.github/*.yml' | xargs -0 -r yamllint --strict"

# The Windows host's path: msvc-release configured by Windows CMake under
# Wine, and what its CTest would run there. Compiles nothing.
banner "winhost"
check winhost configure timeout --kill-after=10 300 bash scripts/windows-host-check.sh

presets=(native windows fuzz)
declare -A built summary passed failed
build_failures=0

for p in "${presets[@]}"; do
    banner "build $p"
    if ! cmake --preset "$p"; then
        built[$p]=no-configure
        build_failures=$((build_failures + 1))
        continue
    fi
    # Keep going past a broken target so no test runs a stale executable
    # that could have been rebuilt.
    if cmake --build --preset "$p" -- -k 0; then
        built[$p]=yes
    else
        built[$p]=no-build
        build_failures=$((build_failures + 1))
    fi
done

# MSVC's /W4 /WX stood in for by clang on the sources of the windows tree
# configured above.
banner "msvc-warnings"
check msvc-warnings clang timeout --kill-after=10 600 bash scripts/msvc-warnings.sh

# Stops the Wine server of the windows tree's prefix if a suite left it
# running (the CTest fixture normally does this itself).
stop_wine() {
    local prefix
    prefix=$(sed -n 's/^LSS_WINEPREFIX:[A-Z]*=//p' build/windows/CMakeCache.txt 2>/dev/null)
    if [ -n "$prefix" ] && [ -d "$prefix" ]; then
        WINEPREFIX=$prefix timeout 30 wineserver -k >/dev/null 2>&1 || true
    fi
}
trap stop_wine EXIT

run_suite() {
    local p=$1 jobs=$2 limit=$3
    local log="$logdir/ctest-$p.log" line
    banner "test $p"
    if [ "${built[$p]}" = no-configure ]; then
        summary[$p]="not run: configure failed"
        passed[$p]=0 failed[$p]=0
        return
    fi
    # Each test has its own CTest time-out; this bounds the suite as a whole,
    # all three together well inside CI's 90 minutes.
    timeout --kill-after=30 "$limit" ctest --preset "$p" -j "$jobs" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    # "100% tests passed, 0 tests failed out of 57"
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        local bad total
        bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
        passed[$p]=$((total - bad))
        failed[$p]=$bad
        summary[$p]="$line"
    elif grep -q 'No tests were found' "$log"; then
        passed[$p]=0 failed[$p]=0
        summary[$p]="no tests found"
    else
        # ctest died or was killed before its summary: count the suite as one failure.
        passed[$p]=0 failed[$p]=1
        summary[$p]="no CTest summary (ctest exit $rc)"
    fi
    if [ "$rc" -ne 0 ] && [ "${failed[$p]}" -eq 0 ]; then
        failed[$p]=1
        summary[$p]="${summary[$p]} (ctest exit $rc)"
    fi
    [ "${built[$p]}" = no-build ] && summary[$p]="${summary[$p]}; build failed"
}

# Unit tests and fuzzers are independent; the Wine tests that share a pty or
# the simulator are marked RUN_SERIAL where they are defined.
run_suite native 2 900
run_suite fuzz 2 900
run_suite windows 2 2700
stop_wine

# The prefixes of the windows tree and of the Windows-host check, once
# every run and simulator in them is over.
banner "prefixes"
check prefixes port-links /usr/bin/python3 -B -m testkit.leftovers port-links \
    "$(sed -n 's/^LSS_WINEPREFIX:[A-Z]*=//p' build/windows/CMakeCache.txt 2>/dev/null)" build/winhost/wineprefix

total_pass=0 total_fail=$build_failures
banner "summary ($(( $(date +%s) - start )) s)"
for p in native fuzz windows; do
    printf '%-13s build=%-12s %s\n' "$p" "${built[$p]}" "${summary[$p]}"
    total_pass=$((total_pass + passed[$p]))
    total_fail=$((total_fail + failed[$p]))
done
for s in "${stages[@]}"; do
    printf '%-13s %s passed, %s failed\n' "$s" "${stage_pass[$s]:-0}" "${stage_fail[$s]:-0}"
    total_pass=$((total_pass + ${stage_pass[$s]:-0}))
    total_fail=$((total_fail + ${stage_fail[$s]:-0}))
done
[ "$build_failures" -gt 0 ] && echo "($build_failures failed build(s) counted as failures)"
echo "tests: $total_pass passed, $total_fail failed"
[ "$total_fail" -eq 0 ]
