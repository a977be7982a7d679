#!/usr/bin/env bash
# bench/run.sh N [CORPUS_DIR]
#
# Measures Ombrix side by side with MiniDLNA (Debian package minidlna) on the
# same generated corpus of N files, in one run, and writes the table as
# Markdown to bench/results/<date>-N<N>.md.
#
# Phases, each daemon in turn (never two heavy phases at once):
#   build    first build / full scan into a fresh catalogue
#   idle     CPU time of one idle service cycle (find + diff, no change) on
#            the corpus and on trees of exactly 10,000 and 100,000 paths
#   check    restart with the catalogue in place and nothing changed
#   check1   restart after 1% of the files were added and 1% removed
#   adjust   100 files added and 100 removed while the daemon runs; timed
#            to the "Adjust DB Time = " record (MiniDLNA: inotify, to the
#            moment its database shows the change)
# with the peak memory (VmHWM) of the daemon and of its children (Ombrix's
# analysis helpers, find, diff; MiniDLNA's scanner) in each phase, the peak of
# the resident and the proportional memory (Rss and Pss from smaps_rollup)
# summed over the daemon and every process below it, the footprint a minute
# after the first build (idle, between cycles), and the size of the
# catalogue file.
#
# BASELINE=COMMIT also builds that commit (a clean export) and measures its
# first build, idle footprint, full check and adjustment in the same run,
# right before Ombrix's.
#
# Ombrix runs as `DLNAHOME=$home Ombrix 4 CORPUS/` with $home/diff a link to
# /usr/bin/diff, under libfaketime (clock +2h, stat() real) so that a freshly
# copied corpus does not trigger the size watch; stopped with SIGTERM. The
# harness refuses to start while a /tmp/sleep marker would pause the daemon.
# MiniDLNA runs in its own network namespace with only the loopback
# interface up.
#
# The corpus (bench/make_corpus.sh) is reused when CORPUS_DIR exists and is
# not empty; otherwise it is generated there (default build/bench-corpus/N<N>).
# The phases change the corpus and put it back afterwards (also on error).
#
# Env: SKIP_INSTALL=1 (no apt-get), SKIP_BUILD=1 (use build/bench as it is),
#      FROM_HEAD=1 (build the last commit, not the working tree),
#      SKIP_CHECK1=1 (no Ombrix restart after the 1% change), MINIDLNA_FIRST=1,
#      SKIP_MINIDLNA=1, SKIP_OMBRIX=1, SKIP_IDLE_TREES=1, KEEP=1 (keep the work directories),
#      BASELINE=COMMIT (an earlier Ombrix: first build, idle footprint, check, adjustment),
#      IDLE_CYCLES (2), TIMEOUT seconds per phase (7200), PORT (18200),
#      RESULTS_DIR (bench/results), FAKE_OFFSET (+2h).
set -euo pipefail
if [[ -v LC_ALL ]]; then DAEMON_LOCALE=(LC_ALL="$LC_ALL"); else DAEMON_LOCALE=(-u LC_ALL); fi
export LC_ALL=C TZ=UTC

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
usage() { echo "usage: $0 N [CORPUS_DIR]" >&2; exit 2; }
[[ $# -ge 1 && $# -le 2 && $1 =~ ^[0-9]+$ ]] && (( 10#$1 >= 100 )) || usage
N=$((10#$1))
CORPUS=${2:-$ROOT/build/bench-corpus/N$N}
IDLE_CYCLES=${IDLE_CYCLES:-2} TIMEOUT=${TIMEOUT:-7200} PORT=${PORT:-18200} KEEP=${KEEP:-0}
RESULTS_DIR=${RESULTS_DIR:-$HERE/results}
FAKE_OFFSET=${FAKE_OFFSET:-+2h}
WORK=$ROOT/build/bench-run
INTERVAL=15                      # the daemon's fixed service cycle, seconds
# shellcheck source=bench/common.sh
. "$HERE/common.sh"
install_packages
unshare --net true 2>/dev/null || die "cannot create a network namespace (unshare --net; needs root)"



# ------------------------------------------------------------------ build
BIN=$ROOT/build/bench/Ombrix
# The commit measured, and whether the daemon's sources differed from it.
# FROM_HEAD=1 builds the last commit as it is (a clean export), whatever the
# working tree holds.
COMMIT=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
SRC=$ROOT
if [[ ${FROM_HEAD:-0} == 1 ]]; then
  SRC=$ROOT/build/bench-src
  rm -rf "$SRC"; mkdir -p "$SRC"
  git -C "$ROOT" archive "$COMMIT" | tar -x -C "$SRC"
elif [[ -n $(git -C "$ROOT" status --porcelain -- src CMakeLists.txt 2>/dev/null) ]]; then
  COMMIT+=" with local changes in src/"
fi
if [[ ${SKIP_BUILD:-0} != 1 ]]; then
  say "building the Release tree build/bench from $SRC ($COMMIT)"
  rm -f "$ROOT/build/bench/CMakeCache.txt"
  cmake -S "$SRC" -B "$ROOT/build/bench" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build/bench" -j "$(nproc)" >/dev/null
else
  COMMIT="unknown (SKIP_BUILD=1; HEAD is $COMMIT)"
fi
[[ -x $BIN ]] || die "$BIN was not built"

# The earlier commit, built the same way from a clean export.
BASE_BIN="" BASE_COMMIT=""
if [[ -n ${BASELINE:-} ]]; then
  BASE_COMMIT=$(git -C "$ROOT" rev-parse --short "$BASELINE") || die "no commit $BASELINE"
  rm -rf "$ROOT/build/bench-baseline-src"; mkdir -p "$ROOT/build/bench-baseline-src"
  git -C "$ROOT" archive "$BASE_COMMIT" | tar -x -C "$ROOT/build/bench-baseline-src"
  say "building the Release tree build/bench-baseline from $BASE_COMMIT"
  rm -f "$ROOT/build/bench-baseline/CMakeCache.txt"
  cmake -S "$ROOT/build/bench-baseline-src" -B "$ROOT/build/bench-baseline" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build/bench-baseline" -j "$(nproc)" >/dev/null
  BASE_BIN=$ROOT/build/bench-baseline/Ombrix
  [[ -x $BASE_BIN ]] || die "$BASE_BIN was not built"
fi

# ------------------------------------------------------------------ faketime self-check
# The clock must run ahead while stat() stays real, or every fresh copy is
# watched for two seconds; sleeps must stay real, or the cycle is not 15 s.
check_faketime() {
  local probe=$WORK/faketime-probe real fake c1 c2 t0 t1
  : > "$probe"
  real=$(date +%s); fake=$(env "${FAKETIME_ENV[@]}" date +%s)
  c1=$(stat -c %Z "$probe"); c2=$(env "${FAKETIME_ENV[@]}" stat -c %Z "$probe")
  t0=$EPOCHREALTIME; env "${FAKETIME_ENV[@]}" sleep 0.5; t1=$EPOCHREALTIME
  rm -f "$probe"
  (( fake - real > 1800 )) || die "libfaketime does not move the clock ahead (real $real, faked $fake)"
  (( c1 == c2 )) || die "libfaketime shifts stat() times (NO_FAKE_STAT=1 not honoured)"
  awk -v a="$t0" -v b="$t1" 'BEGIN { exit !(b - a >= 0.4 && b - a < 2) }' || die "sleep under libfaketime is not real time"
}

# ------------------------------------------------------------------ corpus
CORPUS_ADDED_PREFIX=bench-added-
prepare_corpus() {
  if [[ -d $CORPUS && -n $(ls -A "$CORPUS" 2>/dev/null) ]]; then
    say "reusing the corpus $CORPUS"
  else
    say "generating a corpus of $N files in $CORPUS"
    mkdir -p "$(dirname "$CORPUS")"
    "$HERE/make_corpus.sh" "$N" "$CORPUS" >&2
  fi
  CORPUS=$(cd "$CORPUS" && pwd)
  STASH=$CORPUS.bench-stash
  restore_corpus                                    # after an interrupted run
  NFILES=$(find "$CORPUS" -type f | wc -l)
  NPATHS=$(find "$CORPUS/" -follow | wc -l)
  (( NFILES == N )) || say "warning: the corpus holds $NFILES files, not $N"
  COMPOSITION=$(find "$CORPUS" -type f -printf '%f\n' | sed -n 's/.*\.\([^.]*\)$/\1/p' | tr 'A-Z' 'a-z' |
    sort | uniq -c | sort -rn | awk '{printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2} END {print ""}')
  NHIDDEN=$(find "$CORPUS" -type f -path '*/.*' | wc -l)
  NDIRS=$(find "$CORPUS" -mindepth 1 -type d | wc -l)
  NBROKEN=$(find "$CORPUS" -type f \( -name 'Broken *' -o -size -3001c -name '*.[jJ][pP]*[gG]' \) | wc -l)
  CORPUS_MB=$(( $(du -sb "$CORPUS" | cut -f1) / 1000000 ))
  DEPTHS=$(find "$CORPUS" -type f -printf '%d\n' | sort -n | uniq -c | awk '{printf "%s%s at depth %s", (NR > 1 ? ", " : ""), $1, $2 - 1} END {print ""}')
  # Catalogued kinds outside hidden paths: what Ombrix is expected to enter.
  NMEDIA=$(find "$CORPUS" -mindepth 1 -name '.*' -prune -o -type f -print |
    grep -ciE '\.(mp3|ogg|flac|wma|jpe?g|png|mpg|ts|wmv|avi|mp4)$' || true)
}

# Visible files, sorted: the pool the changes are drawn from.
visible_files() { find "$CORPUS" -mindepth 1 -name '.*' -prune -o -type f -print | grep -v "/$CORPUS_ADDED_PREFIX" | sort; }

# make_change TAG COUNT: moves COUNT evenly spaced visible files to the stash
# and adds COUNT copies of others (new names, same folders). Lists the paths
# in $WORK/change-TAG.{removed,added}. Sets CHANGE_T0 and CHANGE_T1.
make_change() {
  local tag=$1 count=$2 list="$WORK/change-$1" total step i src dst
  visible_files > "$list.pool"
  total=$(wc -l < "$list.pool")
  (( count * 2 <= total )) || die "corpus too small for a change of $count files"
  step=$(( total / count ))
  awk -v s="$step" -v c="$count" '(NR - 1) % s == 0 && n < c { print; n++ }' "$list.pool" > "$list.removed"
  awk -v s="$step" -v c="$count" '(NR - 1) % s == int(s / 2) && n < c { print; n++ }' "$list.pool" > "$list.sources"
  : > "$list.added"
  CHANGE_T0=$EPOCHREALTIME
  while IFS= read -r src; do
    dst="${src%/*}/$CORPUS_ADDED_PREFIX$tag-${src##*/}"
    cp -- "$src" "$dst"; printf '%s\n' "$dst" >> "$list.added"
  done < "$list.sources"
  while IFS= read -r src; do
    mkdir -p "$STASH$(dirname "${src#"$CORPUS"}")"
    mv -- "$src" "$STASH${src#"$CORPUS"}"
  done < "$list.removed"
  CHANGE_T1=$EPOCHREALTIME
}

# Puts every stashed file back and removes every added one.
restore_corpus() {
  [[ -n ${CORPUS:-} && -d $CORPUS ]] || return 0
  find "$CORPUS" -type f -name "$CORPUS_ADDED_PREFIX*" -delete
  if [[ -d ${STASH:-/nonexistent} ]]; then
    (cd "$STASH" && find . -type f -print0) | while IFS= read -r -d '' f; do
      mkdir -p "$CORPUS/$(dirname "$f")"; mv -- "$STASH/$f" "$CORPUS/$f"
    done
    rm -rf "$STASH"
  fi
}

# Trees of empty non-media files holding exactly P paths as find lists them
# (the root, the folders of 1,000 files, the files).
make_path_tree() {
  local p=$1 dir=$2 files dirs d i
  [[ -f $dir.done ]] && return 0
  rm -rf "$dir"; mkdir -p "$dir"
  dirs=$(( (p - 1 + 1000) / 1001 )); files=$(( p - 1 - dirs ))
  for (( d = 0; d < dirs; d++ )); do
    mkdir "$dir/d$d"
    (cd "$dir/d$d" && seq -f "f%06g.dat" $(( d * files / dirs )) $(( (d + 1) * files / dirs - 1 )) | xargs touch)
  done
  : > "$dir.done"
}

# ------------------------------------------------------------------ process watching
# Everything below runs on bash builtins inside the 20 ms polling loop, so
# the watcher itself costs little of the two cores it shares.

# TREE: the PID and all its descendants.
tree_pids() {
  local -a queue=("$1") kids
  local p t
  TREE=()
  while ((${#queue[@]})); do
    p=${queue[0]}; queue=("${queue[@]:1}")
    [[ -d /proc/$p ]] || continue
    TREE+=("$p")
    for t in /proc/"$p"/task/*/children; do
      kids=(); read -r -a kids 2>/dev/null < "$t" || true
      queue+=("${kids[@]}")
    done
  done
}
proc_field() { # proc_field PID KEY -> FIELD (kB, 0 when gone)
  local k v
  FIELD=0
  { while read -r k v _; do [[ $k == "$2:" ]] && { FIELD=$v; break; }; done < /proc/"$1"/status; } 2>/dev/null || true
}
proc_comm() { COMM=?; { read -r COMM < /proc/"$1"/comm; } 2>/dev/null || true; }
# Process CPU in clock ticks: own user+system and that of reaped children.
proc_cpu_ticks() {
  local -a f
  CPU=0
  { read -r -a f < /proc/"$1"/stat; } 2>/dev/null || return 0
  CPU=$(( f[13] + f[14] + f[15] + f[16] ))
}
CLK_TCK=$(getconf CLK_TCK)
# CPU of a process tree in clock ticks: every live member's own, plus what
# the root's reaped children used.
tree_cpu_ticks() {
  local -a f
  local p total=0
  tree_pids "$1"
  for p in "${TREE[@]}"; do
    { read -r -a f < /proc/"$p"/stat; } 2>/dev/null || continue
    total=$(( total + f[13] + f[14] ))
    [[ $p == "$1" ]] && total=$(( total + f[15] + f[16] ))
  done
  CPU=$total
}
secs() { awk -v t="$1" -v k="$CLK_TCK" 'BEGIN { printf "%.1f", t / k }'; }
load1() { local l; read -r l _ < /proc/loadavg; LOADS+="$1 $l, "; }

# Peak memory per phase: the watched process's VmHWM and the largest VmHWM
# among its descendants (each sampled until it exits).
# A child started with posix_spawn shares the parent's memory until it
# execs (vfork), and shows the parent's VmHWM under the parent's name; a
# child with the parent's name counts only once seen in two samples in a row.
# Rss and Pss of a process in kB (0 when gone), from smaps_rollup: Pss
# shares each page among the processes that map it, so the sum over a tree
# counts shared libraries once.
proc_pss() {
  local k v
  RSS=0 PSS=0
  { while read -r k v _; do case $k in Rss:) RSS=$v ;; Pss:) PSS=$v; break ;; esac; done < /proc/"$1"/smaps_rollup; } 2>/dev/null || true
}
declare -A SEEN=() SEEN_NOW=()
reset_peaks() { ROOT_HWM=0 CHILD_HWM=0 CHILD_NAME=- SEEN=() SUM_RSS_PEAK=0 SUM_PSS_PEAK=0; }
# Also sums Rss and Pss over the tree (SUM_RSS, SUM_PSS, SUM_NAMES) and keeps
# their peaks.
sample_tree() {
  local p root_comm
  tree_pids "$1"
  proc_comm "$1"; root_comm=$COMM
  SEEN_NOW=() SUM_RSS=0 SUM_PSS=0 SUM_NAMES=""
  for p in "${TREE[@]}"; do
    proc_field "$p" VmHWM
    if [[ $p == "$1" ]]; then
      if (( FIELD > ROOT_HWM )); then ROOT_HWM=$FIELD; fi
      proc_pss "$p"; SUM_RSS=$(( SUM_RSS + RSS )) SUM_PSS=$(( SUM_PSS + PSS )) SUM_NAMES+="$root_comm "
      continue
    fi
    proc_comm "$p"; SEEN_NOW[$p]=1
    [[ $COMM == "$root_comm" && -z ${SEEN[$p]:-} ]] && continue
    if (( FIELD > CHILD_HWM )); then CHILD_HWM=$FIELD; CHILD_NAME=$COMM; fi
    proc_pss "$p"; SUM_RSS=$(( SUM_RSS + RSS )) SUM_PSS=$(( SUM_PSS + PSS )) SUM_NAMES+="$COMM "
  done
  if (( SUM_RSS > SUM_RSS_PEAK )); then SUM_RSS_PEAK=$SUM_RSS; fi
  if (( SUM_PSS > SUM_PSS_PEAK )); then SUM_PSS_PEAK=$SUM_PSS; fi
  SEEN=(); for p in "${!SEEN_NOW[@]}"; do SEEN[$p]=1; done
  return 0
}
# VmHWM can be reset for a running process (Linux 4.0+), so a phase that
# follows another in the same process gets its own peak.
reset_hwm() { local p; tree_pids "$1"; for p in "${TREE[@]}"; do echo 5 > /proc/"$p"/clear_refs 2>/dev/null || true; done; }

# ------------------------------------------------------------------ Ombrix
OM_PID="" OM_HOME="" LOGFD="" PARTIAL=""
declare -A REC_N=() REC_T=() REC_V=() REC_CPU=()
# Records the loop waits for, by the start of their message line.
record_key() {
  case $1 in
    "  Build DB Time = "*) KEY=build ;;
    "  Check DB Time = "*) KEY=check ;;
    "  Delete DB Time = "*) KEY=sweep ;;
    "  Adjust DB Time = "*) KEY=adjust ;;
    "  isChanged = true"*) KEY=changed ;;
    "  isChanged = false"*) KEY=idle ;;
    *) KEY="" ;;
  esac
}
# Reads the new lines of the daemon's log, stamping each with the time it
# was seen (at most one polling interval late).
poll_log() {
  local line
  if [[ -z $LOGFD ]]; then
    [[ -f $OM_HOME/nstemp/Ombrix.log ]] || return 0
    exec {LOGFD}< "$OM_HOME/nstemp/Ombrix.log"
  fi
  while :; do
    if IFS= read -r -u "$LOGFD" line; then
      line=$PARTIAL$line; PARTIAL=""
      printf '%s %s\n' "$EPOCHREALTIME" "$line" >> "$OM_HOME/stamped.log"
      record_key "$line"
      if [[ -n $KEY ]]; then
        REC_N[$KEY]=$(( ${REC_N[$KEY]:-0} + 1 )); REC_T[$KEY]=$EPOCHREALTIME
        REC_V[$KEY]=${line#*= }; REC_V[$KEY]=${REC_V[$KEY]% sec.}
        tree_cpu_ticks "$OM_PID"; REC_CPU[$KEY]=$CPU
      fi
    else
      PARTIAL+=$line; break
    fi
  done
}

start_ombrix() { # start_ombrix HOME FAKE(0|1) FOLDER...
  OM_HOME=$1; local fake=$2; shift 2
  local envs=("${DAEMON_LOCALE[@]}" DLNAHOME="$OM_HOME")
  (( fake )) && envs+=("${FAKETIME_ENV[@]}")
  mkdir -p "$OM_HOME/nstemp"; ln -sfn /usr/bin/diff "$OM_HOME/diff"
  rm -f "$OM_HOME/nstemp/Ombrix.log" "$OM_HOME/stamped.log"
  [[ -n $LOGFD ]] && exec {LOGFD}<&-
  LOGFD="" PARTIAL="" REC_N=() REC_T=() REC_V=() REC_CPU=()
  reset_peaks
  OM_T0=$EPOCHREALTIME
  ( cd "$OM_HOME" && exec env "${envs[@]}" "$BIN" 4 "$@" ) > "$OM_HOME/stdout" 2>&1 &
  OM_PID=$!
}

om_fail() {
  say "error: $*"
  [[ -f $OM_HOME/nstemp/Ombrix.log ]] && tail -n 20 "$OM_HOME/nstemp/Ombrix.log" >&2
  exit 1
}

# wait_record KEY [COUNT]: until the COUNT-th record KEY (default: one more
# than now) has been seen, sampling memory meanwhile.
wait_record() {
  local key=$1 want=${2:-$(( ${REC_N[$1]:-0} + 1 ))} t0=${EPOCHREALTIME%.*}
  while :; do
    poll_log
    (( ${REC_N[$key]:-0} >= want )) && break
    sample_tree "$OM_PID"
    alive "$OM_PID" || om_fail "Ombrix ended before the record '$key' (stdout: $(tail -c 300 "$OM_HOME/stdout"))"
    (( ${EPOCHREALTIME%.*} - t0 < TIMEOUT )) || om_fail "no record '$key' after $TIMEOUT s"
    nap 0.02
  done
  sample_tree "$OM_PID"
}

stop_ombrix() {
  [[ -n $OM_PID ]] || return 0
  local i
  kill -TERM "$OM_PID" 2>/dev/null || true
  # SIGTERM ends the sleep; the rest of that cycle (find and diff) still runs.
  for (( i = 0; i < 3000; i++ )); do alive "$OM_PID" || break; nap 0.02; done
  if alive "$OM_PID"; then say "warning: Ombrix did not exit within 60 s of SIGTERM, killed"; kill -KILL "$OM_PID" 2>/dev/null || true; fi
  wait "$OM_PID" 2>/dev/null || true
  OM_PID=""
  [[ -n $LOGFD ]] && { exec {LOGFD}<&-; LOGFD=""; }
  return 0
}

mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
peak_text() { printf '%s MB (daemon %s, %s %s)' "$(mb $(( ROOT_HWM + CHILD_HWM )))" "$(mb "$ROOT_HWM")" "$CHILD_NAME" "$(mb "$CHILD_HWM")"; }
sum_peak_text() { printf 'Rss %s MB, Pss %s MB' "$(mb "$SUM_RSS_PEAK")" "$(mb "$SUM_PSS_PEAK")"; }
# The tree's memory now, one sample after a settle of a second (a process
# started with posix_spawn has the parent's memory until it execs).
footprint_text() {
  SEEN=(); sample_tree "$1"; nap 1; sample_tree "$1"
  printf 'Rss %s MB, Pss %s MB (%s)' "$(mb "$SUM_RSS")" "$(mb "$SUM_PSS")" "${SUM_NAMES% }"
}
db_rows() { sqlite3 "$1" "SELECT COUNT(*) FROM OBJECTS WHERE TYPE IN (1,2,3)"; }

# idle_cycles CYCLES: CPU of whole service cycles without a change, from one
# "isChanged = false" record to the next. Sets IDLE_CPU (s per cycle) and
# IDLE_PEAK.
idle_cycles() {
  local n=$1 c0 k
  wait_record idle
  reset_peaks; reset_hwm "$OM_PID"
  c0=${REC_CPU[idle]}; k=${REC_N[idle]}
  wait_record idle $(( k + n ))
  (( ${REC_N[changed]:-0} == 0 )) || say "warning: a change was detected during the idle cycles"
  IDLE_CPU=$(awk -v c=$(( REC_CPU[idle] - c0 )) -v n="$n" -v t="$CLK_TCK" 'BEGIN { printf "%.3f", c / t / n }')
  IDLE_PEAK=$(peak_text)
}

# find and diff as the daemon runs them, alone: CPU and peak RSS of each.
tool_costs() { # tool_costs FOLDER -> TOOLS text
  local dir=$1 tmp=$WORK/tools f d
  mkdir -p "$tmp"
  /usr/bin/time -f '%U %S %M' -o "$tmp/t.find" find "$dir/" -follow > "$tmp/a"
  cp "$tmp/a" "$tmp/b"
  /usr/bin/time -f '%U %S %M' -o "$tmp/t.diff" diff "$tmp/a" "$tmp/b" > /dev/null || true
  read -r fu fs fm < "$tmp/t.find"; read -r du ds dm < "$tmp/t.diff"
  TOOLS=$(awk -v fu="$fu" -v fs="$fs" -v fm="$fm" -v du="$du" -v ds="$ds" -v dm="$dm" \
    'BEGIN { printf "find %.2f s CPU, %.1f MB; diff %.2f s CPU, %.1f MB", fu + fs, fm / 1024, du + ds, dm / 1024 }')
  rm -rf "$tmp"
}

# idle_footprint: waits until a minute has passed since the build record,
# then for the end of the next quiet cycle, and takes the footprint of the
# daemon and what it keeps: what an idle appliance carries between cycles.
idle_footprint() {
  local t_build=${REC_T[build]%.*}
  while (( ${EPOCHREALTIME%.*} - t_build < 60 )); do
    poll_log; alive "$OM_PID" || om_fail "Ombrix ended while idle"; nap 0.2
  done
  wait_record idle
  IDLE_FOOT=$(footprint_text "$OM_PID")
}

# The earlier commit: first build, idle footprint, full check and the
# adjustment of 100 added and 100 removed.
run_baseline() {
  local home=$WORK/ombrix-baseline main_bin=$BIN
  rm -rf "$home"; mkdir -p "$home"
  BIN=$BASE_BIN
  say "Ombrix at $BASE_COMMIT: first build"; load1 "Ombrix $BASE_COMMIT build"
  start_ombrix "$home" 1 "$CORPUS/"
  wait_record build
  P_BUILD_WALL=$(elapsed "$OM_T0" "${REC_T[build]}"); P_BUILD_REPORTED=${REC_V[build]}
  P_BUILD_PEAK=$(peak_text); P_BUILD_SUM=$(sum_peak_text); P_BUILD_CPU=$(secs "${REC_CPU[build]}")
  P_ROWS=$(db_rows "$home/nstemp/daskor.db")
  say "  build: $P_BUILD_WALL s, $P_ROWS files, $P_BUILD_PEAK; $P_BUILD_SUM"
  idle_footprint; P_IDLE_FOOT=$IDLE_FOOT
  say "  idle a minute after the build: $P_IDLE_FOOT"
  stop_ombrix

  say "Ombrix at $BASE_COMMIT: restart, nothing changed"; load1 "Ombrix $BASE_COMMIT check"
  start_ombrix "$home" 1 "$CORPUS/"
  wait_record check
  P_CHECK_WALL=$(elapsed "$OM_T0" "${REC_T[check]}"); P_CHECK_REPORTED=${REC_V[check]}
  P_CHECK_SWEEP=${REC_V[sweep]:-?}; P_CHECK_CPU=$(secs "${REC_CPU[check]}")
  say "  check: $P_CHECK_WALL s"
  say "Ombrix at $BASE_COMMIT: 100 files added and 100 removed while running"; load1 "Ombrix $BASE_COMMIT adjustment"
  adjustment_phase
  P_ADJ_CYCLE=$ADJ_CYCLE P_ADJ_ONLY=$ADJ_ONLY P_ADJ_REPORTED=$ADJ_REPORTED P_ADJ_CPU=$ADJ_CPU
  P_ADJ_PEAK=$ADJ_PEAK
  say "  adjustment: cycle $P_ADJ_CYCLE s, adjust alone $P_ADJ_ONLY s"
  stop_ombrix
  restore_corpus
  BIN=$main_bin
}

# Writes to $1 the moment the daemon's next find starts: the start of its
# next cycle, which change notices may bring before the interval is over.
# Looked for every 2 ms; find runs for tens of milliseconds on the corpus.
watch_find_start() {
  local p c kids
  while alive "$OM_PID"; do
    kids=$(cat /proc/"$OM_PID"/task/*/children 2>/dev/null) || true
    for p in $kids; do
      c=""; { read -r c < /proc/"$p"/comm; } 2>/dev/null || continue
      if [[ $c == find ]]; then echo "$EPOCHREALTIME" > "$1"; return 0; fi
    done
    nap 0.002
  done
}

# 100 files added and 100 removed right after a quiet cycle of the running
# daemon; sets ADJ_CYCLE (from the cycle's start to the "Adjust DB Time"
# record), ADJ_ONLY (from "isChanged = true"), ADJ_FROM_CHANGE, ADJ_REPORTED,
# ADJ_CPU (the cycle's) and ADJ_PEAK.
adjustment_phase() {
  wait_record idle                      # the change lands early in a sleep
  local c_idle=${REC_CPU[idle]} started=$WORK/find-started watcher
  rm -f "$started"
  watch_find_start "$started" & watcher=$!
  reset_peaks; reset_hwm "$OM_PID"
  make_change a2 100
  wait_record adjust
  kill "$watcher" 2>/dev/null || true; wait "$watcher" 2>/dev/null || true
  [[ -s $started ]] || om_fail "the adjustment cycle's find was not seen"
  ADJ_FROM_CHANGE=$(elapsed "$CHANGE_T1" "${REC_T[adjust]}")
  ADJ_CYCLE=$(elapsed "$(cat "$started")" "${REC_T[adjust]}")
  ADJ_ONLY=$(elapsed "${REC_T[changed]}" "${REC_T[adjust]}")
  ADJ_REPORTED=${REC_V[adjust]}; ADJ_PEAK=$(peak_text); ADJ_CPU=$(secs $(( REC_CPU[adjust] - c_idle )))
}

run_ombrix() {
  local home=$WORK/ombrix db
  rm -rf "$home"; mkdir -p "$home"
  db=$home/nstemp/daskor.db

  say "Ombrix: first build"; load1 "Ombrix build"
  start_ombrix "$home" 1 "$CORPUS/"
  wait_record build
  O_BUILD_WALL=$(elapsed "$OM_T0" "${REC_T[build]}"); O_BUILD_REPORTED=${REC_V[build]}
  O_BUILD_PEAK=$(peak_text); O_BUILD_SUM=$(sum_peak_text); O_BUILD_CPU=$(secs "${REC_CPU[build]}")
  O_ROWS=$(db_rows "$db")
  O_BYTYPE=$(sqlite3 -separator '=' "$db" "SELECT TYPE, COUNT(*) FROM OBJECTS GROUP BY TYPE ORDER BY TYPE" | tr '\n' ' ')
  O_DB_BYTES=$(stat -c %s "$db")
  say "  build: $O_BUILD_WALL s, $O_ROWS files, $O_BUILD_PEAK; $O_BUILD_SUM"
  say "Ombrix: idle cycles on the corpus ($NPATHS paths)"
  idle_cycles "$IDLE_CYCLES"; O_IDLE_CORPUS=$IDLE_CPU O_IDLE_CORPUS_PEAK=$IDLE_PEAK
  say "  idle: $IDLE_CPU s CPU per cycle, $IDLE_PEAK"
  idle_footprint; O_IDLE_FOOT=$IDLE_FOOT
  say "  idle a minute after the build: $O_IDLE_FOOT"
  stop_ombrix
  tool_costs "$CORPUS"; O_TOOLS_CORPUS=$TOOLS

  say "Ombrix: restart, nothing changed"; load1 "Ombrix check"
  start_ombrix "$home" 1 "$CORPUS/"
  wait_record check
  O_CHECK_WALL=$(elapsed "$OM_T0" "${REC_T[check]}"); O_CHECK_REPORTED=${REC_V[check]}
  O_CHECK_SWEEP=${REC_V[sweep]:-?}; O_CHECK_PEAK=$(peak_text); O_CHECK_CPU=$(secs "${REC_CPU[check]}")
  O_CHECK_ROWS=$(db_rows "$db")
  say "  check: $O_CHECK_WALL s, $O_CHECK_PEAK"

  # SKIP_CHECK1=1 leaves out the restart after the 1% change (long at large
  # N); the adjustment then runs in the daemon of the unchanged restart.
  if [[ ${SKIP_CHECK1:-0} != 1 ]]; then
    stop_ombrix
    local pct=$(( N / 100 ))
    say "Ombrix: restart after $pct files added and $pct removed"; load1 "Ombrix check after the change"
    make_change c1 "$pct"
    start_ombrix "$home" 1 "$CORPUS/"
    wait_record check
    O_CHECK1_WALL=$(elapsed "$OM_T0" "${REC_T[check]}"); O_CHECK1_REPORTED=${REC_V[check]}
    O_CHECK1_PEAK=$(peak_text); O_CHECK1_ROWS=$(db_rows "$db"); O_CHECK1_CPU=$(secs "${REC_CPU[check]}")
    say "  check after the change: $O_CHECK1_WALL s, $O_CHECK1_ROWS files, $O_CHECK1_PEAK"
  fi

  say "Ombrix: 100 files added and 100 removed while running"; load1 "Ombrix adjustment"
  adjustment_phase
  O_ADJ_FROM_CHANGE=$ADJ_FROM_CHANGE O_ADJ_CYCLE=$ADJ_CYCLE O_ADJ_ONLY=$ADJ_ONLY
  O_ADJ_REPORTED=$ADJ_REPORTED O_ADJ_PEAK=$ADJ_PEAK O_ADJ_CPU=$ADJ_CPU
  O_ADJ_ROWS=$(db_rows "$db")
  say "  adjustment: cycle $O_ADJ_CYCLE s, adjust alone $O_ADJ_ONLY s, from the change $O_ADJ_FROM_CHANGE s, $O_ADJ_PEAK"
  stop_ombrix
  cp "$home/stamped.log" "$WORK/ombrix-adjust-stamped.log"
  restore_corpus

  if [[ ${SKIP_IDLE_TREES:-0} != 1 ]]; then
    local p
    for p in 10000 100000; do
      say "Ombrix: idle cycles at $p paths"
      make_path_tree "$p" "$ROOT/build/bench-corpus/paths$p"
      rm -rf "$WORK/ombrix-paths"; mkdir -p "$WORK/ombrix-paths"
      start_ombrix "$WORK/ombrix-paths" 0 "$ROOT/build/bench-corpus/paths$p/"
      wait_record build
      idle_cycles "$IDLE_CYCLES"
      stop_ombrix
      tool_costs "$ROOT/build/bench-corpus/paths$p"
      printf -v "O_IDLE_$p" '%s' "$IDLE_CPU"; printf -v "O_IDLE_PEAK_$p" '%s' "$IDLE_PEAK"
      printf -v "O_TOOLS_$p" '%s' "$TOOLS"
      printf -v "O_PATHS_$p" '%s' "$(find "$ROOT/build/bench-corpus/paths$p/" -follow | wc -l)"
      say "  $p paths: $IDLE_CPU s CPU per cycle; $TOOLS"
    done
  fi
}

# ------------------------------------------------------------------ MiniDLNA
MD_PID=""
# The default log level shows the end of a first scan; "info" for the scanner
# shows the end of a rescan, for inotify each watch it sets.
# The common start, with the phase's memory sampling.
start_minidlna() { # start_minidlna DIR INOTIFY(yes|no) LOG_LEVEL EXTRA-FLAGS...
  local dir=$1; shift
  reset_peaks
  MD_T0=$EPOCHREALTIME
  start_minidlna_on "$dir" "$CORPUS" "$@"
}
md_log() { cat "$MD_DIR/log/minidlna.log" 2>/dev/null || true; }

# The scan (or rescan) ends when its last record is in the log and the
# forked scanner has exited.
wait_scan_end() {
  local pattern=$1 t0=${EPOCHREALTIME%.*} i=0
  while :; do
    sample_tree "$MD_PID"
    if (( ${#TREE[@]} == 1 )) && (( i++ % 5 == 0 )) && grep -qE "$pattern" "$MD_DIR/log/minidlna.log" 2>/dev/null; then break; fi
    alive "$MD_PID" || md_fail "minidlnad ended during the scan"
    (( ${EPOCHREALTIME%.*} - t0 < TIMEOUT )) || md_fail "scan not finished after $TIMEOUT s"
    nap 0.02
  done
  MD_T1=$EPOCHREALTIME
  tree_cpu_ticks "$MD_PID"; MD_CPU=$(secs "$CPU")
}

run_minidlna() {
  local dir=$WORK/minidlna
  rm -rf "$dir"; mkdir -p "$dir"
  say "MiniDLNA $("$MINIDLNAD" -V 2>/dev/null | awk '{print $NF}'): full scan"; load1 "MiniDLNA scan"
  start_minidlna "$dir" no "$MD_QUIET"
  wait_scan_end 'Finished parsing playlists\.'
  M_BUILD_WALL=$(elapsed "$MD_T0" "$MD_T1"); M_BUILD_PEAK=$(peak_text); M_BUILD_SUM=$(sum_peak_text); M_BUILD_CPU=$MD_CPU
  local t_scan=${MD_T1%.*}
  while (( ${EPOCHREALTIME%.*} - t_scan < 60 )); do alive "$MD_PID" || md_fail "minidlnad ended while idle"; nap 0.2; done
  M_IDLE_FOOT=$(footprint_text "$MD_PID")
  say "  idle a minute after the scan: $M_IDLE_FOOT"
  stop_minidlna
  M_ROWS=$(md_count)
  M_DB_BYTES=$(stat -c %s "$dir/db/files.db")
  M_DBDIR_BYTES=$(du -sb "$dir/db" | cut -f1)
  say "  scan: $M_BUILD_WALL s, $M_ROWS files, $M_BUILD_PEAK"

  # -r: a rescan of the existing database at start-up, MiniDLNA's full check.
  say "MiniDLNA: restart with a rescan (-r), nothing changed"; load1 "MiniDLNA rescan"
  start_minidlna "$dir" no "$MD_QUIET,scanner=info" -r
  wait_scan_end 'Rescan completed'
  M_CHECK_WALL=$(elapsed "$MD_T0" "$MD_T1"); M_CHECK_PEAK=$(peak_text); M_CHECK_CPU=$MD_CPU
  stop_minidlna
  M_CHECK_ROWS=$(md_count)
  say "  rescan: $M_CHECK_WALL s, $M_CHECK_PEAK"

  local pct=$(( N / 100 ))
  say "MiniDLNA: restart with a rescan after $pct files added and $pct removed"; load1 "MiniDLNA rescan after the change"
  make_change c1 "$pct"
  start_minidlna "$dir" no "$MD_QUIET,scanner=info" -r
  wait_scan_end 'Rescan completed'
  M_CHECK1_WALL=$(elapsed "$MD_T0" "$MD_T1"); M_CHECK1_PEAK=$(peak_text); M_CHECK1_CPU=$MD_CPU
  stop_minidlna
  M_CHECK1_ROWS=$(md_count)
  say "  rescan after the change: $M_CHECK1_WALL s, $M_CHECK1_ROWS files, $M_CHECK1_PEAK"

  # Changes while running reach MiniDLNA through inotify; done when its
  # database lists every added file it catalogues and none of the removed.
  say "MiniDLNA: 100 files added and 100 removed while running (inotify)"; load1 "MiniDLNA inotify"
  start_minidlna "$dir" yes "$MD_QUIET,inotify=info"
  wait_watches
  sample_tree "$MD_PID"; reset_peaks; reset_hwm "$MD_PID"
  local want_added q_removed q_added t0
  make_change a2 100
  # Catalogued copies: those whose source MiniDLNA catalogued.
  want_added=$(sqlite3 "$dir/db/files.db" "SELECT COUNT(*) FROM DETAILS WHERE MIME IS NOT NULL AND PATH IN ($(sed "s/'/''/g; s/.*/'&'/" "$WORK/change-a2.sources" | paste -sd,))")
  q_removed="SELECT COUNT(*) FROM DETAILS WHERE PATH IN ($(sed "s/'/''/g; s/.*/'&'/" "$WORK/change-a2.removed" | paste -sd,))"
  q_added="SELECT COUNT(*) FROM DETAILS WHERE MIME IS NOT NULL AND PATH IN ($(sed "s/'/''/g; s/.*/'&'/" "$WORK/change-a2.added" | paste -sd,))"
  M_ADJ_FROM_CHANGE="timeout"
  t0=${EPOCHREALTIME%.*}
  while (( ${EPOCHREALTIME%.*} - t0 < 300 )); do
    sample_tree "$MD_PID"
    if [[ $(sqlite3 "$dir/db/files.db" "$q_removed" 2>/dev/null) == 0 &&
          $(sqlite3 "$dir/db/files.db" "$q_added" 2>/dev/null) == "$want_added" ]]; then
      M_ADJ_FROM_CHANGE=$(elapsed "$CHANGE_T1" "$EPOCHREALTIME"); break
    fi
    nap 0.1
  done
  M_ADJ_PEAK=$(peak_text); M_ADJ_WANT=$want_added
  say "  inotify: $M_ADJ_FROM_CHANGE s from the end of the change, $M_ADJ_PEAK"
  stop_minidlna
  restore_corpus
}

# ------------------------------------------------------------------ run
cleanup() {
  [[ -n ${OM_PID:-} ]] && stop_ombrix
  [[ -n ${MD_PID:-} ]] && stop_minidlna
  restore_corpus
  if [[ $KEEP != 1 ]]; then rm -rf "$WORK/ombrix" "$WORK/ombrix-baseline" "$WORK/ombrix-paths" "$WORK/minidlna"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[[ ! -e /tmp/sleep ]] || die "/tmp/sleep exists: it would pause the daemon (remove it first)"
mkdir -p "$WORK" "$RESULTS_DIR"
check_faketime
prepare_corpus
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg) LOADS=""
RUN_START=$(date -u '+%Y-%m-%d %H:%M UTC')
say "corpus: $NFILES files ($NMEDIA media files outside hidden paths), $NPATHS paths, $CORPUS_MB MB; load $LOAD_BEFORE"
# MINIDLNA_FIRST=1 takes the peer's (short) figures first, so that a long
# run cut short still has them.
if [[ ${MINIDLNA_FIRST:-0} == 1 && ${SKIP_MINIDLNA:-0} != 1 ]]; then run_minidlna; fi
# Both first builds read a warm page cache: the corpus is read once first.
find "$CORPUS" -type f -print0 | xargs -0 cat > /dev/null
if [[ -n $BASE_BIN && ${SKIP_OMBRIX:-0} != 1 ]]; then run_baseline; fi
if [[ ${SKIP_OMBRIX:-0} != 1 ]]; then run_ombrix; fi
if [[ ${MINIDLNA_FIRST:-0} != 1 && ${SKIP_MINIDLNA:-0} != 1 ]]; then run_minidlna; fi
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ------------------------------------------------------------------ report
set +u                           # a skipped half leaves its figures empty
rate() { awk -v n="$1" -v w="$2" 'BEGIN { if (w + 0 > 0) printf "%.0f", n / w; else print "-" }'; }
pct_of() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.1f%%", 100 * a / b; else print "-" }'; }
M_VER=$("$MINIDLNAD" -V 2>/dev/null | awk '{print $NF}')
MODEL=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
MEM=$(awk '/^MemTotal/ {printf "%.1f GB", $2 / 1048576}' /proc/meminfo)
OUT=$RESULTS_DIR/$(date -u +%Y-%m-%d)-N$N.md
M=${SKIP_MINIDLNA:-0}
m() { if [[ $M == 1 ]]; then echo "not run"; else echo "$1"; fi; }
b() { if [[ -z $BASE_BIN ]]; then echo "not run"; else echo "$1"; fi; }

{
  echo "# Ombrix and MiniDLNA, N = $N"
  echo
  echo "Run of $RUN_START, Ombrix at commit $COMMIT (Release build)$([[ -n $BASE_BIN ]] && echo " and, for its first build, idle footprint, full check and adjustment just before, at the earlier commit $BASE_COMMIT"), MiniDLNA $M_VER (Debian package), one run of each phase; the corpus is read once before, so every build reads a warm page cache."
  echo
  echo "- Machine: $(nproc) cores ($MODEL), $MEM memory, $(uname -sr). Shared with other work: load $LOAD_BEFORE before, $LOAD_AFTER after; figures vary by about 10% from run to run."
  echo "- Corpus (bench/make_corpus.sh): $NFILES files, $NDIRS folders, $NPATHS paths, $CORPUS_MB MB; $NMEDIA media files outside hidden paths; $NHIDDEN files in hidden folders or dot-files; about $NBROKEN broken files. By extension: $COMPOSITION. $DEPTHS."
  echo "- Ombrix: \`DLNAHOME=\$home Ombrix 4 CORPUS/\` under libfaketime (clock $FAKE_OFFSET, NO_FAKE_STAT=1: the copied corpus looks old, so no size watch runs). MiniDLNA: \`minidlnad -S\` in a private network namespace (loopback only), inotify off except in the adjustment phase."
  echo "- Times are wall seconds seen by the harness (the daemon's own whole-second figure in brackets); CPU is user + system time of the daemon and its children. Peak memory: VmHWM of the daemon plus the largest VmHWM among its children (Ombrix: analysis helpers or, before them, the analysis child, find, diff; MiniDLNA: scanner), sampled every 20 ms. Summed: the largest sum, at one sample, of Rss and of Pss (smaps_rollup; a shared page counts once over all processes) of the daemon and every process below it. Idle: the same sums a minute after the build, sampled right after a quiet cycle."
  echo
  echo "| Measure | Ombrix | $(b "Ombrix at $BASE_COMMIT") | MiniDLNA $M_VER | Target (issue 9 unless marked) |"
  echo "|---|---|---|---|---|"
  echo "| Files catalogued | $O_ROWS | $(b "$P_ROWS") | $(m "$M_ROWS") | - |"
  echo "| First build, wall | $O_BUILD_WALL s ($O_BUILD_REPORTED) | $(b "$P_BUILD_WALL s ($P_BUILD_REPORTED)") | $(m "$M_BUILD_WALL s") | - |"
  echo "| First build, corpus files/s | $(rate "$NFILES" "$O_BUILD_WALL") | $(b "$(rate "$NFILES" "${P_BUILD_WALL:-0}")") | $(m "$(rate "$NFILES" "${M_BUILD_WALL:-0}")") | >= 1.0x MiniDLNA (stretch 2x) |"
  if [[ -n $BASE_BIN ]]; then
    echo "| First build, speed-up over the earlier commit | $(awk -v o="$O_BUILD_WALL" -v p="$P_BUILD_WALL" 'BEGIN { printf "%.2fx", p / o }') | - | - | >= 1.5x (issue 13) |"
  fi
  echo "| First build, CPU (daemon and children) | $O_BUILD_CPU s | $(b "$P_BUILD_CPU s") | $(m "$M_BUILD_CPU s") | - |"
  echo "| First build, catalogued files/s | $(rate "$O_ROWS" "$O_BUILD_WALL") | $(b "$(rate "${P_ROWS:-0}" "${P_BUILD_WALL:-0}")") | $(m "$(rate "${M_ROWS:-0}" "${M_BUILD_WALL:-0}")") | - |"
  echo "| First build, peak memory | $O_BUILD_PEAK | $(b "$P_BUILD_PEAK") | $(m "${M_BUILD_PEAK:-}") | < 25 MB |"
  echo "| First build, peak summed over the daemon and its children | $O_BUILD_SUM | $(b "$P_BUILD_SUM") | $(m "${M_BUILD_SUM:-}") | Pss <= 35 MB (issue 13) |"
  echo "| Idle a minute after the build, summed over the daemon and what it keeps | $O_IDLE_FOOT | $(b "$P_IDLE_FOOT") | $(m "${M_IDLE_FOOT:-} (a minute after the scan)") | Rss <= 10 MB (issue 13) |"
  echo "| Restart, full check, nothing changed | $O_CHECK_WALL s ($O_CHECK_REPORTED; sweep $O_CHECK_SWEEP), $(pct_of "$O_CHECK_WALL" "$O_BUILD_WALL") of the build | $(b "$P_CHECK_WALL s ($P_CHECK_REPORTED; sweep $P_CHECK_SWEEP)") | $(m "${M_CHECK_WALL:-} s (rescan -r)") | <= 10% of the build |"
  echo "| Restart, full check, CPU | $O_CHECK_CPU s | $(b "$P_CHECK_CPU s") | $(m "$M_CHECK_CPU s") | - |"
  echo "| Restart, full check, peak memory | $O_CHECK_PEAK | - | $(m "${M_CHECK_PEAK:-}") | < 25 MB |"
  if [[ -n $O_CHECK1_WALL ]]; then O_CHECK1_TEXT="$O_CHECK1_WALL s ($O_CHECK1_REPORTED); $O_CHECK1_ROWS files after"; else O_CHECK1_TEXT="not run (SKIP_CHECK1=1)" O_CHECK1_PEAK="not run"; fi
  echo "| Restart after $(( N / 100 )) added + $(( N / 100 )) removed | $O_CHECK1_TEXT | - | $(m "${M_CHECK1_WALL:-} s; ${M_CHECK1_ROWS:-} files after") | - |"
  echo "| Restart after the 1% change, CPU | ${O_CHECK1_CPU:-not run} s | - | $(m "$M_CHECK1_CPU s") | - |"
  echo "| Restart after the 1% change, peak memory | $O_CHECK1_PEAK | - | $(m "${M_CHECK1_PEAK:-}") | < 25 MB |"
  echo "| Adjustment, 100 added + 100 removed while running: cycle start (find) to \"Adjust DB Time\" | $O_ADJ_CYCLE s (find+diff+adjust; adjust alone $O_ADJ_ONLY s; daemon: $O_ADJ_REPORTED) | $(b "$P_ADJ_CYCLE s (adjust alone $P_ADJ_ONLY s; daemon: $P_ADJ_REPORTED)") | $(m "${M_ADJ_FROM_CHANGE:-} s to the database (inotify; from the end of the change)") | < 2 s at 40,000 files |"
  echo "| Adjustment, from the end of the change (includes the wait for the cycle, up to $INTERVAL s) | $O_ADJ_FROM_CHANGE s; $O_ADJ_ROWS files after | - | - | - |"
  echo "| Adjustment, CPU of the cycle | $O_ADJ_CPU s | $(b "$P_ADJ_CPU s") | - | - |"
  echo "| Adjustment, peak memory | $O_ADJ_PEAK | $(b "$P_ADJ_PEAK") | $(m "${M_ADJ_PEAK:-}") | < 25 MB |"
  echo "| Idle cycle CPU, corpus ($NPATHS paths) | $O_IDLE_CORPUS s ($O_TOOLS_CORPUS) | - | none: event-driven (inotify) | - |"
  if [[ ${SKIP_IDLE_TREES:-0} != 1 ]]; then
    echo "| Idle cycle CPU, $O_PATHS_10000 paths | $O_IDLE_10000 s ($O_TOOLS_10000) | - | none | - |"
    echo "| Idle cycle CPU, $O_PATHS_100000 paths | $O_IDLE_100000 s ($O_TOOLS_100000) | - | none | < 1.5 s |"
    echo "| Idle cycle, peak memory at 100,000 paths | $O_IDLE_PEAK_100000 | - | - | < 25 MB |"
  fi
  echo "| Idle cycle, peak memory (corpus) | $O_IDLE_CORPUS_PEAK | - | - | < 25 MB |"
  echo "| Catalogue file after the build | $(mb $(( O_DB_BYTES / 1024 ))) MB ($O_DB_BYTES bytes) | - | $(m "$(mb $(( ${M_DB_BYTES:-0} / 1024 ))) MB files.db; $(mb $(( ${M_DBDIR_BYTES:-0} / 1024 ))) MB with art_cache") | - |"
  echo
  echo "Load average (1 min) at the start of each phase: ${LOADS%, }. With two cores, a load above 2 slows a phase by the share of the cores others take; CPU seconds are less sensitive to it than wall seconds (but leave out the waits for fsync)."
  echo
  echo "Ombrix rows by TYPE after the build: $O_BYTYPE. MiniDLNA skips PNG files, hidden paths, zero-byte MP3s and non-media files, so corpus files per second is the fair rate. The idle cycle is measured from one \"isChanged = false\" record to the next (the daemon's and its reaped children's CPU, $IDLE_CYCLES cycles averaged); find and diff are also timed alone on the same listing. The adjustment cycle is timed from the start of its find (seen in /proc within a few ms), which change notices may bring before the $INTERVAL s interval is over; the change is made right after the previous \"isChanged = false\" record."
} > "$OUT"
cat "$OUT"
say "written: $OUT"
