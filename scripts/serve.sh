#!/usr/bin/env bash
# Installs what serving needs, builds the Linux server and the peer (no test tools and
# no test suites, so a first start waits for neither) and runs the server in the foreground
# on the folder printer, with one demo printer. Ctrl-C stops it.
#   QUILLMESH_SPOOLER=cups scripts/serve.sh   serves the system's CUPS queues instead.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh serve
cmake --preset linux -DQUILLMESH_TESTS=OFF >/dev/null
cmake --build --preset linux -j "$(nproc)" --target quillmesh quillmesh-peer

state_dir="${QUILLMESH_HOME:-$HOME/.quillmesh}"
printers="$state_dir/printers"
mkdir -p "$printers/Demo Printer"
export QUILLMESH_SPOOLER="${QUILLMESH_SPOOLER:-folder:$printers}"
export TEMP="${TEMP:-$state_dir}"

echo "serve: printers from $QUILLMESH_SPOOLER"
echo "serve: log in $TEMP/Quillmesh/log/QuillmeshLog.txt, job files in $TEMP/Quillmesh/temp"
port=${QUILLMESH_PORT:-9099}
echo "serve: listening on port $port (try: build/linux/quillmesh-peer list --port $port)"
exec build/linux/quillmesh
