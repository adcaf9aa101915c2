#!/usr/bin/env bash
# The benchmarks, in one command (not part of the tests):
#   1. time per entry of the tree-list transformations, 10,000 to 1,000,000
#      entries (Google Benchmark);
#   2. bench/suite.sh: every verb side by side with cp -r, rsync -a, rm -rf
#      and mv on tmpfs and on fresh ext4 images, system calls per entry,
#      peak memory, scaling to a million entries. Its settings (REPS, CASES,
#      FS, SIZES, SCALING) pass through.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/native/bench/list_bench ] || { echo "build first: scripts/setup.sh"; exit 1; }
build/native/bench/list_bench
bench/suite.sh
