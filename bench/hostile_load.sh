#!/usr/bin/env bash
# Hostile-load benchmark: the floods a hostile peer can send over loopback, each against a
# fresh server on the folder printer, and for each how long a fresh peer waits for the
# printer list (or to print a job) while it lasts, how many bytes the log grew by and the
# server's peak and after-load resident memory.
#
# usage: bench/hostile_load.sh [SERVER]
#   SERVER              the server binary (default: build/linux/quillmesh); any build that
#                       speaks the protocol, so an older one can be measured the same way
# environment:
#   QUILLMESH_PEER      the peer used to see that the server is up (default: quillmesh-peer
#                       beside SERVER, else build/linux/quillmesh-peer)
#   HOSTILE_PEERS       the flood helper (default: build/linux/bench/hostile_peers)
#   BENCH_NOISE_PEERS, BENCH_NOISE_KIB        (a) peers sending noise, KiB each (50, 32)
#   BENCH_LIST_PEERS, BENCH_LIST_REQUESTS     (b) peers asking for the list, times each (200, 2000)
#   BENCH_UPLOAD_PEERS, BENCH_UPLOAD_MIB      (c) peers uploading in 1 KiB frames, MiB each (20, 4)
#   BENCH_IDLE_SOCKETS, BENCH_IDLE_SECONDS    (d) idle connections, seconds held (1100, 10);
#                                             the server runs with QUILLMESH_MAX_SESSIONS=1024
#   BENCH_FILL_SESSIONS, BENCH_FILL_ADDRESSES (e)-(h) the session cap, filled with idle or
#                                             dripping connections from one address or from
#                                             this many (64, 32)
#   BENCH_RESET_PEERS, BENCH_RESET_REQUESTS   (i) peers asking for the list, times each, all
#                                             at once before they reset (200, 2000)
#   BENCH_FLOOD_SECONDS time limit of each flood (default 120)
#   BENCH_FLOODS        the letters of the floods to run (default: all, abcdefghijk)
#   BENCH_FAIR_PAGES, BENCH_FAIR_WAIT         (j) pages of each long PDF, seconds the short
#                                             PDF is waited for (2000, 120)
#   BENCH_BOMB_GIB      (k) GiB the inflating XPS page inflates to (4)
#   BENCH_DIR           where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099), which must be free.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=hostile_load
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
build_dir=$(dirname "$server")
peer=${QUILLMESH_PEER:-$build_dir/quillmesh-peer}
[[ -x $peer ]] || peer=$repo/build/linux/quillmesh-peer
hostile=${HOSTILE_PEERS:-$repo/build/linux/bench/hostile_peers}
noise_peers=${BENCH_NOISE_PEERS:-50}
noise_kib=${BENCH_NOISE_KIB:-32}
list_peers=${BENCH_LIST_PEERS:-200}
list_requests=${BENCH_LIST_REQUESTS:-2000}
upload_peers=${BENCH_UPLOAD_PEERS:-20}
upload_mib=${BENCH_UPLOAD_MIB:-4}
idle_sockets=${BENCH_IDLE_SOCKETS:-1100}
idle_seconds=${BENCH_IDLE_SECONDS:-10}
fill_sessions=${BENCH_FILL_SESSIONS:-64}
fill_addresses=${BENCH_FILL_ADDRESSES:-32}
reset_peers=${BENCH_RESET_PEERS:-200}
reset_requests=${BENCH_RESET_REQUESTS:-2000}
flood_seconds=${BENCH_FLOOD_SECONDS:-120}
floods=${BENCH_FLOODS:-abcdefghijk}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120  # read by lib.sh
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer" "$hostile"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
# The idle flood holds more connections than the default soft limit of some systems.
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-hostile.XXXXXX")
server_pid=""

# Stops what this script started (by PID) and removes the scratch folder.
cleanup() {
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# A field of /proc/PID/status in kB.
status_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }

# Bytes in every log file of the scratch work folder (the current one and rotated ones).
log_bytes() { cat "$work/temp/Quillmesh/log/"QuillmeshLog*.txt 2>/dev/null | wc -c; }

# Runs one flood against a fresh server and prints its figures: a label, the extra
# VAR=value settings for the server (ending with --), the hostile_peers mode and the
# arguments that follow its port.
measure() {
  local label=$1 settings=()
  [[ $floods == *"${label:1:1}"* ]] || return 0
  shift
  while [[ $1 != -- ]]; do settings+=("$1"); shift; done
  shift
  local mode=$1
  shift
  echo "$label"
  rm -rf "$work/temp" "$work/printers" && mkdir -p "$work/temp" "$work/printers/Bench"
  # The log never rotates here, so its size is every byte written.
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" \
    QUILLMESH_ALLOW=127.0.0.0/8 QUILLMESH_LOG_MAX_BYTES=1099511627776 "${settings[@]}"
  local before
  before=$(log_bytes)
  BENCH_SERVER_PID=$server_pid "$hostile" "$mode" "$port" "$@" | sed 's/^/  /'
  local peak
  peak=$(status_kb "$server_pid" VmHWM)
  sleep 3
  printf '  log bytes written: %d\n' $(($(log_bytes) - before))
  printf '  server memory: peak VmHWM %d kB, VmRSS 3 s after the load %d kB\n' "$peak" \
    "$(status_kb "$server_pid" VmRSS)"
  stop_own_server
  rm -rf "$work/printers"
}

# (j) Render slots shared among peers: with one render slot, one peer (127.0.0.2) sends
# four long PDFs; once they render, another peer (127.0.0.3) sends a 2-page PDF, timed
# from its first byte until it is printed (the print order's acknowledgement).
measure_render_fairness() {
  [[ $floods == *j* ]] || return 0
  local fair_pages=${BENCH_FAIR_PAGES:-2000} fair_wait=${BENCH_FAIR_WAIT:-120}
  echo "(j) 4 PDFs of $fair_pages A4 pages from 127.0.0.2 rendering, QUILLMESH_RENDER_JOBS=1;" \
    "a 2-page PDF from 127.0.0.3"
  rm -rf "$work/temp" "$work/printers" && mkdir -p "$work/temp" "$work/printers/Bench"
  local pages
  for pages in "$fair_pages" 2; do
    printf '%%!PS\n<< /PageSize [595 842] >> setpagedevice /Helvetica findfont 24 scalefont setfont\n1 1 %d { dup %d div setgray 0 0 595 842 rectfill 0 setgray 72 72 moveto 8 string cvs show showpage } for\n' \
      "$pages" "$pages" >"$work/pages.ps"
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work/$pages.pdf" "$work/pages.ps" >/dev/null
  done
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" \
    QUILLMESH_ALLOW=127.0.0.0/8 QUILLMESH_RENDER_JOBS=1
  local long_pids=() job
  for job in 1 2 3 4; do
    "$peer" print --bind 127.0.0.2 --port "$port" --no-status -d Bench "$work/$fair_pages.pdf" \
      >/dev/null 2>&1 &
    long_pids+=($!)
  done
  # Rendering has begun once a page file exists.
  local deadline=$((SECONDS + 120))
  until compgen -G "$work/temp/Quillmesh/temp/*.bmp" >/dev/null; do
    ((SECONDS < deadline)) || { echo "$bench_name: the long PDFs do not render" >&2; break; }
    sleep 0.1
  done
  local start
  start=$(now_ns)
  if timeout "$fair_wait" "$peer" print --bind 127.0.0.3 --port "$port" -d Bench "$work/2.pdf" \
    >/dev/null 2>&1; then
    printf '  the 2-page PDF printed %s s after it was sent\n' "$(ns_to_s $(($(now_ns) - start)))"
  else
    printf '  the 2-page PDF was not printed within %d s\n' "$fair_wait"
  fi
  stop_own_server
  for job in "${long_pids[@]}"; do stop_pid "$job"; done
  rm -rf "$work/temp" "$work/printers"
}

# (k) XPS bombs, each sent alone and then two inflating pages at once, to a server under a
# 3 GiB address-space limit: how long until the job failed and why, whether the server
# lived on, its peak memory, and how long a RAW job took to print after them.
measure_xps_bombs() {
  [[ $floods == *k* ]] || return 0
  local bomb_gib=${BENCH_BOMB_GIB:-4} corpus=$repo/tests/fuzz/corpus/xps_package
  echo "(k) XPS bombs against a server under a 3 GiB address-space limit"
  rm -rf "$work/temp" "$work/printers" && mkdir -p "$work/temp" "$work/printers/Bench"
  python3 "$repo/bench/xps_bombs.py" "$work/page-inflates.xps" "$bomb_gib"
  printf 'raw\n' >"$work/after.prn"
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" \
    QUILLMESH_ALLOW=127.0.0.0/8 QUILLMESH_RENDER_SECONDS=60
  prlimit --pid "$server_pid" --as=$((3 << 30))
  local bomb start reason
  for bomb in "$corpus/regression-zip64-font-claims-1tib" \
    "$corpus/regression-many-pages-10000x10000" "$work/page-inflates.xps" two; do
    start=$(now_ns)
    if [[ $bomb == two ]]; then
      "$peer" print --port "$port" --format xps -d Bench "$work/page-inflates.xps" \
        >"$work/first.out" 2>&1 &
      local first=$!
      reason=$("$peer" print --port "$port" --format xps -d Bench "$work/page-inflates.xps" 2>&1 |
        tail -1) || true
      wait "$first" || true
      bomb="two of page-inflates.xps at once"
    else
      reason=$("$peer" print --port "$port" --format xps -d Bench "$bomb" 2>&1 | tail -1) || true
      bomb="$(basename "$bomb") ($(stat -c %s "$bomb") bytes)"
    fi
    printf '  %s: %s s, %s\n' "$bomb" "$(ns_to_s $(($(now_ns) - start)))" "$reason"
  done
  if kill -0 "$server_pid" 2>/dev/null; then
    printf '  server alive, peak VmHWM %d kB\n' "$(status_kb "$server_pid" VmHWM)"
    start=$(now_ns)
    "$peer" print --port "$port" --format raw -d Bench "$work/after.prn" >/dev/null 2>&1 &&
      printf '  a RAW job printed %s s after it was sent\n' "$(ns_to_s $(($(now_ns) - start)))"
  else
    echo "  the server died"
  fi
  stop_own_server
  rm -rf "$work/temp" "$work/printers"
}

echo "$bench_name: $server (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
# The first three floods come from one address, as they did before the cap per peer.
one_peer=QUILLMESH_MAX_SESSIONS_PER_PEER=1024
measure "(a) $noise_peers peers x $noise_kib KiB of noise" $one_peer -- \
  noise "$noise_peers" $((noise_kib * 1024)) "$flood_seconds"
measure "(b) $list_peers peers x $list_requests printer-list requests" $one_peer -- \
  list "$list_peers" "$list_requests" "$flood_seconds"
measure "(c) $upload_peers peers uploading $upload_mib MiB each in 1 KiB frames" $one_peer -- \
  upload "$upload_peers" $((upload_mib * 1048576)) Bench "$flood_seconds"
measure "(d) $idle_sockets idle connections held ${idle_seconds} s, QUILLMESH_MAX_SESSIONS=1024" $one_peer \
  QUILLMESH_MAX_SESSIONS=1024 -- idle "$idle_sockets" "$idle_seconds" "$flood_seconds"
# (e) to (h): the session cap full of connections between jobs; a fresh peer prints a job.
fill_cap() {
  measure "$1 $fill_sessions $2 connections from $3 address(es), QUILLMESH_MAX_SESSIONS=$fill_sessions" \
    QUILLMESH_MAX_SESSIONS="$fill_sessions" -- fill "$2" "$fill_sessions" "$3" Bench "$flood_seconds"
}
fill_cap "(e)" idle 1
fill_cap "(f)" idle "$fill_addresses"
fill_cap "(g)" drip 1
fill_cap "(h)" drip "$fill_addresses"
measure "(i) $reset_peers peers x $reset_requests printer-list requests at once, then reset" -- \
  listreset "$reset_peers" "$reset_requests" "$flood_seconds"
measure_render_fairness
measure_xps_bombs
