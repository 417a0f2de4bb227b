#!/bin/sh
# The events hook example on a mosquitto broker of the test's own, which
# takes logins only: the events of the kinds and zones asked for reach the
# command, one a line, the others do not; the password is on no command
# line; a hook without --url or --command is refused, --help and --version
# answer.
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
"$hook" --help >"$work/help.out" || fail "--help failed"
grep -q '^usage: sited-events-hook' "$work/help.out" || fail "--help: $(cat "$work/help.out")"
"$hook" --version | grep -Eq '^sited-events-hook [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version"

password=hook-secret-$$
printf '%s\n' "$password" >"$work/password"
mosquitto_passwd -c -b "$work/passwords" viewer "$password"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous false\npassword_file %s\npersistence false\n' \
    "$port" "$work/passwords" >"$work/broker.conf"
# Started as root, mosquitto would read its files as its own user; the
# test's folder is its own.
[ "$(id -u)" != 0 ] || echo 'user root' >>"$work/broker.conf"
mosquitto -c "$work/broker.conf" 2>"$work/broker.log" &
broker=$!
login="-u viewer -P $password"
tries=0
# shellcheck disable=SC2086 # the login's words
until mosquitto_pub -p "$port" $login -t probe -m up 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || fail "no broker: $(cat "$work/broker.log")"
    sleep 0.1
done

setsid "$hook" --site perimeter --port "$port" --user viewer --password-file "$work/password" \
    --event cross --event exit --zone fence --command "cat >>'$work/out'" 2>"$work/hook.err" &
hooked=$!
event() { # KIND ZONE OBJECT
    # shellcheck disable=SC2086 # the login's words
    mosquitto_pub -p "$port" $login -q 1 -t trklib/perimeter/events \
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
# What every user can see of the hook's processes holds no password.
if ps -eo args | grep -v -e grep -e mosquitto_pub | grep -q -e "$password"; then
    fail "the password is on a command line: $(ps -eo args | grep -e "$password")"
fi
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
