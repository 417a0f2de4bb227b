#!/usr/bin/env bash
# scripts/site-demo as a user runs it, with this build's trackd, sited and radarsim:
# bad command lines exit 2; with the ports given it prints the page's
# address (no password in it) and the page's login, sited serves the login
# page and nothing else of the page without a login, its broker refuses
# anonymous clients and carries both radars' tracks and statuses to the
# viewer over MQTT, the page opened from the address in Chromium logs in
# and shows every radar (and is refused a wrong password), and SIGTERM
# stops everything it started.
#
# Usage: site_demo_test.sh SOURCE_DIR BUILD_DIR. Exit status 77: skipped.
set -euo pipefail

root=$1
build=$2
demo=$root/scripts/site-demo
export SITE_DEMO_TOOLS_DIR=$build

if ! cmp -s "$root/web/package-lock.json" "$root/web/node_modules/.installed-package-lock.json"; then
    echo "skipped: the npm packages of web/ are not installed (npm ci there, as scripts/test does)"
    exit 77
fi

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d)
pid=''
cleanup() {
    if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Bad command lines: one line naming the problem, then the usage; exit 2.
bad_lines=(
    "--http-port"
    "--ws-port x"
    "--mqtt-port 70000"
    "--http-port 0"
    "--bogus"
    "--http-port 5000 --ws-port 5000"
)
for line in "${bad_lines[@]}"; do
    status=0
    # shellcheck disable=SC2086 # the words of the line are the arguments
    "$demo" $line >"$work/out" 2>"$work/err" || status=$?
    ((status == 2)) || fail "'$line': exit status $status, not 2"
    head -n 1 "$work/err" | grep -q '^site-demo: ' ||
        fail "'$line': the error does not start with 'site-demo: ': $(head -n 1 "$work/err")"
    grep -q '^Usage: scripts/site-demo' "$work/err" || fail "'$line': no usage"
    [[ ! -s $work/out ]] || fail "'$line': wrote to standard output"
done
"$demo" --help | grep -q -- '--mqtt-port' || fail "--help lists no --mqtt-port"

# Three free loopback ports for the options.
read -r http_port ws_port mqtt_port < <(python3 -c '
import socket
held = [socket.socket() for _ in range(3)]
for s in held:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')

"$demo" --http-port "$http_port" --ws-port "$ws_port" --mqtt-port "$mqtt_port" \
    >"$work/demo.out" 2>"$work/demo.err" &
pid=$!
for ((i = 0; i < 300; ++i)); do
    grep -q '^URL: ' "$work/demo.out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
url=$(sed -n 's/^URL: //p' "$work/demo.out")
# The viewer's password: made for this run, URL-safe, 144 random bits.
password=$(sed -n 's/^Login: viewer, password //p' "$work/demo.out")
# sited serves the page and the API on one port.
api=$(sed -n 's/^API: //p' "$work/demo.out")
[[ $api == "http://127.0.0.1:$http_port" ]] || fail "no API line: $(cat "$work/demo.out")"
if [[ $url != "http://127.0.0.1:$http_port/" || ! $password =~ ^[A-Za-z0-9_-]{24}$ ]]; then
    fail "the address is '$url', not 'http://127.0.0.1:$http_port/', or no Login line"
    cat "$work/demo.out" "$work/demo.err" >&2
    exit 1
fi
[[ $(grep -c '^URL: ' "$work/demo.out") == 1 ]] || fail "more than one URL line"

# Without a login: the login page, and nothing of the page itself.
fetch() {
    python3 -c 'import sys, urllib.request; sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=5).read())' "$1"
}
fetch "$url" | grep -q '<form id="login"' || fail "the address does not lead to the login page"
if fetch "http://127.0.0.1:$http_port/src/main.js" >/dev/null 2>&1; then
    fail "the page's script is served without a login"
fi

# sited's history API, on the address the demo prints, answers its health.
python3 -c 'import sys, urllib.request; sys.exit(urllib.request.urlopen(sys.argv[1] + "/api/health", timeout=5).status != 200)' "$api" ||
    fail "$api/api/health does not answer 200"

# No anonymous client; the page's user reads both radars' tracks over MQTT,
# and their places in the retained statuses.
if mosquitto_sub -p "$mqtt_port" -t 'trklib/junction/#' -C 1 -W 5 >"$work/anonymous" 2>&1 ||
    ! grep -q 'not authorised' "$work/anonymous"; then
    fail "an anonymous subscriber is not refused: $(head -n 2 "$work/anonymous")"
fi
login=(-u viewer -P "$password")
grep -qF -- "-p $mqtt_port -u viewer -P $password -t 'trklib/junction/#'" "$work/demo.out" ||
    fail "the Broker: line has no working mosquitto_sub command: $(grep '^Broker:' "$work/demo.out")"
timeout 15 mosquitto_sub -p "$mqtt_port" "${login[@]}" -t 'trklib/junction/+/tracks' -C 120 -v >"$work/tracks" ||
    fail "no tracks messages"
for radar in east north west south; do
    grep -q "^trklib/junction/$radar/tracks {\"site\":\"junction\",\"radar\":\"$radar\"" "$work/tracks" ||
        fail "no tracks of $radar"
done
grep -q '^trklib/junction/site/tracks {"site":"junction","time":[0-9]*,"objects":\[{"id":' "$work/tracks" ||
    fail "no site picture with objects from sited"
timeout 15 mosquitto_sub -p "$mqtt_port" "${login[@]}" -t 'trklib/junction/+/status' -C 5 -v >"$work/status" ||
    fail "no statuses"
grep -q '^trklib/junction/north/status {"online":true.*"place":{"x":9,"y":160,"lat":[0-9.]*,"lon":[0-9.]*,"heading":187.5}' "$work/status" ||
    fail "north's status: $(cat "$work/status")"
grep -q '^trklib/junction/site/status {"online":true' "$work/status" || fail "sited's status: $(cat "$work/status")"

# The WebSocket listener answers an upgrade to MQTT.
python3 - "$ws_port" <<'END' || fail "no WebSocket listener on port $ws_port"
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
s.sendall(b"GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
          b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
          b"Sec-WebSocket-Protocol: mqtt\r\nSec-WebSocket-Version: 13\r\n\r\n")
sys.exit(0 if s.recv(1024).startswith(b"HTTP/1.1 101") else 1)
END

# The page from the printed address: logged in, every radar with targets
# (and the guide's screenshot where SITE_DEMO_SCREENSHOT says).
status=0
[[ -z ${SITE_DEMO_SCREENSHOT:-} ]] || mkdir -p "$(dirname "$SITE_DEMO_SCREENSHOT")"
WEB_DIR=$root/web node "$(dirname "${BASH_SOURCE[0]}")/site_demo_page.mjs" "$url" "$password" \
    east north west south || status=$?
((status == 0 || status == 77)) || fail "the page from the printed address (above)"

# SIGTERM stops the demo and everything it started; the ports are free.
children=$(ps -o pid= --ppid "$pid" | tr -d ' ' | tr '\n' ' ')
[[ $(wc -w <<<"$children") -ge 4 ]] || fail "the demo runs only these programs: $children"
kill -TERM "$pid"
for ((i = 0; i < 150; ++i)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    fail "still running 15 s after SIGTERM"
    kill -KILL "$pid"
fi
status=0
wait "$pid" || status=$?
pid=''
((status == 0)) || fail "exit status $status after SIGTERM"
for child in $children; do
    if kill -0 "$child" 2>/dev/null; then
        fail "still running after the demo: $(ps -o cmd= -p "$child")"
        kill -KILL "$child"
    fi
done
for port in "$http_port" "$ws_port" "$mqtt_port"; do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        fail "port $port still listens"
    fi
done

if ((failures > 0)); then
    echo "--- demo output" >&2
    cat "$work/demo.out" "$work/demo.err" >&2
    exit 1
fi
echo "site-demo: command lines, address, page, broker and stop all good"
