#!/usr/bin/env bash
# Installs everything, builds every configuration and runs every test:
# native unit tests, the same under ASan/UBSan, the Windows build's tests under Wine
# (unit tests and end-to-end tests on a private Xvfb), the Python test server's own
# tests, and a short run of every fuzzer.
# Usage: tools/test.sh [fuzz-seconds-per-target]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
fuzz_secs=${1:-20}
jobs=$(nproc)
t0=$(date +%s)
step() { printf '\n=== %s (%ss)\n' "$*" "$(( $(date +%s) - t0 ))"; }

step "packages"
if [ "$(id -u)" = 0 ]; then bash tools/setup-packages.sh; else sudo bash tools/setup-packages.sh; fi
step "MinGW libraries"
bash tools/build-deps-mingw.sh

failed=()
run() {  # run NAME COMMAND...: record a failure and go on, so one run shows every problem
  local name=$1; shift
  if ! "$@"; then failed+=("$name"); fi
}

step "native build and tests"
cmake --preset native >/dev/null
cmake --build build/native -j"$jobs"
run native ctest --test-dir build/native --output-on-failure -j"$jobs" --timeout 600

step "ASan/UBSan build and tests"
cmake --preset asan >/dev/null
cmake --build build/asan -j"$jobs"
run asan env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" --timeout 900

step "Windows build and tests under Wine"
cmake --preset mingw >/dev/null
cmake --build build/mingw -j"$jobs"
run wine ctest --test-dir build/mingw --output-on-failure -j4 --timeout 900
WINEPREFIX=$root/build/wineprefix wineserver -k 2>/dev/null || true

step "scripted test server self-checks"
run rfbserver /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/rfbserver

step "fuzzers (${fuzz_secs}s each)"
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j"$jobs"
run fuzz bash tools/run-fuzzers.sh "$fuzz_secs"

step "done"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all tests passed"
