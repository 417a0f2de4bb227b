#!/usr/bin/env bash
# Builds the four Debian packages with scripts/package (which fails on any
# lintian error, libtrklib-dev without a warning too) in BUILD_DIR and checks
# what they hold: every file with its mode (the API reference's pages among
# them), the control fields, the control members, and the ELF files stripped
# and without a run path. Then builds and runs the client of client_test.sh
# against libtrklib1 and libtrklib-dev unpacked into one tree, and imports
# the Python module of the unpacked python3-trklib with Debian's python3.
#
#   deb_test.sh SOURCE_DIR BUILD_DIR VERSION CMAKE CXX
set -euo pipefail

if (($# != 5)); then
    echo "usage: deb_test.sh SOURCE_DIR BUILD_DIR VERSION CMAKE CXX" >&2
    exit 2
fi
source_dir=$1
build=$2
version=$3-1 # the Debian revision of cmake/packaging.cmake
cmake=$4
cxx=$5

tmp=$(mktemp -d)
sited_pid=
trap '[[ -z $sited_pid ]] || kill "$sited_pid" 2>/dev/null; rm -rf "$tmp"' EXIT

failures=0
fail() {
    echo "deb_test: $*" >&2
    failures=$((failures + 1))
}

echo "== scripts/package"
if ! PACKAGE_BUILD_DIR=$build "$source_dir/scripts/package" >"$tmp/package.log" 2>&1; then
    cat "$tmp/package.log"
    echo "deb_test: scripts/package failed" >&2
    exit 1
fi
grep -E '^[EWI]: ' "$tmp/package.log" || true
# Every program has its manual page, and lintian finds nothing wrong with
# one (man's warnings, the whatis entry, compression, placement).
if grep -E '^[EWI]: .*(no-manual-page|manpage|manual-page|groff-message|whatis)' \
    "$tmp/package.log" >/dev/null; then
    fail "lintian complains of the manual pages"
fi
# The development package, API reference included, without a lintian
# warning (its jquery.js would be embedded-javascript-library).
if grep -E '^[EW]: libtrklib-dev' "$tmp/package.log" >/dev/null; then
    fail "libtrklib-dev: lintian warns about it"
fi

arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=./usr/lib/$triplet

# expect_files PACKAGE: the package's files and links, each as "mode path"
# (links with their target), must be exactly the lines on standard input
# (not a pipe: fail counts in this shell).
# Every directory must be drwxr-xr-x and everything must belong to root.
expect_files() {
    local package=$1 deb=$build/${1}_${version}_${arch}.deb
    if [[ ! -f $deb ]]; then
        fail "$deb was not built"
        return
    fi
    dpkg-deb -c "$deb" >"$tmp/$package.contents"
    # mode owner size date time path [-> target]
    awk '$1 !~ /^d/ { line = $1; for (i = 6; i <= NF; i++) line = line " " $i; print line }' \
        "$tmp/$package.contents" | sort >"$tmp/$package.actual"
    sort >"$tmp/$package.expected"
    if ! diff -u "$tmp/$package.expected" "$tmp/$package.actual"; then
        fail "$package: other files than expected (- expected, + built)"
    fi
    if awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" || $2 != "root/root"' "$tmp/$package.contents" |
        grep .; then
        fail "$package: directories not 0755 or entries not owned by root"
    fi
}

# expect_field PACKAGE FIELD PATTERN: the control field matches the
# extended regular expression.
expect_field() {
    local package=$1 field=$2 pattern=$3 value
    value=$(dpkg-deb -f "$build/${package}_${version}_${arch}.deb" "$field" 2>/dev/null || true)
    if ! grep -Eq -- "$pattern" <<<"$value"; then
        fail "$package: $field is '$value', expected to match '$pattern'"
    fi
}

doc_files() {
    printf '%s\n' \
        "-rw-r--r-- ./usr/share/doc/$1/changelog.Debian.gz" \
        "-rw-r--r-- ./usr/share/doc/$1/copyright" \
        "-rw-r--r-- ./usr/share/lintian/overrides/$1"
}

echo "== contents"
expect_files libtrklib1 < <(
    doc_files libtrklib1
    echo "-rw-r--r-- $libdir/libtrklib.so.1.0.0"
    echo "lrwxrwxrwx $libdir/libtrklib.so.1 -> libtrklib.so.1.0.0"
)

expect_files libtrklib-dev < <(
    doc_files libtrklib-dev
    for header in interface/export.h interface/targettrackinginterface.h \
        engine/targettracking.h util/util.h util/groundposition.h \
        input/wireformat.h input/radarpacketdata.h input/dataparser.h \
        input/datagramassembler.h input/radardata.h \
        detection/radardatamax.h tracking/candidate.h tracking/target.h; do
        echo "-rw-r--r-- ./usr/include/trklib/$header"
    done
    echo "lrwxrwxrwx $libdir/libtrklib.so -> libtrklib.so.1"
    for file in trklibConfig.cmake trklibConfigVersion.cmake \
        trklibTargets.cmake trklibTargets-release.cmake; do
        echo "-rw-r--r-- $libdir/cmake/trklib/$file"
    done
    echo "-rw-r--r-- $libdir/pkgconfig/trklib.pc"
    # The API reference as Doxygen wrote it, jquery.js linked to Debian's.
    (cd "$build/docs/api/html" && find . -type f ! -name jquery.js -printf '%P\n') |
        sed 's|^|-rw-r--r-- ./usr/share/doc/libtrklib-dev/html/|'
    echo "lrwxrwxrwx ./usr/share/doc/libtrklib-dev/html/jquery.js -> ../../../javascript/jquery/jquery.js"
)

expect_files trklib-tools < <(
    doc_files trklib-tools
    for program in trackdemo radarsim trackreplay plot-tracks; do
        echo "-rwxr-xr-x ./usr/bin/$program"
    done
    for service in trackd sited; do
        echo "-rwxr-xr-x ./usr/bin/$service"
        echo "-rw-r--r-- ./usr/lib/systemd/system/$service.service"
    done
    for example in trackd.conf mosquitto-site.conf mosquitto-site.acl; do
        echo "-rw-r--r-- ./usr/share/doc/trklib-tools/examples/$example"
    done
    echo "-rwxr-xr-x ./usr/share/doc/trklib-tools/examples/sited-events-hook"
    echo "-rw-r--r-- ./usr/share/trklib/mounting.tsv"
    # The site view that sited serves, its MQTT client from npm's lockfile.
    for file in index.html login.html style.css node_modules/mqtt/dist/mqtt.esm.js; do
        echo "-rw-r--r-- ./usr/share/trklib/web/$file"
    done
    for file in "$source_dir"/web/src/*.js; do
        echo "-rw-r--r-- ./usr/share/trklib/web/src/${file##*/}"
    done
    for program in trackdemo radarsim trackreplay plot-tracks trackd sited; do
        echo "-rw-r--r-- ./usr/share/man/man1/$program.1.gz"
    done
    echo "-rw-r--r-- ./usr/share/man/man5/trackd.conf.5.gz"
    if [[ -f $source_dir/tools/wireshark/trklib.lua ]]; then
        echo "-rw-r--r-- ./usr/share/trklib/wireshark/trklib.lua"
    fi
)

# The Python module: the extension's name carries the interpreter's ABI.
python=/usr/bin/python3
ext_suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
python_dir=./usr/lib/python3/dist-packages/trklib
expect_files python3-trklib < <(
    doc_files python3-trklib
    for file in __init__.py csvfiles.py events.py metrics.py score.py sitescore.py "_trklib$ext_suffix"; do
        echo "-rw-r--r-- $python_dir/$file"
    done
)

echo "== control fields"
while read -r package field pattern; do
    expect_field "$package" "$field" "$pattern"
done <<EOF
libtrklib1    Version      ^${version}\$
libtrklib1    Section      ^libs\$
libtrklib1    Depends      libc6 \(>=
libtrklib1    Depends      libstdc\+\+6 \(>=
libtrklib1    Depends      libqt5core5a \(>=
libtrklib1    Depends      libqt5network5 \(>=
libtrklib-dev Version      ^${version}\$
libtrklib-dev Section      ^libdevel\$
libtrklib-dev Depends      (^|, )libtrklib1 \(= ${version}\)(,|\$)
libtrklib-dev Depends      (^|, )qtbase5-dev(,|\$)
libtrklib-dev Depends      (^|, )libjs-jquery(,|\$)
trklib-tools  Version      ^${version}\$
trklib-tools  Section      ^utils\$
trklib-tools  Depends      (^|, )libtrklib1 \(= ${version}\)(,|\$)
trklib-tools  Depends      (^|, )libpcap0.8( |,|\$)
trklib-tools  Depends      (^|, )libqt5core5a( |,|\$)
trklib-tools  Depends      (^|, )gnuplot-nox \| gnuplot(,|\$)
trklib-tools  Depends      (^|, )mosquitto-clients(,|\$)
trklib-tools  Depends      (^|, )curl(,|\$)
trklib-tools  Depends      (^|, )libmosquitto1( |,|\$)
trklib-tools  Depends      (^|, )libgeographiclib[0-9]+( |,|\$)
trklib-tools  Depends      (^|, )libprometheus-cpp-core1\.0( |,|\$)
trklib-tools  Depends      (^|, )libprometheus-cpp-pull1\.0( |,|\$)
python3-trklib Version     ^${version}\$
python3-trklib Section     ^python\$
python3-trklib Depends     (^|, )python3 \(>= 3\.[0-9]+~\), python3 \(<< 3\.[0-9]+\)
python3-trklib Depends     (^|, )python3-numpy(,|\$)
python3-trklib Depends     (^|, )python3-scipy(,|\$)
python3-trklib Depends     (^|, )libqt5core5a( |,|\$)
python3-trklib Depends     (^|, )libpcap0.8( |,|\$)
python3-trklib Recommends  ^python3-matplotlib\$
EOF
for package in libtrklib1 libtrklib-dev trklib-tools python3-trklib; do
    expect_field "$package" Maintainer '^trklib developers <trklib@example.org>$'
    expect_field "$package" Priority '^optional$'
    # A synopsis of at most 80 characters and an extended description.
    description=$(dpkg-deb -f "$build/${package}_${version}_${arch}.deb" Description)
    synopsis=${description%%$'\n'*}
    if ((${#synopsis} > 80)) || [[ $description != *$'\n '?* ]]; then
        fail "$package: the description lacks a synopsis or an extended description"
    fi
done

echo "== control members"
deb=$build/libtrklib1_${version}_${arch}.deb
[[ $(dpkg-deb -I "$deb" triggers) == "activate-noawait ldconfig" ]] ||
    fail "libtrklib1: the triggers member does not activate ldconfig"
[[ $(dpkg-deb -I "$deb" shlibs) == "libtrklib 1 libtrklib1 (>= $3)" ]] ||
    fail "libtrklib1: shlibs is '$(dpkg-deb -I "$deb" shlibs)'"
for package in libtrklib1 libtrklib-dev trklib-tools python3-trklib; do
    members=$(dpkg-deb --ctrl-tarfile "$build/${package}_${version}_${arch}.deb" | tar -t)
    if grep -E 'preinst|postinst|prerm|postrm' <<<"$members"; then
        fail "$package: has maintainer scripts"
    fi
done

echo "== changelog and ELF files"
for package in libtrklib1 libtrklib-dev trklib-tools python3-trklib; do
    root=$tmp/$package
    dpkg-deb -x "$build/${package}_${version}_${arch}.deb" "$root"
    gzip -dc "$root/usr/share/doc/$package/changelog.Debian.gz" >"$tmp/changelog"
    logged=$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)
    [[ $logged == "$version" ]] || fail "$package: changelog.Debian.gz is for version $logged"
    while IFS= read -r -d '' file; do
        description=$(file -b "$file")
        [[ $description == ELF* ]] || continue
        [[ $description == *", stripped"* ]] || fail "$package: ${file#"$root"} is not stripped"
        if readelf -d "$file" | grep -E 'RPATH|RUNPATH'; then
            fail "$package: ${file#"$root"} has a run path"
        fi
    done < <(find "$root" -type f -print0)
done
soname=$(readelf -d "$tmp/libtrklib1/usr/lib/$triplet/libtrklib.so.1.0.0" | grep SONAME || true)
[[ $soname == *"[libtrklib.so.1]"* ]] || fail "libtrklib1: the library's soname is not libtrklib.so.1"

echo "== client of the unpacked library packages"
for package in libtrklib1 libtrklib-dev; do
    dpkg-deb -x "$build/${package}_${version}_${arch}.deb" "$tmp/system"
done
"$(dirname "$0")/client_test.sh" --prefix "$tmp/system/usr" \
    "$(dirname "$0")/client" "$cmake" "$cxx" >"$tmp/client.log" 2>&1 ||
    fail "the client does not build or run against the packages: $(cat "$tmp/client.log")"

echo "== Python module of the unpacked python3-trklib"
PYTHONPATH=$tmp/python3-trklib/usr/lib/python3/dist-packages "$python" -c '
import trklib, trklib.metrics, trklib.score
assert trklib.__file__.startswith("'"$tmp"'"), trklib.__file__
engine = trklib.Engine(trklib.Config(height=5))
assert trklib.metrics.gospa([[0, 0]], [[3, 4]]).total == 5.0
' >"$tmp/python.log" 2>&1 || fail "python3-trklib: the module does not import: $(cat "$tmp/python.log")"

echo "== the site view from the unpacked trklib-tools, behind a login"
# sited of the package, with the package's page as its web root (the
# installed default is /usr/share/trklib/web): the page and a login answer
# without any broker; the time from the start to the first login is said.
dpkg-deb -x "$build/trklib-tools_${version}_${arch}.deb" "$tmp/system"
export LD_LIBRARY_PATH=$tmp/system/usr/lib/$triplet
sited=$tmp/system/usr/bin/sited
port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir "$tmp/site"
cat >"$tmp/site/site.conf" <<END
[site]
name = packaged
[broker]
client_id = packaged
[http]
listen = 127.0.0.1:$port
users_file = users
web_root = $tmp/system/usr/share/trklib/web
[radar.a]
END
printf 'a-long-password\n' | "$sited" --config "$tmp/site/site.conf" --add-user ann admin \
    >"$tmp/site/add.log" 2>&1 || fail "sited --add-user: $(cat "$tmp/site/add.log")"
started=$(date +%s%N)
"$sited" --config "$tmp/site/site.conf" >"$tmp/site/sited.log" 2>&1 &
sited_pid=$!
login() {
    curl -fsS -c "$tmp/site/cookies" -H 'Content-Type: application/json' \
        -d '{"name": "ann", "password": "a-long-password"}' "http://127.0.0.1:$port/api/login"
}
for _ in $(seq 200); do
    login >/dev/null 2>&1 && break
    sleep 0.05
done
if login >/dev/null 2>&1; then
    echo "deb_test: a login $((($(date +%s%N) - started) / 1000000)) ms after sited's start"
    for path in / /login.html /src/main.js /node_modules/mqtt/dist/mqtt.esm.js; do
        curl -fsS -o /dev/null -b "$tmp/site/cookies" "http://127.0.0.1:$port$path" ||
            fail "trklib-tools: sited does not serve the page's $path"
    done
    [[ $(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/api/events") == 401 ]] ||
        fail "trklib-tools: the history answers without a login"
else
    fail "trklib-tools: no login within 10 s of sited's start: $(cat "$tmp/site/sited.log")"
fi
kill "$sited_pid"
wait "$sited_pid" || true
sited_pid=

if ((failures > 0)); then
    echo "deb_test: $failures checks failed" >&2
    exit 1
fi
echo "deb_test: four packages built, lintian without errors, contents as expected"
