#!/usr/bin/env bash
# The site's locked-down broker, exactly as scripts/site-demo runs it (made
# from tools/trackd/mosquitto-site.conf.example and its ACL), on free
# loopback ports: who may connect, who may publish where, and the two size
# limits, each at and just past its figure. Every publish is MQTT 5 at
# QoS 1, so that the broker's answer comes back and the publishes reach
# the subscribers in order; whether a message was delivered is seen at a
# subscriber that may read everything (an observer the test adds), never
# taken from the publisher's exit status.
#
# Usage: site_broker_test.sh SOURCE_DIR
set -euo pipefail

root=$1
# shellcheck source=scripts/lib/site-broker.sh
source "$root/scripts/lib/site-broker.sh"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

read -r mqtt_port ws_port < <(python3 -c '
import socket
held = [socket.socket() for _ in range(2)]
for s in held:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')

trklib_site_broker "$work" trklib demo "$mqtt_port" "$ws_port"
# The observer reads every topic; it exists for this test only.
printf '%s\n' '' 'user observer' 'topic read #' >>"$work/broker.acl"
observer_password=observer-$RANDOM$RANDOM
mosquitto_passwd -b "$work/broker.passwd" observer "$observer_password"

password() { cat "$work/$1.password"; }
message_limit_bytes=262144 # the example's message_size_limit (payload)
packet_limit_bytes=1048576 # and its max_packet_size (whole packet)

mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
pids+=($!)
for ((i = 0; i < 100; ++i)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$mqtt_port") 2>/dev/null && break
    sleep 0.1
done

# The observer prints "TOPIC LENGTH PAYLOAD", one line per message. (That
# the viewer reads the site's topics, site_demo sees.)
mosquitto_sub -p "$mqtt_port" -u observer -P "$observer_password" -q 1 -t '#' \
    -F '%t %l %p' >"$work/observer" 2>&1 &
pids+=($!)

# publish USER PASSWORD VERSION TOPIC BYTES MARK: a message of BYTES bytes
# that starts with MARK; what mosquitto_pub says goes to $work/pub.
publish() {
    local user=$1 pass=$2 version=$3 topic=$4 bytes=$5 mark=$6 login=()
    [[ $user == anonymous ]] || login=(-u "$user" -P "$pass")
    python3 -c 'import sys; m = sys.argv[1].encode(); n = int(sys.argv[2])
sys.stdout.buffer.write(m + b"x" * (n - len(m)))' "$mark" "$bytes" >"$work/payload"
    mosquitto_pub -p "$mqtt_port" "${login[@]}" -V "$version" -q 1 -t "$topic" \
        -f "$work/payload" >"$work/pub" 2>&1 || true
}
# Waits until the observer has the message that starts with MARK.
wait_for() {
    local tries
    for ((tries = 0; tries < 100; ++tries)); do
        cut -c 1-200 "$work/observer" | grep -q " $1" && return 0
        sleep 0.1
    done
    return 1
}
received() { cut -c 1-200 "$work/observer" | grep -q "^$1 $2 $3"; }

# The observer listens before the cases begin.
for ((i = 0; i < 50; ++i)); do
    publish trackd "$(password trackd)" mqttv5 trklib/demo/ready 5 ready
    wait_for ready && break
done

# The payload of a v3.1.1 QoS 1 packet of N bytes as Mosquitto counts
# them: the fixed header's first byte (not the remaining length's bytes),
# the topic (2 + its length), the packet id (2) and the payload.
topic=trklib/demo/north/tracks
packet_payload() { echo $(($1 - 1 - 2 - ${#topic} - 2)); }

# who, protocol, topic, payload bytes, what mosquitto_pub says ('-' for
# nothing, '_' for a space), delivered or not.
cases=(
    "trackd mqttv5 trklib/demo/north/status 100 - yes"
    "sited mqttv5 trklib/demo/site/summary 100 - yes"
    "viewer mqttv5 trklib/demo/north/tracks 100 Not_authorized no"
    "viewer mqttv5 trklib/demo/north/status 100 Not_authorized no"
    "trackd mqttv5 trklib/other/north/tracks 100 Not_authorized no"
    "trackd mqttv5 other/north/tracks 100 Not_authorized no"
    "sited mqttv5 trklib/other/summary 100 Not_authorized no"
    "anonymous mqttv5 trklib/demo/north/tracks 100 Connection_error:_Not_authorized no"
    "wrong-password mqttv5 trklib/demo/north/tracks 100 Connection_error:_Not_authorized no"
    "trackd mqttv5 $topic $message_limit_bytes - yes"
    "trackd mqttv5 $topic $((message_limit_bytes + 1)) Packet_too_large no"
    "trackd mqttv311 $topic $(packet_payload "$packet_limit_bytes") - no"
    "trackd mqttv311 $topic $(packet_payload $((packet_limit_bytes + 1))) connection_was_lost no"
)
for ((n = 0; n < ${#cases[@]}; ++n)); do
    read -r user version case_topic bytes says _ <<<"${cases[n]}"
    case $user in
    anonymous) pass='' ;;
    wrong-password) user=trackd pass=wrong ;;
    *) pass=$(password "$user") ;;
    esac
    publish "$user" "$pass" "$version" "$case_topic" "$bytes" "case-$n:"
    said=$(head -c 200 "$work/pub")
    if [[ $says == - ]]; then [[ -z $said ]]; else [[ $said == *"${says//_/ }"* ]]; fi ||
        fail "${cases[n]}: mosquitto_pub says '$said'"
done
publish trackd "$(password trackd)" mqttv5 trklib/demo/end 5 end
wait_for end || fail "the last message did not arrive"

for ((n = 0; n < ${#cases[@]}; ++n)); do
    read -r _ _ case_topic bytes _ delivered <<<"${cases[n]}"
    if received "$case_topic" "$bytes" "case-$n:"; then
        [[ $delivered == yes ]] || fail "${cases[n]}: delivered"
    else
        [[ $delivered == no ]] || fail "${cases[n]}: not delivered"
    fi
done

if ((failures > 0)); then
    echo "--- broker log" >&2
    cut -c 1-200 "$work/broker.log" >&2
    exit 1
fi
echo "site broker: logins, ACL and size limits as configured (${#cases[@]} cases)"
