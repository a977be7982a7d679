#!/usr/bin/env bash
# bench/test_run.sh [CORPUS_DIR]
#
# Smoke test of the harness: a whole bench/run.sh on a small corpus (300
# files, generated in build/bench-corpus/N300 unless given), with the idle
# trees left out and one idle cycle, into a temporary results directory. Checks
# that every phase produced a figure, that the corpus is back as it was, and
# that no daemon was left running. About three minutes; not while another
# run.sh is running (they share build/bench-run). Exit 0 = pass.
set -euo pipefail
export LC_ALL=C
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
CORPUS=${1:-$ROOT/build/bench-corpus/N300}
OUT=$(mktemp -d /tmp/ombrix-bench-test.XXXXXX)
trap 'rm -rf "$OUT"' EXIT

fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
listing() { (cd "$CORPUS" && find . -printf '%p %s %y\n' | sort); }

if [[ -d $CORPUS ]]; then before=$(listing); else before=""; fi
SKIP_IDLE_TREES=1 IDLE_CYCLES=1 RESULTS_DIR=$OUT "$HERE/run.sh" 300 "$CORPUS" > "$OUT/stdout" 2> "$OUT/stderr" ||
  { echo "FAIL: run.sh exited with an error"; tail -n 30 "$OUT/stderr"; exit 1; }
[[ -n $before ]] || before=$(listing)

report=$(ls "$OUT"/*-N300.md 2>/dev/null | head -n1)
check "a results file named <date>-N300.md" '[[ -n $report && -s $report ]]'
table=$(grep '^| ' "$report" | tail -n +2)
rows_without_figure() { awk -F'|' '$3 !~ /[0-9]/ { print $2 }' <<< "$table"; }
check "every row has a figure for Ombrix" '[[ -z $(rows_without_figure) ]]'
check "the build row has MiniDLNA's figure" 'grep -q "^| First build, wall | [0-9.]* s ([0-9]*) | [^|]* | [0-9.]* s |" "$report"'
check "the adjustment row has MiniDLNA's figure" 'grep "^| Adjustment, 100" "$report" | grep -q "| [0-9.]* s to the database"'
check "Ombrix catalogued files" 'grep -q "^| Files catalogued | [1-9][0-9]* | [^|]* | [1-9][0-9]* |" "$report"'
check "the idle footprint is measured" 'grep -q "^| Idle a minute after the build, [^|]* | Rss [0-9.]* MB, Pss [0-9.]* MB" "$report"'
check "machine and corpus are described" 'grep -q "^- Machine: [0-9]* cores" "$report" && grep -q "^- Corpus .*By extension: " "$report"'
check "the corpus is back as it was" '[[ $(listing) == "$before" ]]'
check "no stash left beside the corpus" '[[ ! -e $CORPUS.bench-stash ]]'
check "no daemon left running" '! pgrep -f "$ROOT/build/bench/Ombrix" >/dev/null && ! pgrep -f "minidlnad -S -f $ROOT/build/bench-run" >/dev/null'

if (( fail )); then echo "bench smoke test FAILED"; tail -n 20 "$OUT/stderr"; exit 1; fi
echo "bench smoke test passed"
