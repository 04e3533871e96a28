#!/usr/bin/env bash
# The whole test suite: installs the dependencies, builds the project twice
# (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# the unit and end-to-end tests of both builds, the fuzz targets briefly and
# the static analysis. Run as root on Debian 12.
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
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build

# The end-to-end tests spend most of their time waiting on their sandboxed
# hosts, which leaves a core idle for much of the run. The fuzz targets and
# the static analysis take that idle time: they run beside the tests, at the
# lowest priority so that the tests' timings do not feel them, with their
# output kept until the end.
side_log=build/side-checks.log
# In a session of its own, so that an early end of the tests can end all of it.
setsid -w nice -n 19 bash -c '
  status=0
  echo "== fuzz targets of the parsers (libFuzzer, briefly) =="
  FUZZ_SECONDS=${FUZZ_SECONDS:-10} scripts/fuzz-smoke.sh || status=1
  echo "== static analysis (clang-tidy, cppcheck) =="
  scripts/static-analysis.sh build || status=1
  exit $status
' >"$side_log" 2>&1 &
side=$!
trap 'kill -- -$side 2>/dev/null || true' EXIT

ctest --test-dir build --output-on-failure -j2
echo "== sanitizer build (ASan + UBSan) =="
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DVK_SANITIZE=ON

status=0
wait "$side" || status=$?
trap - EXIT
cat "$side_log"
exit "$status"
