#!/usr/bin/env bash
# Builds the fuzz targets of the parsers (clang, libFuzzer, ASan + UBSan) and
# runs each briefly from its committed seed corpus, so that a parser change
# that crashes on a known input, or soon after, fails the suite.
#
#   scripts/fuzz-smoke.sh [TARGET...]        (default: every target)
#   FUZZ_SECONDS=N   seconds per target (default 20)
#   FUZZ_BUILD=DIR   build directory (default build-fuzz)
#
# New inputs that a run finds stay in a scratch directory; the committed
# corpus only changes by hand. A crash leaves its input in that directory,
# and the script ends with the failing targets' names.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD:-build-fuzz}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DVK_FUZZ=ON >/dev/null
cmake --build "$build"

if (($#)); then
  targets=("$@")
else
  targets=()
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  # -jobs=1 and no forking: the machine is shared with other builds.
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$scratch/$t/" \
       "$scratch/$t" "fuzz/corpus/$t" >"$scratch/$t.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$scratch/$t.log" | tr '\n' ' ' |
      sed "s/^/fuzz_$t: /; s/\$/\n/"
  else
    echo "fuzz_$t FAILED:"
    tail -40 "$scratch/$t.log"
    ls "$scratch/$t" | grep -E '^(crash|leak|timeout|oom)-' || true
    failed+=("$t")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz targets failed: ${failed[*]}"
  exit 1
fi
