#!/usr/bin/env bash
# Sets everything up, then builds and runs every test:
#   1. formatting of every C++ file (.clang-format);
#   2. the normal build, warnings as errors: the unit tests (ctest -L unit);
#   3. AddressSanitizer + UndefinedBehaviorSanitizer: the unit tests and the
#      end-to-end tests (ctest -L e2e: the hub and the simulator as processes);
#   4. ThreadSanitizer: the tests of code shared between threads (-L threaded);
#   5. the clang build with thread-safety analysis, and each libFuzzer target
#      for a short, bounded time.
# Any failure, warning, sanitizer finding or fuzzer crash fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS="${FUZZ_SECONDS:-10}"
JOBS="$(nproc)"
# The end-to-end tests run as many at once as there are cores: under the
# sanitizers the hub and its simulated instruments use whole cores, and the
# tests bound how long a stop may take.
E2E_JOBS="${E2E_JOBS:-$JOBS}"
start=$SECONDS
stage() { echo "== $1 (at $((SECONDS - start)) s)"; }

VH_CMAKE_OPTIONS="-DVH_WERROR=ON" ./scripts/setup.sh

run_ctest() {  # run_ctest <dir> <jobs> [ctest options...]
  local dir="$1" jobs="$2"; shift 2
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs" --timeout 600 "$@")
}

stage "formatting"
./scripts/check_format.sh
./scripts/test_ratio.sh || echo "(test lines above the aim)"

stage "normal build, unit tests"
./scripts/build.sh build
run_ctest build "$JOBS" -L unit

stage "address + undefined behaviour sanitizers: unit and end-to-end tests"
./scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug "-DVH_SANITIZE=address;undefined" \
  -DVH_BENCH=OFF -DVH_WERROR=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest build-asan "$JOBS" -L unit
run_ctest build-asan "$E2E_JOBS" -L e2e
unset ASAN_OPTIONS UBSAN_OPTIONS

stage "thread sanitizer: threaded tests"
TARGETS=vh_threaded_tests ./scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug \
  -DVH_SANITIZE=thread -DVH_BENCH=OFF -DVH_WERROR=ON
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_ctest build-tsan "$JOBS" -L threaded
unset TSAN_OPTIONS

stage "clang build with thread-safety analysis; fuzz targets (${FUZZ_SECONDS} s each)"
./scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVH_FUZZ=ON -DVH_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
fuzz_one() {  # fuzz_one <target>: runs one fuzz target; its output goes to a log
  local f="$1" name corpus seeds
  name="$(basename "$f")"
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/$name"
  [ -d "$seeds" ] || seeds=""
  timeout $((FUZZ_SECONDS + 60)) "$f" -max_total_time="$FUZZ_SECONDS" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus" $seeds > "build-fuzz/$name.log" 2>&1
}
pids=(); names=()
for f in build-fuzz/fuzz/*_fuzz; do
  [ -x "$f" ] || continue
  # One target per core at a time.
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 0.2; done
  fuzz_one "$f" & pids+=($!); names+=("$(basename "$f")")
done
failed=0
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "-- ${names[$i]}: $(grep -E '^stat::number_of_executed_units' "build-fuzz/${names[$i]}.log" | awk '{print $2}') runs"
  else
    echo "-- ${names[$i]} FAILED:"; tail -n 40 "build-fuzz/${names[$i]}.log"; failed=1
  fi
done
[ "$failed" -eq 0 ] || { echo "a fuzz target failed"; exit 1; }

stage "all tests passed"
