#!/usr/bin/env bash
# The manual pages as the tools are installed: one in section 1 for every
# program in bin/ and trackd.conf(5) for trackd's file, each one that man
# formats without a warning and whose NAME line gives the whatis entry
# (the checks lintian makes of them); and the example of trackd.conf(5), as
# the page shows it, is a file that trackd accepts.
#
#   manpages_test.sh BUILD_DIR CMAKE TRACKD
#
# It installs the build's tools component into a temporary prefix; the
# Debian package's pages are checked by lintian in deb_test.sh.
set -euo pipefail

if (($# != 3)); then
    echo "usage: manpages_test.sh BUILD_DIR CMAKE TRACKD" >&2
    exit 2
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
"$2" --install "$1" --prefix "$prefix" --component tools >/dev/null

failures=0
fail() {
    echo "manpages_test: $*" >&2
    failures=$((failures + 1))
}

pages=("$prefix/share/man/man5/trackd.conf.5.gz")
for program in "$prefix"/bin/*; do
    pages+=("$prefix/share/man/man1/$(basename "$program").1.gz")
done
((${#pages[@]} > 1)) || fail "no program in $prefix/bin"

for page in "${pages[@]}"; do
    name=${page#"$prefix/"}
    if [[ ! -f $page ]]; then
        fail "$name is not installed"
        continue
    fi
    # As lintian runs man on a page.
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || true
    [[ -z $warnings ]] || fail "$name: man warns: $warnings"
    lexgrog "$page" >/dev/null 2>&1 || fail "$name: no whatis entry in its NAME section"
done

# The code block of EXAMPLE, indented by the page and the block.
conf_page=$prefix/share/man/man5/trackd.conf.5.gz
if [[ -f $conf_page ]]; then
    LC_ALL=C MANWIDTH=200 man -l "$conf_page" 2>/dev/null |
        awk '/^EXAMPLE/ { shown = 1; next } /^[A-Z]/ { shown = 0 } shown && (/^           / || /^$/)' |
        sed 's/^ \{11\}//' >"$tmp/example.conf"
    checked=$("$3" --check-config "$tmp/example.conf" 2>&1) ||
        fail "trackd.conf(5): trackd refuses the example: $checked"
fi

if ((failures > 0)); then
    echo "manpages_test: $failures checks failed" >&2
    exit 1
fi
echo "manpages_test: ${#pages[@]} manual pages, each formatted without a warning"
