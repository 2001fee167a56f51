#!/usr/bin/env bash
# Fails when a C++ file of the repository is not formatted with .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/vh-format.$$; then
  grep -E '^[^ ].*(warning|error):' /tmp/vh-format.$$ | sed -E 's/:[0-9]+:[0-9]+:.*//' | sort -u |
    sed 's/^/  not formatted: /'
  rm -f /tmp/vh-format.$$
  echo "Run: clang-format -i \$(git ls-files '*.cpp' '*.h')"
  exit 1
fi
rm -f /tmp/vh-format.$$
echo "all ${#files[@]} C++ files formatted"
