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
trap 'exit 130' INT
trap 'exit 143' TERM

"$@"
