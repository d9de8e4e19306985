#!/usr/bin/env bash
# What the administrator's window costs: the server's CPU time while a browser sits on
# the overview (its live part fetched every 2 s, as the page's script does), the time of
# a /metrics scrape with a full job history, and the resident memory after the same jobs
# with the window and with QUILLMESH_ADMIN=off.
#
# usage: bench/admin_window.sh [SERVER]
#   SERVER              the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER      the peer (default: quillmesh-peer beside SERVER)
#   BENCH_JOBS          RAW jobs printed before measuring (default 1000)
#   BENCH_IDLE_SECONDS  seconds the overview is polled (default 60)
#   BENCH_SCRAPES       /metrics scrapes timed (default 20)
#   BENCH_DIR           where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099) and the window on
# BENCH_ADMIN_PORT (default 9098); both must be free.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=admin_window
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=${QUILLMESH_PEER:-$(dirname "$server")/quillmesh-peer}
jobs=${BENCH_JOBS:-1000}
idle_seconds=${BENCH_IDLE_SECONDS:-60}
scrapes=${BENCH_SCRAPES:-20}
port=${QUILLMESH_PORT:-9099}
admin_port=${BENCH_ADMIN_PORT:-9098}
window=http://127.0.0.1:$admin_port
PORT_WAIT_SECONDS=30
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer" curl; do
  command -v "$tool" >/dev/null || { echo "$bench_name: $tool is missing" >&2; exit 2; }
done

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-bench.XXXXXX")
server_pid=""
cleanup() {
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a server on a fresh work folder and folder printer with the window setting $1.
start_with_window() {
  rm -rf "$work/temp" "$work/printers"
  mkdir -p "$work/printers/Lab" "$work/temp"
  chmod 700 "$work/temp"
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" \
    QUILLMESH_PORT="$port" QUILLMESH_ADMIN="$1" QUILLMESH_JOB_HISTORY="$jobs"
}

# Prints the benchmark's RAW jobs one after the other.
print_jobs() {
  printf 'printer data\n' >"$work/job.prn"
  for _ in $(seq "$jobs"); do
    "$peer" print -d Lab --port "$port" --format raw --no-status "$work/job.prn" >/dev/null 2>&1
  done
}

# The largest of the arguments (numbers).
largest() { printf '%s\n' "$@" | sort -n | tail -1; }

# The server's user + system CPU time in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$server_pid/stat"; }

# The server's resident memory in kB.
rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$server_pid/status"; }

echo "== with the window on $window, $jobs jobs in the history"
start_with_window "127.0.0.1:$admin_port"
print_jobs
curl -sf -o /dev/null "$window/" || { echo "$bench_name: the window does not answer" >&2; exit 1; }

# The whole scrape as curl sees it, and the server's part: from the request sent to the
# answer's first byte.
totals=()
answers=()
for _ in $(seq "$scrapes"); do
  read -r sent first total < <(curl -sf -o /dev/null \
    -w '%{time_pretransfer} %{time_starttransfer} %{time_total}\n' "$window/metrics")
  totals+=("$total")
  answers+=("$(awk -v a="$sent" -v b="$first" 'BEGIN { printf "%.6f", b - a }')")
done
echo "/metrics scrape ($scrapes): whole median $(median "${totals[@]}") s, worst $(largest "${totals[@]}") s; server's answer median $(median "${answers[@]}") s, worst $(largest "${answers[@]}") s"

ticks_before=$(cpu_ticks)
for _ in $(seq $((idle_seconds / 2))); do
  curl -sf -o /dev/null "$window/live/overview"
  sleep 2
done
ticks=$(($(cpu_ticks) - ticks_before))
echo "CPU with the overview polled every 2 s for ${idle_seconds} s: $ticks ticks, $(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v s="$idle_seconds" 'BEGIN { printf "%.3f", 100 * t / hz / s }') % of a core"
with_window=$(rss_kb)
stop_own_server

echo "== QUILLMESH_ADMIN=off, the same jobs"
start_with_window off
print_jobs
without_window=$(rss_kb)
stop_own_server
echo "VmRSS after the jobs: $with_window kB with the window (after the polling), $without_window kB without; difference $(awk -v a="$with_window" -v b="$without_window" 'BEGIN { printf "%+.1f", (a - b) / 1024 }') MiB"
