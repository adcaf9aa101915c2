#!/usr/bin/env bash
# cmake --install puts the Linux program and its manual page where Linux
# users expect them, and the page renders without a warning.
set -euo pipefail
build_dir="$1"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/fileop" ] || fail "no $prefix/bin/fileop"
page="$prefix/share/man/man1/fileop.1"
[ -f "$page" ] || fail "no manual page at $page"
warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
[ -z "$warnings" ] || fail "the manual page has warnings: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
for heading in NAME SYNOPSIS DESCRIPTION VERBS "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
  grep -q "^$heading" <<<"$text" || fail "the manual page lacks $heading"
done
"$prefix/bin/fileop" make "$prefix/made/deep" && [ -d "$prefix/made/deep" ] || fail "the installed program does not work"
echo "ok: installed to $prefix with its manual page"
