#!/usr/bin/env bash
# The main job on a simulated Parvix host: installs the dependencies, builds
# and stages the product, then starts a sandboxed host with real sessions and
# administers them with vksession. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
rm -rf build/stage
cmake --install build --prefix build/stage >/dev/null
exec /usr/bin/python3 scripts/demo.py build/stage build/demo
