#!/usr/bin/env bash
# Builds the engine and runs the whole test suite. Installs the Debian packages it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

need=(g++ cmake libgtest-dev)
missing=()
for p in "${need[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-test -j2
ctest --test-dir build-test --output-on-failure -j2 --timeout 600
