#!/usr/bin/env bash
# Sets everything up, then builds and runs every test:
#   1. the normal build: unit and end-to-end tests;
#   2. AddressSanitizer + UndefinedBehaviorSanitizer: the same tests;
#   3. ThreadSanitizer: the tests labelled "threaded";
#   4. each libFuzzer target for a short, bounded time.
# Any failure, sanitizer finding or fuzzer crash fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS="${FUZZ_SECONDS:-15}"
JOBS="$(nproc)"

./scripts/setup.sh

run_ctest() {  # run_ctest <dir> [ctest options...]
  local dir="$1"; shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600 "$@")
}
# The end-to-end tests mostly wait on real time (instruments streaming at
# their rate, time-outs, minute boundaries), so more of them run at once
# than there are cores.
E2E_JOBS="${E2E_JOBS:-$((JOBS * 2))}"
run_e2e() {  # run_e2e <dir> [ctest options...]
  local dir="$1"; shift
  (cd "$dir" && ctest --output-on-failure -j "$E2E_JOBS" --timeout 600 -L e2e "$@")
}

echo "== normal build"
run_ctest build -LE e2e
run_e2e build

echo "== address + undefined behaviour sanitizers"
./scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug "-DVH_SANITIZE=address;undefined" -DVH_BENCH=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest build-asan -LE e2e
run_e2e build-asan
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== thread sanitizer (threaded tests)"
./scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DVH_SANITIZE=thread -DVH_BENCH=OFF
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_ctest build-tsan -L threaded -LE e2e
run_e2e build-tsan
unset TSAN_OPTIONS

echo "== fuzz targets (${FUZZ_SECONDS} s each)"
./scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVH_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
for f in build-fuzz/fuzz/*_fuzz; do
  [ -x "$f" ] || continue
  name="$(basename "$f")"
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/$name"
  [ -d "$seeds" ] || seeds=""
  echo "-- $name"
  timeout $((FUZZ_SECONDS + 60)) "$f" -max_total_time="$FUZZ_SECONDS" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus" $seeds 2>&1 | tail -n 4
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz target $name failed"; exit 1; }
done

echo "== all tests passed"
