#!/usr/bin/env bash
# A private CUPS test bed under one temporary folder R: a D-Bus system bus, an
# ippeveprinter that keeps every document in R/spool, and a cupsd on a free
# 127.0.0.1 port with four queues: QUEUE (ipp:// to the ippeveprinter, a network
# printer), QUEUE-local (file:///dev/null, a local printer), QUEUE-held (the same
# printer, but the queue is stopped: its jobs wait at cupsd until canceled) and
# QUEUE-failing (ipp:// to a port nobody listens on, giving up after 1 s under the
# abort-job error policy: cupsd aborts each of its jobs with "The printer is not
# responding.").
#
#   eval "$(testbed.sh start [QUEUE])"   # prints export lines, diagnostics on stderr
#   testbed.sh stop R                    # stops the daemons recorded in R, removes R
#
# Every daemon runs in its own session (setsid); R/pids lists "name pid" lines and
# stop signals each process group, so children (backends, print commands) go too.
set -euo pipefail

readonly READY_SECONDS=20
readonly MARKER=.quillmesh-testbed

# Prints to stderr: stdout carries only the export lines.
say() { printf 'testbed: %s\n' "$*" >&2; }

# True when something accepts connections on the port (IPv4 or IPv6 loopback).
port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null || (exec 3<>"/dev/tcp/::1/$1") 2>/dev/null
}

# A port nobody listens on, different from the one given (if any). It lies below the
# system's range of ephemeral ports: a recent outgoing connection's port may sit in
# TIME_WAIT there, and a daemon could not listen on it.
free_port() {
  local avoid=${1:-0} port attempt ephemeral_low
  read -r ephemeral_low _ </proc/sys/net/ipv4/ip_local_port_range
  for attempt in $(seq 1 100); do
    port=$((10000 + RANDOM % (ephemeral_low - 10000)))
    if [[ $port != "$avoid" ]] && ! port_in_use "$port"; then
      echo "$port"
      return 0
    fi
  done
  say "no free port found after $attempt attempts"
  return 1
}

# Starts a daemon in its own session with its output in R/NAME.log; records its PID
# in R/pids and in LAUNCHED. Returns once the daemon leads its own process group, so
# that every later look at the group (readiness, stop) sees the daemon's group and not
# the one it was forked into.
launch() {
  local root=$1 name=$2
  shift 2
  setsid "$@" </dev/null >"$root/$name.log" 2>&1 &
  LAUNCHED=$!
  echo "$name $LAUNCHED" >>"$root/pids"
  wait_for_own_group "$name" "$LAUNCHED"
}

# Waits until the process has called setsid(): until then its group is the script's.
# A process that exits first is left to wait_until, which reports it with its log.
wait_for_own_group() {
  local name=$1 pid=$2 deadline=$((SECONDS + READY_SECONDS)) fields
  while read -r fields 2>/dev/null <"/proc/$pid/stat"; do
    read -r -a fields <<<"${fields##*) }"  # state ppid pgrp ... after the command name
    [[ ${fields[0]} == Z || ${fields[2]} == "$pid" ]] && return 0
    if ((SECONDS >= deadline)); then
      say "$name (pid $pid) did not start its own session within ${READY_SECONDS}s"
      return 1
    fi
    sleep 0.01
  done
}

# Polls a readiness check until it passes; fails when the daemon it waits for has
# exited or READY_SECONDS have gone by.
wait_until() {
  local what=$1 daemon=$2 deadline=$((SECONDS + READY_SECONDS))
  shift 2
  until "$@" >/dev/null 2>&1; do
    if ! group_alive "$daemon"; then
      say "$what: its daemon (pid $daemon) has exited"
      return 1
    fi
    if ((SECONDS >= deadline)); then
      say "$what did not come up within ${READY_SECONDS}s"
      return 1
    fi
    sleep 0.1
  done
}

# Prints every daemon log of the bed to stderr.
dump_logs() {
  local root=$1 log
  for log in "$root"/*.log "$root"/log/*; do
    [[ -s $log ]] || continue
    printf '===== %s =====\n' "$log" >&2
    tail -n 60 "$log" >&2
  done
}

# Writes the D-Bus configuration: a system bus on a socket in R that lets anyone own,
# send and receive (ippeveprinter only needs a bus to exist).
write_bus_conf() {
  local root=$1
  cat >"$root/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$root/dbus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
}

# Writes the printer's attributes: A3 among the media, duplex, and the formats the
# server sends. (-a cannot be combined with -2, -s or -f, so they live here.) Wine's
# spooler names the media by their PPD names ("A4"), so those are listed too.
# ippeveprinter adds its own document-format-supported after these lines; the first
# one, ours, is the one it and cupsd go by.
write_printer_attributes() {
  local root=$1
  cat >"$root/printer.conf" <<'EOF'
ATTR keyword media-supported iso_a4_210x297mm,iso_a3_297x420mm,iso_a5_148x210mm,na_letter_8.5x11in,na_legal_8.5x14in,iso_b5_176x250mm,A4,A3,A5,Letter,Legal,B5
ATTR keyword media-default iso_a4_210x297mm
ATTR keyword media-ready iso_a4_210x297mm,iso_a3_297x420mm
ATTR enum orientation-requested-supported 3,4,5,6
ATTR enum orientation-requested-default 3
ATTR keyword sides-supported one-sided,two-sided-long-edge,two-sided-short-edge
ATTR keyword sides-default one-sided
ATTR rangeOfInteger copies-supported 1-999
ATTR integer copies-default 1
ATTR keyword print-color-mode-supported monochrome,color
ATTR keyword print-color-mode-default monochrome
ATTR integer number-up-supported 1,2,4,6,9,16
ATTR integer number-up-default 1
ATTR keyword multiple-document-handling-default separate-documents-collated-copies
ATTR mimeMediaType document-format-supported application/pdf,application/postscript,application/vnd.ms-xpsdocument,application/vnd.cups-raw,application/octet-stream
ATTR integer pages-per-minute 10
ATTR integer pages-per-minute-color 10
EOF
}

# Writes cupsd's two configuration files; every path it writes to lies inside R.
write_cupsd_conf() {
  local root=$1 port=$2
  mkdir -p "$root/etc" "$root/spool-requests" "$root/tmp" "$root/cache" "$root/state" "$root/log"
  cat >"$root/cups-files.conf" <<EOF
ServerRoot $root/etc
RequestRoot $root/spool-requests
TempDir $root/tmp
CacheDir $root/cache
StateDir $root/state
AccessLog $root/log/access_log
ErrorLog $root/log/error_log
PageLog $root/log/page_log
Printcap $root/printcap
SystemGroup root
FileDevice Yes
EOF
  cat >"$root/cupsd.conf" <<EOF
LogLevel info
Listen 127.0.0.1:$port
Browsing No
WebInterface No
PreserveJobHistory Yes
DefaultAuthType None
<Location />
  Order allow,deny
  Allow 127.0.0.1
</Location>
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
EOF
  # XPS documents pass through cupsd only when their type is known.
  cat >"$root/etc/local.types" <<'EOF'
application/vnd.ms-xpsdocument xps
EOF
}

# True once ippeveprinter answers Get-Printer-Attributes. (ipptool's own verdict fails
# on the doubled document-format-supported, so read the status instead.)
printer_answers() {
  local answer
  answer=$(ipptool -T 2 -t "ipp://localhost:$1/ipp/print" get-printer-attributes.test 2>&1) || true
  [[ $answer == *"status-code = successful-ok"* ]]
}

# True once cupsd answers (lpstat -r exits 0 either way, so read its words).
scheduler_answers() {
  [[ $(lpstat -r 2>&1) == "scheduler is running" ]]
}

# On a failed start: shows why, then takes down whatever did come up.
abandon_start() {
  local status=$1
  ((status != 0)) || return 0
  say "start failed (status $status)"
  dump_logs "$BED_ROOT"
  stop_bed "$BED_ROOT" || true
}

# Starts the bed and prints its export lines.
start_bed() {
  local queue=${1:-qm-test}
  # Under /tmp rather than TMPDIR: cupsd's backends run as lp and must be able to
  # reach the folder through every parent.
  BED_ROOT=$(mktemp -d /tmp/quillmesh-cups.XXXXXX)
  local root=$BED_ROOT
  trap 'abandon_start $?' EXIT
  chmod 755 "$root"  # the ipp backend runs as lp and must reach the spooled requests
  touch "$root/$MARKER" "$root/pids"
  mkdir -p "$root/spool"

  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$root/dbus.sock"
  write_bus_conf "$root"
  launch "$root" dbus dbus-daemon --config-file="$root/bus.conf" --nofork --nopidfile
  wait_until "dbus-daemon" "$LAUNCHED" test -S "$root/dbus.sock"

  local printer_port cupsd_port
  printer_port=$(free_port)
  write_printer_attributes "$root"
  launch "$root" ippeveprinter ippeveprinter -p "$printer_port" -n localhost -d "$root/spool" \
    -k -r off -c /bin/true -a "$root/printer.conf" "Quillmesh Test Printer"
  wait_until "ippeveprinter" "$LAUNCHED" printer_answers "$printer_port"

  cupsd_port=$(free_port "$printer_port")
  write_cupsd_conf "$root" "$cupsd_port"
  launch "$root" cupsd cupsd -f -c "$root/cupsd.conf" -s "$root/cups-files.conf"
  local cupsd_pid=$LAUNCHED
  export CUPS_SERVER="127.0.0.1:$cupsd_port" CUPS_STATEDIR="$root/state"
  wait_until "cupsd" "$cupsd_pid" scheduler_answers

  # The queues are added at once, which keeps the start short; the wait below finds any
  # that is missing.
  local nobody_port
  nobody_port=$(free_port "$cupsd_port")
  local adding=()
  lpadmin -p "$queue" -E -v "ipp://localhost:$printer_port/ipp/print" -m raw 2>>"$root/lpadmin.log" &
  adding+=($!)
  lpadmin -p "$queue-local" -E -v file:///dev/null -m raw 2>>"$root/lpadmin.log" &
  adding+=($!)
  { lpadmin -p "$queue-held" -E -v "ipp://localhost:$printer_port/ipp/print" -m raw &&
    cupsdisable "$queue-held"; } 2>>"$root/lpadmin.log" &
  adding+=($!)
  lpadmin -p "$queue-failing" -E -v "ipp://localhost:$nobody_port/ipp/print?contimeout=1" -m raw \
    -o printer-error-policy=abort-job 2>>"$root/lpadmin.log" &
  adding+=($!)
  # Only these: a bare wait would wait for the daemons too.
  wait "${adding[@]}" || true
  wait_until "queues of $queue" "$cupsd_pid" \
    lpstat -a "$queue" "$queue-local" "$queue-held" "$queue-failing"
  trap - EXIT

  cat <<EOF
export CUPS_SERVER=$CUPS_SERVER
export CUPS_STATEDIR=$CUPS_STATEDIR
export DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS
export QM_TESTBED_DIR=$root
export QM_IPP_SPOOL=$root/spool
export QM_TESTBED_QUEUE=$queue
export QM_TESTBED_LOCAL_QUEUE=$queue-local
export QM_TESTBED_HELD_QUEUE=$queue-held
export QM_TESTBED_FAILING_QUEUE=$queue-failing
EOF
}

# True while any process of the group is still running. Zombies do not count: the
# daemons' parent is gone, and whoever inherits them may reap them only later.
group_alive() {
  local group=$1 stat fields
  for stat in /proc/[0-9]*/stat; do
    read -r fields 2>/dev/null <"$stat" || continue
    read -r -a fields <<<"${fields##*) }"  # state ppid pgrp ... after the command name
    [[ ${fields[2]:-} == "$group" && ${fields[0]:-} != Z ]] && return 0
  done
  return 1
}

# Stops one daemon's process group: TERM, a bounded wait, then KILL.
stop_group() {
  local name=$1 pid=$2 waited
  group_alive "$pid" || return 0
  kill -TERM -- "-$pid" 2>/dev/null || true
  for waited in $(seq 1 50); do
    group_alive "$pid" || return 0
    sleep 0.1
  done
  say "$name (pid $pid) ignored TERM for ${waited}00 ms; killing it"
  kill -KILL -- "-$pid" 2>/dev/null || true
}

# Stops every daemon the bed recorded, newest first, and removes the folder.
stop_bed() {
  local root=${1:?usage: testbed.sh stop R}
  if [[ ! -f $root/$MARKER ]]; then
    say "$root is not a test bed folder; leaving it alone"
    return 1
  fi
  local name pid
  if [[ -f $root/pids ]]; then
    while read -r name pid; do
      stop_group "$name" "$pid"
    done < <(tac "$root/pids")
  fi
  rm -rf -- "$root"
}

case ${1:-} in
  start) start_bed "${2:-}" ;;
  stop) stop_bed "${2:-}" ;;
  *)
    echo "usage: $0 start [QUEUE] | stop R" >&2
    exit 2
    ;;
esac
