#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build tree, each for SECONDS, starting from
# the committed corpus (tests/fuzz/corpus/<target>) and a working corpus in
# the build tree that keeps what earlier runs found. Fails when any target
# finds a crash, a leak, a time-out or a broken property; the input that
# did it is kept in <build>/fuzz-artifacts/<target>/.
#
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]   (default: every target)
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:?build directory}
seconds=${2:?seconds per target}
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for seeds in tests/fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# Targets run side by side, one per core (FUZZ_JOBS overrides); each prints
# its own summary once it ends, in target order.
jobs=${FUZZ_JOBS:-$(nproc)}

run_one() {
  local t=$1 bin=$build/bin/fuzz_$1
  if [ ! -x "$bin" ]; then
    echo "fuzz: $t: no $bin"
    return 1
  fi
  local work=$build/fuzz-corpus/$t artifacts=$build/fuzz-artifacts/$t log=$build/fuzz-logs/$t.log
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  local dict=()
  [ -f tests/fuzz/dict/$t.dict ] && dict=(-dict=tests/fuzz/dict/$t.dict)
  # The targets print (usage errors, warnings); only libFuzzer's own lines
  # and the sanitizers' reports are wanted.
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${dict[@]}" "$work" "tests/fuzz/corpus/$t" >"$log" 2>&1
  local rc=$?
  local runs last cov ft corpus
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  if [ $rc -ne 0 ]; then
    echo "fuzz: $t FAILED (exit $rc) after ${runs:-?} runs; log $log, input in $artifacts/"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20
    # The run closed the target's own output; once more with it, for the
    # property that broke.
    for input in "$artifacts"/*; do
      [ -f "$input" ] && "$bin" "$input" 2>&1 | grep -E 'property violated' | head -1
    done
    return 1
  fi
  echo "fuzz: $t ok: ${runs:-?} runs in ${seconds}s, cov ${cov:-?}, ft ${ft:-?}, corpus ${corpus:-?}"
}

mkdir -p "$build/fuzz-logs"
pids=()
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.2; done
  run_one "$t" >"$build/fuzz-logs/$t.summary" 2>&1 &
  pids+=($!)
done
failed=()
for i in "${!targets[@]}"; do
  wait "${pids[$i]}" || failed+=("${targets[$i]}")
  cat "$build/fuzz-logs/${targets[$i]}.summary"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
