#!/usr/bin/env bash
# Builds the engine and runs the whole test suite, then the suite again under AddressSanitizer +
# UndefinedBehaviorSanitizer, the threaded and protocol tests under ThreadSanitizer, and three
# bounded libFuzzer runs (protocol text, book file, tablebase file). Installs the Debian packages
# it needs. Any sanitizer report or fuzzer finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
phase() { echo "== [$((SECONDS - start)) s] $*"; }

install_missing() {
  local missing=()
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

# Runs ctest in a sanitizer build directory with reports written to files; fails when a test
# fails or when any report was written (also from engine processes the tests started and killed).
run_sanitized() {
  local dir=$1
  shift
  local logs="$PWD/$dir/sanitizer-logs"
  rm -rf "$logs" && mkdir -p "$logs"
  local status=0
  # Exit code 86 tells a sanitizer's end from the engine's own exit code 1. The undefined-behaviour
  # checks of the combined runtime print to the process's standard error whatever log_path says:
  # in an engine a test started (its standard error discarded) they end the process with 86,
  # which fails the test.
  ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:exitcode=86:log_path=$logs/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86" \
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=86:log_path=$logs/tsan" \
    ctest --test-dir "$dir" --output-on-failure -j2 --timeout 900 "$@" || status=$?
  if [ -n "$(ls -A "$logs")" ]; then
    echo "sanitizer reports in $dir:"
    for f in "$logs"/*; do echo "== $f"; head -80 "$f"; done
    status=1
  fi
  return $status
}

# A bounded libFuzzer run of one target over a copy of its committed seed corpus.
run_fuzzer() {
  local target=$1 corpus=$2 seconds=$3
  shift 3
  local work="build-fuzz/corpus-$target"
  rm -rf "$work" && mkdir -p "$work" && cp "$corpus"/* "$work"/
  local status=0
  build-fuzz/$target -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 "$@" \
    -artifact_prefix="build-fuzz/$target-" "$work" >"build-fuzz/$target.log" 2>&1 || status=$?
  if [ $status -ne 0 ]; then
    echo "$target found a fault (input saved as build-fuzz/$target-*):"
    tail -60 "build-fuzz/$target.log"
    return $status
  fi
  # libFuzzer's closing line, and the target's own figures where it prints them.
  echo "$target: $(grep -E '^Done [0-9]+ runs' "build-fuzz/$target.log" || tail -1 "build-fuzz/$target.log")"
  grep -E "^$target: " "build-fuzz/$target.log" || true
}

install_missing g++ cmake make libgtest-dev
phase "Release build and the whole suite"
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

ctest --test-dir build-test --output-on-failure -j2 --timeout 600

phase "AddressSanitizer + UndefinedBehaviorSanitizer build and the whole suite"
# The whole suite again with AddressSanitizer + UndefinedBehaviorSanitizer: the engine binary the
# protocol tests start is the sanitized one too.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNVIK_SANITIZE=ON >/dev/null
cmake --build build-asan -j2 --target tarnvik_tests
run_sanitized build-asan

phase "ThreadSanitizer build and the threaded tests"
# ThreadSanitizer over what runs threads: the engine driven through the protocol while it searches
# (go driver, one and two search threads, stop/ponderhit/isready/quit during a search), the go
# driver and "go" parsing in process, search-memory clearing threads, options applied between
# searches, the book answer while pondering, concurrent first probes of tablebase files, and the
# two-thread self-play and trainer runs. Single-threaded suites run under the sanitizers above.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNVIK_TSAN=ON >/dev/null
cmake --build build-tsan -j2 --target tarnvik_tests
tsan_tests='^(ProtocolDuringSearch|ProtocolLimits|ProtocolThreads|ProtocolInput\.(BadPositionCommandsKeepThePreviousPosition|GoKeywordWithoutItsValueIsIgnored)'
tsan_tests+='|GoParsing|GoDriver|SearchNodes\.AThreadsOwnNodeCap|MemoryTest|MemoryEngine|TopologyTest\.BindingOnThisMachine|OptionsTest'
tsan_tests+='|BookTest\.(EngineAnswersFromTheBook|PonderWaitsAndInfiniteSearches)|Tablebase\.ConcurrentFirstProbes|TablebaseEngine'
tsan_tests+='|SelfPlayData\.LinesFollowTheFormatAndTheFilters|TrainerUpdate)'
run_sanitized build-tsan -R "$tsan_tests"

phase "fuzz targets"
# Bounded libFuzzer runs (clang's libFuzzer with AddressSanitizer + UndefinedBehaviorSanitizer).
install_missing clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DTARNVIK_FUZZ=ON -DTARNVIK_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_uci fuzz_book fuzz_tb
run_fuzzer fuzz_uci tools/fuzz/corpus 45 -max_len=4096
run_fuzzer fuzz_book tools/fuzz/corpus-book 30 -max_len=4096
run_fuzzer fuzz_tb tools/fuzz/corpus-tb 45 -max_len=65536

echo "run_all.sh: all passed in $((SECONDS - start)) s"
