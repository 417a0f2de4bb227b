# shellcheck shell=bash
# The site's locked-down broker configuration for a run on the loopback
# address, made from tools/trackd/mosquitto-site.conf.example and
# mosquitto-site.acl.example: the example's ports become the given ones,
# its files those of the run's folder, its site the given site; the
# WebSocket listener goes without TLS (loopback only). Everything else,
# users, ACL and limits, is the example's. Sourced by scripts/site-demo and
# its tests.

# trklib_site_broker DIR PREFIX SITE MQTT_PORT WS_PORT writes into DIR:
#   broker.conf, broker.acl, broker.passwd (mosquitto -c DIR/broker.conf),
#   USER.password for trackd, sited and viewer: a fresh random password on
#   one line, readable by its owner only (trackd's password_file).
# Returns 1 with a line on standard error when the examples no longer have
# what it changes.
trklib_site_broker() {
    local dir=$1 prefix=$2 site=$3 mqtt_port=$4 ws_port=$5
    local examples user password
    examples=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools/trackd" && pwd)

    # The example listens on 1883 (loopback) and 9001 (every address); the
    # run on its own ports of the loopback address. Started as root,
    # mosquitto would switch to its own user, who cannot read DIR.
    sed -e "s|^listener 1883 127\.0\.0\.1\$|listener $mqtt_port 127.0.0.1|" \
        -e "s|^listener 9001\$|listener $ws_port 127.0.0.1|" \
        -e '/^certfile /d' -e '/^keyfile /d' \
        -e "s|^password_file .*|password_file $dir/broker.passwd|" \
        -e "s|^acl_file .*|acl_file $dir/broker.acl|" \
        "$examples/mosquitto-site.conf.example" >"$dir/broker.conf"
    printf '%s\n' 'persistence false' 'set_tcp_nodelay true' "user $(id -un)" >>"$dir/broker.conf"
    local wanted
    for wanted in "listener $mqtt_port 127.0.0.1" "listener $ws_port 127.0.0.1" \
        "password_file $dir/broker.passwd" "acl_file $dir/broker.acl"; do
        if ! grep -qxF "$wanted" "$dir/broker.conf"; then
            echo "mosquitto-site.conf.example: no line that becomes '$wanted'" >&2
            return 1
        fi
    done

    sed -e "s|^\(topic [a-z]* \)trklib/crossroads/|\1$prefix/$site/|" \
        "$examples/mosquitto-site.acl.example" >"$dir/broker.acl"
    if grep -q "^topic .*crossroads" "$dir/broker.acl"; then
        echo "mosquitto-site.acl.example: a topic of site crossroads is left" >&2
        return 1
    fi

    # Plain user:password lines, hashed in place, so that no password is
    # ever on a command line. URL-safe, so that the page's address carries
    # the viewer's as it is.
    (
        umask 077
        : >"$dir/broker.passwd"
        for user in trackd sited viewer; do
            password=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
            printf '%s\n' "$password" >"$dir/$user.password"
            printf '%s:%s\n' "$user" "$password" >>"$dir/broker.passwd"
        done
    )
    mosquitto_passwd -U "$dir/broker.passwd"
}
