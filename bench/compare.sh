#!/usr/bin/env bash
# Times fileop against its peers on identical inputs, in one run:
#   delete a tree of 100,000 small files in 3 levels   vs  rm -rf
#   copy the same tree                                 vs  cp -r
#   move the same tree (within one file system)        vs  mv, and cp -r + rm -rf
#   copy a 1 GiB file                                  vs  cp
# Each case runs REPS times (default 3), alternating which tool goes first,
# on fresh copies of the inputs made before the timing starts; the median
# wall time of each tool and their ratio are printed.
# Usage: bench/compare.sh [WORKDIR]   (default: build/bench, on the disk)
set -euo pipefail
cd "$(dirname "$0")/.."
FILEOP="$PWD/build/native/fileop"
WORK="${1:-$PWD/build/bench}"
REPS="${REPS:-3}"
[ -x "$FILEOP" ] || { echo "build first: scripts/setup.sh"; exit 1; }
mkdir -p "$WORK"
WORK="$(cd "$WORK" && pwd)"

make_tree() {  # 10 x 100 directories, 100 files of 1 KiB in each: 100,000 files
  local root="$1"
  python3 - "$root" <<'PY'
import os, sys
root = sys.argv[1]
data = b"x" * 1024
for a in range(10):
    for b in range(100):
        d = os.path.join(root, f"a{a}", f"b{b}")
        os.makedirs(d, exist_ok=True)
        for f in range(100):
            with open(os.path.join(d, f"f{f}.txt"), "wb") as out:
                out.write(data)
PY
}

now() { date +%s.%N; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# run_case NAME PREPARE FILEOP_CMD PEER_NAME PEER_CMD: PREPARE makes fresh inputs
# ($1 = a scratch directory) before each timed command.
run_case() {
  local name="$1" prepare="$2" ours="$3" peer_name="$4" peer="$5"
  local a b t0 t1
  : >"$WORK/times.ours"; : >"$WORK/times.peer"
  for rep in $(seq 1 "$REPS"); do
    for who in $( ((rep % 2)) && echo "ours peer" || echo "peer ours"); do
      rm -rf "$WORK/run"; mkdir -p "$WORK/run"
      (cd "$WORK/run" && eval "$prepare")
      sync
      local cmd; [ "$who" = ours ] && cmd="$ours" || cmd="$peer"
      t0=$(now); (cd "$WORK/run" && eval "$cmd"); t1=$(now)
      awk -v a="$t0" -v b="$t1" "BEGIN {print b - a}" >>"$WORK/times.$who"
    done
  done
  a=$(median <"$WORK/times.ours"); b=$(median <"$WORK/times.peer")
  printf '%-34s fileop %8.3f s   %-14s %8.3f s   ratio %5.2f\n' "$name" "$a" "$peer_name" "$b" "$(awk -v a="$a" -v b="$b" "BEGIN {print a / b}")"
}

echo "Preparing inputs in $WORK ..."
if [ ! -d "$WORK/template/tree" ]; then
  rm -rf "$WORK/template"; mkdir -p "$WORK/template"
  make_tree "$WORK/template/tree"
fi
if [ ! -f "$WORK/template/big.bin" ]; then
  head -c $((1 << 30)) /dev/urandom >"$WORK/template/big.bin"
fi
T="$WORK/template"
echo "fileop: $FILEOP; $REPS repetitions; median wall time"
run_case "delete tree (100k files)"   "cp -r $T/tree tree" "$FILEOP d tree"           "rm -rf"      "rm -rf tree"
run_case "copy tree (100k files)"     "cp -r $T/tree tree" "$FILEOP c tree '<>' out"  "cp -r"       "mkdir out && cp -r tree out/"
run_case "move tree (100k files)"     "cp -r $T/tree tree" "$FILEOP m tree '<>' out"  "mv"          "mkdir out && mv tree out/"
run_case "move tree (100k files)"     "cp -r $T/tree tree" "$FILEOP m tree '<>' out"  "cp -r+rm -rf" "mkdir out && cp -r tree out/ && rm -rf tree"
run_case "copy 1 GiB file"            "cp $T/big.bin big.bin" "$FILEOP c big.bin '<>' out" "cp"      "mkdir out && cp big.bin out/"
