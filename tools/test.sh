#!/usr/bin/env bash
# Installs what is missing and runs everything CI runs, stopping at the first failure:
#   1. the normal build (build/) and the whole GoogleTest suite;
#   2. the same suite built once more with clang, AddressSanitizer and
#      UndefinedBehaviorSanitizer, in the tree that also holds the fuzz targets (build-fuzz/,
#      -DANALYSER_BUILD_FUZZ=ON), so the instrumented library is compiled once for both;
#   3. every fuzz target of that tree for FUZZ_SECONDS (20) over its seed corpus
#      (tools/fuzz.sh; new finds go to build-fuzz/finds/, the corpus is not changed);
#   4. the kill test: KILL_COUNT (300) SIGKILLs at random moments of real runs of
#      build/bin/katana-analyse on a generated scene; KILL_SEED replays a printed seed.
# ccache is used when it is installed. Each stage prints its time.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/deps.sh

jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# CPU seconds used so far by the commands this script ran: the second line of "times",
# which must run in this shell (in a command substitution it would count the subshell's).
times_file=$(mktemp)
trap 'rm -f "$times_file"' EXIT
cpu_snapshot() {
    times >"$times_file"
}
cpu_total() {
    tail -n 1 "$times_file" | awk '{
        total = 0
        for (i = 1; i <= 2; i++) {
            split($i, part, "m"); sub("s", "", part[2]); total += part[1] * 60 + part[2]
        }
        printf "%d", total
    }'
}
stages=0
stage_start=$SECONDS
stage_cpu=0
stage() {
    echo
    echo "=== $1"
    stage_start=$SECONDS
    cpu_snapshot
    stage_cpu=$(cpu_total)
}
stage_done() {
    stages=$((stages + 1))
    cpu_snapshot
    echo "=== $1 done in $((SECONDS - stage_start)) s ($(( $(cpu_total) - stage_cpu )) s of CPU)"
}

stage "build and unit tests (build/)"
cmake -S . -B build "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
stage_done "unit tests"

stage "unit tests under AddressSanitizer and UndefinedBehaviorSanitizer (build-fuzz/)"
# The Python module is tested in the first stage: an instrumented module cannot be loaded
# into the system's uninstrumented interpreter.
CC=clang CXX=clang++ cmake -S . -B build-fuzz "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DANALYSER_BUILD_FUZZ=ON -DANALYSER_BUILD_TESTS=ON -DANALYSER_BUILD_PYTHON_MODULE=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"
symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer ||
             echo /usr/lib/llvm-14/bin/llvm-symbolizer)
(cd build-fuzz &&
 ASAN_SYMBOLIZER_PATH="$symbolizer" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
 ctest --output-on-failure -j"$jobs")
stage_done "sanitized unit tests"

stage "fuzz targets, ${FUZZ_SECONDS:-20} s each (build-fuzz/)"
bash tools/fuzz.sh --no-build --time "${FUZZ_SECONDS:-20}s" all
stage_done "fuzz targets"

stage "kill test"
kill_args=(--analyser build/bin/katana-analyse --kills "${KILL_COUNT:-300}")
if [ -n "${KILL_SEED:-}" ]; then
    kill_args+=(--seed "$KILL_SEED")
fi
build/tests/driver/job_kill_test "${kill_args[@]}"
stage_done "kill test"

echo
cpu_snapshot
echo "total $SECONDS s ($(cpu_total) s of CPU)"
echo "stages: $stages passed, 0 failed"
