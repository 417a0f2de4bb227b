#!/usr/bin/env bash
# scripts/test as CI sees it, with cmake, ctest and the package tools
# replaced by stubs on PATH in a copy of the scripts: one line per stage,
# ctest's lines and closing summary passed through, the end of the build log
# shown when a build fails, and the exit status 0 only when both builds
# built and passed.
set -euo pipefail

source_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "test_script_test: $*" >&2
    failures=$((failures + 1))
}

# The copy: the scripts, and web/ with its npm packages already installed.
root=$tmp/root
mkdir -p "$root/scripts/lib" "$root/web/node_modules" "$tmp/bin"
cp "$source_root/scripts/test" "$root/scripts/"
cp "$source_root"/scripts/lib/*.sh "$root/scripts/lib/"
echo '{}' >"$root/web/package-lock.json"
cp "$root/web/package-lock.json" "$root/web/node_modules/.installed-package-lock.json"

# Stubs. cmake --build fails in a build directory named in STUB_BUILD_FAILS;
# ctest fails its second test in one named in STUB_TEST_FAILS.
cat >"$tmp/bin/dpkg" <<'STUB'
#!/bin/sh
echo "Status: install ok installed"
STUB
printf '#!/bin/sh\nexit 0\n' >"$tmp/bin/node"
printf '#!/bin/sh\nexit 0\n' >"$tmp/bin/npm"
cat >"$tmp/bin/cmake" <<'STUB'
#!/usr/bin/env bash
if [[ $1 == --build ]]; then
    echo "[ 50%] Building CXX object a.o"
    if [[ $2 == *"${STUB_BUILD_FAILS:-none}"* ]]; then
        echo "a.cpp:1:1: error: the planted error"
        exit 2
    fi
    echo "[100%] Built target all"
else
    echo "-- Configuring done"
fi
STUB
cat >"$tmp/bin/ctest" <<'STUB'
#!/usr/bin/env bash
echo "    Start 1: first"
echo "1/2 Test #1: first ............   Passed    0.01 sec"
echo "    Start 2: second"
if [[ $2 == *"${STUB_TEST_FAILS:-none}"* ]]; then
    echo "2/2 Test #2: second ...........***Failed    0.01 sec"
    # CTest's own log of the run, as it writes it: each test's output.
    mkdir -p "$2/Testing/Temporary"
    echo "2:second" >"$2/Testing/Temporary/LastTestsFailed.log"
    {
        printf '1/2 Testing: first\nOutput:\nfirst says this\n<end of output>\n'
        printf '2/2 Testing: second\nOutput:\n'
        for i in $(seq 1 40); do echo "second's line $i"; done
        printf 'why second failed\n<end of output>\n'
    } >"$2/Testing/Temporary/LastTest.log"
    echo
    echo "50% tests passed, 1 tests failed out of 2"
    echo
    echo "The following tests FAILED:"
    echo "	  2 - second (Failed)"
    echo "Errors while running CTest"
    exit 8
fi
echo "2/2 Test #2: second ...........   Passed    0.01 sec"
echo
echo "100% tests passed, 0 tests failed out of 2"
STUB
chmod +x "$tmp"/bin/*

# run NAME [VARIABLE=VALUE...]: scripts/test with the stubs; its output in
# $tmp/NAME.out, its status in $status.
run() {
    local name=$1
    shift
    status=0
    env PATH="$tmp/bin:$PATH" TEST_BUILD_DIR="$tmp/$name/test" ASAN_BUILD_DIR="$tmp/$name/asan" \
        "$@" "$root/scripts/test" >"$tmp/$name.out" 2>&1 || status=$?
}

echo "== both builds pass"
run pass
((status == 0)) || fail "pass: status $status: $(cat "$tmp/pass.out")"
(($(grep -c '^100% tests passed, 0 tests failed out of 2$' "$tmp/pass.out") == 2)) ||
    fail "pass: ctest's summary line is not printed for both builds"
for stage in "== Installing what is missing" "   configuring" "   building" "   testing"; do
    grep -q "^$stage" "$tmp/pass.out" || fail "pass: no line for the stage '$stage'"
done
! grep -q 'Building CXX\|Configuring done' "$tmp/pass.out" || fail "pass: the build's output is shown"
grep -qx 'All tests passed.' "$tmp/pass.out" || fail "pass: no closing line"

echo "== a test fails in the sanitizer build"
run test_fails STUB_TEST_FAILS=/asan
((status == 1)) || fail "test fails: status $status, expected 1"
grep -q '^50% tests passed, 1 tests failed out of 2$' "$tmp/test_fails.out" ||
    fail "test fails: ctest's summary line is not printed"
grep -qx 'FAILED.' "$tmp/test_fails.out" || fail "test fails: no closing FAILED."
# The summary ends with the end of the failed test's output, and only its.
if ! grep -qx "    -- the end of second's output:" "$tmp/test_fails.out" ||
    ! grep -qx '    | why second failed' "$tmp/test_fails.out"; then
    fail "test fails: the end of the failed test's output is not in the summary"
fi
if ! grep -qx "    | second's line 17" "$tmp/test_fails.out" ||
    grep -q "second's line 16$\|first says this" "$tmp/test_fails.out"; then
    fail "test fails: not the last 25 lines of the failed test's output alone"
fi

echo "== the plain build fails to build"
run build_fails STUB_BUILD_FAILS=/test
((status == 1)) || fail "build fails: status $status, expected 1"
grep -q '   | a.cpp:1:1: error: the planted error' "$tmp/build_fails.out" ||
    fail "build fails: the end of the build log is not shown: $(cat "$tmp/build_fails.out")"
grep -qx '    did not build' "$tmp/build_fails.out" || fail "build fails: the summary does not say so"
grep -q '^100% tests passed, 0 tests failed out of 2$' "$tmp/build_fails.out" ||
    fail "build fails: the sanitizer build was not tested"

if ((failures > 0)); then
    echo "test_script_test: $failures checks failed" >&2
    exit 1
fi
echo "test_script_test: all checks passed"
