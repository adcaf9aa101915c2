#!/usr/bin/env bash
# Checks the shape of the Windows program: a GUI-subsystem executable that
# imports exactly the DLLs the README names ("it imports only `A.dll`, ...
# and `B.dll`") and carries its string table, version information and an
# asInvoker manifest.
set -euo pipefail
exe="$1"
readme="${2:-$(dirname "$0")/../README.md}"
fail() { echo "FAIL: $*"; exit 1; }
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI-subsystem program"
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u)
# The README's sentence may be wrapped anywhere; it ends at its ")".
sentence=$(tr '\n' ' ' <"$readme" | grep -o 'it imports only [^)]*' | head -n 1 || true)
[ -n "$sentence" ] || fail "the README names no imported DLLs (\"it imports only ...\")"
named=$(grep -o '`[^`]*`' <<<"$sentence" | tr -d '`' | tr '[:upper:]' '[:lower:]' | sort -u)
for dll in $dlls; do
  grep -qxF "$dll" <<<"$named" || fail "imports $dll, which the README does not name"
done
for dll in $named; do
  grep -qxF "$dll" <<<"$dlls" || fail "the README names $dll, which the program does not import"
done
resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
for text in "Application Error" "Unable to create directory" "File access denied" \
            'Exception %s in module %s at %p.\r\n%s%s\r\n' "I/O error %d"; do
  grep -qF "$text" <<<"$resources" || fail "string table lacks: $text"
done
grep -q 'VERSIONINFO' <<<"$resources" || fail "no version information"
grep -q 'OriginalFilename' <<<"$resources" || fail "version information incomplete"
grep -aq 'level="asInvoker"' "$exe" || fail "no asInvoker manifest"
if x86_64-w64-mingw32-objdump -t "$exe" 2>/dev/null | grep -q 'SYMBOL TABLE' &&
   [ "$(x86_64-w64-mingw32-objdump -t "$exe" | wc -l)" -gt 10 ]; then
  fail "not stripped"
fi
echo "ok: $(stat -c %s "$exe") bytes; imports: $(echo $dlls)"
