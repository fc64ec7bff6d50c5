#!/usr/bin/env bash
# Installs what is missing, builds zvmail32 with warnings as errors, and runs
# every test twice: in a plain build and under AddressSanitizer and
# UndefinedBehaviorSanitizer; then runs each fuzz target for 30 s
# (scripts/fuzz.sh). Usage: scripts/test.sh
# Extra ctest arguments may come in ZV_CTEST_ARGS (e.g. "-LE e2e").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DZV_WERROR=ON "$@" >/dev/null
  ninja -C "$dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 ${ZV_CTEST_ARGS:-}
}

echo "== plain build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DZV_SANITIZE=ON
echo "== fuzz targets (30 s each)"
scripts/fuzz.sh 30
