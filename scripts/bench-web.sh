#!/usr/bin/env bash
# vkweb's benchmark: scripts/bench.sh's set-up, then tools/bench/web_bench.py,
# which runs wrk with 20 logged-in clients against the sessions page of a
# group of 16 sandboxed hosts with 100 sessions each, and reports the page's
# latency, how much of it is the group's listing, and vkweb's memory.
# Arguments go to web_bench.py (--members, --sessions, --clients, --seconds,
# --json).
set -euo pipefail
VK_BENCH_TOOL=web_bench.py exec "$(dirname "$0")/bench.sh" "$@"
