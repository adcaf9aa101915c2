#!/usr/bin/env bash
# Runs the Windows fault tests (argument 1) under Wine and plants the links
# they ask for. Wine lets no Windows program make a junction or a symbolic
# link, so a test that needs a directory swapped for a link writes a request
# into FILEOP_SWAP_DIR (three lines: "swap", the directory and the link's
# target, as Linux paths) and waits until it is gone; this agent then has
# renamed the directory away and put a Linux link in its place, which Wine
# shows as a reparse point. "remove" and a path takes such a link away
# again (Wine would clean up through it).
set -u
requests=$(mktemp -d)
export FILEOP_SWAP_DIR="$requests"
"${WINE:-/usr/lib/wine/wine64}" "$@" &
test_pid=$!
while kill -0 "$test_pid" 2>/dev/null; do
  for request in "$requests"/*.request; do
    [ -e "$request" ] || continue
    { read -r action; read -r directory; read -r target; } <"$request"
    case "$action" in
      swap) mv "$directory" "$directory.away" && ln -s "$target" "$directory" ;;
      remove) [ -L "$directory" ] && rm -f "$directory" ;;
    esac
    rm -f "$request"
  done
  sleep 0.01
done
wait "$test_pid"
status=$?
rm -rf "$requests"
exit "$status"
