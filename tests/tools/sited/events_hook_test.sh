#!/bin/sh
# The events hook example on a mosquitto broker of the test's own: the
# events of the kinds and zones asked for reach the command, one a line,
# the others do not; a hook without --url or --command is refused.
# Usage: events_hook_test.sh HOOK
set -eu
hook=$1
work=$(mktemp -d)
broker='' hooked=''
cleanup() {
    [ -z "$hooked" ] || kill -- "-$hooked" 2>/dev/null || true
    [ -z "$broker" ] || kill "$broker" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "events_hook_test: $*" >&2
    exit 1
}

if "$hook" --site perimeter 2>"$work/usage.err"; then fail "ran without --url or --command"; fi
grep -q 'give one of --url and --command' "$work/usage.err" || fail "$(cat "$work/usage.err")"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" 2>"$work/broker.log" &
broker=$!
tries=0
until mosquitto_pub -p "$port" -t probe -m up 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || fail "no broker: $(cat "$work/broker.log")"
    sleep 0.1
done

setsid "$hook" --site perimeter --port "$port" --event cross --event exit --zone fence \
    --command "cat >>'$work/out'" 2>"$work/hook.err" &
hooked=$!
event() { # KIND ZONE OBJECT
    mosquitto_pub -p "$port" -q 1 -t trklib/perimeter/events \
        -m "{\"site\":\"perimeter\",\"event\":\"$1\",\"zone\":\"$2\",\"object\":$3}"
}
# Until the hook's subscription stands, what is published goes nowhere.
tries=0
until [ -s "$work/out" ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || fail "the hook took nothing: $(cat "$work/hook.err")"
    event cross fence 0
    sleep 0.1
done
event enter fence 1  # a kind not asked for
event cross gate 2   # a zone not asked for
event cross fence-2 3 # a name that only starts like one asked for
event exit fence 4
tries=0
until grep -q '"object":4' "$work/out"; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || fail "the exit did not come: $(cat "$work/out")"
    sleep 0.1
done
if grep -v '"object":0' "$work/out" | grep -qv '"event":"exit","zone":"fence","object":4}$'; then
    fail "events not asked for came: $(cat "$work/out")"
fi
[ "$(grep -c '"object":4' "$work/out")" = 1 ] || fail "the exit came more than once"
