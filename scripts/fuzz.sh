#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 30), starting from the
# corpus kept in tests/fuzz/corpus. New inputs go to a scratch directory;
# with --keep, the ones that add coverage are merged back into the corpus.
# Usage: scripts/fuzz.sh [SECONDS] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
keep="${2:-}"
[ -x build/fuzz/fuzz_text ] || { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz; }
status=0
for target in cmdline text mask expand; do
  scratch=$(mktemp -d)
  log="build/fuzz/fuzz_${target}.log"
  if build/fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len=1024 -timeout=10 \
       -artifact_prefix=build/fuzz/ "$scratch" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz_$target: $(grep -E '^Done' "$log")"
  else
    echo "fuzz_$target: FAILED"; grep -E 'check failed|ERROR|SUMMARY|runtime error' "$log" | head -5
    status=1
  fi
  if [ "$keep" = "--keep" ]; then
    build/fuzz/fuzz_"$target" -merge=1 "tests/fuzz/corpus/$target" "$scratch" >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
done
exit $status
