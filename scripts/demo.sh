#!/usr/bin/env bash
# The main job, quickly: installs only what the demo needs, builds only the
# programs it runs, then shows them in sandboxed hosts: vksession on one
# Parvix host with real sessions, and vkgroup across a failover group of
# three hosts with real sshd. Run as root on Debian 12.
#
# The demo has a build directory of its own (build-demo), apart from the
# test suite's: no test programs, no optimisation and no debug information,
# which compiles in less than half the time of an optimised build and runs
# the demo just as well.
set -euo pipefail
cd "$(dirname "$0")/.."
if ((EUID != 0)); then
  echo "$0: run as root (the sandboxed hosts need it)" >&2
  exit 1
fi
dir=build-demo
# The directories of the programs the demo runs: the session library with
# its message catalogues and schema, vksession, vkgroup, and the server's
# programs (the session starter and killer, the message tool, the
# authentication manager, the process tools, vkrcmd and its gate).
parts=(admin/libvkadmin admin/cli admin/group server)

echo "== Checking the build's packages (apt-get installs those missing) =="
scripts/setup-deps.sh build

# What the hosts run (X, slapd, sshd...) is not needed before the build is
# done. Unpacking packages waits mostly on the disk and compiling on the
# processors, so on a fresh machine the two overlap well.
mkdir -p "$dir"
echo "== Building the programs the demo runs; meanwhile the packages of its hosts" \
  "are checked (log: $dir/setup-deps.log) =="
# Should the build fail, the installation is left to finish: a package
# manager stopped halfway leaves the machine to be mended.
scripts/setup-deps.sh demo >"$dir/setup-deps.log" 2>&1 &
deps=$!
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O0 \
  -DVK_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" --target "${parts[@]/%//all}"
# Each directory's own install script stages what it built; the project's
# whole install would ask for the programs the demo leaves unbuilt.
rm -rf "$dir/stage"
for part in "${parts[@]}"; do
  cmake -DCMAKE_INSTALL_PREFIX="$PWD/$dir/stage" -P "$dir/$part/cmake_install.cmake" >/dev/null
done
if ! wait "$deps"; then
  cat "$dir/setup-deps.log" >&2
  echo "$0: the demo's packages could not be installed" >&2
  exit 1
fi
echo "== The demo =="
exec /usr/bin/python3 scripts/demo.py "$dir/stage" "$dir/demo"
