#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in Release mode in build-bench/ and runs
# one of them, which ends with its figures and targets (PASS/FAIL is informational: the
# script fails only when the build or the benchmark itself fails).
#
#   bash tools/bench.sh [ARGS]              the asset step (--sizes=2k,20k,200k, --skip-peak-memory)
#   bash tools/bench.sh --whole-run [ARGS]  the whole run of the executable (--sizes=20k,200k,1m)
#   bash tools/bench.sh --arnold [ARGS]     the scene-description reader (--size-mb=500,
#                                           --runs=3, --dir=FOLDER)
#   bash tools/bench.sh --usd [ARGS]        the USD walk: a generated 2,000-layer tree and a 1 GB
#                                           crate layer (--big-gb=0.25, --runs=N; about 1.2 GB in /tmp)
#
# Other arguments go to the benchmark program (Google Benchmark flags included).
set -euo pipefail
cd "$(dirname "$0")/.."
target=asset-bench
case "${1:-}" in
    --whole-run) target=whole-run-bench; shift ;;
    --arnold) target=ass-bench; shift ;;
    --usd) target=usd-bench; shift ;;
esac
bash tools/deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release \
      -DANALYSER_BUILD_BENCH=ON -DANALYSER_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target "$target"
"build-bench/bench/$target" "$@"
