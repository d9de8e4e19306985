#!/usr/bin/env bash
# RAW print benchmark: time a RAW job from the peer's first byte until the whole document
# is at the printer, (a) on the folder printer against the floor of its two writes (a
# plain loopback socket read into a file, then a plain cp of that file), (b) on a private
# CUPS queue against lp of the same file. Each figure is the median of several runs.
#
# usage: bench/raw_throughput.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
#   LOOPBACK_SINK     the floor helper (default: bench/loopback_sink beside SERVER)
#   BENCH_SIZE_MIB    job size in MiB (default 256)
#   BENCH_RUNS        runs per measurement (default 3)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099); while something else holds it the script
# waits up to two minutes for it to free up.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=raw_throughput
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=${QUILLMESH_PEER:-$(dirname "$server")/quillmesh-peer}
sink=${LOOPBACK_SINK:-$(dirname "$server")/bench/loopback_sink}
testbed=$repo/tests/cups/testbed.sh
size_mib=${BENCH_SIZE_MIB:-256}
runs=${BENCH_RUNS:-3}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120
readonly DELIVERY_TIMEOUT_SECONDS=600
# ippeveprinter names a kept document after its job name, lowercased.
readonly IPP_DOCUMENT_GLOB='*-quillmesh_raw_job.dat'
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer" "$sink" "$testbed"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
for tool in lp lpstat cancel ss; do
  command -v "$tool" >/dev/null || { echo "$bench_name: $tool is needed" >&2; exit 2; }
done

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-raw-bench.XXXXXX")
input=$work/input.bin
bytes=$((size_mib * 1048576))
server_pid=""
bed_dir=""
mismatches=0

# Stops what this script started (the server by PID, the test bed by its recorded PIDs)
# and removes the scratch folder with every big file in it.
cleanup() {
  stop_pid "$server_pid"
  if [[ -n $bed_dir ]]; then "$testbed" stop "$bed_dir" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until a file in DIR matching GLOB has the job's full size, and prints its path.
# With REQUIRE_SUFFIX, a file only counts once its twin with that suffix exists too.
await_full_file() {
  local dir=$1 glob=$2 require_suffix=${3:-} file
  local deadline=$((SECONDS + DELIVERY_TIMEOUT_SECONDS))
  while ((SECONDS < deadline)); do
    for file in "$dir"/$glob; do
      [[ -f $file ]] || continue
      [[ -z $require_suffix || -e ${file%.*}$require_suffix ]] || continue
      [[ $(stat -c %s "$file") == "$bytes" ]] && { echo "$file"; return 0; }
    done
    sleep 0.01
  done
  echo "$bench_name: no complete document in $dir after ${DELIVERY_TIMEOUT_SECONDS}s" >&2
  exit 1
}

# Compares a delivered file with the input: sets run_verdict and counts a mismatch.
check_bytes() {
  if cmp -s "$1" "$input"; then
    run_verdict="bytes match"
  else
    run_verdict="BYTES DIFFER"
    mismatches=$((mismatches + 1))
  fi
}

# Prints one measured figure: its label, the median in seconds and MiB/s.
report_figure() {
  printf '  %-44s %7s s %8s MiB/s\n' "$1" "$(ns_to_s "$2")" "$(mib_per_s "$bytes" "$2")"
}

# Prints the ratio of two medians' rates: server / baseline.
report_ratio() {
  awk -v s="$1" -v b="$2" 'BEGIN { printf "  %-44s %7.2f (server MiB/s / baseline MiB/s; baseline is %.1fx faster)\n", "ratio:", b / s, s / b }'
}

# Sends the input as one RAW job in 1 MiB chunks to a printer; its progress lines are
# kept out of the figures and shown only when the job fails.
send_raw_job() {
  "$peer" print --printer "$1" --format raw --chunk 1048576 --port "$port" "$input" \
    >/dev/null 2>"$work/peer.err" || { cat "$work/peer.err" >&2; exit 1; }
}

# One folder-printer job: peer start until <id>.json exists and <id>.prn is complete.
# Sets run_ns and run_verdict; removes the delivered files.
time_folder_job() {
  local printer_dir=$work/printers/Bench start delivered
  start=$(now_ns)
  send_raw_job Bench
  delivered=$(await_full_file "$printer_dir" '*.prn' .json)
  run_ns=$(($(now_ns) - start))
  check_bytes "$delivered"
  rm -f "$printer_dir"/*.prn "$printer_dir"/*.json
}

# One plain copy of a file into a folder on the same file system. Sets run_ns and
# run_verdict.
time_copy_of() {
  local target=$work/copy/copied.bin start
  start=$(now_ns)
  cp "$1" "$target"
  run_ns=$(($(now_ns) - start))
  check_bytes "$target"
  rm -f "$target"
}

# The floor of a stored-then-printed job: the bytes over loopback TCP into a file with
# plain socket reads and writes (loopback_sink), then a plain cp of that file on the same
# file system. Sets run_ns (the sum) and run_verdict (of the copy).
time_floor_and_copy() {
  local received=$work/copy/received.bin start floor_ns
  "$sink" receive "$received" >"$work/sink.port" &
  local sink_pid=$!
  for _ in $(seq 50); do [[ -s $work/sink.port ]] && break; sleep 0.1; done
  start=$(now_ns)
  "$sink" send "$(head -n1 "$work/sink.port")" "$input"
  floor_ns=$(($(now_ns) - start))
  wait "$sink_pid"
  rm -f "$work/sink.port"
  time_copy_of "$received"
  run_ns=$((run_ns + floor_ns))
  rm -f "$received"
}

# Ends one CUPS run: the kept document is complete; checks it and clears the way.
# Sets run_ns and run_verdict.
finish_cups_run() {
  local start=$1 delivered
  delivered=$(await_full_file "$QM_IPP_SPOOL" "$IPP_DOCUMENT_GLOB")
  run_ns=$(($(now_ns) - start))
  check_bytes "$delivered"
  rm -f "${delivered%.*}".*  # the document and the printer's empty output beside it
  settle_cups_queue
}

# One server job on the CUPS queue: peer start until ippeveprinter kept every byte.
time_cups_server_job() {
  local start
  start=$(now_ns)
  send_raw_job "$QM_TESTBED_QUEUE"
  finish_cups_run "$start"
}

# The same file through lp to the same queue, to the same end.
time_cups_lp_job() {
  local start
  start=$(now_ns)
  lp -h "$CUPS_SERVER" -d "$QM_TESTBED_QUEUE" -o raw -t "Quillmesh RAW Job" "$input" >/dev/null
  finish_cups_run "$start"
}

# Lets the previous run's file removals and write-back settle before the next timing.
settle_files() { sync; sleep 1; }

# Runs the server measurement and its baseline in turn, RUNS times; prints each run and
# the medians. Arguments: the two labels and the two timing functions.
measure_pair() {
  local server_label=$1 base_label=$2 server_job=$3 base_job=$4 run
  local -a server_times=() base_times=()
  for run in $(seq "$runs"); do
    settle_files
    "$server_job"
    server_times+=("$run_ns")
    printf '  run %d: server %6s s (%s)' "$run" "$(ns_to_s "$run_ns")" "$run_verdict"
    settle_files
    "$base_job"
    base_times+=("$run_ns")
    printf ', baseline %6s s (%s)\n' "$(ns_to_s "$run_ns")" "$run_verdict"
  done
  local server_median base_median
  server_median=$(median "${server_times[@]}")
  base_median=$(median "${base_times[@]}")
  echo "  median of $runs runs:"
  report_figure "$server_label" "$server_median"
  report_figure "$base_label" "$base_median"
  report_ratio "$server_median" "$base_median"
}

echo "creating $size_mib MiB of random bytes in $work ($(df --output=fstype "$work" | tail -n 1) file system; load average: $(cut -d' ' -f1-3 /proc/loadavg))"
head -c "$bytes" /dev/urandom >"$input"
# TEMP, the printer folder and the copy target share the scratch folder's file system.
mkdir -p "$work/temp" "$work/printers/Bench" "$work/copy"

echo "(a) folder printer: peer start -> <id>.json present and <id>.prn complete; baseline floor + cp"
start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers"
measure_pair "server (quillmesh-peer -> folder printer):" "baseline (loopback into a file, then cp):" \
  time_folder_job time_floor_and_copy
stop_own_server

echo "(b) CUPS queue: first byte -> ippeveprinter kept the whole document; baseline lp -o raw"
bed_env=$("$testbed" start)
bed_dir=$(sed -n 's/^export QM_TESTBED_DIR=//p' <<<"$bed_env")
eval "$bed_env"
start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER=cups CUPS_SERVER="$CUPS_SERVER"
measure_pair "server (quillmesh-peer -> cupsd -> printer):" "baseline (lp -o raw -> cupsd -> printer):" \
  time_cups_server_job time_cups_lp_job
stop_own_server

total=$((4 * runs))
if ((mismatches == 0)); then
  echo "delivered bytes: all $total deliveries match the input (cmp)"
else
  echo "delivered bytes: $mismatches of $total deliveries DIFFER from the input (cmp)"
  exit 1
fi
