#!/usr/bin/env bash
# Builds the fuzz targets of the parsers (clang, libFuzzer, ASan + UBSan) and
# runs each briefly from its committed seed corpus, so that a parser change
# that crashes on a known input, or soon after, fails the suite.
#
#   scripts/fuzz-smoke.sh [TARGET...]        (default: every target)
#   FUZZ_SECONDS=N   seconds per target (default 20)
#   FUZZ_BUILD=DIR   build directory (default build-fuzz)
#
# New inputs that a run finds go to a scratch directory, removed at the end;
# the committed corpus only changes by hand. When a target fails, the
# directory stays, with the input that made it fail, and the script ends
# with the failing targets' names.
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
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  # One target at a time, in one process: the machine is shared.
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$scratch/$t/" \
       "$scratch/$t" "fuzz/corpus/$t" >"$scratch/$t.log" 2>&1; then
    # "#runs DONE cov: N ft: N corp: ...": executions, coverage, corpus.
    echo "fuzz_$t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/$t.log" | tail -1)"
  else
    echo "fuzz_$t FAILED:"
    tail -40 "$scratch/$t.log"
    ls "$scratch/$t" | grep -E '^(crash|leak|timeout|oom)-' || true
    failed+=("$t")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz targets failed: ${failed[*]} (inputs and logs in $scratch)"
  exit 1
fi
rm -rf "$scratch"
