#!/usr/bin/env bash
# The library as a client of an installed copy sees it. Builds the client
# project in client/ against an installed trklib twice: with CMake
# (find_package, plus one translation unit per installed header) and with
# pkg-config. Runs both clients and compares their output.
#
#   client_test.sh --build BUILD_DIR CLIENT_SOURCE_DIR CMAKE CXX
#   client_test.sh --prefix PREFIX CLIENT_SOURCE_DIR CMAKE CXX
#
# --build installs the runtime and development components of a build into a
# temporary prefix and moves that prefix elsewhere before use: nothing
# installed may point at where it was installed. --prefix uses an installed
# tree as it is, e.g. the unpacked Debian packages.
set -euo pipefail

if (($# != 5)) || [[ $1 != --build && $1 != --prefix ]]; then
    echo "usage: client_test.sh --build BUILD_DIR | --prefix PREFIX CLIENT_SOURCE_DIR CMAKE CXX" >&2
    exit 2
fi
mode=$1
client=$3
cmake=$4
cxx=$5

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "client_test: $*" >&2
    exit 1
}

if [[ $mode == --build ]]; then
    for component in runtime development; do
        "$cmake" --install "$2" --prefix "$tmp/installed" --component "$component" >/dev/null
    done
    mv "$tmp/installed" "$tmp/prefix"
    prefix=$tmp/prefix
else
    prefix=$(realpath "$2")
fi

mapfile -t pcfiles < <(find "$prefix" -name trklib.pc)
((${#pcfiles[@]} == 1)) || fail "expected one trklib.pc under $prefix, found ${#pcfiles[@]}"
libdir=$(dirname "$(dirname "${pcfiles[0]}")")
[[ -f $libdir/libtrklib.so.1 && -L $libdir/libtrklib.so ]] ||
    fail "libtrklib.so.1 and the libtrklib.so link are not in $libdir"

echo "== CMake client"
"$cmake" -S "$client" -B "$tmp/cmake-client" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix"
"$cmake" --build "$tmp/cmake-client" -j 2

echo "== pkg-config client"
export PKG_CONFIG_PATH=$libdir/pkgconfig
pkg-config --exists --print-errors trklib
for variable in prefix libdir includedir; do
    value=$(realpath -m "$(pkg-config --variable="$variable" trklib)")
    [[ $value == "$(realpath "$prefix")"* ]] ||
        fail "trklib.pc: $variable is $value, outside the prefix $prefix"
done
# Qt is built with -reduce-relocations, so its clients compile with -fPIC.
read -r -a flags <<<"$(pkg-config --cflags --libs trklib)"
"$cxx" -std=c++17 -fPIC -Wall -Wextra -o "$tmp/pkgconfig-client" "$client/main.cpp" "${flags[@]}"

expected="facade read before connect: 1
packet 1700000000000: 0 targets
packet 1700000000050: 0 targets
maxima of an empty packet: 0
packet bytes on the wire: 19504"

for exe in "$tmp/cmake-client/trklib_client" "$tmp/pkgconfig-client"; do
    echo "== $(basename "$exe")"
    export LD_LIBRARY_PATH=$libdir
    loaded=$(ldd "$exe" | grep libtrklib.so.1 || true)
    [[ $loaded == *"=> $libdir/libtrklib.so.1 "* ]] ||
        fail "$exe does not load the installed libtrklib.so.1: $loaded"
    actual=$("$exe")
    echo "$actual"
    [[ $actual == "$expected" ]] || fail "$exe printed other lines than expected:
$expected"
done
echo "client_test: both clients built and ran"
