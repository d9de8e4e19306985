#!/usr/bin/env bash
# The Windows package's service cycle under Wine, as an administrator runs it: the ZIP
# built with CPack and unpacked, `quillmesh-service install`,
# the start with a new session, the printer list answered on the port, `net stop`,
# `net start`, `net stop` again, `quillmesh-service uninstall`.
# Run by tests/windows/run.sh inside its Wine prefix (WINEPREFIX comes from there), as
# its last step: the test restarts the Wine session with a wineserver of its own, which
# run.sh stops at its end.
#   service_test.sh WINDOWS_BUILD_DIR LINUX_PEER_BINARY
set -uo pipefail
readonly windows_build=$1
readonly peer=$2
readonly service_key='HKLM\SYSTEM\CurrentControlSet\Services\Quillmesh'
work=$(mktemp -d)
failures=0
installed=

fail() {
  echo "FAIL: service: $*" >&2
  failures=$((failures + 1))
}

# Leaves no service behind in the prefix, whatever failed.
cleanup() {
  if [[ -n $installed ]]; then
    wine net stop Quillmesh >/dev/null 2>&1
    wine "$installed" uninstall >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A Linux path as Windows programs see it through Wine's Z: drive.
windows_path() {
  local path=${1//\//\\}
  printf 'Z:%s' "$path"
}

source "$(dirname "${BASH_SOURCE[0]}")/../free_port.sh"

# True once the server answers a printer-list request on the port, within seconds.
answers_within() {
  local port=$1 seconds=$2 deadline=$((SECONDS + $2))
  while ((SECONDS < deadline)); do
    "$peer" list --port "$port" --timeout 5 >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 1
}

# The registry value's line in `reg query` output, or nothing.
registry_value() {
  wine reg query "$service_key" /v "$1" 2>/dev/null | tr -d '\r' | grep -i "^ *$1 "
}

echo "== service: the ZIP package"
if ! cpack --config "$windows_build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  exit 1
fi
zip_file=$(ls "$work"/out/quillmesh-*.zip 2>/dev/null | head -1)
[[ -f $zip_file ]] || { echo "FAIL: service: no ZIP was made" >&2; exit 1; }
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip_file") || { echo "FAIL: cannot unpack" >&2; exit 1; }
files=$(cd "$work/unpacked" && find . -type f | sed 's|^\./[^/]*/||' | sort | tr '\n' ' ')
[[ $files == "README.md THIRD-PARTY-NOTICES.md quillmesh-service.exe quillmesh.exe " ]] \
  || fail "the ZIP holds: $files"
service_exe=$(find "$work/unpacked" -name quillmesh-service.exe | head -1)

echo "== service: run by hand"
# Started from a console rather than by the service manager, it explains itself.
wine "$service_exe" >/dev/null 2>&1
[[ $? -eq 2 ]] || fail "without arguments outside the service manager it did not exit with 2"
wine "$service_exe" uninstall >/dev/null 2>&1 && fail "uninstalling an absent service succeeded"

echo "== service: install"
wine "$service_exe" install || fail "install exited with $?"
installed=$service_exe
[[ $(registry_value Start) == *0x2 ]] || fail "not an automatic start: $(registry_value Start)"
[[ $(registry_value ObjectName) == *LocalSystem ]] \
  || fail "not LocalSystem: $(registry_value ObjectName)"
[[ $(registry_value ImagePath) == *quillmesh-service.exe* ]] \
  || fail "unexpected program: $(registry_value ImagePath)"
# Windows keeps the restart actions in the value FailureActions. Wine's service manager
# accepts them and drops them (and it never restarts a service), so the restart on
# failure cannot be checked here.
registry_value FailureActions >/dev/null \
  || echo "note: service: no FailureActions recorded (Wine drops them); restart on failure untested"

# The server's settings: its own port and TEMP, through the service's Environment value.
port=$(free_port) || { fail "no free port"; exit 1; }
admin_port=$(free_port) || { fail "no free port"; exit 1; }
[[ $admin_port != "$port" ]] || admin_port=$((port + 1))
mkdir -p "$work/temp"
wine reg add "$service_key" /v Environment /t REG_MULTI_SZ \
  /d "QUILLMESH_PORT=$port\\0QUILLMESH_ADMIN=127.0.0.1:$admin_port\\0TEMP=$(windows_path "$work/temp")" /f >/dev/null \
  || fail "cannot set the service's Environment value"

# Wine's service manager cannot open a service created in its running session with
# full access: `net start` then says "Could not get handle to service", and the
# service's own dispatcher cannot open it either, so its status never arrives ("Service
# request timeout"). A new Wine session reads the services from the registry, and
# both work. So the machine is "rebooted" here, which shows the automatic start too.
# The new wineserver persists (-p) as run.sh's did: without it the session would end,
# and the next command boot a new one, whenever no service is running.
echo "== service: a new Wine session starts the service; the printer list on port $port"
wineserver -k
wineserver -p
wine sc query Quillmesh >/dev/null 2>&1
answers_within "$port" 60 || fail "the service did not start with the session"
[[ -s $work/temp/Quillmesh/log/QuillmeshLog.txt ]] \
  || fail "the server did not log into the TEMP of the service's settings"
curl -sf --max-time 30 "http://127.0.0.1:$admin_port/" | grep -q 'id="live"' \
  || fail "the service does not serve the administrator's window on port $admin_port"

echo "== service: net stop"
wine net stop Quillmesh || fail "net stop exited with $?"
! answers_within "$port" 2 || fail "the server still answers after the service stopped"

# Wine refuses a start ("Service already running") until the stopped service's process
# has exited, which takes a moment after the stop is reported. Its output goes to a
# file: Wine hands net's standard error on to the service's processes, which keep it.
echo "== service: net start"
started=
for _ in $(seq 1 20); do
  wine net start Quillmesh >"$work/net-start.log" 2>&1 && { started=yes; break; }
  grep -q "already running" "$work/net-start.log" || break
  sleep 0.5
done
cat "$work/net-start.log"
[[ -n $started ]] || fail "net start failed"
answers_within "$port" 30 || fail "the server did not answer after net start"
wine net stop Quillmesh || fail "the second net stop exited with $?"

echo "== service: uninstall"
wine "$service_exe" uninstall || fail "uninstall exited with $?"
installed=
registry_value Start >/dev/null && fail "the service is still registered"

if ((failures)); then
  echo "service: $failures failure(s)" >&2
  exit 1
fi
echo "service: every step passed"
