#!/usr/bin/env bash
# fileop side by side with its peers (cp -r, rsync -a, rm -rf, mv), in one
# run. Needs root (it mounts a tmpfs and ext4 images on loop devices) and the
# native build (scripts/setup.sh). Not part of the tests.
#
#   bench/suite.sh            everything: about an hour
#   REPS=3 CASES='copy-T100k delete-T100k' FS=tmpfs SCALING=no bench/suite.sh
#   FILEOP=path/to/another/fileop ONE_CPU=no ...   (another build; no 1cpu rows)
#
# For each case and file system: REPS repetitions (default 5) in the order
# A B B A, each timed run with a fresh destination (and, on ext4, a freshly
# made file system, since ext4 avoids reusing inodes freed moments ago);
# the source is put in place and read once before the clock starts. Printed
# per case: median and minimum wall time of each tool, the ratios
# fileop / peer, the median CPU seconds (user + system) of both, fileop's
# peak RSS, and system calls per entry of both tools (strace -c -f, one
# extra run each on tmpfs). The peer "1cpu" is fileop itself held to one
# processor (taskset -c 0), which runs its file steps in order: that row
# shows what the worker threads gain, and what they cost in CPU time.
# Then the scaling runs: copy and delete of the T and FLAT shapes from 10k to
# 1M entries (CPU time, exponent b = ln(t_200k / t_10k) / ln 20, peak RSS),
# and instructions per entry of the list phase at 10k and 1M (callgrind).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
BIN="$ROOT/build/native"
FILEOP="${FILEOP:-$BIN/fileop}"  # another build can be measured the same way
FIXTURE="$BIN/bench/make_fixture"
LIST_PHASE="$BIN/bench/list_phase"
REPS="${REPS:-5}"
FS_LIST="${FS:-tmpfs ext4}"
SCALING="${SCALING:-yes}"
SIZES="${SIZES:-10k 25k 50k 100k 200k 1M}"
WORK="${WORK:-$ROOT/build/bench}"
ALL_CASES="copy-T100k copy-FLAT200k copy-FLAT200k-mask copy-NM copy-BIG copy-DEEP
delete-T100k delete-FLAT200k delete-NM delete-DEEP move-T100k move-T100k-across"
CASES="${CASES:-$ALL_CASES}"

[ "$(id -u)" = 0 ] || { echo "bench/suite.sh mounts file systems: run it as root"; exit 1; }
for tool in "$FILEOP" "$FIXTURE" "$LIST_PHASE"; do
  [ -x "$tool" ] || { echo "missing $tool: run scripts/setup.sh first"; exit 1; }
done
missing=()
for pkg in strace rsync valgrind e2fsprogs time; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

mkdir -p "$WORK"
MNT="$WORK/mnt"
TMPFS="$MNT/tmpfs"      # the floor: memory only
EXT4="$MNT/ext4"        # a fresh ext4 image per timed run
# The image itself lives in memory too: the file system's own work is
# measured, not the virtual disk under it.
IMAGE="$MNT/tmpfs/ext4.img"
mkdir -p "$TMPFS" "$EXT4"
cleanup() {
  umount -l "$EXT4" 2>/dev/null || true
  umount -l "$TMPFS" 2>/dev/null || true
  rm -f "$IMAGE"
}
trap cleanup EXIT
cleanup
mount -t tmpfs -o size=18g,nr_inodes=0 fileop-bench "$TMPFS"
TEMPLATES="$TMPFS/templates"
mkdir -p "$TEMPLATES"

# Inputs, made once on the tmpfs.
template() {  # template NAME: prints its path, making it first if needed
  local name="$1" path="$TEMPLATES/$1"
  if [ ! -e "$path" ]; then
    case "$name" in
      T*k) "$FIXTURE" tree $(( ${name:1:-1} * 1000 )) "$path" ;;
      T1M) "$FIXTURE" tree 1000000 "$path" ;;
      FLAT*k) "$FIXTURE" flat $(( ${name:4:-1} * 1000 )) "$path" ;;
      FLAT1M) "$FIXTURE" flat 1000000 "$path" ;;
      NM) "$FIXTURE" nm 50000 "$path" ;;
      BIG) "$FIXTURE" big 8 "$path" ;;
      DEEP) "$FIXTURE" deep 2000 "$path" ;;
    esac
  fi
  echo "$path"
}
entries_of() { find "$1" -mindepth 1 | wc -l; }

fresh_ext4() {  # a new, empty ext4 file system at $EXT4 (room for BIG twice)
  umount "$EXT4" 2>/dev/null || true
  rm -f "$IMAGE"
  rm -rf "$TMPFS/run"
  truncate -s 6G "$IMAGE"
  # Inode tables written now, so that no background initialisation runs
  # while a tool is timed.
  mkfs.ext4 -q -F -N 450000 -E lazy_itable_init=0,lazy_journal_init=0 "$IMAGE"
  mount -o loop "$IMAGE" "$EXT4"
}

# Where a case runs: DIR is the file system root for this run.
prepare_run() {  # prepare_run FS: sets RUN (empty, on a fresh file system for ext4)
  if [ "$1" = ext4 ]; then fresh_ext4; RUN="$EXT4/run"; else RUN="$TMPFS/run"; rm -rf "$RUN"; fi
  mkdir -p "$RUN"
}

# The command of TOOL for CASE, run in $RUN where the input is "src/<shape>"
# and the destination "dst" (existing, empty).
command_for() {  # command_for CASE TOOL
  local case="$1" tool="$2" shape="${1#*-}"
  shape="${shape%-mask}"; shape="${shape%-across}"
  local src="src/$shape"
  case "$case:$tool" in
    *-mask:fileop) echo "'$FILEOP' c '$src/*.txt' '<>' dst" ;;
    *-mask:cp) echo "find '$src' -maxdepth 1 -name '*.txt' -exec cp -t dst {} +" ;;
    copy-*:fileop) echo "'$FILEOP' c '$src' '<>' dst" ;;
    copy-*:cp) echo "cp -r '$src' dst/" ;;
    copy-*:rsync) echo "rsync -a '$src' dst/" ;;
    delete-*:fileop) echo "'$FILEOP' d '$src'" ;;
    delete-*:rm) echo "rm -rf '$src'" ;;
    move-*-across:fileop) echo "'$FILEOP' m '$src' '<>' '$EXT4/run/dst'" ;;
    move-*-across:mv) echo "mv '$src' '$EXT4/run/dst/'" ;;
    move-*:fileop) echo "'$FILEOP' m '$src' '<>' dst" ;;
    move-*:mv) echo "mv '$src' dst/" ;;
    *:1cpu) echo "taskset -c 0 $(command_for "$case" fileop)" ;;
  esac
}
peers_for() {
  local one=1cpu
  [ "${ONE_CPU:-yes}" = yes ] || one=""
  case "$1" in
    *-mask) echo "cp $one" ;;
    copy-T100k|copy-NM) echo "cp rsync $one" ;;
    copy-*) echo "cp $one" ;;
    delete-*) echo "rm $one" ;;
    move-*) echo "mv $one" ;;
  esac
}
shape_of() { local s="${1#*-}"; s="${s%-mask}"; echo "${s%-across}"; }

# This machine is a virtual one that hands freed memory back to its host:
# touching memory again then costs a fault in the host, by the page, and
# whichever tool meets such memory looks slow. Writing and freeing about as
# much memory as the run will need, just before it, lets both tools start
# on memory the guest holds.
prime_memory() {  # prime_memory SHAPE, or prime_memory ENTRIES (about 6 KiB each)
  local mib
  case "$1" in
    BIG) mib=2600 ;; FLAT200k) mib=1200 ;; T100k) mib=700 ;; NM) mib=350 ;; DEEP) mib=100 ;;
    *) mib=$(( $1 * 6 / 1024 + 64 )) ;;
  esac
  dd if=/dev/zero of="$TMPFS/prime" bs=1M count="$mib" status=none
  rm -f "$TMPFS/prime"
}

# One timed run; appends "wall cpu rss" to FILE.
timed_run() {  # timed_run CASE TOOL FS FILE
  local case="$1" tool="$2" fs="$3" out="$4" shape
  shape="$(shape_of "$case")"
  local template; template="$(template "$shape")"
  if [[ "$case" == *-across ]]; then
    # Source on the tmpfs, target on a fresh ext4 (the disk).
    fresh_ext4; mkdir -p "$EXT4/run/dst"
    RUN="$TMPFS/run"; rm -rf "$RUN"; mkdir -p "$RUN/src"
  else
    prepare_run "$fs"; mkdir -p "$RUN/src" "$RUN/dst"
  fi
  cp -a "$template" "$RUN/src/"
  sync
  find "$RUN/src" >/dev/null          # warm: every name and inode in memory
  prime_memory "$shape"
  local cmd; cmd="$(command_for "$case" "$tool")"
  (cd "$RUN" && /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.out" bash -c "$cmd") >/dev/null 2>&1
  awk '{print $1, $2 + $3, $4}' "$WORK/time.out" >>"$out"
}

stat_of() {  # stat_of FILE COLUMN median|min
  awk -v c="$2" '{print $c}' "$1" | sort -g | awk -v w="$3" '{v[NR]=$1} END {print (w == "min") ? v[1] : v[int((NR+1)/2)]}'
}

syscalls_per_entry() {  # syscalls_per_entry CASE TOOL (on tmpfs)
  local case="$1" tool="$2" shape template entries
  shape="$(shape_of "$case")"; template="$(template "$shape")"
  if [[ "$case" == *-across ]]; then
    fresh_ext4; mkdir -p "$EXT4/run/dst"; RUN="$TMPFS/run"; rm -rf "$RUN"; mkdir -p "$RUN/src"
  else
    prepare_run tmpfs; mkdir -p "$RUN/src" "$RUN/dst"
  fi
  cp -a "$template" "$RUN/src/"
  if [[ "$case" == *-mask ]]; then entries=$(find "$RUN/src/$shape" -maxdepth 1 -name '*.txt' | wc -l)
  else entries=$(entries_of "$RUN/src/$shape"); fi
  local cmd; cmd="$(command_for "$case" "$tool")"
  (cd "$RUN" && strace -c -f -o "$WORK/strace.out" bash -c "$cmd") >/dev/null 2>&1
  local calls; calls=$(awk '$NF == "total" {print $(NF-2)}' "$WORK/strace.out")
  # The shell that starts the tool makes some calls of its own; they are
  # negligible against thousands of entries.
  awk -v c="$calls" -v n="$entries" 'BEGIN {printf "%.2f", c / n}'
}

# A peer faster than the clock's 10 ms (mv renames a tree in one call) has
# no meaningful ratio.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else printf "n/a"}'; }

echo "fileop benchmark suite: $REPS repetitions (A B B A), median and minimum wall time"
echo "machine: $(nproc) cores, kernel $(uname -r); $(date -u +%F)"
printf '\n%-22s %-5s %-6s %9s %9s %9s %9s %7s %7s %8s %8s %8s %9s %9s\n' \
  case fs peer "ours med" "peer med" "ours min" "peer min" "r med" "r min" "ours cpu" "peer cpu" "RSS MiB" "calls/e" "peer c/e"
for case in $CASES; do
  for fs in $FS_LIST; do
    [[ "$case" == *-across && "$fs" == ext4 ]] && continue  # across runs tmpfs -> ext4 once
    for peer in $(peers_for "$case"); do
      : >"$WORK/t.ours"; : >"$WORK/t.peer"
      for rep in $(seq 1 "$REPS"); do
        if ((rep % 2)); then order="fileop $peer"; else order="$peer fileop"; fi
        for tool in $order; do
          if [ "$tool" = fileop ]; then timed_run "$case" fileop "$fs" "$WORK/t.ours"
          else timed_run "$case" "$peer" "$fs" "$WORK/t.peer"; fi
        done
      done
      om=$(stat_of "$WORK/t.ours" 1 median); pm=$(stat_of "$WORK/t.peer" 1 median)
      on=$(stat_of "$WORK/t.ours" 1 min); pn=$(stat_of "$WORK/t.peer" 1 min)
      oc=$(stat_of "$WORK/t.ours" 2 median); pcpu=$(stat_of "$WORK/t.peer" 2 median)
      rss=$(awk '{if ($3 > m) m = $3} END {printf "%.1f", m / 1024}' "$WORK/t.ours")
      if [ "$peer" = 1cpu ]; then
        sc="-"; pc="-"
      elif [ "$fs" = tmpfs ] || [[ "$case" == *-across ]]; then
        sc=$(syscalls_per_entry "$case" fileop); pc=$(syscalls_per_entry "$case" "$peer")
      else
        sc="-"; pc="-"
      fi
      label="$fs"; [[ "$case" == *-across ]] && label="t>e4"
      printf '%-22s %-5s %-6s %9.3f %9.3f %9.3f %9.3f %7s %7s %8.2f %8.2f %8s %9s %9s\n' \
        "$case" "$label" "$peer" "$om" "$pm" "$on" "$pn" "$(ratio "$om" "$pm")" "$(ratio "$on" "$pn")" "$oc" "$pcpu" "$rss" "$sc" "$pc"
    done
  done
done

[ "$SCALING" = yes ] || exit 0

# The scaling runs need the memory.
umount "$EXT4" 2>/dev/null || true
rm -rf "$IMAGE" "$TMPFS/run" "$TEMPLATES"
mkdir -p "$TEMPLATES/empty"
base=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$LIST_PHASE" "$TEMPLATES/empty" 2>&1 |
       awk '/refs:/ {gsub(",", "", $NF); print $NF}')
instructions_per_entry() {  # instructions_per_entry DIR: of the list phase, callgrind
  local result n ir
  result=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$LIST_PHASE" "$1" 2>&1)
  n=$(echo "$result" | grep -E '^[0-9]+$')
  ir=$(echo "$result" | awk '/refs:/ {gsub(",", "", $NF); print $NF}')
  awk -v i="$ir" -v b="$base" -v n="$n" 'BEGIN {printf "%.0f (%d entries)", (i - b) / n, n}'
}

echo
echo "Scaling on tmpfs: CPU seconds (user + system) of fileop, best of 2 (1 at 1M)"
printf '%-8s %-6s %10s %10s %10s\n' shape size copy delete "RSS MiB"
declare -A instructions=()
for family in T FLAT; do
  declare -A copy_t=() delete_t=()
  for size in $SIZES; do
    shape="$family$size"; template="$(template "$shape")"
    tries=2; [ "$size" = 1M ] && tries=1
    : >"$WORK/t.copy"; : >"$WORK/t.delete"
    entries=$(entries_of "$template")
    for _ in $(seq 1 $tries); do
      prepare_run tmpfs; mkdir -p "$RUN/dst"
      prime_memory "$entries"
      (cd "$RUN" && /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.out" "$FILEOP" c "$template" '<>' dst)
      awk '{print $1, $2 + $3, $4}' "$WORK/time.out" >>"$WORK/t.copy"
      (cd "$RUN" && /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.out" "$FILEOP" d "dst/$shape")
      awk '{print $1, $2 + $3, $4}' "$WORK/time.out" >>"$WORK/t.delete"
    done
    copy_t[$size]=$(stat_of "$WORK/t.copy" 2 min); delete_t[$size]=$(stat_of "$WORK/t.delete" 2 min)
    rss=$(awk '{if ($3 > m) m = $3} END {printf "%.1f", m / 1024}' "$WORK/t.copy")
    printf '%-8s %-6s %10.3f %10.3f %10s\n' "$family" "$size" "${copy_t[$size]}" "${delete_t[$size]}" "$rss"
    if [ "$family" = T ] && { [ "$size" = 10k ] || [ "$size" = 1M ]; }; then
      instructions["$size"]="$(instructions_per_entry "$template")"
    fi
    rm -rf "$template" "$RUN"  # a million files take gigabytes of memory
  done
  [ -n "${copy_t[200k]:-}" ] && [ -n "${copy_t[10k]:-}" ] &&
  printf 'exponent b (10k to 200k), %s: copy %.3f, delete %.3f\n' "$family" \
    "$(awk -v a="${copy_t[200k]}" -v b="${copy_t[10k]}" 'BEGIN {print log(a / b) / log(20)}')" \
    "$(awk -v a="${delete_t[200k]}" -v b="${delete_t[10k]}" 'BEGIN {print log(a / b) / log(20)}')"
  unset copy_t delete_t
done

echo
echo "Instructions per entry of the list phase (callgrind; an empty directory's run subtracted)"
echo "T10k: ${instructions[10k]:-not run}"
echo "T1M:  ${instructions[1M]:-not run}"
