#!/usr/bin/env bash
# The whole test suite: installs the dependencies, builds the project twice
# (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# the unit and end-to-end tests of both builds. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh tests

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j2
}

echo "== plain build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build (ASan + UBSan) =="
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DVK_SANITIZE=ON
echo "== fuzz targets of the parsers (libFuzzer, briefly) =="
FUZZ_SECONDS=${FUZZ_SECONDS:-10} scripts/fuzz-smoke.sh
echo "== static analysis (clang-tidy, cppcheck) =="
scripts/static-analysis.sh build
