#!/usr/bin/env bash
# The performance benchmark: installs the dependencies, builds the product in
# Release, stages it, and runs tools/bench/bench.py, which times
# `vksession -p` and `vksession -p -x` on sandboxed hosts with 100, 1,000 and
# 10,000 sessions against the floor program and prints the table. Run as
# root on Debian 12. Arguments go to bench.py (--sizes, --runs, --json).
# VK_BENCH_BUILD names the build directory (default build-bench);
# VK_BENCH_TOOL another benchmark of tools/bench to run on the same build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh bench
dir=${VK_BENCH_BUILD:-build-bench}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVK_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir"
rm -rf "$dir/stage"
cmake --install "$dir" --prefix "$dir/stage" >/dev/null
exec /usr/bin/python3 "tools/bench/${VK_BENCH_TOOL:-bench.py}" --stage "$dir/stage" --build "$dir" "$@"
