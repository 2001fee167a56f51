#!/usr/bin/env bash
# Installs the Debian packages the hub and its tests need (only when one is
# missing) and builds the hub, the instrument simulator, the ring server and
# its small SeedLink client into build/bin
# (cmake options in VH_CMAKE_OPTIONS). Safe to run again: quick when
# everything is there.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential cmake ninja-build pkg-config libmseed-dev libzip-dev
          libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
          libxml2-utils procps zip unzip clang-format libsystemd-dev libcairo2-dev
          libboost-dev libmicrohttpd-dev)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# build.sh <dir> [cmake options...]
# shellcheck disable=SC2086
TARGETS="vorlanhub dremosim ringservervh slreadvh vhplot" ./scripts/build.sh build ${VH_CMAKE_OPTIONS:-}
