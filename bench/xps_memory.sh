#!/usr/bin/env bash
# XPS memory benchmark: one large XPS job (a one-page package carrying a stored,
# incompressible resource part of BENCH_MIB MiB) sent to the folder printer; prints the
# server's peak resident memory (VmHWM) before the job and after it, against the
# package's size.
#
# usage: bench/xps_memory.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
#   BENCH_MIB         size of the resource part in MiB (default 1024)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp)
# The server listens on QUILLMESH_PORT (default 9099).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=xps_memory
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=${QUILLMESH_PEER:-$(dirname "$server")/quillmesh-peer}
mib=${BENCH_MIB:-1024}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"

for tool in "$server" "$peer"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "$bench_name: python3 is needed" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-xps-memory.XXXXXX")
input=$work/input.xps
server_pid=""

# Stops the server by its PID and removes the scratch folder.
cleanup() {
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Writes the package: one page, and the resource part of random bytes, stored.
make_input_xps() {
  python3 - "$input" "$mib" <<'PY'
import os
import sys
import zipfile

path, mib = sys.argv[1], int(sys.argv[2])
ns = "http://schemas.microsoft.com/xps/2005/06"
parts = {
    "[Content_Types].xml":
        '<?xml version="1.0" encoding="utf-8"?>'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="fdseq" ContentType="application/vnd.ms-package.xps-fixeddocumentsequence+xml"/>'
        '<Default Extension="fdoc" ContentType="application/vnd.ms-package.xps-fixeddocument+xml"/>'
        '<Default Extension="fpage" ContentType="application/vnd.ms-package.xps-fixedpage+xml"/>'
        '<Default Extension="bin" ContentType="application/octet-stream"/>'
        '</Types>',
    "_rels/.rels":
        '<?xml version="1.0" encoding="utf-8"?>'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="R0" Target="/FixedDocumentSequence.fdseq" '
        'Type="http://schemas.microsoft.com/xps/2005/06/fixedrepresentation"/></Relationships>',
    "FixedDocumentSequence.fdseq":
        f'<FixedDocumentSequence xmlns="{ns}">'
        '<DocumentReference Source="/Documents/1/FixedDocument.fdoc"/></FixedDocumentSequence>',
    "Documents/1/FixedDocument.fdoc":
        f'<FixedDocument xmlns="{ns}"><PageContent Source="/Documents/1/Pages/1.fpage"/></FixedDocument>',
    "Documents/1/Pages/1.fpage":
        f'<FixedPage xmlns="{ns}" Width="794" Height="1123" xml:lang="en-US">'
        '<Path Data="M 96,96 L 480,96 480,480 96,480 Z" Fill="#FF000000"/></FixedPage>',
}
with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as package:
    for name, text in parts.items():
        package.writestr(name, text)
    with package.open("Resources/padding.bin", "w", force_zip64=True) as padding:
        for _ in range(mib):
            padding.write(os.urandom(1 << 20))
PY
}

# The server's peak resident memory in KiB.
peak_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$server_pid/status"; }

make_input_xps
bytes=$(stat -c %s "$input")
mkdir -p "$work/temp" "$work/printers/Bench"
start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" QUILLMESH_MIN_FREE_MB=0
before=$(peak_kib)
start=$(now_ns)
"$peer" print --printer Bench --format xps --port "$port" "$input" >/dev/null 2>"$work/peer.err" ||
  { cat "$work/peer.err" >&2; exit 1; }
elapsed=$(($(now_ns) - start))
after=$(peak_kib)
stop_own_server
[[ -f $work/printers/Bench/1.json ]] || { echo "$bench_name: the job was not printed" >&2; exit 1; }
awk -v b="$bytes" -v k0="$before" -v k1="$after" -v ns="$elapsed" 'BEGIN {
  printf "package: %.0f MiB; job took %.2f s\n", b / 1048576, ns / 1e9
  printf "server peak resident memory: %.0f MiB before the job, %.0f MiB after (%.2f x the package)\n",
    k0 / 1024, k1 / 1024, k1 * 1024 / b
}'
