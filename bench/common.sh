# bench/common.sh: what bench/run.sh and bench/live.sh share: messages,
# packages, waiting, and MiniDLNA in a network namespace of its own.
# Sourced after DAEMON_LOCALE (and FAKE_OFFSET, when it is not +2h) are set.

say() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { say "error: $*"; exit 1; }

# ------------------------------------------------------------------ packages
install_packages() {
  local need=() pkg
  command -v minidlnad >/dev/null || [[ -x /usr/sbin/minidlnad ]] || need+=(minidlna)
  command -v faketime >/dev/null || need+=(faketime)
  [[ -x /usr/bin/time ]] || need+=(time)
  command -v sqlite3 >/dev/null || need+=(sqlite3)
  command -v ffmpeg >/dev/null || need+=(ffmpeg)
  command -v ip >/dev/null || need+=(iproute2)
  command -v cmake >/dev/null || need+=(cmake)
  ((${#need[@]})) || return 0
  [[ ${SKIP_INSTALL:-0} != 1 && $(id -u) == 0 ]] || die "missing packages: ${need[*]} (apt-get install ${need[*]})"
  say "installing ${need[*]}"
  # The minidlna package would start its system service; keep it from doing so.
  local policy=/usr/sbin/policy-rc.d made_policy=0
  if [[ ! -e $policy ]]; then printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod +x "$policy"; made_policy=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >&2 ||
    { apt-get update >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >&2; }
  (( made_policy )) && rm -f "$policy"
  for pkg in "${need[@]}"; do
    [[ $pkg == minidlna ]] && command -v systemctl >/dev/null && systemctl disable --now minidlna >/dev/null 2>&1 || true
  done
}
MINIDLNAD=$(command -v minidlnad || echo /usr/sbin/minidlnad)
LIBFAKETIME=${LIBFAKETIME:-$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 2>/dev/null | head -n1)}
[[ -n $LIBFAKETIME && -f $LIBFAKETIME ]] || die "libfaketimeMT.so.1 not found (apt-get install faketime)"
FAKETIME_ENV=(LD_PRELOAD="$LIBFAKETIME" FAKETIME="${FAKE_OFFSET:-+2h}" NO_FAKE_STAT=1 DONT_FAKE_MONOTONIC=1)

# Waiting on bash builtins only, so a 20 ms polling loop costs little of the
# two cores it shares.
exec {NAPFD}<> <(:)
nap() { read -r -t "${1:-0.02}" -u "$NAPFD" _ || true; }
alive() { local s=""; { read -r _ _ s _ < /proc/"$1"/stat; } 2>/dev/null; [[ -n $s && $s != Z ]]; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# ------------------------------------------------------------------ MiniDLNA
MD_QUIET=general,artwork,database,inotify,scanner,metadata,http,ssdp,tivo=warn
# start_minidlna_on DIR MEDIA_DIR INOTIFY(yes|no) LOG_LEVEL EXTRA-FLAGS...:
# its configuration, database and log in DIR; only the loopback interface.
start_minidlna_on() {
  local dir=$1 media=$2 inotify=$3 level=$4; shift 4
  MD_DIR=$dir
  mkdir -p "$dir/db" "$dir/log"
  printf '%s\n' "media_dir=$media" "db_dir=$dir/db" "log_dir=$dir/log" "port=${PORT:-18200}" \
    network_interface=lo friendly_name=bench "inotify=$inotify" notify_interval=86400 \
    enable_tivo=no "log_level=$level" > "$dir/minidlna.conf"
  rm -f "$dir/log/minidlna.log"
  env "${DAEMON_LOCALE[@]}" unshare --net sh -c 'ip link set lo up && exec "$@"' sh \
    "$MINIDLNAD" -S -f "$dir/minidlna.conf" -P "$dir/minidlna.pid" "$@" > "$dir/stdout" 2>&1 &
  MD_PID=$!
}
md_fail() { say "error: $*"; tail -n 20 "$MD_DIR/log/minidlna.log" >&2 2>/dev/null; exit 1; }
stop_minidlna() {
  [[ -n ${MD_PID:-} ]] || return 0
  local i
  kill -TERM "$MD_PID" 2>/dev/null || true
  for (( i = 0; i < 500; i++ )); do alive "$MD_PID" || break; nap 0.02; done
  alive "$MD_PID" && kill -KILL "$MD_PID" 2>/dev/null
  wait "$MD_PID" 2>/dev/null || true
  MD_PID=""
}
# md_count [CONDITION]: catalogued files (with a MIME type); CONDITION
# ("AND ...") narrows them.
md_count() { sqlite3 "$MD_DIR/db/files.db" "SELECT COUNT(*) FROM DETAILS WHERE MIME IS NOT NULL ${1:-}" 2>/dev/null || echo 0; }

# With inotify on, ready once it has set its watches: their count has
# stopped growing.
wait_watches() {
  local t0=${EPOCHREALTIME%.*} watches=0 last=-1 stable=0
  while (( stable < 10 )); do
    alive "$MD_PID" || md_fail "minidlnad ended at start"
    (( ${EPOCHREALTIME%.*} - t0 < 600 )) || md_fail "minidlnad set no inotify watches in 600 s"
    nap 0.1
    watches=$(grep -c 'Added watch to' "$MD_DIR/log/minidlna.log" 2>/dev/null || true)
    if (( watches > 0 && watches == last )); then stable=$(( stable + 1 )); else stable=0; fi
    last=$watches
  done
}
