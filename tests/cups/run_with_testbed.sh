#!/usr/bin/env bash
# Runs one command inside a fresh private CUPS test bed and returns its status; the
# bed is stopped on every way out, a failed or interrupted command included.
#   run_with_testbed.sh COMMAND [ARGS...]
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
exports=$("$here/testbed.sh" start) || {
  echo "run_with_testbed: the test bed did not start" >&2
  exit 1
}
eval "$exports"
trap '"$here/testbed.sh" stop "$QM_TESTBED_DIR"' EXIT

# In the background so that a signal reaches this shell at once (bash defers traps
# until a foreground command ends); the signal is passed on to the command.
"$@" &
command_pid=$!
trap 'kill -INT "$command_pid" 2>/dev/null; exit 130' INT
trap 'kill -TERM "$command_pid" 2>/dev/null; exit 143' TERM
wait "$command_pid"
