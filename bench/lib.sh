# shellcheck shell=bash disable=SC2154  # the variables below come from the sourcing script
# Shell functions shared by the benchmark scripts; source it, do not run it.
# The sourcing script sets bench_name (for messages), server, peer, port and work (the
# scratch folder); start_server sets server_pid and sends the server's output to
# $work/server.out.

# Nanoseconds since the epoch.
now_ns() { date +%s%N; }

# MiB/s for a byte count and a duration in nanoseconds.
mib_per_s() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.1f", (b / 1048576) / (ns / 1e9) }'; }

# Seconds, to two decimals, for a duration in nanoseconds.
ns_to_s() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }

# True when a server answers a printer-list request on the port.
server_answers() { "$peer" list --port "$port" --timeout 1 >/dev/null 2>&1; }

# Waits until the server answers a printer-list request; exits when it died or never answers.
wait_for_server() {
  for _ in $(seq 100); do
    server_answers && return 0
    kill -0 "$server_pid" 2>/dev/null || { echo "$bench_name: the server exited" >&2; cat "$work/server.out" >&2; exit 1; }
    sleep 0.1
  done
  echo "$bench_name: the server does not answer on port $port" >&2
  exit 1
}

# Starts the server in the background with the given VAR=value settings and waits for it.
start_server() {
  env "$@" "$server" >"$work/server.out" 2>&1 &
  server_pid=$!
  wait_for_server
}

# Stops a process this script started, by its PID, and reaps it.
stop_pid() {
  if kill "$1" 2>/dev/null; then wait "$1" 2>/dev/null || true; fi
}

# True when anything accepts connections on the port.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

# Waits until nothing listens on the port; exits after PORT_WAIT_SECONDS.
wait_for_free_port() {
  port_in_use || return 0
  echo "port $port is in use; waiting up to ${PORT_WAIT_SECONDS}s for it to free up"
  local deadline=$((SECONDS + PORT_WAIT_SECONDS))
  while port_in_use; do
    if ((SECONDS >= deadline)); then
      echo "$bench_name: port $port is still in use after ${PORT_WAIT_SECONDS}s; giving up" >&2
      exit 1
    fi
    sleep 1
  done
}

# Starts our server with the given VAR=value settings once the port is free (waiting up
# to PORT_WAIT_SECONDS), and makes sure the listener that answers is ours rather than
# something that took the port meanwhile.
start_own_server() {
  wait_for_free_port
  start_server "$@"
  if ! ss -Hltnp "sport = :$port" | grep -q "pid=$server_pid,"; then
    echo "$bench_name: another process took port $port before the server could" >&2
    exit 1
  fi
}

# Stops our server and forgets its PID.
stop_own_server() {
  stop_pid "$server_pid"
  server_pid=""
}

# The middle value of the arguments (numbers).
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# Waits until the test bed's cupsd has no unfinished job, then purges its job files.
settle_cups_queue() {
  local deadline=$((SECONDS + DELIVERY_TIMEOUT_SECONDS))
  while [[ -n $(lpstat -h "$CUPS_SERVER" -o "$QM_TESTBED_QUEUE" 2>/dev/null) ]]; do
    ((SECONDS < deadline)) || { echo "$bench_name: the CUPS queue does not drain" >&2; exit 1; }
    sleep 0.1
  done
  cancel -h "$CUPS_SERVER" -a -x "$QM_TESTBED_QUEUE" 2>/dev/null || true
}
