#!/usr/bin/env bash
# Static analysis of the product's sources (base/, listing/, admin/, server/ and web/): clang-tidy
# with the check set of .clang-tidy (the reasons for what it leaves out are
# written there) and cppcheck. Any finding fails the run; a finding that is
# wrong for this code is suppressed where it occurs, with the reason beside
# it (NOLINT / cppcheck-suppress).
#
#   scripts/static-analysis.sh [BUILD_DIR]   (default: build)
#
# clang-tidy reads the compile commands of BUILD_DIR, which is configured
# here if it has none yet.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=${STATIC_ANALYSIS_JOBS:-2}

if [[ ! -f $build/compile_commands.json ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# The catalogues and other generated files are not needed; the sources are.
mapfile -t sources < <(git ls-files 'base/*.cc' 'listing/*.cc' 'admin/*.cc' 'server/*.cc' 'web/*.cc' ':!web/tests/*' \
  ':!base/tests/*')

echo "clang-tidy: ${#sources[@]} files"
run-clang-tidy-14 -p "$build" -j "$jobs" -quiet "${sources[@]/#/$PWD/}" >"$build/clang-tidy.log" 2>&1 ||
  true
if grep -E '(warning|error): ' "$build/clang-tidy.log" | grep -v 'warnings generated' >/dev/null; then
  grep -E -A3 '(warning|error): ' "$build/clang-tidy.log"
  echo "clang-tidy: findings (full log: $build/clang-tidy.log)"
  exit 1
fi

echo "cppcheck"
cppcheck --std=c++20 --language=c++ -I base -I listing -I admin/libvkadmin -I admin/cli -I admin/group -I server \
  -I web -I web/helper --enable=warning,performance,portability --inline-suppr --error-exitcode=1 -q \
  --suppress=missingIncludeSystem -i web/tests -i base/tests -j "$jobs" base listing admin server web
echo "static analysis: no findings"
