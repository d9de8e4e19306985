#!/usr/bin/env bash
# Upload benchmark: a RAW job's upload through the server, with data frames in flight and
# with one frame at a time, against a plain loopback copy of the same bytes into a file
# (the floor); then the server's memory with many idle and many uploading peers.
#
# usage: bench/upload_throughput.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
#   LOOPBACK_SINK     the floor helper (default: bench/loopback_sink beside SERVER)
#   UPLOAD_SWARM      the many-peers helper (default: bench/upload_swarm beside SERVER)
#   BENCH_SIZE_MIB    upload size in MiB (default 256)
#   BENCH_RUNS        runs of each upload measurement; medians are compared (default 3)
#   BENCH_WINDOW      frames in flight for the windowed upload (default 4)
#   BENCH_IDLE        idle connections for the memory figure (default 1000)
#   BENCH_SWARM       peers uploading at once for the memory figure (default 1000)
#   BENCH_SWARM_MIB   each of those peers' job size in MiB (default 2)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099), which must be free.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=upload_throughput
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
build_dir=$(dirname "$server")
peer=${QUILLMESH_PEER:-$build_dir/quillmesh-peer}
sink=${LOOPBACK_SINK:-$build_dir/bench/loopback_sink}
swarm=${UPLOAD_SWARM:-$build_dir/bench/upload_swarm}
size_mib=${BENCH_SIZE_MIB:-256}
runs=${BENCH_RUNS:-3}
window=${BENCH_WINDOW:-4}
idle_count=${BENCH_IDLE:-1000}
swarm_count=${BENCH_SWARM:-1000}
swarm_mib=${BENCH_SWARM_MIB:-2}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer" "$sink" "$swarm"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "$bench_name: python3 is needed" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-bench.XXXXXX")
server_pid=""
helper_pid=""

# Stops what this script started (by PID) and removes the scratch folder.
cleanup() {
  for pid in $helper_pid $server_pid; do
    stop_pid "$pid"
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A field of /proc/PID/status in kB.
status_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }

# Lets the previous run's file removal and write-back settle before the next timing.
settle() { sync; sleep 1; }

# One upload through the server with WINDOW frames in flight, to a printer that does not
# exist (the print path then only removes the job file); prints the nanoseconds from the
# first data frame to the last data frame's acknowledgement, as the peer measured them.
time_server_upload() {
  local seconds
  seconds=$("$peer" print --printer Absent --format raw --chunk 1048576 --window "$1" \
    --port "$port" "$work/input.bin" 2>/dev/null | sed -n 's/.*: uploaded [0-9]* bytes in \([0-9.]*\) s,.*/\1/p')
  [[ -n $seconds ]] || { echo "$bench_name: the upload failed" >&2; exit 1; }
  awk -v s="$seconds" 'BEGIN { printf "%d", s * 1e9 }'
}

# One floor run: loopback_sink pushes the bytes over loopback TCP into a file; prints ns.
time_floor() {
  "$sink" receive "$work/floor.bin" >"$work/sink.port" &
  helper_pid=$!
  for _ in $(seq 50); do [[ -s $work/sink.port ]] && break; sleep 0.1; done
  local start
  start=$(now_ns)
  "$sink" send "$(head -n1 "$work/sink.port")" "$work/input.bin"
  echo $(( $(now_ns) - start ))
  wait "$helper_pid"
  helper_pid=""
  rm -f "$work/floor.bin" "$work/sink.port"
}

# Checks once that an upload through the server prints the input byte for byte.
verify_upload() {
  "$peer" print --printer Bench --format raw --window "$window" --port "$port" "$work/input.bin" \
    >/dev/null 2>&1 || { echo "$bench_name: the verifying upload failed" >&2; exit 1; }
  if cmp -s "$work/printers/Bench/1.prn" "$work/input.bin"; then
    echo "  job data verified: the printed document matches the input"
  else
    echo "  warning: the printed document differs from the input" >&2
  fi
  rm -f "$work/printers/Bench/"*
}

# Opens COUNT connections that send nothing and holds them until killed; creates the
# file READY once the server runs a thread for each.
hold_idle_connections() {
  python3 - "$port" "$1" "$server_pid" "$work/held" <<'PY' &
import socket, sys, time
port, count, server_pid, ready = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
def threads():
    with open(f"/proc/{server_pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))
base = threads()
held = []
while len(held) < count:
    held += [socket.create_connection(("127.0.0.1", port)) for _ in range(min(16, count - len(held)))]
    deadline = time.monotonic() + 10
    while threads() < base + len(held) and time.monotonic() < deadline:
        time.sleep(0.001)
open(ready, "w").close()
while True:
    time.sleep(60)
PY
  helper_pid=$!
  for _ in $(seq 600); do [[ -e $work/held ]] && break; sleep 0.1; done
  [[ -e $work/held ]] || { echo "$bench_name: could not open $1 connections" >&2; exit 1; }
}

if server_answers; then
  echo "$bench_name: something already answers on port $port; stop it first" >&2
  exit 2
fi

bytes=$((size_mib * 1048576))
echo "creating $size_mib MiB of random bytes in $work (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
head -c "$bytes" /dev/urandom >"$work/input.bin"
mkdir -p "$work/temp" "$work/printers/Bench"

start_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers"
verify_upload

echo "upload, first data frame to the last data frame's acknowledgement, 1 MiB frames; $runs runs each:"
floor_times=() window_times=() single_times=()
# Each run starts with another of the three, so no figure always follows the same one.
kinds=(floor window single)
for run in $(seq "$runs"); do
  for step in 0 1 2; do
    settle
    case ${kinds[$(((run + step) % 3))]} in
      floor) floor_times+=("$(time_floor)") ;;
      window) window_times+=("$(time_server_upload "$window")") ;;
      single) single_times+=("$(time_server_upload 1)") ;;
    esac
  done
  printf '  run %d: floor %s s, server window %d %s s, server window 1 %s s\n' "$run" \
    "$(ns_to_s "${floor_times[-1]}")" "$window" "$(ns_to_s "${window_times[-1]}")" \
    "$(ns_to_s "${single_times[-1]}")"
done
floor_ns=$(median "${floor_times[@]}")
window_ns=$(median "${window_times[@]}")
single_ns=$(median "${single_times[@]}")
floor_rate=$(mib_per_s "$bytes" "$floor_ns")
echo "  medians:"
printf '  floor (loopback socket into a file):  %8s MiB/s\n' "$floor_rate"
for figure in "frames in flight (window $window):$window_ns" "one frame at a time (window 1):$single_ns"; do
  rate=$(mib_per_s "$bytes" "${figure##*:}")
  printf '  server, %-31s %8s MiB/s  ratio %s of the floor\n' "${figure%:*}" "$rate" \
    "$(awk -v r="$rate" -v f="$floor_rate" 'BEGIN { printf "%.2f", r / f }')"
done
stop_pid "$server_pid"
server_pid=""

echo "server memory (a fresh server):"
rm -rf "$work/temp" "$work/printers/Bench" && mkdir -p "$work/temp" "$work/printers/Bench"
# Every peer of the swarm comes from 127.0.0.1.
start_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" \
  QUILLMESH_MAX_SESSIONS_PER_PEER=1024
start_rss=$(status_kb "$server_pid" VmRSS)
hold_idle_connections "$idle_count"
idle_rss=$(status_kb "$server_pid" VmRSS)
stop_pid "$helper_pid"
helper_pid=""
printf '  VmRSS at start:                 %8d kB\n' "$start_rss"
printf '  VmRSS with %4d idle peers:     %8d kB (%.1f MiB)\n' "$idle_count" "$idle_rss" \
  "$(awk -v k="$idle_rss" 'BEGIN { print k / 1024 }')"
swarm_bytes=$((swarm_mib * 1048576))
"$swarm" send "$port" "$swarm_count" "$swarm_bytes" Bench | sed 's/^/  /'
peak_rss=$(status_kb "$server_pid" VmHWM)
printf '  VmHWM with %4d peers uploading %d MiB each at once: %d kB (%.2f GiB)\n' "$swarm_count" \
  "$swarm_mib" "$peak_rss" "$(awk -v k="$peak_rss" 'BEGIN { print k / 1048576 }')"
"$swarm" verify "$work/printers/Bench" "$swarm_count" "$swarm_bytes" | sed 's/^/  /'
