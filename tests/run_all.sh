#!/usr/bin/env bash
# Builds the engine and runs the whole test suite. Installs the Debian packages it needs.
set -euo pipefail
cd "$(dirname "$0")/.."

need=(g++ cmake make libgtest-dev)
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

# The root Makefile over the release build above (configured already, so nothing is recompiled),
# and the Debian package from it unpacked into a temporary root: the packaged engine answers
# "uci" and the manual page is in place.
pkg_tmp=$(mktemp -d)
trap 'rm -rf "$pkg_tmp"' EXIT
make --no-print-directory EXE="$pkg_tmp/tarnvik-make" BUILD_DIR=build-test >/dev/null
cmp build-test/tarnvik "$pkg_tmp/tarnvik-make"
(cd build-test && cpack -G DEB -B "$pkg_tmp" >/dev/null)
dpkg -x "$pkg_tmp"/tarnvik_*_amd64.deb "$pkg_tmp/root"
uci_reply=$(printf 'uci\nquit\n' | "$pkg_tmp/root/usr/bin/tarnvik")
grep -qx 'uciok' <<<"$uci_reply"
grep -q '^\.TH TARNVIK 6' "$pkg_tmp/root/usr/share/man/man6/tarnvik.6"
rm -rf "$pkg_tmp"
echo "make EXE=... and the .deb package: ok"

# A bounded libFuzzer run over FEN text, move lists and protocol lines (clang's libFuzzer).
fuzz_need=(clang libclang-rt-14-dev)
fuzz_missing=()
for p in "${fuzz_need[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || fuzz_missing+=("$p"); done
if [ ${#fuzz_missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${fuzz_missing[@]}"
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DTARNVIK_FUZZ=ON -DTARNVIK_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_uci
rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus && cp tools/fuzz/corpus/* build-fuzz/corpus/
build-fuzz/fuzz_uci -max_total_time=45 -timeout=20 -rss_limit_mb=4096 -max_len=4096 build-fuzz/corpus 2>&1 | tail -3

ctest --test-dir build-test --output-on-failure -j2 --timeout 600
