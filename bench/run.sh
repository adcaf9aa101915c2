#!/usr/bin/env bash
# The benchmarks, in one command (not part of the tests):
#   1. time per entry of the tree-list transformations, 10,000 to 1,000,000
#      entries (Google Benchmark);
#   2. delete, copy and move of a 100,000-file tree and a 1 GiB copy, side by
#      side with rm -rf, cp -r, mv and cp on identical inputs.
# Usage: bench/run.sh [WORKDIR]  (WORKDIR defaults to a tmpfs under /dev/shm;
# pass a directory on disk to measure a real file system).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/native/bench/list_bench ] || { echo "build first: scripts/setup.sh"; exit 1; }
build/native/bench/list_bench
bench/compare.sh "${1:-/dev/shm/fileop-bench}"
