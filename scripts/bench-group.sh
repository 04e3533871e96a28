#!/usr/bin/env bash
# The failover group's benchmark: scripts/bench.sh's set-up, then
# tools/bench/group_bench.py, which times `vkgroup list` on a group of 16
# sandboxed hosts with 100 sessions each against the floors of plain ssh,
# cold and warm, and then with 10,000 sessions in all. Arguments go to
# group_bench.py (--members, --sessions, --scale, --runs, --json).
set -euo pipefail
VK_BENCH_TOOL=group_bench.py exec "$(dirname "$0")/bench.sh" "$@"
