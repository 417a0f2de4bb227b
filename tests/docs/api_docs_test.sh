#!/usr/bin/env bash
# Runs Doxygen with the API reference's configuration into OUT_DIR. Fails on
# any warning (an undocumented public member, a broken reference), and when
# the pages use scripts other than the two the package serves: jquery.js,
# linked to Debian's jQuery, and dynsections.js.
#
#   api_docs_test.sh DOXYGEN DOXYFILE OUT_DIR
set -euo pipefail

if (($# != 3)); then
    echo "usage: api_docs_test.sh DOXYGEN DOXYFILE OUT_DIR" >&2
    exit 2
fi
doxygen=$1
doxyfile=$2
out=$3

rm -rf "$out"
mkdir -p "$out"
status=0
{
    cat "$doxyfile"
    echo "OUTPUT_DIRECTORY = $out"
} | "$doxygen" - >"$out/doxygen.log" 2>&1 || status=$?
# The configuration is quiet: every line of output is a warning.
if ((status != 0)) || [[ -s $out/doxygen.log ]]; then
    cat "$out/doxygen.log"
    echo "api_docs: doxygen exited with $status and $(wc -l <"$out/doxygen.log") lines of warnings" >&2
    exit 1
fi

html=$out/html
for page in index.html classtrklib_1_1TargetTrackingInterface.html; do
    [[ -f $html/$page ]] || {
        echo "api_docs: $page was not written" >&2
        exit 1
    }
done
scripts=$(grep -ohE '<script [^>]*src="[^"]*"' "$html"/*.html | sed -E 's/.*src="([^"]*)"/\1/' |
    sort -u | tr '\n' ' ')
if [[ $scripts != "dynsections.js jquery.js " ]]; then
    echo "api_docs: the pages load the scripts '$scripts', not only dynsections.js and jquery.js" >&2
    exit 1
fi
echo "api_docs: no warnings, $(find "$html" -name '*.html' | wc -l) pages"
