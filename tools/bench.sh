#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in Release mode in build-bench/ and runs
# the asset-step benchmark, which ends with its figures and targets (PASS/FAIL is
# informational: the script fails only when the build or the benchmark itself fails).
# Extra arguments go to the benchmark, e.g. --sizes=2k,20k or --skip-peak-memory.
# With --usd first it runs the USD walk benchmark instead (a generated tree of about 2,000
# layers and a 1 GB crate layer in a temporary folder; needs about 1.2 GB of free space);
# its own arguments follow, e.g. --usd --big-gb=0.25 --runs=5.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release \
      -DANALYSER_BUILD_BENCH=ON -DANALYSER_BUILD_TESTS=OFF >/dev/null
if [ "${1:-}" = "--usd" ]; then
    shift
    cmake --build build-bench -j2 --target usd-bench
    exec build-bench/bench/usd-bench "$@"
fi
cmake --build build-bench -j2 --target asset-bench
build-bench/bench/asset-bench "$@"
