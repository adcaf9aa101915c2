#!/usr/bin/env bash
# Runs every test: a short run of each fuzz target over the kept corpus, the
# native build, the native build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the tree and fault tests (file steps on worker
# threads) under ThreadSanitizer, and the Windows build under Wine (its unit
# tests, and the end-to-end tests against fileop.exe).
set -euo pipefail
cd "$(dirname "$0")/.."
# Builds first (nothing to do when scripts/setup.sh has just built), so
# that the tests always run against the sources as they are.
for preset in windows native asan tsan fuzz; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
source scripts/wine-session.sh
status=0
scripts/fuzz.sh "${FUZZ_SECONDS:-30}" || status=1
ctest --preset native || status=1
ctest --preset asan || status=1
ctest --preset tsan || status=1
ctest --preset windows || status=1
exit $status
