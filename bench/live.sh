#!/usr/bin/env bash
# bench/live.sh
#
# What a user waits for, on the real clock (no libfaketime, so every copied
# file is fresh and goes through the size watch), Ombrix side by side with
# MiniDLNA, both told by the kernel (inotify):
#   live     1,000 photos, a 15-track album and 5 videos copied at once into
#            the share of a running daemon, right after a service cycle (so
#            only a change notice brings the next cycle before a whole
#            interval has passed): seconds from the end of the copy until
#            all are catalogued
#   fresh    a first build of 2,000 files copied just before the start,
#            against the build of the same files when they are old (Ombrix
#            under libfaketime +2 h, which makes them look old)
#   growing  a video appended to for 60 s while 100 photos are copied in: the
#            photos from the end of their copy, the video from its last write
# Writes the table to bench/results/<date>-live.md. Runs from a checkout
# anywhere; needs root only to install missing packages.
#
# Env: SKIP_INSTALL=1, SKIP_BUILD=1 (use build/bench as it is),
#      SKIP_MINIDLNA=1, RESULTS_DIR (bench/results), PORT (18200),
#      GROW_SECONDS (60).
set -euo pipefail
if [[ -v LC_ALL ]]; then DAEMON_LOCALE=(LC_ALL="$LC_ALL"); else DAEMON_LOCALE=(-u LC_ALL); fi
export LC_ALL=C TZ=UTC
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
WORK=$ROOT/build/bench-live
STAGE=$ROOT/build/bench-corpus/live
RESULTS_DIR=${RESULTS_DIR:-$HERE/results}
GROW_SECONDS=${GROW_SECONDS:-60}
# shellcheck source=bench/common.sh
. "$HERE/common.sh"
install_packages

BIN=$ROOT/build/bench/Ombrix
if [[ ${SKIP_BUILD:-0} != 1 ]]; then
  say "building the Release tree build/bench"
  cmake -S "$ROOT" -B "$ROOT/build/bench" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build/bench" -j "$(nproc)" >/dev/null
fi
[[ -x $BIN ]] || die "$BIN was not built"
COMMIT=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)

# ------------------------------------------------------------------ media
# photos/ (1,000 JPEGs: copies of 20 frames), album/ (15 tagged MP3 tracks),
# videos/ (5 MP4 clips), fresh/ (2,000 files: the photos twice and the
# album 66 times, under other names), kept for later runs.
make_stage() {
  [[ -f $STAGE/.done ]] && return 0
  say "making the media in $STAGE"
  rm -rf "$STAGE"; mkdir -p "$STAGE"/{seed,photos,album,videos,fresh}
  local ff=(ffmpeg -nostdin -hide_banner -loglevel error -y) i
  for i in $(seq 0 19); do
    "${ff[@]}" -f lavfi -i "testsrc=s=1920x1080:d=1,trim=start_frame=$i" -frames:v 1 -q:v 3 "$STAGE/seed/p$i.jpg"
  done
  for i in $(seq 1 15); do
    "${ff[@]}" -f lavfi -i "sine=f=$((200 + 20 * i)):d=30" -ac 2 -b:a 192k -metadata title="Track $i" \
      -metadata artist="Live Band" -metadata album="Copied Album" -metadata genre=Rock \
      -metadata track="$i/15" "$STAGE/album/$(printf '%02d' "$i") Track $i.mp3"
  done
  for i in $(seq 1 5); do
    "${ff[@]}" -f lavfi -i "testsrc=s=640x360:r=25:d=10" -f lavfi -i "sine=d=10" -c:v libx264 \
      -preset veryfast -c:a aac -shortest "$STAGE/videos/clip $i.mp4"
  done
  for i in $(seq 0 999); do cp "$STAGE/seed/p$((i % 20)).jpg" "$STAGE/photos/IMG_$(printf '%04d' "$i").jpg"; done
  for i in $(seq 0 1999); do
    if (( i < 1000 )); then cp "$STAGE/photos/IMG_$(printf '%04d' "$i").jpg" "$STAGE/fresh/a$i.jpg"
    elif (( i < 1990 )); then cp "$STAGE/seed/p$((i % 20)).jpg" "$STAGE/fresh/b$i.jpg"
    else cp "$STAGE/album/$(printf '%02d' $((i % 15 + 1))) Track $((i % 15 + 1)).mp3" "$STAGE/fresh/t$i.mp3"; fi
  done
  rm -rf "$STAGE/seed"
  : > "$STAGE/.done"
}

# ------------------------------------------------------------------ Ombrix
# om_start SHARE HOME [env...]: the release daemon at level 4 on SHARE.
om_start() {
  local share=$1 home=$2; shift 2
  mkdir -p "$home/nstemp"; ln -sfn /usr/bin/diff "$home/diff"
  ( cd "$home" && exec env "$@" DLNAHOME="$home" "$BIN" 4 "$share" ) > "$home/stdout" 2>&1 &
  OM_PID=$!
}
om_stop() {
  [[ -n ${OM_PID:-} ]] || return 0
  kill -TERM "$OM_PID" 2>/dev/null || true
  wait "$OM_PID" 2>/dev/null || true
  OM_PID=""
}
# om_wait HOME TEXT [COUNT]: until TEXT is in the log COUNT times.
om_wait() {
  local log=$1/nstemp/Ombrix.log want=${3:-1} t0=$SECONDS n
  while :; do
    n=$(grep -c -F -- "$2" "$log" 2>/dev/null) || n=0
    (( n >= want )) && return 0
    alive "$OM_PID" || die "Ombrix ended (stdout: $(tail -c 300 "$1/stdout"))"
    (( SECONDS - t0 < 600 )) || die "no '$2' in the Ombrix log after 600 s"
    nap 0.02
  done
}
om_count() { sqlite3 "$1/nstemp/daskor.db" "SELECT COUNT(*) FROM OBJECTS WHERE TYPE IN (1,2,3) ${2:-}" 2>/dev/null || echo 0; }

# ------------------------------------------------------------------ waiting for a count
# until_count WANT COMMAND...: polls COMMAND (a count) every 50 ms; sets
# DONE_AT to the moment it first reached WANT ("timeout" after 900 s).
until_count() {
  local want=$1 t0=$SECONDS n; shift
  DONE_AT=timeout
  while (( SECONDS - t0 < 900 )); do
    n=$("$@") || n=0
    if (( ${n:-0} >= want )); then DONE_AT=$EPOCHREALTIME; return 0; fi
    nap 0.05
  done
}
since() { [[ $2 == timeout ]] && echo timeout || elapsed "$1" "$2"; }

# grow FILE SECONDS: appends 64 KiB to FILE four times a second; prints the
# moment of the last write into FILE.last.
grow() {
  local file=$1 end=$((SECONDS + $2))
  while (( SECONDS < end )); do head -c 65536 /dev/urandom >> "$file"; nap 0.25; done
  echo "$EPOCHREALTIME" > "$file.last"
}

run_ombrix() {
  local home share last
  say "Ombrix: 1,020 files copied into the share of a running daemon"
  home=$WORK/om-live share=$WORK/share-live
  rm -rf "$home" "$share"; mkdir -p "$share"
  om_start "$share" "$home"
  om_wait "$home" "Build DB Time = "
  om_wait "$home" "isChanged = false" 2      # right after a cycle: the next is 15 s away
  cp -r "$STAGE/photos" "$STAGE/album" "$STAGE/videos" "$share/"
  local copied=$EPOCHREALTIME
  until_count 1020 om_count "$home"
  O_LIVE=$(since "$copied" "$DONE_AT")
  om_stop
  say "  all catalogued $O_LIVE s after the copy"

  say "Ombrix: first build of 2,000 files copied just before the start"
  home=$WORK/om-fresh share=$WORK/share-fresh
  rm -rf "$home" "$share"; mkdir -p "$share"
  cp -r "$STAGE/fresh" "$share/"
  local t0=$EPOCHREALTIME
  om_start "$share" "$home"
  om_wait "$home" "Build DB Time = "
  O_FRESH=$(elapsed "$t0" "$EPOCHREALTIME") O_FRESH_ROWS=$(om_count "$home")
  om_stop
  rm -rf "$home"; t0=$EPOCHREALTIME
  om_start "$share" "$home" "${FAKETIME_ENV[@]}"
  om_wait "$home" "Build DB Time = "
  O_OLD=$(elapsed "$t0" "$EPOCHREALTIME")
  om_stop
  say "  fresh $O_FRESH s ($O_FRESH_ROWS files), old $O_OLD s"

  say "Ombrix: a video growing for $GROW_SECONDS s while 100 photos are copied in"
  home=$WORK/om-grow share=$WORK/share-grow
  rm -rf "$home" "$share"; mkdir -p "$share/photos"
  om_start "$share" "$home"
  om_wait "$home" "Build DB Time = "
  om_wait "$home" "isChanged = false" 2
  cp "$STAGE/videos/clip 1.mp4" "$share/growing.mp4"
  grow "$share/growing.mp4" "$GROW_SECONDS" &
  local grower=$!
  cp "$STAGE"/photos/IMG_00[0-9][0-9].jpg "$share/photos/"
  copied=$EPOCHREALTIME
  until_count 100 om_count "$home" "AND PATH LIKE '%/photos/%'"
  O_GROW_OTHERS=$(since "$copied" "$DONE_AT")
  wait "$grower"; last=$(cat "$share/growing.mp4.last")
  until_count 1 om_count "$home" "AND PATH LIKE '%/growing.mp4'"
  O_GROW_FILE=$(since "$last" "$DONE_AT")
  O_GROW_SIZE=$(sqlite3 "$home/nstemp/daskor.db" "SELECT FILE_SIZE FROM OBJECTS WHERE PATH LIKE '%/growing.mp4'")
  GROW_SIZE=$(stat -c %s "$share/growing.mp4")
  om_stop
  say "  photos $O_GROW_OTHERS s after their copy, the video $O_GROW_FILE s after its last write"
}

# ------------------------------------------------------------------ MiniDLNA
run_minidlna() {
  local dir share last
  say "MiniDLNA: 1,020 files copied into the share (inotify)"
  dir=$WORK/md-live share=$WORK/share-live
  rm -rf "$dir" "$share"; mkdir -p "$share"
  start_minidlna_on "$dir" "$share" yes "$MD_QUIET,inotify=info"
  wait_watches
  cp -r "$STAGE/photos" "$STAGE/album" "$STAGE/videos" "$share/"
  local copied=$EPOCHREALTIME
  until_count 1020 md_count
  M_LIVE=$(since "$copied" "$DONE_AT")
  stop_minidlna
  say "  all catalogued $M_LIVE s after the copy"

  say "MiniDLNA: first scan of the 2,000 files"
  dir=$WORK/md-fresh share=$WORK/share-fresh
  rm -rf "$dir"
  local t0=$EPOCHREALTIME
  start_minidlna_on "$dir" "$share" no "$MD_QUIET"
  until_count 2000 md_count
  M_FRESH=$(since "$t0" "$DONE_AT")
  stop_minidlna
  say "  scan $M_FRESH s"

  say "MiniDLNA: a video growing for $GROW_SECONDS s while 100 photos are copied in"
  dir=$WORK/md-grow share=$WORK/share-grow
  rm -rf "$dir" "$share"; mkdir -p "$share/photos"
  start_minidlna_on "$dir" "$share" yes "$MD_QUIET,inotify=info"
  wait_watches
  cp "$STAGE/videos/clip 1.mp4" "$share/growing.mp4"
  grow "$share/growing.mp4" "$GROW_SECONDS" &
  local grower=$!
  cp "$STAGE"/photos/IMG_00[0-9][0-9].jpg "$share/photos/"
  copied=$EPOCHREALTIME
  until_count 100 md_count "AND PATH LIKE '%/photos/%'"
  M_GROW_OTHERS=$(since "$copied" "$DONE_AT")
  wait "$grower"; last=$(cat "$share/growing.mp4.last")
  # MiniDLNA enters the file while it is still being written, with the size
  # it had then, and does not come back to it.
  until_count 1 md_count "AND PATH LIKE '%/growing.mp4'"
  M_GROW_FILE=$(since "$last" "$DONE_AT")
  M_GROW_SIZE=$(sqlite3 "$dir/db/files.db" "SELECT SIZE FROM DETAILS WHERE PATH LIKE '%/growing.mp4'")
  stop_minidlna
  say "  photos $M_GROW_OTHERS s after their copy, the video $M_GROW_FILE s after its last write"
}

# ------------------------------------------------------------------ run
cleanup() {
  om_stop; stop_minidlna
  jobs -p | xargs -r kill 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
[[ ! -e /tmp/sleep ]] || die "/tmp/sleep exists: it would pause the daemon (remove it first)"
mkdir -p "$WORK" "$RESULTS_DIR"
make_stage
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
RUN_START=$(date -u '+%Y-%m-%d %H:%M UTC')
run_ombrix
if [[ ${SKIP_MINIDLNA:-0} != 1 ]]; then run_minidlna; fi
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

set +u
m() { if [[ ${SKIP_MINIDLNA:-0} == 1 ]]; then echo "not run"; else echo "$1 s"; fi; }
OUT=$RESULTS_DIR/$(date -u +%Y-%m-%d)-live.md
{
  echo "# New media on the real clock: Ombrix and MiniDLNA"
  echo
  echo "Run of $RUN_START, Ombrix at commit $COMMIT (Release build, \`Ombrix 4 SHARE\`, service cycle 15 s, no libfaketime: every copied file is fresh and watched), MiniDLNA $("$MINIDLNAD" -V 2>/dev/null | awk '{print $NF}') with inotify. Machine: $(nproc) cores, load $LOAD_BEFORE before, $LOAD_AFTER after."
  echo
  echo "| Measure | Ombrix | MiniDLNA | Target |"
  echo "|---|---|---|---|"
  echo "| 1,000 photos, a 15-track album and 5 videos copied into a running daemon's share right after a cycle: from the end of the copy until all are catalogued | $O_LIVE s | $(m "$M_LIVE") | <= 3 s |"
  echo "| First build of 2,000 files copied just before the start | $O_FRESH s ($O_FRESH_ROWS files) | $(m "$M_FRESH") (scan) | - |"
  echo "| The same build with the files old (libfaketime +2 h) | $O_OLD s | - | fresh <= old + 5 s |"
  echo "| A video appended to for $GROW_SECONDS s while 100 photos are copied in: the photos, from the end of their copy | $O_GROW_OTHERS s | $(m "$M_GROW_OTHERS") | <= 3 s |"
  echo "| The same: the video, from its last write (a negative figure: entered before it) | $O_GROW_FILE s | $(m "$M_GROW_FILE") | <= 3 s |"
  echo "| The same: the video's size in the catalogue, of $GROW_SIZE bytes | $O_GROW_SIZE | ${M_GROW_SIZE:-not run} | the whole file |"
  echo
  echo "The copies land right after a service cycle. Ombrix's change notices start the next cycle once they have been quiet for a second (never later than the 15 s tick), and a fresh file is then watched for two polls a second apart; MiniDLNA enters what inotify reports at once."
} > "$OUT"
cat "$OUT"
say "written: $OUT"
