#!/usr/bin/env bash
# bench/compare_check.sh BINARY_A BINARY_B CORPUS [RUNS]
#
# Times the full check with nothing changed (a restart on the catalogue a
# first build left) for two Ombrix binaries on one corpus, alternating A and
# B so that the machine's load falls on both alike: wall seconds from the
# start to the "Check DB Time" record, and the CPU of the daemon and its
# reaped children then. Each binary first builds its own catalogue. Runs
# under libfaketime as run.sh does, so the corpus looks old. Prints one line
# a run; run.sh measures the earlier commit's first build only, this its check.
set -euo pipefail
[[ $# -ge 3 ]] || { echo "usage: $0 BINARY_A BINARY_B CORPUS [RUNS]" >&2; exit 2; }
BINS=("$1" "$2") CORPUS=${3%/} RUNS=${4:-5}
FT=(FAKETIME=+2h NO_FAKE_STAT=1 DONT_FAKE_MONOTONIC=1
    LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1)
WORK=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$WORK"' EXIT

# Starts BINARY on HOME, waits for RECORD, prints wall and CPU, stops it.
timed() {
  local bin=$1 home=$2 record=$3 t0 t1 pid cpu
  rm -f "$home/nstemp/Ombrix.log"
  t0=$EPOCHREALTIME
  env "${FT[@]}" DLNAHOME="$home" "$bin" 4 "$CORPUS/" >/dev/null 2>&1 &
  pid=$!
  until grep -q "$record" "$home/nstemp/Ombrix.log" 2>/dev/null; do sleep 0.01; done
  t1=$EPOCHREALTIME
  cpu=$(awk '{ printf "%.2f", ($14 + $15 + $16 + $17) / 100 }' "/proc/$pid/stat")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  awk -v a="$t0" -v b="$t1" -v c="$cpu" 'BEGIN { printf "%.2f s wall, %s s CPU\n", b - a, c }'
}

for i in 0 1; do
  mkdir -p "$WORK/$i/nstemp"; ln -s /usr/bin/diff "$WORK/$i/diff"
  echo "${BINS[$i]} build: $(timed "${BINS[$i]}" "$WORK/$i" 'Build DB Time')"
done
for ((run = 1; run <= RUNS; ++run)); do
  for i in 0 1; do
    echo "${BINS[$i]} check $run: $(timed "${BINS[$i]}" "$WORK/$i" 'Check DB Time')"
  done
done
