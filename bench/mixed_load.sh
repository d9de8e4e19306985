#!/usr/bin/env bash
# Mixed-load benchmark: BENCH_PEERS peers at once, each sending RAW (BENCH_RAW_MIB MiB),
# XPS (BENCH_PAGES pages) and PDF (BENCH_PAGES A4 pages, every other one with a text
# property) jobs in turn for BENCH_SECONDS, first on the folder printer, then on the
# private CUPS test bed. Each peer has a printer of its own (a folder of the folder
# printer; a CUPS queue to an ippeveprinter of its own) and sends from its own address.
# For each printer kind it prints pages per minute at the printer, the time to the first
# document at the printer and to the whole job (median, 95th percentile, max), the peak
# memory per job in flight, and the failures, which should be none. bench/mixed_load.py
# runs the peers and works out the figures.
#
# usage: bench/mixed_load.sh [SERVER]
#   SERVER            the server binary (default: build/linux/quillmesh)
# environment:
#   BENCH_SECONDS     how long peers start new jobs (default 120); jobs under way then finish
#   BENCH_PEERS       peers at once (default 16)
#   BENCH_PAGES       pages of the XPS and PDF documents (default 20)
#   BENCH_RAW_MIB     size of the RAW job (default 10)
#   BENCH_PROPERTY    the property of every other PDF job (default PageSize:A4;NumCopies:1)
#   BENCH_FOLDER      0 skips the folder printer (default 1)
#   BENCH_CUPS        0 skips the CUPS test bed (default 1)
#   BENCH_DIR         where the scratch folder goes (default: $TMPDIR or /tmp)
#   QUILLMESH_PEER    the peer (default: quillmesh-peer beside SERVER)
# The server listens on QUILLMESH_PORT (default 9099); while something else holds it the
# script waits up to two minutes for it to free up. Its administrator's window, read for
# the jobs under way, gets a free port.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_name=mixed_load
server=$(realpath "${1:-$repo/build/linux/quillmesh}")
peer=${QUILLMESH_PEER:-$(dirname "$server")/quillmesh-peer}
testbed=$repo/tests/cups/testbed.sh
seconds=${BENCH_SECONDS:-120}
peers=${BENCH_PEERS:-16}
pages=${BENCH_PAGES:-20}
raw_mib=${BENCH_RAW_MIB:-10}
property=${BENCH_PROPERTY:-PageSize:A4;NumCopies:1}
use_folder=${BENCH_FOLDER:-1}
use_cups=${BENCH_CUPS:-1}
port=${QUILLMESH_PORT:-9099}
export QUILLMESH_PORT=$port
readonly PORT_WAIT_SECONDS=120
readonly DELIVERY_TIMEOUT_SECONDS=600
readonly PRINTER_READY_SECONDS=20
# shellcheck source=bench/lib.sh
source "$repo/bench/lib.sh"
# shellcheck source=bench/inputs.sh
source "$repo/bench/inputs.sh"

for tool in "$server" "$peer"; do
  [[ -x $tool ]] || { echo "$bench_name: $tool is missing; build it first" >&2; exit 2; }
done
for tool in python3 gs ss; do
  command -v "$tool" >/dev/null || { echo "$bench_name: $tool is needed" >&2; exit 2; }
done
if ((use_cups)); then
  for tool in ippeveprinter ipptool lpadmin lpstat; do
    command -v "$tool" >/dev/null || { echo "$bench_name: $tool is needed (or BENCH_CUPS=0)" >&2; exit 2; }
  done
fi
((peers >= 1 && peers <= 240)) || { echo "$bench_name: BENCH_PEERS must be 1 to 240" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/quillmesh-mixed-bench.XXXXXX")
server_pid=""
bed_dir=""
printer_pids=()
failures=0

# Stops the peers' ippeveprinters by PID.
stop_printers() {
  local pid
  for pid in "${printer_pids[@]}"; do stop_pid "$pid"; done
  printer_pids=()
}

# Stops what this script started (the server and the printers by PID, the test bed by
# its recorded PIDs) and removes the scratch folder.
cleanup() {
  stop_own_server
  stop_printers
  if [[ -n $bed_dir ]]; then "$testbed" stop "$bed_dir" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A TCP port on loopback that nothing listens on, below the ephemeral range so that no
# outgoing connection holds it.
unused_port() {
  local lowest_ephemeral candidate
  read -r lowest_ephemeral _ </proc/sys/net/ipv4/ip_local_port_range
  while :; do
    candidate=$((10000 + RANDOM % (lowest_ephemeral - 10000)))
    (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null || { echo "$candidate"; return 0; }
  done
}

# The peers' printer names, comma-separated: NAME-01, NAME-02, ...
printer_names() {
  seq -f "$1-%02g" "$peers" | paste -sd,
}

# True once the ippeveprinter on the port answers Get-Printer-Attributes.
printer_answers() {
  [[ $(ipptool -T 2 -t "ipp://localhost:$1/ipp/print" get-printer-attributes.test 2>&1) == *"status-code = successful-ok"* ]]
}

# Starts one ippeveprinter for each peer, keeping into its own spool folder, and a raw
# CUPS queue to it on the test bed's cupsd (the test bed runs already).
start_printers() {
  local name printer_port deadline
  for name in $(printer_names bench | tr , ' '); do
    mkdir -p "$work/ipp/$name"
    printer_port=$(unused_port)
    ippeveprinter -p "$printer_port" -n localhost -d "$work/ipp/$name" -k -r off -c /bin/true \
      -a "$QM_TESTBED_DIR/printer.conf" "Quillmesh Bench $name" </dev/null >"$work/ipp/$name.log" 2>&1 &
    printer_pids+=($!)
    deadline=$((SECONDS + PRINTER_READY_SECONDS))
    until printer_answers "$printer_port"; do
      ((SECONDS < deadline)) || { echo "$bench_name: ippeveprinter $name does not answer" >&2; exit 1; }
      sleep 0.1
    done
    lpadmin -h "$CUPS_SERVER" -p "$name" -E -v "ipp://localhost:$printer_port/ipp/print" -m raw 2>/dev/null
  done
}

# Runs the peers against the server (started already) and prints the figures.
# Arguments: printer kind (folder or cups), title, printers, spool folders.
run_peers() {
  python3 "$repo/bench/mixed_load.py" --kind "$1" --title "$2" --printers "$3" --spools "$4" \
    --peer "$peer" --port "$port" --server-pid "$server_pid" --admin "127.0.0.1:$admin_port" \
    --inputs "$work/inputs" --arrived "$work/arrived" --seconds "$seconds" --pages "$pages" \
    --raw-bytes $((raw_mib * 1048576)) --property "$property" || failures=$((failures + 1))
}

# The folder printer: one printer folder a peer.
measure_folder() {
  local names spools name
  names=$(printer_names Bench)
  for name in ${names//,/ }; do mkdir -p "$work/printers/$name"; done
  spools=$work/printers/${names//,/,$work/printers/}
  admin_port=$(unused_port)
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER="folder:$work/printers" \
    QUILLMESH_ADMIN="127.0.0.1:$admin_port"
  run_peers folder "mixed load, folder printer" "$names" "$spools"
  stop_own_server
}

# The CUPS test bed: one queue and ippeveprinter a peer.
measure_cups() {
  local bed_env names spools
  bed_env=$("$testbed" start)
  bed_dir=$(sed -n 's/^export QM_TESTBED_DIR=//p' <<<"$bed_env")
  eval "$bed_env"
  start_printers
  names=$(printer_names bench)
  spools=$work/ipp/${names//,/,$work/ipp/}
  admin_port=$(unused_port)
  start_own_server TEMP="$work/temp" QUILLMESH_SPOOLER=cups CUPS_SERVER="$CUPS_SERVER" \
    QUILLMESH_ADMIN="127.0.0.1:$admin_port"
  run_peers cups "mixed load, CUPS (one ippeveprinter a peer)" "$names" "$spools"
  stop_own_server
  stop_printers
}

# One line on the machine: cores, processor, memory, system, date, load.
describe_machine() {
  local processor virtual=""
  processor=$(lscpu | awk -F': *' '/^Model name/ { m = $2 } /^CPU family/ { f = $2 } /^Model:/ { n = $2 }
    END { printf "%s, family %s model %s", m, f, n }')
  grep -qw hypervisor /proc/cpuinfo && virtual=", a virtual machine"
  echo "machine: $(nproc) cores ($processor$virtual), $(free -m | awk '/^Mem:/ { printf "%.1f", $2 / 1024 }') GiB RAM," \
    "Debian $(cat /etc/debian_version 2>/dev/null || echo '?'), $(date -u '+%Y-%m-%d %H:%M UTC');" \
    "tree $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'); load before: $(cut -d' ' -f1-3 /proc/loadavg)"
}

mkdir -p "$work/inputs" "$work/temp" "$work/arrived"
head -c $((raw_mib * 1048576)) /dev/urandom >"$work/inputs/raw.bin"
write_test_xps "$work/inputs/input.xps" "$pages"
write_test_devmode "$work/inputs/devmode.bin"
write_test_pdf "$work/inputs/input.pdf" "$pages"
describe_machine
echo "jobs in turn: RAW $raw_mib MiB, XPS $pages pages, PDF $pages A4 pages (every other one with the property $property); times from the peer's first byte"
if ((use_folder)); then measure_folder; fi
if ((use_cups)); then measure_cups; fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
# The exit status: 1 when any job failed.
((failures == 0))
