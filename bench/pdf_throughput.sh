#!/usr/bin/env bash
# PDF print benchmark: A4 PDFs of 20 and 200 pages through the protocol, timed from the
# peer's first byte until the printer has the whole document, against Ghostscript alone
# rendering the same file at 580 dpi into bmp256 files, in the same run:
#   (a) the folder printer, with and without a text property: until every finished
#       document's <id>.json is there;
#   (b) the private CUPS test bed (tests/cups/testbed.sh), with and without the
#       property: until cupsd has handed every job on and ippeveprinter has kept every
#       document.
# Each line reports the server's time, its peak resident memory (VmHWM; and, sampled
# while the job runs, that of the server with its Ghostscript child), the peak size
# of its work folder and the most page files it held at once; each ratio line divides
# the server's time by Ghostscript's.
#
# usage: bench/pdf_throughput.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
#   BENCH_PAGE_COUNTS pages of the PDFs, one run each (default "20 200")
#   BENCH_PROPERTY    the property of the property jobs (default PageSize:A4;NumCopies:1)
#   BENCH_CUPS        0 skips the CUPS queue (default 1)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp); the
#                     baseline needs room for every page file of the longest PDF
# The server listens on QUILLMESH_PORT (default 9099); while something else holds it the script
# waits up to two minutes for it to free up.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=pdf_throughput
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=${QUILLMESH_PEER:-$(dirname "$server")/quillmesh-peer}
page_counts=${BENCH_PAGE_COUNTS:-20 200}
use_cups=${BENCH_CUPS:-1}
testbed=$repo/tests/cups/testbed.sh
readonly DELIVERY_TIMEOUT_SECONDS=900
property=${BENCH_PROPERTY:-PageSize:A4;NumCopies:1}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120
readonly JOB_TIMEOUT_SECONDS=900
readonly POLL_SECONDS=0.05
# The work folder, page files and memory are sampled every this many polls: each sample
# starts several processes, which on two cores would slow the server being timed.
readonly SAMPLE_EVERY_POLLS=5
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"
# shellcheck source=bench/inputs.sh
source "$repo/bench/inputs.sh"

for tool in "$server" "$peer"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
for tool in gs du ss /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$bench_name: $tool is needed" >&2; exit 2; }
done

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-pdf-bench.XXXXXX")
input=$work/input.pdf
printer_dir=$work/printers/Bench
server_pid=""
bed_dir=""

# Stops what this script started (the server by PID, the test bed by its recorded PIDs)
# and removes the scratch folder.
cleanup() {
  stop_pid "$server_pid"
  if [[ -n $bed_dir ]]; then "$testbed" stop "$bed_dir" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Writes the input PDF of $pages pages.
make_input_pdf() { write_test_pdf "$input" "$pages"; }

# Pages in a PDF, as Ghostscript counts them.
pdf_pages() {
  gs -q -dNODISPLAY -dNOSAFER -dBATCH -c "($1) (r) file runpdfbegin pdfpagecount = quit" 2>/dev/null
}

# Bytes (apparent size) under a folder, 0 while it does not exist yet.
# (du fails when a page file vanishes during its walk; the next poll counts again.)
folder_bytes() {
  local bytes
  bytes=$(du -sb "$1" 2>/dev/null | cut -f1) || true
  echo "${bytes:-0}"
}

# The server's peak resident set (VmHWM) in kB.
server_hwm_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$server_pid/status"; }

# Resident kB of the server and its render children together (VmRSS added up, so pages
# a child shares with the server count twice: an upper bound).
server_tree_rss_kb() {
  local total=0 pid kb
  for pid in "$server_pid" $(cat "/proc/$server_pid"/task/*/children 2>/dev/null); do
    kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || true
    total=$((total + ${kb:-0}))
  done
  echo "$total"
}

# Bytes and page files in the work folder's temp folder; sets bytes and page_files.
sample_work_folder() {
  bytes=$(folder_bytes "$work/temp/Quillmesh")
  page_files=$(find "$work/temp/Quillmesh" -name '*.bmp' 2>/dev/null | wc -l)
}

# Sends the PDF as one job to PRINTER (with the property, when given) in the background,
# and polls until DONE_CHECK (a function) succeeds, tracking the work folder's peak size
# and page-file count and the resident memory of the server with its render children.
# Sets run_ns, reply_ns (when the peer had its answer: the server had handed over every
# document), peak_disk, peak_page_files and peak_tree_kb.
time_server_job() {
  local printer=$1 done_check=$2 property_text=${3:-} start peer_pid deadline polls=0
  local -a property_args=()
  [[ -n $property_text ]] && property_args=(--property "$property_text")
  peak_disk=0
  peak_page_files=0
  peak_tree_kb=0
  reply_ns=0
  start=$(now_ns)
  "$peer" print --printer "$printer" --format pdf --port "$port" "${property_args[@]}" "$input" \
    >/dev/null 2>"$work/peer.err" &
  peer_pid=$!
  deadline=$((SECONDS + JOB_TIMEOUT_SECONDS))
  while :; do
    if ((polls % SAMPLE_EVERY_POLLS == 0)); then
      sample_work_folder
      ((bytes > peak_disk)) && peak_disk=$bytes
      ((page_files > peak_page_files)) && peak_page_files=$page_files
      tree_kb=$(server_tree_rss_kb)
      ((tree_kb > peak_tree_kb)) && peak_tree_kb=$tree_kb
    fi
    polls=$((polls + 1))
    ((reply_ns == 0)) && ! kill -0 "$peer_pid" 2>/dev/null && reply_ns=$(($(now_ns) - start))
    "$done_check" && break
    if ((SECONDS >= deadline)); then
      echo "$bench_name: the job did not finish within ${JOB_TIMEOUT_SECONDS}s" >&2
      exit 1
    fi
    sleep "$POLL_SECONDS"
  done
  run_ns=$(($(now_ns) - start))
  ((reply_ns == 0)) && reply_ns=$run_ns
  wait "$peer_pid" || { cat "$work/peer.err" >&2; exit 1; }
}

# Done checks, made with the shell's own tests (no process started while the server is
# timed): the folder printer holds the expected number of documents; ippeveprinter kept
# as many documents and the CUPS queue has no unfinished job.
folder_documents_done() {
  local file
  documents=0
  for file in "$printer_dir"/*.json; do
    [[ -e $file ]] && documents=$((documents + 1))
  done
  ((documents >= expected_documents))
}
cups_document_done() {
  local file
  documents=0
  for file in "$QM_IPP_SPOOL"/*.pdf; do
    [[ -s $file ]] && documents=$((documents + 1))
  done
  ((documents >= expected_documents)) || return 1
  [[ -z $(lpstat -h "$CUPS_SERVER" -o "$QM_TESTBED_QUEUE" 2>/dev/null) ]]
}

# Pages in every PDF the folder printer received; then clears the folder.
printed_pages_and_clear() {
  local total=0 file
  for file in "$printer_dir"/*.pdf; do
    [[ -f $file ]] && total=$((total + $(pdf_pages "$file")))
  done
  rm -f "$printer_dir"/*
  echo "$total"
}

# Pages per second for a page count and a duration in nanoseconds.
pages_per_s() { awk -v p="$1" -v ns="$2" 'BEGIN { printf "%.2f", p / (ns / 1e9) }'; }

# MiB, to one decimal, for a byte count.
to_mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# Prints one measurement line.
report_line() {
  local label=$1 ns=$2 hwm_kb=$3 pages_printed=$4
  printf '  %-46s %8s s %6s pages/s  VmHWM %6.1f MiB, with renderer %6.1f MiB  work-folder peak %7s MiB, %d page files  (%d documents, %s pages printed)\n' \
    "$label" "$(ns_to_s "$ns")" "$(pages_per_s "$pages" "$ns")" "$(awk -v k="$hwm_kb" 'BEGIN { print k / 1024 }')" \
    "$(awk -v k="$peak_tree_kb" 'BEGIN { print k / 1024 }')" \
    "$(to_mib "$peak_disk")" "$peak_page_files" "$documents" "$pages_printed"
}

# One folder-printer measurement. Arguments: label, expected documents, property.
measure_folder() {
  local label=$1 property_text=${3:-} hwm
  expected_documents=$2
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers"
  time_server_job Bench folder_documents_done "$property_text"
  hwm=$(server_hwm_kb)
  stop_own_server
  report_line "$label" "$run_ns" "$hwm" "$(printed_pages_and_clear)"
  report_ratio "$label" "$run_ns" "$gs_ns"
}

# One CUPS measurement; the test bed runs already. Arguments: label, expected documents,
# property (none: every page is a job of its own, which cupsd hands to the test bed's
# printer one job at a time, so the line also says when the server had handed over all).
measure_cups() {
  local label=$1 property_text=${3:-} hwm total=0 file
  expected_documents=$2
  settle_cups_queue
  rm -f "$QM_IPP_SPOOL"/*
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER=cups CUPS_SERVER="$CUPS_SERVER"
  time_server_job "$QM_TESTBED_QUEUE" cups_document_done "$property_text"
  hwm=$(server_hwm_kb)
  stop_own_server
  while IFS= read -r -d '' file; do
    total=$((total + $(pdf_pages "$file")))
  done < <(find "$QM_IPP_SPOOL" -name '*.pdf' -size +0 -print0)
  report_line "$label" "$run_ns" "$hwm" "$total"
  rm -f "$QM_IPP_SPOOL"/*
  report_ratio "$label" "$run_ns" "$gs_ns"
  if ((expected_documents > 1)); then
    printf '    every document with cupsd (the peer answered) after %s s\n' "$(ns_to_s "$reply_ns")"
  fi
}

# Ghostscript alone rendering the same file to 580 dpi page files; prints a line.
measure_ghostscript() {
  local out=$work/gs start max_kb disk
  mkdir -p "$out"
  start=$(now_ns)
  /usr/bin/time -f %M -o "$work/gs.rss" gs -q -dBATCH -dNOPAUSE -sDEVICE=bmp256 -r580 \
    -o "$out/x-%d.bmp" "$input" >/dev/null
  gs_ns=$(($(now_ns) - start))
  max_kb=$(cat "$work/gs.rss")
  disk=$(folder_bytes "$out")
  printf '  %-46s %8s s %6s pages/s  max RSS %6.1f MiB  page files       %7s MiB  (%d files)\n' \
    "baseline (gs bmp256 -r580 alone):" "$(ns_to_s "$gs_ns")" "$(pages_per_s "$pages" "$gs_ns")" \
    "$(awk -v k="$max_kb" 'BEGIN { print k / 1024 }')" "$(to_mib "$disk")" "$(find "$out" -name '*.bmp' | wc -l)"
  rm -rf "$out"
  # The file system settles the baseline's writes before the server is timed: left to
  # the kernel, that work fell on the first server measurement.
  sync
}

# Prints server time / baseline time for one measurement.
report_ratio() {
  awk -v label="$1" -v s="$2" -v b="$3" \
    'BEGIN { printf "    ratio server / gs alone: %.2f  (%s)\n", s / b, label }'
}

mkdir -p "$work/temp" "$printer_dir"
if ((use_cups)); then
  bed_env=$("$testbed" start)
  bed_dir=$(sed -n 's/^export QM_TESTBED_DIR=//p' <<<"$bed_env")
  eval "$bed_env"
fi
echo "machine load before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "each figure: one run; server figures from the first byte sent until the printer has the document"
for pages in $page_counts; do
  make_input_pdf
  echo "input: $pages A4 pages, $(stat -c %s "$input") bytes, in $work ($(df --output=fstype "$work" | tail -n 1))"
  measure_ghostscript
  measure_folder "folder printer, no property:" "$pages"
  measure_folder "folder printer, property $property:" 1 "$property"
  if ((use_cups)); then
    measure_cups "CUPS queue, no property:" "$pages"
    measure_cups "CUPS queue, property $property:" 1 "$property"
  fi
done
echo "machine load after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
