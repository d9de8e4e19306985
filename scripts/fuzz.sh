#!/usr/bin/env bash
# Runs every libFuzzer harness for a long time: `scripts/fuzz.sh HOURS` (default 1).
# The hours are shared out among the harnesses, as many running at once as there are
# cores; a harness stops early once it has made 10 million runs. Inputs that add
# coverage collect in build/fuzz/corpus/<name> (outside the repository). An input that
# crashes, leaks or hangs a harness is kept as tests/fuzz/corpus/<name>/regression-*,
# which every ctest run of that harness replays first, and the harness is started again
# for the rest of its time. Exits non-zero when any harness found something.
set -uo pipefail
cd "$(dirname "$0")/.."

hours=${1:-1}
runs_wanted=10000000
scripts/install-deps.sh || exit 1
cmake --preset sanitize >/dev/null || exit 1
cmake --build --preset sanitize -j "$(nproc)" --target fuzzers || exit 1

build=build/sanitize/tests/fuzz
work=build/fuzz
mapfile -t harnesses <"$build/harnesses.txt"
cores=$(nproc)
seconds=$(awk -v h="$hours" -v c="$cores" -v n="${#harnesses[@]}" 'BEGIN { print int(h * 3600 * c / n) }')
echo "fuzz: ${#harnesses[@]} harnesses, $seconds s each, $cores at a time"

# Moves the input of every crash, leak or hang into the harness's corpus folder and
# prints how many there were.
keep_findings() {
  local name=$1 artifacts=$2 count=0 file
  for file in "$artifacts"/*; do
    [[ -f $file ]] || continue
    mv "$file" "tests/fuzz/corpus/$name/regression-$(basename "$file")"
    count=$((count + 1))
  done
  echo "$count"
}

# Fuzzes one harness until its time is used up or it made runs_wanted runs, restarting
# it after each finding. The first start also reads the seed folder; restarts read only
# the work corpus, which holds no input that ended a run, so a finding kept as a
# regression input does not end every restart at once. Writes "<name> <runs>
# <findings>" to its summary file.
fuzz_one() {
  local name=$1 max_len=$2 dict=$3
  local corpus=$work/corpus/$name artifacts=$work/artifacts/$name log=$work/$name.log
  local options=(-max_len="$max_len" -timeout=10 -rss_limit_mb=512 -malloc_limit_mb=256
    -print_final_stats=1 -artifact_prefix="$artifacts/")
  [[ -n $dict ]] && options+=(-dict="tests/fuzz/$dict")
  mkdir -p "$corpus" "$artifacts"
  local end=$((SECONDS + seconds)) runs=0 findings=0 found done_runs
  local folders=("$corpus" "tests/fuzz/corpus/$name")
  while ((SECONDS < end && runs < runs_wanted)); do
    "$build/${name}_fuzzer" "${options[@]}" -max_total_time=$((end - SECONDS)) \
      -runs=$((runs_wanted - runs)) "${folders[@]}" >"$log" 2>&1
    folders=("$corpus")
    done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    runs=$((runs + ${done_runs:-0}))
    found=$(keep_findings "$name" "$artifacts")
    if ((found > 0)) || [[ -z $done_runs ]]; then
      findings=$((findings + (found > 0 ? found : 1)))
      cp "$log" "$work/$name.finding-$findings.log"
    fi
    # A harness that ended without its statistics could not run at all: no restart.
    [[ -z $done_runs ]] && break
  done
  echo "$name $runs $findings" >"$work/$name.summary"
}

mkdir -p "$work"
# The harnesses' work folders (job files, spooled output, the log) in memory when it can be had.
[[ -d /dev/shm && -w /dev/shm ]] && export TMPDIR=/dev/shm
for line in "${harnesses[@]}"; do
  read -r name max_len dict <<<"$line"
  while (($(jobs -rp | wc -l) >= cores)); do wait -n; done
  fuzz_one "$name" "$max_len" "${dict:-}" &
done
wait

status=0
for line in "${harnesses[@]}"; do
  read -r name _ <<<"$line"
  read -r _ runs findings <"$work/$name.summary"
  echo "fuzz: $name: $runs runs, $findings findings"
  ((findings == 0)) || status=1
done
((status == 0)) || echo "fuzz: findings kept as tests/fuzz/corpus/*/regression-*; logs in $work"
exit $status
