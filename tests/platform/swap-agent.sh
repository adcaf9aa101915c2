#!/usr/bin/env bash
# Runs a Windows test program (argument 1, with its arguments) under Wine and
# plants the links it asks for. Wine lets no Windows program make a junction
# or a symbolic link, so a test that needs one writes a request into
# FILEOP_SWAP_DIR (three lines: an action, a path and a target, the paths as
# Linux paths) and waits until it is gone. The actions:
#   swap    renames the directory away and puts a Linux link to the target in
#           its place, which Wine shows as a reparse point, as a junction;
#   remove  takes such a link away again (Wine would clean up through it);
#   link    makes a link at a new path;
#   drive   makes the drive letter (the path line, "s") lead to the target
#           directory, a second volume when the target is on another file
#           system; undrive takes the letter away.
set -u
requests=$(mktemp -d)
export FILEOP_SWAP_DIR="$requests"
"${WINE:-/usr/lib/wine/wine64}" "$@" &
test_pid=$!
while kill -0 "$test_pid" 2>/dev/null; do
  for request in "$requests"/*.request; do
    [ -e "$request" ] || continue
    { read -r action; read -r path; read -r target; } <"$request"
    case "$action" in
      swap) mv "$path" "$path.away" && ln -s "$target" "$path" ;;
      remove) [ -L "$path" ] && rm -f "$path" ;;
      link) ln -s "$target" "$path" ;;
      drive) ln -sfn "$target" "${WINEPREFIX:?}/dosdevices/$path:" ;;
      undrive) rm -f "${WINEPREFIX:?}/dosdevices/$path:" ;;
    esac
    rm -f "$request"
  done
  sleep 0.01
done
wait "$test_pid"
status=$?
rm -rf "$requests"
exit "$status"
