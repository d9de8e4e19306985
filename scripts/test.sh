#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test:
#   linux     native build, unit, protocol, CUPS and fuzz-free tests
#   sanitize  the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
#             plus each libFuzzer harness for a bounded time
#   tsan      the server and the peer under ThreadSanitizer: the protocol tests and
#             the concurrent first load of the configuration cache (only those are built)
#   windows   the MinGW-w64 build and the cross-built Ghostscript DLL; its tests under Wine
# Before them, scripts/check-seam.sh: no system code outside source/platform/.
# Exits non-zero when any build or test fails. `scripts/test.sh linux` runs one preset.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1

presets=("$@")
((${#presets[@]})) || presets=(linux sanitize tsan windows)
jobs=$(nproc)
failed=()
scripts/check-seam.sh || failed+=(seam)

run_preset() {
  local preset=$1
  echo "==== $preset: configure and build"
  # The MinGW build compiles cpp-httplib from its single header, taken from Debian's
  # source package before the preset configures.
  if [[ $preset == windows ]]; then scripts/windows-httplib.sh || return 1; fi
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" -j "$jobs" || return 1
  echo "==== $preset: test"
  if [[ $preset == windows ]]; then
    # The PDF tests under Wine need the real Ghostscript DLL: built here (minutes, once
    # per source version) or taken from the cache outside the clone.
    scripts/windows-ghostscript.sh || return 1
    tests/windows/run.sh
  else
    ctest --preset "$preset" -j "$jobs"
  fi
}

for preset in "${presets[@]}"; do
  run_preset "$preset" || failed+=("$preset")
done

if ((${#failed[@]})); then
  echo "test: FAILED presets: ${failed[*]}"
  exit 1
fi
echo "test: every preset passed (${presets[*]})"
