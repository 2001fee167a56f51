#!/usr/bin/env bash
# Prints the lines of test code against all code (C++, shell and Python
# sources under src, tools, bench, fuzz, scripts and tests). The project
# keeps tests at about a quarter to a third of all lines, at most 35 %.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c' \
    -o -name '*.py' -o -name '*.sh' \) -print0 | xargs -0 cat | wc -l
}
tests=$(count tests)
all=$(count src tools bench fuzz scripts tests)
echo "test lines: $tests of $all ($((100 * tests / all)) %; at most 35 %)"
for d in src tools bench fuzz scripts tests; do printf '  %-8s %6d\n' "$d" "$(count "$d")"; done
[ $((100 * tests)) -le $((35 * all)) ]
