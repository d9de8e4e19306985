#!/usr/bin/env bash
# Upload benchmark: time a RAW job upload through the server against a plain loopback
# copy of the same bytes, then the server's resident memory with idle connections.
#
# usage: bench/upload_throughput.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
#   LOOPBACK_SINK     the baseline helper (default: bench/loopback_sink beside SERVER)
#   BENCH_SIZE_MIB    upload size in MiB (default 256)
#   BENCH_IDLE        idle connections for the memory figure (default 500)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099), which must be free.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=upload_throughput
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
build_dir=$(dirname "$server")
peer=${QUILLMESH_PEER:-$build_dir/quillmesh-peer}
sink=${LOOPBACK_SINK:-$build_dir/bench/loopback_sink}
size_mib=${BENCH_SIZE_MIB:-256}
idle_count=${BENCH_IDLE:-500}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer" "$sink"; do
  [[ -x $tool ]] || { echo "upload_throughput: $tool is missing; build it first" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "upload_throughput: python3 is needed" >&2; exit 2; }

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

# Compares the job's stored bytes (temporary file or folder-printer output) with the input.
verify_upload() {
  local stored
  stored=$(find "$work/temp" "$work/printers" -type f -name '*.prn' -size "${bytes}c" -print -quit)
  if [[ -n $stored ]] && cmp -s "$stored" "$work/input.bin"; then
    echo "  job data verified: $(basename "$stored") matches the input"
  else
    echo "  warning: no stored job file matches the input" >&2
  fi
}

if server_answers; then
  echo "upload_throughput: something already answers on port $port; stop it first" >&2
  exit 2
fi

bytes=$((size_mib * 1048576))
echo "creating $size_mib MiB of random bytes in $work"
head -c "$bytes" /dev/urandom >"$work/input.bin"
mkdir -p "$work/temp" "$work/printers/Bench"

start_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers"

echo "upload through the server (quillmesh-peer, raw, 1 MiB chunks):"
start=$(now_ns)
"$peer" print --printer Bench --format raw --chunk 1048576 --port "$port" "$work/input.bin"
peer_ns=$(( $(now_ns) - start ))
peer_rate=$(mib_per_s "$bytes" "$peer_ns")
verify_upload
find "$work/temp" "$work/printers" -type f -name '*.prn' -delete

echo "baseline (plain socket reads into a file over loopback):"
"$sink" receive "$work/baseline.bin" >"$work/sink.port" &
helper_pid=$!
for _ in $(seq 50); do [[ -s $work/sink.port ]] && break; sleep 0.1; done
start=$(now_ns)
"$sink" send "$(head -n1 "$work/sink.port")" "$work/input.bin"
base_ns=$(( $(now_ns) - start ))
wait "$helper_pid"
helper_pid=""
base_rate=$(mib_per_s "$bytes" "$base_ns")
rm -f "$work/baseline.bin"

printf '  server upload: %8s MiB/s (%d MiB in %.2f s)\n' "$peer_rate" "$size_mib" "$(awk -v ns="$peer_ns" 'BEGIN { print ns / 1e9 }')"
printf '  baseline:      %8s MiB/s (%d MiB in %.2f s)\n' "$base_rate" "$size_mib" "$(awk -v ns="$base_ns" 'BEGIN { print ns / 1e9 }')"
awk -v p="$peer_rate" -v b="$base_rate" 'BEGIN { printf "  ratio:         %8.2f (server / baseline)\n", p / b }'

echo "server memory with $idle_count idle connections:"
idle_rss=$(status_kb "$server_pid" VmRSS)
# The listener's backlog is small, so connections are opened a few at a time, each batch
# only once the server has started a thread for every connection before it.
python3 - "$port" "$idle_count" "$server_pid" "$work/held" <<'PY' &
import socket, sys, time
port, count, server_pid, ready = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
def threads():
    with open(f"/proc/{server_pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))
base = threads()
held = []
while len(held) < count:
    held += [socket.create_connection(("127.0.0.1", port)) for _ in range(min(4, count - len(held)))]
    deadline = time.monotonic() + 10
    while threads() < base + len(held) and time.monotonic() < deadline:
        time.sleep(0.001)
open(ready, "w").close()
while True:
    time.sleep(60)
PY
helper_pid=$!
for _ in $(seq 600); do [[ -e $work/held ]] && break; sleep 0.1; done
[[ -e $work/held ]] || { echo "upload_throughput: could not open $idle_count connections" >&2; exit 1; }
held_rss=$(status_kb "$server_pid" VmRSS)
threads=$(status_kb "$server_pid" Threads)
kill "$helper_pid" && wait "$helper_pid" 2>/dev/null || true
helper_pid=""
printf '  VmRSS idle:    %8d kB\n' "$idle_rss"
printf '  VmRSS held:    %8d kB (%d threads, %.1f kB per connection)\n' "$held_rss" "$threads" \
  "$(awk -v h="$held_rss" -v i="$idle_rss" -v n="$idle_count" 'BEGIN { print (h - i) / n }')"
