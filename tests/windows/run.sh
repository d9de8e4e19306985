#!/usr/bin/env bash
# The Windows build's tests under Wine, after `cmake --build --preset windows`:
#   1. the unit tests (ctest --preset windows starts each .exe through wine);
#   2. the protocol tests: the Linux test client against `wine quillmesh.exe`;
#   3. RAW jobs from `wine quillmesh.exe` through Wine's spooler into a private cupsd,
#      and the PrintTicket builder on Wine's spooler and PrintTicket provider there;
#   4. PDF jobs with the Ghostscript DLL that scripts/windows-ghostscript.sh built
#      (build/windows/gs/gsdll64.dll): rendering and its file confinement, then jobs
#      through Wine's GDI printer DC and spooler into a private cupsd. QM_GS_DLL=fake
#      runs the jobs with the test double of the DLL instead (tests/windows/fake_gsdll:
#      deterministic pages, no interpreter, so no confinement test), and so does a
#      run without the built DLL, with a warning;
#   5. the ZIP package's service cycle (install, net start, stop, uninstall).
# Wine runs in a private prefix (build/windows/wineprefix) with one persistent
# wineserver, started here and stopped on every way out. Exits non-zero when any
# test failed. To run a test program by hand in that prefix, set QM_WINE_TEMP (a
# Windows path) too: the prefix takes TEMP from it.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
readonly root=$PWD
readonly windows_build=$root/build/windows
readonly linux_build=$root/build/linux
readonly wine_temp=$windows_build/wine-temp
readonly protocol_test=$linux_build/tests/protocol/protocol_test
# The server runs with the DLL beside it from a folder of its own: the protocol tests
# expect the server of build/windows, which finds no Ghostscript.
readonly pdf_server_folder=$windows_build/pdf-server
# Without a built DLL the test double stands in, and says so.
if [[ ${QM_GS_DLL:-} != fake && ! -f $windows_build/gs/gsdll64.dll ]]; then
  echo "windows: WARNING: no $windows_build/gs/gsdll64.dll (scripts/windows-ghostscript.sh);" \
    "the PDF jobs run with the test double, not Ghostscript" >&2
  QM_GS_DLL=fake
fi
if [[ ${QM_GS_DLL:-} == fake ]]; then
  readonly gs_dll=$windows_build/tests/fake_gsdll/gsdll64.dll
else
  readonly gs_dll=$windows_build/gs/gsdll64.dll
fi
# Every test server listens on a free port of its own, so the protocol tests could run
# in shards side by side (QM_PROTOCOL_SHARDS=2). They do not by default: when two Wine
# servers answer their first printer-list request at the same moment, both stall for
# about 10 s, and once in eight runs for over 20 s, so a test timed out.
readonly protocol_shards=${QM_PROTOCOL_SHARDS:-1}

export WINEPREFIX=$windows_build/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs .NET or HTML, and their installers would
# only slow down the first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's spooler lists the queues of the CUPS it can reach. Point it at no scheduler,
# so the Windows server's printer list is the same (empty) on every machine.
export CUPS_SERVER=$windows_build/no-cupsd.sock

wineserver_pid=
started=$SECONDS

# Stops the wineserver started here, and every Wine process of the private prefix.
stop_wineserver() {
  [[ -n $wineserver_pid ]] || return 0
  wineserver -k 2>/dev/null
  wait "$wineserver_pid" 2>/dev/null
  wineserver_pid=
}
trap stop_wineserver EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A Linux path as Windows programs see it through Wine's Z: drive.
windows_path() {
  local path=${1//\//\\}
  printf 'Z:%s' "$path"
}

# Every Windows program of the run, the server included, writes its log under TEMP;
# unset, the prefix would hand them the literal text "%QM_WINE_TEMP%" as a relative path.
QM_WINE_TEMP=$(windows_path "$wine_temp")
export QM_WINE_TEMP

# Keeps one wineserver alive for the whole run: without it every test program pays
# for a server start and shutdown (about 2.5 s each).
start_wineserver() {
  mkdir -p "$WINEPREFIX"
  # Its own output (an object dump when it is stopped) goes to a file.
  wineserver -f -p >"$windows_build/wineserver.log" 2>&1 &
  wineserver_pid=$!
  sleep 0.2
  if ! kill -0 "$wineserver_pid" 2>/dev/null; then
    echo "windows: cannot start a wineserver for $WINEPREFIX (is one running already?)" >&2
    wineserver_pid=
    return 1
  fi
}

# Creates the prefix on first use, and points the user's TEMP and TMP at
# %QM_WINE_TEMP%: Wine replaces the TEMP a program is started with by the registry's,
# so the tests choose the folder through this variable instead.
prepare_prefix() {
  # Creating a prefix prints harmless warnings: keep them unless the step fails.
  local boot_log=$windows_build/wineboot.log
  if ! wineboot -i >"$boot_log" 2>&1; then
    cat "$boot_log" >&2
    return 1
  fi
  local name
  for name in TEMP TMP; do
    wine reg add 'HKCU\Environment' /v "$name" /t REG_EXPAND_SZ /d '%QM_WINE_TEMP%' /f \
      >/dev/null || return 1
  done
}

# The protocol test client is a Linux program: configure the linux preset when it is
# missing, and bring the client up to date (a stale one would test old code).
ensure_protocol_test() {
  local build_log=$windows_build/protocol-build.log
  if [[ ! -f $linux_build/CMakeCache.txt ]]; then
    cmake --preset linux >"$build_log" 2>&1 || { cat "$build_log" >&2; return 1; }
  fi
  if ! cmake --build --preset linux -j 2 --target protocol_test cups_raw_test cups_pdf_test \
      quillmesh-peer \
      >"$build_log" 2>&1; then
    cat "$build_log" >&2
    return 1
  fi
}

# Unit tests, each under Wine, with a private TEMP that is emptied first (the later
# steps keep writing into it).
run_unit_tests() {
  rm -rf "$wine_temp" && mkdir -p "$wine_temp" || return 1
  ctest --preset windows
}

# RAW jobs from the Windows server through Wine's spooler into a private cupsd, then
# the PrintTicket builder on that spooler's queue and a job followed there, each in a
# fresh test bed: the bed points CUPS_SERVER at its own scheduler for that command only.
# Each always runs.
run_cups_tests() {
  local status=0
  mkdir -p "$wine_temp" || return 1
  QM_SERVER_COMMAND="wine $windows_build/quillmesh.exe" \
    "$root/tests/cups/run_with_testbed.sh" "$linux_build/tests/cups/cups_raw_test" || status=1
  "$root/tests/cups/run_with_testbed.sh" wine "$windows_build/tests/print_ticket_wine_test.exe" \
    || status=1
  "$root/tests/cups/run_with_testbed.sh" wine "$windows_build/tests/spooler_watch_wine_test.exe" \
    || status=1
  return "$status"
}

# Rendering with the real DLL (file confinement under Windows paths), then PDF jobs from
# the server beside the DLL through Wine's GDI printer DC and spooler into a private
# cupsd.
run_ghostscript_tests() {
  if [[ ! -f $gs_dll ]]; then
    echo "windows: $gs_dll is missing (build the windows preset; scripts/windows-ghostscript.sh)" >&2
    return 1
  fi
  ensure_protocol_test || return 1
  mkdir -p "$pdf_server_folder" "$wine_temp" || return 1
  cp "$windows_build/quillmesh.exe" "$gs_dll" "$pdf_server_folder/" || return 1
  local status=0
  if [[ ${QM_GS_DLL:-} == fake ]]; then
    echo "windows: the test double of gsdll64.dll: no file confinement test"
  else
    QUILLMESH_GS_DLL=$(windows_path "$gs_dll") \
      wine "$windows_build/tests/pdf_rasterizer_wine_test.exe" || status=1
  fi
  QM_SERVER_COMMAND="wine $pdf_server_folder/quillmesh.exe" \
    "$root/tests/cups/run_with_testbed.sh" "$linux_build/tests/cups/cups_pdf_test" \
    --gtest_filter='CupsPdfWineTest.*' || status=1
  return "$status"
}

# The protocol tests, with wine running the Windows server, in shards side by side;
# each shard's output is shown whole once it has finished.
run_protocol_tests() {
  ensure_protocol_test || return 1
  local shard status=0 pids=() step_started=$SECONDS
  for ((shard = 0; shard < protocol_shards; shard++)); do
    GTEST_TOTAL_SHARDS=$protocol_shards GTEST_SHARD_INDEX=$shard \
      QM_SERVER_COMMAND="wine $windows_build/quillmesh.exe" "$protocol_test" \
      >"$windows_build/protocol-shard-$shard.log" 2>&1 &
    pids+=($!)
  done
  for ((shard = 0; shard < protocol_shards; shard++)); do
    wait "${pids[shard]}" || status=1
    cat "$windows_build/protocol-shard-$shard.log"
  done
  echo "windows: protocol tests in $protocol_shards shard(s) took $((SECONDS - step_started)) s"
  return "$status"
}

# The service host's install, start, stop and uninstall, from the ZIP package.
run_service_test() {
  ensure_protocol_test || return 1
  "$root/tests/windows/service_test.sh" "$windows_build" "$linux_build/quillmesh-peer"
}

failed=()
if [[ ! -f $windows_build/quillmesh.exe ]]; then
  echo "windows: $windows_build/quillmesh.exe is missing; build the windows preset first" >&2
  exit 1
fi
start_wineserver || exit 1
echo "==== windows: Wine prefix $WINEPREFIX"
prepare_prefix || failed+=("wine prefix")
if ((${#failed[@]} == 0)); then
  echo "==== windows: unit tests under Wine"
  run_unit_tests || failed+=("unit")
  echo "==== windows: protocol tests against wine quillmesh.exe"
  run_protocol_tests || failed+=("protocol")
  echo "==== windows: RAW jobs and PrintTickets through Wine's spooler on CUPS"
  run_cups_tests || failed+=("cups")
  echo "==== windows: PDF jobs with gsdll64.dll, through Wine's GDI printer DC on CUPS"
  run_ghostscript_tests || failed+=("ghostscript")
  # Last: it restarts the Wine session.
  echo "==== windows: the service cycle from the ZIP package"
  run_service_test || failed+=("service")
fi

echo "windows: finished in $((SECONDS - started)) s"
if ((${#failed[@]})); then
  echo "windows: FAILED: ${failed[*]}"
  exit 1
fi
echo "windows: every test passed"
