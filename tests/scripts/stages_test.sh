#!/usr/bin/env bash
# The quiet stages of scripts/test and scripts/demo (scripts/lib/stages.sh),
# beyond what test_script_test.sh sees: the end of a failed stage's log, 40
# lines, with the command's status; silence longer than the interval (2 s here)
# brings a progress line; the test watcher passes ctest's lines through
# unchanged and names the tests still running.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export TRKLIB_PROGRESS_INTERVAL_S=2
# shellcheck source=scripts/lib/stages.sh
source "$root/scripts/lib/stages.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "stages_test: $*" >&2
    failures=$((failures + 1))
}

lines() { seq -f 'line %g' 1 "$1"; }

echo "== a stage that fails shows the end of its log and keeps its status"
failing() {
    lines 100
    echo "the error" >&2
    return 7
}
status=0
trklib_run_logged "$tmp/bad.log" failing >"$tmp/bad.out" || status=$?
((status == 7)) || fail "failure: status $status, expected 7"
grep -q 'failed (exit status 7)' "$tmp/bad.out" || fail "failure: no failure line"
grep -qx '   | the error' "$tmp/bad.out" || fail "failure: the error is not shown"
grep -qx '   | line 62' "$tmp/bad.out" || fail "failure: the 40th last line is not shown"
! grep -qx '   | line 61' "$tmp/bad.out" || fail "failure: more than 40 lines shown"

echo "== a silent stage gets a progress line with the latest build step per interval"
silent() {
    echo "[ 50%] Building CXX object a.o"
    echo "a warning"
    sleep 6
}
trklib_run_logged "$tmp/silent.log" silent >"$tmp/silent.out"
(($(grep -cx '   \.\.\. \[ 50%\] Building CXX object a.o' "$tmp/silent.out") >= 2)) ||
    fail "silence: not a progress line every 2 s: $(cat "$tmp/silent.out")"

echo "== the test watcher passes ctest's lines and names the running tests"
ctest_like() {
    echo "    Start 1: slow_test"
    echo "    Start 2: quick_test"
    echo "1/2 Test #2: quick_test .......   Passed    0.01 sec"
    sleep 5
    echo "2/2 Test #1: slow_test ........   Passed    3.00 sec"
    echo
    # The line CI reads, written in two pieces with a pause between them.
    printf '100%% tests passed, '
    sleep 1.5
    echo "0 tests failed out of 2"
    printf 'no newline at the end'
}
ctest_like | trklib_watch_tests >"$tmp/watch.out"
grep -v '^   \.\.\. ' "$tmp/watch.out" >"$tmp/watch.lines" || true
diff <(ctest_like; echo) "$tmp/watch.lines" || fail "watcher: ctest's lines changed"
grep -qE '^   \.\.\. still running: slow_test \([0-9]+ s\)$' "$tmp/watch.out" ||
    fail "watcher: the running test is not named: $(cat "$tmp/watch.out")"
! grep -q 'quick_test (' "$tmp/watch.out" || fail "watcher: a finished test is named as running"

if ((failures > 0)); then
    echo "stages_test: $failures checks failed" >&2
    exit 1
fi
echo "stages_test: all checks passed"
