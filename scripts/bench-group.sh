#!/usr/bin/env bash
# The failover group's benchmark: installs the dependencies, builds the
# product in Release, stages it, and runs tools/bench/group_bench.py, which
# times `vkgroup list` on a group of 16 sandboxed hosts with 100 sessions
# each against the floors of plain ssh, cold and warm, and then with 10,000
# sessions in all. Run as root on Debian 12. Arguments go to group_bench.py
# (--members, --sessions, --scale, --runs, --json). VK_BENCH_BUILD names the
# build directory (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
dir=${VK_BENCH_BUILD:-build-bench}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir"
rm -rf "$dir/stage"
cmake --install "$dir" --prefix "$dir/stage" >/dev/null
exec /usr/bin/python3 tools/bench/group_bench.py --stage "$dir/stage" --build "$dir" "$@"
