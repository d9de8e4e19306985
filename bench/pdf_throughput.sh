#!/usr/bin/env bash
# PDF print benchmark: a 20-page A4 PDF through the protocol onto the folder printer,
# timed from the peer's first byte until every finished document's <id>.json is there,
# with and without a text property, against Ghostscript alone rendering the same file
# at 580 dpi. Also reports the server's peak resident memory (VmHWM) and the peak disk
# space its work folder held while the job ran.
#
# usage: bench/pdf_throughput.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
#   BENCH_PAGES       pages in the PDF (default 20)
#   BENCH_PROPERTY    the property of the second job (default PageSize:A4;NumCopies:1)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099); while something else holds it the script
# waits up to two minutes for it to free up.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=pdf_throughput
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=${QUILLMESH_PEER:-$(dirname "$server")/quillmesh-peer}
pages=${BENCH_PAGES:-20}
property=${BENCH_PROPERTY:-PageSize:A4;NumCopies:1}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120
readonly JOB_TIMEOUT_SECONDS=900
readonly POLL_SECONDS=0.05
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

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

# Stops the server this script started (by PID) and removes the scratch folder.
cleanup() {
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Writes the PDF: A4 pages of text lines, a grey ramp and a circle, so every page has
# text, fills and strokes to render.
make_input_pdf() {
  cat >"$work/input.ps" <<EOF
%!PS
<< /PageSize [595 842] >> setpagedevice
/Helvetica findfont 11 scalefont setfont
1 1 $pages {
  /page exch def
  0 1 9 { dup 10 div setgray 50 mul 60 add 50 exch 495 40 rectfill } for
  0 setgray 3 setlinewidth 297 420 150 0 360 arc stroke
  0 1 40 { 14 mul 200 add 60 exch moveto (Page ) show page 3 string cvs show
           ( - the quick brown fox jumps over the lazy dog 0123456789) show } for
  showpage
} for
EOF
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$input" "$work/input.ps" >/dev/null
}

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

# Sends the PDF as one job (with the property, when given) in the background, and
# polls until EXPECTED_JSON documents are finished, tracking the work folder's peak
# size. Sets run_ns, peak_disk and documents.
time_server_job() {
  local expected_json=$1 property_text=${2:-} start peer_pid deadline bytes
  local -a property_args=()
  [[ -n $property_text ]] && property_args=(--property "$property_text")
  peak_disk=0
  start=$(now_ns)
  "$peer" print --printer Bench --format pdf --port "$port" "${property_args[@]}" "$input" \
    >/dev/null 2>"$work/peer.err" &
  peer_pid=$!
  deadline=$((SECONDS + JOB_TIMEOUT_SECONDS))
  while :; do
    bytes=$(folder_bytes "$work/temp/Quillmesh")
    ((bytes > peak_disk)) && peak_disk=$bytes
    documents=$(find "$printer_dir" -name '*.json' | wc -l)
    ((documents >= expected_json)) && break
    if ((SECONDS >= deadline)); then
      echo "$bench_name: $documents of $expected_json documents after ${JOB_TIMEOUT_SECONDS}s" >&2
      exit 1
    fi
    sleep "$POLL_SECONDS"
  done
  run_ns=$(($(now_ns) - start))
  wait "$peer_pid" || { cat "$work/peer.err" >&2; exit 1; }
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

# One server measurement, printed as a line. Arguments: label, expected documents,
# property (may be empty).
measure_server() {
  local label=$1 expected=$2 property_text=${3:-} hwm printed
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers"
  time_server_job "$expected" "$property_text"
  hwm=$(server_hwm_kb)
  stop_own_server
  printed=$(printed_pages_and_clear)
  server_ns+=("$run_ns")
  printf '  %-44s %7s s %6s pages/s  VmHWM %6.1f MiB  work-folder peak %7s MiB  (%d documents, %d pages printed)\n' \
    "$label" "$(ns_to_s "$run_ns")" "$(pages_per_s "$pages" "$run_ns")" "$(awk -v k="$hwm" 'BEGIN { print k / 1024 }')" \
    "$(to_mib "$peak_disk")" "$documents" "$printed"
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
  printf '  %-44s %7s s %6s pages/s  max RSS %6.1f MiB  page files     %7s MiB  (%d files)\n' \
    "baseline (gs bmp256 -r580 alone):" "$(ns_to_s "$gs_ns")" "$(pages_per_s "$pages" "$gs_ns")" \
    "$(awk -v k="$max_kb" 'BEGIN { print k / 1024 }')" "$(to_mib "$disk")" "$(find "$out" -name '*.bmp' | wc -l)"
  rm -rf "$out"
}

# Prints server time / baseline time for one measurement.
report_ratio() {
  awk -v label="$1" -v s="$2" -v b="$3" \
    'BEGIN { printf "  ratio %-38s %7.2f (server pages/s / gs pages/s; the server takes %.1fx as long)\n", label ":", b / s, s / b }'
}

mkdir -p "$work/temp" "$printer_dir"
make_input_pdf
echo "input: $pages A4 pages, $(stat -c %s "$input") bytes, in $work ($(df --output=fstype "$work" | tail -n 1))"
echo "each figure: one run; server figures from the first byte sent until every <id>.json is present"
server_ns=()
measure_server "server, no property:" "$pages"
measure_server "server, property $property:" 1 "$property"
measure_ghostscript
report_ratio "no property" "${server_ns[0]}" "$gs_ns"
report_ratio "property" "${server_ns[1]}" "$gs_ns"
