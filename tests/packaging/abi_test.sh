#!/usr/bin/env bash
# The shared library's binary interface against the last release's: abidiff
# of the stored baseline and the built library. Added functions and
# variables pass; any other change (a record's layout, a removed or changed
# symbol) fails, with abidiff's report. Skipped (77) when the library was
# built without debug info.
#
# The interface is what the library exports (it hides everything else), with
# every type those symbols reach: abidiff's public-header filter is not
# used, since it also hides the records reached through std::vector and
# QVector, which are defined in other headers.
#
#   abi_test.sh [--update] LIBRARY BASELINE
#
# --update writes the baseline from LIBRARY instead: run it on the library of
# each release (see abi/README.md).
set -euo pipefail

update=0
if [[ ${1:-} == --update ]]; then
    update=1
    shift
fi
if (($# != 2)); then
    echo "usage: abi_test.sh [--update] LIBRARY BASELINE" >&2
    exit 2
fi
library=$1 baseline=$2

if ! readelf -S "$library" | grep -q '\.debug_info'; then
    echo "abi_test: $library has no debug info; skipped"
    exit 77
fi

if ((update)); then
    abidw --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash \
        --out-file "$baseline" "$library"
    # The translation units' paths name the directory it was built in.
    sed -i -E "s#path='[^']*/(lib|build)/#path='\\1/#" "$baseline"
    exit 0
fi

status=0
report=$(abidiff --no-added-syms "$baseline" "$library") || status=$?
# Bit 1 an error, 2 a usage error, 4 a change, 8 an incompatible change;
# added symbols are not counted as changes.
if ((status != 0)); then
    echo "abi_test: the binary interface changed (abidiff status $status):"
    echo "$report"
    exit 1
fi
echo "abi_test: compatible with the baseline"
