#!/usr/bin/env bash
# build.sh <build dir> [cmake options...]: configure (when the folder is new
# or options are given) and build everything; TARGETS="a b" builds only those
# targets.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$1"; shift
if [ ! -f "$dir/build.ninja" ] || [ $# -gt 0 ]; then
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
fi
targets=()
for t in ${TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
