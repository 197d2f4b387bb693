#!/usr/bin/env bash
# What make test runs after setup, on two lanes at once:
#
#   builds and analysis: win64, win32, native, then (niced) asan, tsan
#       (the concurrency tests only), lint, the fuzz targets, then the fuzz runs;
#   test suites: native (as soon as the native and Windows trees are
#       built), asan (once its tree is built), tsan (likewise).
#
# The suites mostly wait on simulated lines, Wine and child processes, so
# they run beside the compilers, which yield the CPU to them (nice). The fuzz
# runs come last, when nothing else runs, so each target has its core for
# its whole time. Each step's output goes to build/test-logs/STEP.log; a step
# that fails prints its log, and the run fails at the end. A failed build
# skips the suite that needs it; everything else still runs.
#
# Usage: scripts/test.sh   (from make test; JOBS, FUZZ_SECONDS=15, TEST_JOBS)
set -uo pipefail
cd "$(dirname "$0")/.."
# The steps call make themselves; a parent make's flags (a jobserver) are not theirs.
unset MAKEFLAGS MFLAGS MAKELEVEL

jobs=${JOBS:-$(nproc)}
# The suites wait far more than they compute; twice the cores keeps them busy.
test_jobs=${TEST_JOBS:-$((2 * jobs))}
fuzz_seconds=${FUZZ_SECONDS:-15}
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
start=$SECONDS

# step NAME COMMAND...: runs COMMAND with its output in the step's log and
# leaves NAME.ok or NAME.failed beside it. On success the log's lines that
# match $show (if set) are printed: the suites' counts and skipped tests.
step() {
  local name=$1; shift
  local began=$SECONDS
  if "$@" >"$logs/$name.log" 2>&1; then
    touch "$logs/$name.ok"
    echo "test: $name ok in $((SECONDS - began)) s (at $((SECONDS - start)) s)"
    [ -z "${show:-}" ] || grep -E "$show" "$logs/$name.log" | sed 's/^/      /'
    return 0
  fi
  touch "$logs/$name.failed"
  { echo "test: $name FAILED after $((SECONDS - began)) s; its log ($logs/$name.log):"
    cat "$logs/$name.log"
    echo "test: end of the $name log"; } >&2
  return 1
}

# after STEP: waits until STEP has ended; true if it succeeded.
after() {
  while [ ! -e "$logs/$1.ok" ] && [ ! -e "$logs/$1.failed" ]; do sleep 1; done
  [ -e "$logs/$1.ok" ]
}

skipped() { echo "test: $1 not run: $2 failed" >&2; touch "$logs/$1.failed"; }

ctest_in() { # TREE ARGS...
  local tree=$1; shift
  (cd "build/$tree" && ctest --output-on-failure --no-tests=error -j "$test_jobs" "$@")
}

# The tsan tree builds only the concurrency tests; it must list every one
# that the native tree does, or one would go without ThreadSanitizer.
tsan_suite() {
  local native tsan
  native=$(cd build/native && ctest -N -L concurrency | sed -n 's/^ *Test *#[0-9]*: //p' | sort)
  tsan=$(cd build/tsan && ctest -N -L concurrency | sed -n 's/^ *Test *#[0-9]*: //p' | sort)
  if [ "$native" != "$tsan" ]; then
    echo "the tsan tree lacks concurrency tests of the native tree (add their executable to"
    echo "concurrency-tests in tests/CMakeLists.txt):"
    comm -23 <(echo "$native") <(echo "$tsan")
    return 1
  fi
  ctest_in tsan -L concurrency
}

suite_counts='tests passed|Total Test time|\*\*\*Skipped|\*\*\*Not Run'

build_lane() {
  step win64 make --no-print-directory win64
  step win32 make --no-print-directory win32
  step native make --no-print-directory native
  # From here the suites run beside these steps and come first for the CPU.
  step asan nice -n 10 make --no-print-directory asan
  step tsan nice -n 10 make --no-print-directory tsan-concurrency
  show='^lint:' step lint nice -n 10 make --no-print-directory lint
  step fuzz-build nice -n 10 make --no-print-directory fuzz-build
}

suite_lane() {
  if after win64 && after win32 && after native; then
    show=$suite_counts step native-suite ctest_in native
  else
    skipped native-suite "a Windows or native build"
  fi
  if after asan; then
    # The Wine tests run in the native suite only.
    show=$suite_counts step asan-suite ctest_in asan -LE wine
  else
    skipped asan-suite "the asan build"
  fi
  # The tsan suite's list is checked against the native tree's.
  if after tsan && after native; then
    show=$suite_counts step tsan-suite tsan_suite
  else
    skipped tsan-suite "the tsan or the native build"
  fi
}

build_lane &
builds=$!
suite_lane &
suites=$!
wait "$builds"
wait "$suites"

if after fuzz-build; then
  show='^fuzz:' step fuzz scripts/fuzz.sh build/fuzz "$fuzz_seconds"
else
  skipped fuzz "the fuzz build"
fi

failed=$(cd "$logs" && ls -- *.failed 2>/dev/null | sed 's/\.failed$//' | tr '\n' ' ')
if [ -n "$failed" ]; then
  echo "test: FAILED: $failed(logs in $logs) after $((SECONDS - start)) s" >&2
  exit 1
fi
echo "test: all passed in $((SECONDS - start)) s"
