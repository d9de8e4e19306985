#!/usr/bin/env bash
# Memory benchmark: the server's resident memory when idle, at its peak while many peers
# are in the middle of an upload at once, in the seconds after they have all left, and
# while they stay connected and silent after their jobs.
#
# usage: bench/memory_after_load.sh [SERVER]
#   SERVER              the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER      the peer (default: quillmesh-peer beside SERVER)
#   UPLOAD_SWARM        the many-peers helper (default: bench/upload_swarm beside SERVER)
#   BENCH_SWARM         peers uploading at once (default 1000)
#   BENCH_SWARM_MIB     each peer's RAW job in MiB (default 2)
#   BENCH_ROUNDS        loads, one after the other on the same server (default 2)
#   BENCH_AFTER_SECONDS seconds the memory is followed after each load (default 5)
#   BENCH_HOLD_SECONDS  seconds the peers of the last load stay connected (default 6)
#   BENCH_DIR           where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099), which must be free.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=memory_after_load
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
build_dir=$(dirname "$server")
peer=${QUILLMESH_PEER:-$build_dir/quillmesh-peer}
swarm=${UPLOAD_SWARM:-$build_dir/bench/upload_swarm}
swarm_count=${BENCH_SWARM:-1000}
swarm_mib=${BENCH_SWARM_MIB:-2}
rounds=${BENCH_ROUNDS:-2}
after_seconds=${BENCH_AFTER_SECONDS:-5}
hold_seconds=${BENCH_HOLD_SECONDS:-6}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer" "$swarm"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-bench.XXXXXX")
server_pid=""
swarm_pid=""

# Stops the server and the swarm (by PID) and removes the scratch folder.
cleanup() {
  stop_pid "$swarm_pid"
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# A field of /proc/PID/status in kB.
status_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }

# The server's VmRSS, with its MiB and how far it is above the idle figure.
rss_figure() {
  local rss
  rss=$(status_kb "$server_pid" VmRSS)
  printf 'VmRSS %8d kB (%s MiB, %+.1f MiB over idle)' "$rss" "$(mib "$rss")" \
    "$(awk -v r="$rss" -v i="$idle_rss" 'BEGIN { print (r - i) / 1024 }')"
}

# kB as MiB with one decimal.
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# The server's session threads: every thread but the listener.
session_threads() { echo $(($(status_kb "$server_pid" Threads) - 1)); }

if server_answers; then
  echo "$bench_name: something already answers on port $port; stop it first" >&2
  exit 2
fi

mkdir -p "$work/temp" "$work/printers/Bench"
echo "$swarm_count peers uploading ${swarm_mib} MiB RAW jobs at once, $rounds rounds (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
# Every peer of the swarm comes from 127.0.0.1.
start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" \
  QUILLMESH_MAX_SESSIONS_PER_PEER=1024
sleep 1
idle_rss=$(status_kb "$server_pid" VmRSS)
printf '  idle:                            VmRSS %8d kB (%s MiB)\n' "$idle_rss" "$(mib "$idle_rss")"
swarm_bytes=$((swarm_mib * 1048576))
for round in $(seq "$rounds"); do
  # Resets VmHWM, so each round's peak is its own.
  echo 5 >"/proc/$server_pid/clear_refs"
  "$swarm" send "$port" "$swarm_count" "$swarm_bytes" Bench | sed 's/^/  /'
  peak_rss=$(status_kb "$server_pid" VmHWM)
  printf '  round %d, peak during the load:   VmHWM %8d kB (%s MiB)\n' "$round" "$peak_rss" \
    "$(mib "$peak_rss")"
  for second in $(seq "$after_seconds"); do
    sleep 1
    printf '  round %d, %d s after the last left: %s, %d session threads\n' "$round" "$second" \
      "$(rss_figure)" "$(session_threads)"
  done
  rm -f "$work/printers/Bench/"*
done

# The same load, but every peer stays connected and silent after its job.
"$swarm" send "$port" "$swarm_count" "$swarm_bytes" Bench "$hold_seconds" >"$work/swarm.out" &
swarm_pid=$!
until grep -q 'connections stay open' "$work/swarm.out"; do
  kill -0 "$swarm_pid" 2>/dev/null || { echo "$bench_name: the swarm ended early" >&2; cat "$work/swarm.out" >&2; exit 1; }
  sleep 0.2
done
sleep 2
printf '  %d peers connected and silent 2 s after their jobs: %s, %d session threads\n' \
  "$swarm_count" "$(rss_figure)" "$(session_threads)"
wait "$swarm_pid"
swarm_pid=""
sleep 1
printf '  1 s after they left:                          %s\n' "$(rss_figure)"
stop_own_server
