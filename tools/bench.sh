#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in Release mode in build-bench/ and runs
# the asset-step benchmark, which ends with its figures and targets (PASS/FAIL is
# informational: the script fails only when the build or the benchmark itself fails).
# Extra arguments go to the benchmark, e.g. --sizes=2k,20k or --skip-peak-memory.
# With --arnold first, the scene-description reader's benchmark runs instead (extra
# arguments: --size-mb=500, --runs=3, --dir=FOLDER).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
target=asset-bench
if [ "${1:-}" = "--arnold" ]; then
    target=ass-bench
    shift
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release \
      -DANALYSER_BUILD_BENCH=ON -DANALYSER_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target "$target"
"build-bench/bench/$target" "$@"
