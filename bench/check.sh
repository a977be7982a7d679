#!/usr/bin/env bash
# bench/check.sh [P...]   (default: 10000 100000)
#
# Times ombrix-check on trees of exactly P paths each: the folder, one
# subfolder per 1,000 paths and empty .mp3 files, so every path has a row.
# The catalogue is built by the Release daemon itself (under libfaketime,
# clock +2 h with stat() real, so the fresh files skip the size watch), which
# also shows that the check finds a large daemon-built catalogue clean. The
# daemon is stopped before the timing, so its 15-second cycles do not share
# the cores with it. Each check runs three times with a warm cache; the line
# gives the fastest (wall, user and system seconds, peak memory).
#
# Trees are kept in build/bench-corpus/check<P>, work directories in
# build/bench-run/check<P>. Env: SKIP_BUILD=1 (use build/bench-check as it is).
set -euo pipefail
export LC_ALL=C
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
BUILD=$ROOT/build/bench-check
(($#)) || set -- 10000 100000

say() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { say "error: $*"; exit 1; }

LIBFAKETIME=$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 2>/dev/null | head -n1)
[[ -n $LIBFAKETIME ]] || die "libfaketimeMT.so.1 not found (apt-get install faketime)"
[[ -x /usr/bin/time ]] || die "/usr/bin/time not found (apt-get install time)"
if [[ ${SKIP_BUILD:-0} != 1 ]]; then
  say "building the Release tree $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "$(nproc)" --target Ombrix ombrix-check >/dev/null
fi

# make_tree P DIR: DIR itself, ceil((P-1)/1001) folders, the rest files.
make_tree() {
  local p=$1 dir=$2 dirs files d
  [[ -f $dir.done ]] && return 0
  rm -rf "$dir"; mkdir -p "$dir"
  dirs=$(( (p - 1 + 1000) / 1001 )); files=$(( p - 1 - dirs ))
  for (( d = 0; d < dirs; d++ )); do
    mkdir "$dir/d$d"
    (cd "$dir/d$d" && seq -f "f%06g.mp3" $(( d * files / dirs )) $(( (d + 1) * files / dirs - 1 )) | xargs touch)
  done
  : > "$dir.done"
}

# build_catalogue HOME TREE: runs the daemon until its first build is logged.
build_catalogue() {
  local home=$1 tree=$2 pid i
  rm -rf "$home"; mkdir -p "$home/nstemp"; ln -s /usr/bin/diff "$home/diff"
  env DLNAHOME="$home" LD_PRELOAD="$LIBFAKETIME" FAKETIME=+2h NO_FAKE_STAT=1 DONT_FAKE_MONOTONIC=1 \
    "$BUILD/Ombrix" 4 "$tree/" > "$home/stdout" 2>&1 &
  pid=$!
  for (( i = 0; i < 36000; i++ )); do
    grep -q "Build DB Time = " "$home/nstemp/Ombrix.log" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || die "the daemon ended before its build (see $home/stdout)"
    sleep 0.1
  done
  kill -TERM "$pid"; wait "$pid" || true
  grep "Build DB Time = " "$home/nstemp/Ombrix.log" | sed 's/^ *//'
}

for p in "$@"; do
  tree=$ROOT/build/bench-corpus/check$p home=$ROOT/build/bench-run/check$p
  say "$p paths: tree"; make_tree "$p" "$tree"
  say "$p paths: catalogue"; built=$(build_catalogue "$home" "$tree")
  best="" summary=""
  for run in 1 2 3; do
    summary=$(DLNAHOME=$home /usr/bin/time -f "%e %U %S %M" -o "$home/time.txt" \
              "$BUILD/tools/ombrix-check" -q "$tree/" || true)
    read -r wall user sys kb < "$home/time.txt"
    if [[ -z $best ]] || awk -v a="$wall" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
      best="$wall $user $sys $kb"
    fi
  done
  read -r wall user sys kb <<< "$best"
  printf '%s paths (%s): ombrix-check %s s wall, %s s user, %s s system, %s MB peak\n  %s\n' \
    "$p" "$built" "$wall" "$user" "$sys" "$(( kb / 1024 ))" "$summary"
done
