#!/usr/bin/env bash
# Runs the examples of docs/calling.md against the real fileop.exe (argument
# 1) under Wine: the batch files with Wine's cmd, the NSIS lines inside a
# silent amd64 installer built with makensis, and the C program built with
# mingw-w64; for the unattended examples, their logs are read as well. Each works in the fixed places the guide names (C:\Program
# Files\App, C:\data, C:\backup) of the test prefix, and its files and exit
# codes are checked. Needs the Wine session of scripts/test.sh.
set -euo pipefail
program="$1"
here="$(cd "$(dirname "$0")" && pwd)"
guide="$here/../../docs/calling.md"
: "${WINEPREFIX:?run through scripts/test.sh, which prepares Wine}"
WINE="${WINE:-/usr/lib/wine/wine64}"
export WINEDEBUG=-all LC_ALL=C.UTF-8
drive="$WINEPREFIX/drive_c"
work=$(mktemp -d)
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_file() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ] || fail "$1 should hold '$2'"; }
expect_gone() { [ ! -e "$1" ] || fail "$1 should be gone"; }

# The block of the given language that follows the guide's marker "run by
# tests/guide: TAG..." (TAG tells apart the blocks of one language).
block() {
  awk -v lang="$1" -v tag="<!-- run by tests/guide: $2" '
    index($0, tag) == 1 { marked = 1; next }
    /<!-- run by tests\/guide/ { marked = 0; next }
    marked && $0 == "```" lang { inside = 1; next }
    inside && $0 == "```" { exit }
    inside { print }' "$guide"
}

appdata_unix=$("$WINE" winepath -u "$("$WINE" cmd /c echo %APPDATA% | tr -d '\r')" | tr -d '\r')
temp_unix=$("$WINE" winepath -u "$("$WINE" cmd /c echo %TEMP% | tr -d '\r')" | tr -d '\r')
clean() {
  rm -rf "$drive/Program Files/App" "$drive/data" "$drive/backup" "$drive/guide" "$drive/GuideApp" \
         "$appdata_unix/App" "$temp_unix/app-setup.log"
}
trap 'clean; rm -rf "$work"' EXIT
setup() {
  clean
  mkdir -p "$drive/Program Files/App" "$drive/data" "$appdata_unix/App/cache" "$drive/guide"
  cp "$program" "$drive/Program Files/App/fileop.exe"
  printf A >"$drive/data/a.txt"; printf B >"$drive/data/b.txt"; printf L >"$drive/data/c.log"
  printf X >"$appdata_unix/App/cache/x.tmp"
}

# --- The batch file ---------------------------------------------------------
setup
block bat "a batch file" | sed 's/$/\r/' >"$drive/guide/call.bat"
[ -s "$drive/guide/call.bat" ] || fail "no batch block in the guide"
set +e
output=$("$WINE" cmd /c 'C:\guide\call.bat' 2>&1 | tr -d '\r')
status=$?
set -e
[ "$status" = 0 ] || fail "the batch file ended with $status: $output"
grep -q "fileop ended with 0" <<<"$output" || fail "ERRORLEVEL after start /wait: $output"
expect_file "$drive/backup/data/a.txt" A
expect_file "$drive/backup/data/b.txt" B
[ ! -e "$drive/backup/data/c.log" ] || fail "the mask copied c.log"
expect_gone "$appdata_unix/App/cache"
expect_file "$drive/backup/logs/c.log" L
expect_gone "$drive/data/c.log"

# --- NSIS -------------------------------------------------------------------
# Builds a silent installer whose Section runs the guide's NSIS block (in
# $work/nsis/guide.nsh) and writes the codes in $0 and $1 to codes.txt, and
# runs it.
run_installer() {
  printf 'one' >"$work/nsis/defaults/app.ini"; printf 'two' >"$work/nsis/defaults/other.ini"
  cp "$program" "$work/nsis/fileop.exe"
  cat >"$work/nsis/setup.nsi" <<'NSI'
Unicode true
Target amd64-unicode
OutFile "setup.exe"
InstallDir "C:\GuideApp"
RequestExecutionLevel user
SilentInstall silent
Section
  SetOutPath "$INSTDIR"
  File "fileop.exe"
  SetOutPath "$INSTDIR\defaults"
  File "defaults\app.ini"
  File "defaults\other.ini"
  !include "guide.nsh"
  FileOpen $9 "$INSTDIR\codes.txt" w
  FileWrite $9 "$0 $1"
  FileClose $9
SectionEnd
NSI
  (cd "$work/nsis" && makensis -V2 setup.nsi >/dev/null) || fail "makensis could not build the installer"
  set +e
  "$WINE" "$work/nsis/setup.exe" /S
  status=$?
  set -e
  [ "$status" = 0 ] || fail "the installer ended with $status"
}

setup
mkdir -p "$work/nsis/defaults"
block nsis "inside a Section" >"$work/nsis/guide.nsh"
[ -s "$work/nsis/guide.nsh" ] || fail "no NSIS block in the guide"
run_installer
expect_file "$drive/GuideApp/codes.txt" "0 0"
expect_file "$appdata_unix/App/app.ini" one
expect_file "$appdata_unix/App/other.ini" two
expect_gone "$appdata_unix/App/cache"

# --- C ----------------------------------------------------------------------
setup
block c "compiled" >"$work/call.c"
x86_64-w64-mingw32-gcc-posix -O1 -static -o "$work/call.exe" "$work/call.c" || fail "the C example does not build"
set +e
"$WINE" "$work/call.exe"
status=$?
set -e
[ "$status" = 0 ] || fail "the C example ended with $status"
expect_file "$drive/backup/fromc/a.txt" A
expect_file "$drive/backup/fromc/b.txt" B

# --- Unattended runs: the log, the strict code, the dry run ----------------
# Each log line must be a JSON object; jq prints the fields asked for.
log_rows() { jq -r "$2" "$1" 2>/dev/null || fail "$1 is not a log of JSON lines"; }
expect_row() { grep -qxF "$2" <<<"$1" || fail "the log lacks [$2] in: $1"; }

setup
mkdir -p "$drive/backup/data" "$drive/backup/old/sub"
printf old >"$drive/backup/data/b.txt"; chmod a-w "$drive/backup/data/b.txt"
printf O >"$drive/backup/old/o.txt"; printf P >"$drive/backup/old/sub/p.txt"
block bat "unattended" | sed 's/$/\r/' >"$drive/guide/unattended.bat"
[ -s "$drive/guide/unattended.bat" ] || fail "no unattended batch block in the guide"
set +e
output=$("$WINE" cmd /c 'C:\guide\unattended.bat' 2>&1 | tr -d '\r')
status=$?
set -e
[ "$status" = 0 ] || fail "the unattended batch file ended with $status: $output"
grep -q "Some files were not copied" <<<"$output" || fail "exit code 2 was not seen: $output"
expect_file "$drive/backup/data/a.txt" A
expect_file "$drive/backup/data/b.txt" old
expect_file "$drive/backup/old/sub/p.txt" P
rows=$(log_rows "$temp_unix/app-setup.log" '[.step, .path, (.to // ""), .result, (.dry_run // false)] | map(tostring) | join("\t")')
expect_row "$rows" $'copied\tC:\\data\\a.txt\tC:\\backup\\data\\a.txt\tok\tfalse'
expect_row "$rows" $'copied\tC:\\data\\b.txt\tC:\\backup\\data\\b.txt\tfailed\tfalse'
expect_row "$rows" $'deleted\tC:\\backup\\old\\sub\\p.txt\t\tok\ttrue'
expect_row "$rows" $'removed directory\tC:\\backup\\old\\sub\t\tok\ttrue'
exits=$(log_rows "$temp_unix/app-setup.log" 'select(.step == "summary") | "\(.verb) \(.exit)"' | tr '\n' ' ')
[ "$exits" = "c 2 d 0 " ] || fail "the summaries give [$exits]"
chmod u+w "$drive/backup/data/b.txt"

setup
rm -rf "$work/nsis" && mkdir -p "$work/nsis/defaults"
printf old >"$appdata_unix/App/other.ini"; chmod a-w "$appdata_unix/App/other.ini"
block nsis "unattended" >"$work/nsis/guide.nsh"
[ -s "$work/nsis/guide.nsh" ] || fail "no unattended NSIS block in the guide"
run_installer
expect_file "$drive/GuideApp/codes.txt" "2 0"
expect_file "$appdata_unix/App/app.ini" one
expect_file "$appdata_unix/App/other.ini" old
expect_file "$appdata_unix/App/cache/x.tmp" X
rows=$(log_rows "$drive/GuideApp/fileop.log" '[.step, .result, (.dry_run // false)] | map(tostring) | join("\t")' | sort | uniq -c | tr -s ' ')
expect_row "$rows" $' 1 copied\tfailed\tfalse'
expect_row "$rows" $' 1 copied\tok\tfalse'
expect_row "$rows" $' 1 deleted\tok\ttrue'
chmod u+w "$appdata_unix/App/other.ini"

[ "$failures" = 0 ] && echo "ok: the guide's batch files, NSIS lines and C program work"
exit $(( failures > 0 ))
