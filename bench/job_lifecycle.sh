#!/usr/bin/env bash
# Job-following benchmark on the folder printer: how soon a peer that follows a job sees
# it printed once the spooler has it, and how soon a cancel stops a rendering (and that
# it leaves no page file behind).
#
# usage: bench/job_lifecycle.sh [SERVER]
#   SERVER           the server binary (default: build/linux/quillmesh); job_follow is
#                    taken from build/linux/bench beside it
# environment:
#   BENCH_JOBS       RAW jobs for the latency figure (default 50)
#   BENCH_DIR        where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=job_lifecycle
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=$(dirname "$server")/quillmesh-peer
follow=$(dirname "$server")/bench/job_follow
jobs=${BENCH_JOBS:-50}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer" "$follow"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
command -v gs >/dev/null || { echo "$bench_name: gs is needed" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-follow-bench.XXXXXX")
server_pid=""
cleanup() {
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A 300-page PDF whose pages each take a moment to render.
cat >"$work/slow.ps" <<'EOF'
%!PS
<< /PageSize [612 792] >> setpagedevice
1 1 300 { pop 0 1 2000 { dup 0.3 mul exch 0.37 mul moveto 300 300 rlineto } for stroke showpage } for
EOF
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work/slow.pdf" "$work/slow.ps" >/dev/null

mkdir -p "$work/printers/Bench" "$work/tmp"
start_own_server TEMP="$work/tmp" TMPDIR="$work/tmp" QUILLMESH_SPOOLER="folder:$work/printers"
"$follow" latency "$port" Bench "$jobs"
"$follow" cancel "$port" Bench "$work/slow.pdf"
page_files=$(find "$work/tmp" -name '*.bmp' | wc -l)
echo "page files left after the cancel: $page_files"
stop_own_server
