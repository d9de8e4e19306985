#!/usr/bin/env bash
# XPS print benchmark: a multi-page XPS package through the protocol to a private CUPS
# queue, timed from the peer's first byte until the job is complete (the print order's
# acknowledgement comes after the server saw the job's final state), against xpstopdf of
# the same package followed by lp of the PDF, timed until ippeveprinter kept the whole
# document. Each figure is the median of several runs.
#
# usage: bench/xps_throughput.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
#   BENCH_PAGES       pages in the XPS package (default 50)
#   BENCH_RUNS        runs per measurement (default 3)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099); while something else holds it the script
# waits up to two minutes for it to free up.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=xps_throughput
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=${QUILLMESH_PEER:-$(dirname "$server")/quillmesh-peer}
testbed=$repo/tests/cups/testbed.sh
pages=${BENCH_PAGES:-50}
runs=${BENCH_RUNS:-3}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120
readonly DELIVERY_TIMEOUT_SECONDS=600
readonly DOCUMENT_NAME="Quillmesh XPS Bench"
# ippeveprinter names a kept document after its job name, lowercased: the server's jobs
# are called "Quillmesh XPS Job", the baseline's get the title below.
readonly SERVER_DOCUMENT_GLOB='*-quillmesh_xps_job.pdf'
readonly BASELINE_TITLE="Quillmesh XPS Baseline"
readonly BASELINE_DOCUMENT_GLOB='*-quillmesh_xps_baseline.pdf'
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"
# shellcheck source=bench/inputs.sh
source "$repo/bench/inputs.sh"

for tool in "$server" "$peer" "$testbed"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
for tool in xpstopdf python3 gs lp lpstat cancel ss; do
  command -v "$tool" >/dev/null || { echo "$bench_name: $tool is needed (xpstopdf: libgxps-utils)" >&2; exit 2; }
done

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-xps-bench.XXXXXX")
input=$work/input.xps
devmode=$work/devmode.bin
server_pid=""
bed_dir=""
failures=0

# Stops what this script started (the server by PID, the test bed by its recorded PIDs)
# and removes the scratch folder.
cleanup() {
  stop_pid "$server_pid"
  if [[ -n $bed_dir ]]; then "$testbed" stop "$bed_dir" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Pages in a PDF, as Ghostscript counts them (empty when it cannot read the file).
pdf_pages() {
  gs -q -dNODISPLAY -dNOSAFER -dBATCH -c "($1) (r) file runpdfbegin pdfpagecount = quit" 2>/dev/null || true
}

# The first kept document in the printer's spool that matches GLOB, or nothing.
kept_document() {
  local file
  for file in "$QM_IPP_SPOOL"/$1; do
    [[ -f $file ]] && { echo "$file"; return 0; }
  done
  return 0
}

# Checks a kept document: a PDF of every page. Sets run_verdict and counts a failure.
check_document() {
  local counted
  counted=$(pdf_pages "$1")
  if [[ $counted == "$pages" ]]; then
    run_verdict="$pages pages kept"
  else
    run_verdict="KEPT DOCUMENT HAS ${counted:-no readable} PAGES"
    failures=$((failures + 1))
  fi
}

# Pages per second for a duration in nanoseconds.
pages_per_s() { awk -v p="$pages" -v ns="$1" 'BEGIN { printf "%.1f", p / (ns / 1e9) }'; }

# One server job: the peer runs in the background while the spool is polled, so the
# moment the kept document first shows up can be set against the acknowledgement.
# Sets run_ns (to the acknowledgement), seen_ns (document first seen, or empty) and
# run_verdict.
time_server_job() {
  local start peer_pid document="" now
  seen_ns=""
  start=$(now_ns)
  "$peer" print --printer "$QM_TESTBED_QUEUE" --format xps --devmode "$devmode" \
    --document-name "$DOCUMENT_NAME" --port "$port" "$input" >/dev/null 2>"$work/peer.err" &
  peer_pid=$!
  while kill -0 "$peer_pid" 2>/dev/null; do
    if [[ -z $seen_ns ]] && document=$(kept_document "$SERVER_DOCUMENT_GLOB") && [[ -n $document ]]; then
      seen_ns=$(($(now_ns) - start))
    fi
    sleep 0.01
  done
  now=$(now_ns)
  wait "$peer_pid" || { cat "$work/peer.err" >&2; exit 1; }
  run_ns=$((now - start))
  document=$(kept_document "$SERVER_DOCUMENT_GLOB")
  if [[ -z $document ]]; then
    run_verdict="NO DOCUMENT KEPT AT THE ACKNOWLEDGEMENT"
    failures=$((failures + 1))
  else
    [[ -n $seen_ns ]] || seen_ns=$run_ns
    check_document "$document"
  fi
  settle_cups_queue
  find "$QM_IPP_SPOOL" -maxdepth 1 -type f -delete
}

# True once cupsd lists the job among the queue's completed ones.
cups_job_completed() {
  lpstat -h "$CUPS_SERVER" -W completed -o "$QM_TESTBED_QUEUE" 2>/dev/null | grep -q "^$1 "
}

# The baseline: xpstopdf, then lp of the PDF to the same queue, until ippeveprinter kept
# the PDF at its full size; then on until cupsd calls the job completed, the end the
# server waits for. Sets run_ns, completed_ns and run_verdict.
time_baseline_job() {
  local start pdf=$work/baseline.pdf bytes document="" deadline job_id
  start=$(now_ns)
  xpstopdf "$input" "$pdf"
  # lp answers "request id is QUEUE-N (1 file(s))".
  job_id=$(lp -h "$CUPS_SERVER" -d "$QM_TESTBED_QUEUE" -t "$BASELINE_TITLE" "$pdf" | awk '{ print $4 }')
  bytes=$(stat -c %s "$pdf")
  deadline=$((SECONDS + DELIVERY_TIMEOUT_SECONDS))
  until document=$(kept_document "$BASELINE_DOCUMENT_GLOB") && [[ -n $document ]] &&
    [[ $(stat -c %s "$document") == "$bytes" ]]; do
    ((SECONDS < deadline)) || { echo "$bench_name: no complete baseline document after ${DELIVERY_TIMEOUT_SECONDS}s" >&2; exit 1; }
    sleep 0.01
  done
  run_ns=$(($(now_ns) - start))
  until cups_job_completed "$job_id"; do
    ((SECONDS < deadline)) || { echo "$bench_name: cupsd never completed $job_id" >&2; exit 1; }
    sleep 0.01
  done
  completed_ns=$(($(now_ns) - start))
  check_document "$document"
  rm -f "$pdf"
  settle_cups_queue
  find "$QM_IPP_SPOOL" -maxdepth 1 -type f -delete
}

write_test_xps "$input" "$pages"
write_test_devmode "$devmode"
xpstopdf "$input" "$work/check.pdf"
rendered=$(pdf_pages "$work/check.pdf")
rm -f "$work/check.pdf"
[[ $rendered == "$pages" ]] || { echo "$bench_name: xpstopdf renders ${rendered:-no} pages of $pages" >&2; exit 1; }
echo "input: $pages A4 pages, $(stat -c %s "$input") bytes of XPS (xpstopdf renders $rendered pages); DEVMODE $(stat -c %s "$devmode") bytes, portrait A4"

bed_env=$("$testbed" start)
bed_dir=$(sed -n 's/^export QM_TESTBED_DIR=//p' <<<"$bed_env")
eval "$bed_env"
mkdir -p "$work/temp"
start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER=cups CUPS_SERVER="$CUPS_SERVER"

echo "server: first byte -> acknowledgement (after the job's final state); baseline: xpstopdf + lp -> ippeveprinter kept the PDF"
server_times=()
base_times=()
done_times=()
for run in $(seq "$runs"); do
  time_server_job
  server_times+=("$run_ns")
  printf '  run %d: server %6s s (document first seen at %s s; %s)' \
    "$run" "$(ns_to_s "$run_ns")" "$(ns_to_s "${seen_ns:-0}")" "$run_verdict"
  time_baseline_job
  base_times+=("$run_ns")
  done_times+=("$completed_ns")
  printf ', baseline %6s s (cupsd job completed at %s s; %s)\n' \
    "$(ns_to_s "$run_ns")" "$(ns_to_s "$completed_ns")" "$run_verdict"
done
stop_own_server

server_median=$(median "${server_times[@]}")
base_median=$(median "${base_times[@]}")
echo "  median of $runs runs:"
printf '  %-52s %7s s %7s pages/s\n' "server (quillmesh-peer -> cupsd -> printer):" \
  "$(ns_to_s "$server_median")" "$(pages_per_s "$server_median")"
printf '  %-52s %7s s %7s pages/s\n' "baseline (xpstopdf + lp -> cupsd -> printer):" \
  "$(ns_to_s "$base_median")" "$(pages_per_s "$base_median")"
done_median=$(median "${done_times[@]}")
printf '  %-52s %7s s %7s pages/s\n' "baseline until cupsd calls the job completed:" \
  "$(ns_to_s "$done_median")" "$(pages_per_s "$done_median")"
awk -v s="$server_median" -v b="$base_median" -v d="$done_median" 'BEGIN {
  printf "  %-52s %7.2f (server pages/s / baseline pages/s; the server takes %.1fx as long)\n", "ratio:", b / s, s / b
  printf "  %-52s %7.2f (against the baseline until cupsd completed its job)\n", "ratio, same end as the server:", d / s
}'

total=$((2 * runs))
if ((failures == 0)); then
  echo "kept documents: all $total are PDFs of $pages pages"
else
  echo "kept documents: $failures of $total are missing or incomplete"
  exit 1
fi
