#!/usr/bin/env bash
# Runs every test: a short run of each fuzz target over the kept corpus, the
# native build, the native build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the tree and fault tests (file steps on worker
# threads) under ThreadSanitizer, and the Windows build under Wine (its unit
# tests, and the end-to-end tests against fileop.exe). Ends with the list of
# every case that was skipped, with its reason: a run that tested less says
# so.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=(native asan tsan windows)
# Builds first (nothing to do when scripts/setup.sh has just built), so
# that the tests always run against the sources as they are.
for preset in windows native asan tsan fuzz; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
source scripts/wine-session.sh
status=0
scripts/fuzz.sh "${FUZZ_SECONDS:-30}" || status=1
for preset in "${presets[@]}"; do
  # The test programs write their reports here (see tests/CMakeLists.txt);
  # those of an earlier run would be counted again.
  rm -rf "build/$preset/test-results"
  ctest --preset "$preset" || status=1
done

# "PRESET[/PROGRAM] SUITE.CASE: REASON (FILE:LINE)" for each case a report
# marks skipped or not run. GoogleTest writes each case's element on one
# line, its skip message in an attribute on the next.
list_skipped() {
  local preset=$1 report
  for report in "build/$preset/test-results"/*.xml; do
    [ -e "$report" ] || continue
    awk -v preset="$preset" -v program="$(basename "$report" .xml)" '
      function attribute(line, name,    at) {
        if (!match(line, " " name "=\"[^\"]*\"")) return ""
        at = substr(line, RSTART + length(name) + 3, RLENGTH - length(name) - 4)
        gsub(/&#x0A;|&#x0D;/, "\n", at); gsub(/&lt;/, "<", at); gsub(/&gt;/, ">", at)
        gsub(/&quot;/, "\"", at); gsub(/&apos;/, "\047", at); gsub(/&amp;/, "\\&", at)
        return at
      }
      function show(reason,    where, text, label) {
        where = reason; text = ""
        if (index(reason, "\n")) {
          where = substr(reason, 1, index(reason, "\n") - 1)
          text = substr(reason, index(reason, "\n") + 1)
        }
        gsub(/\n/, " ", text); sub(/^\.\//, "", where)
        label = (program == suite "." name) ? preset : preset "/" program
        printf "  %-22s %s.%s: %s (%s)\n", label, suite, name, text, where
      }
      /<testcase / {
        name = attribute($0, "name"); suite = attribute($0, "classname")
        if (attribute($0, "status") == "notrun") {
          label = (program == suite "." name) ? preset : preset "/" program
          printf "  %-22s %s.%s: disabled\n", label, suite, name
        }
      }
      /<skipped message="/ { show(attribute($0, "message")) }
    ' "$report"
  done
}
skipped=$(for preset in "${presets[@]}"; do list_skipped "$preset"; done)
if [ -n "$skipped" ]; then
  echo "Skipped cases ($(wc -l <<<"$skipped")):"
  echo "$skipped"
else
  echo "Skipped cases: none"
fi
exit $status
