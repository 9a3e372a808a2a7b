#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs one target, or every target built, for a while.
#
#   bash tools/fuzz.sh [--time DURATION] [--finds DIR] [--no-build] [TARGET|all]
#
# DURATION is per target: 90s, 10m, 2h (default 5m). TARGET is a name such as ocio (the
# executable build-fuzz/fuzz/ocio_fuzz); "all" (the default) runs every *_fuzz there in turn.
#
# The committed seed corpus fuzz/corpus/<name>/ is only read, never changed: the inputs a
# run finds that reach new code are kept in a separate folder, DIR/<name>/ (default
# build-fuzz/finds/<name>/), which later runs read too, so long runs build on each other.
# Crashes, leaks, hangs (10 s per input) and sanitizer reports are saved as
# build-fuzz/artifacts/<name>/crash-* (or leak-*, timeout-*, oom-*) and fail the script; a
# target also fails when its code tries to start a program. Replay one with
# build-fuzz/fuzz/<name>_fuzz build-fuzz/artifacts/<name>/crash-...
# The last line of each target is its count of executions and executions per second.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

duration=5m
finds="$top/build-fuzz/finds"
build=1
target=all
while [ $# -gt 0 ]; do
    case "$1" in
        --time) duration="$2"; shift 2 ;;
        --time=*) duration="${1#--time=}"; shift ;;
        --finds) finds="$2"; shift 2 ;;
        --finds=*) finds="${1#--finds=}"; shift ;;
        --no-build) build=0; shift ;;
        -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
        -*) echo "unknown option: $1" >&2; exit 2 ;;
        *) target="$1"; shift ;;
    esac
done

case "$duration" in
    *h) seconds=$(( ${duration%h} * 3600 )) ;;
    *m) seconds=$(( ${duration%m} * 60 )) ;;
    *s) seconds=${duration%s} ;;
    *) seconds=$duration ;;
esac
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -le 0 ]; then
    echo "bad duration: $duration (use 90s, 10m or 2h)" >&2
    exit 2
fi

if [ "$build" = 1 ]; then
    launcher=()
    if command -v ccache >/dev/null 2>&1; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    # No Python module here: an instrumented module could not be loaded into the system's
    # interpreter, and the fuzz targets do not need it. A new tree leaves the tests out; a
    # tree the test command made keeps its sanitized test suite.
    tests=()
    if [ ! -f build-fuzz/CMakeCache.txt ]; then
        tests=(-DANALYSER_BUILD_TESTS=OFF)
    fi
    CC=clang CXX=clang++ cmake -S . -B build-fuzz "${launcher[@]}" -DANALYSER_BUILD_FUZZ=ON \
        -DANALYSER_BUILD_PYTHON_MODULE=OFF "${tests[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    if [ "$target" = all ]; then
        cmake --build build-fuzz -j"$(nproc)"
    else
        cmake --build build-fuzz -j"$(nproc)" --target "${target}_fuzz"
    fi
fi

names=()
if [ "$target" = all ]; then
    for exe in build-fuzz/fuzz/*_fuzz; do
        [ -x "$exe" ] || continue
        name=$(basename "$exe")
        names+=("${name%_fuzz}")
    done
else
    names=("$target")
fi
if [ ${#names[@]} -eq 0 ]; then
    echo "no fuzz target built in build-fuzz/fuzz/" >&2
    exit 1
fi

symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer ||
             echo /usr/lib/llvm-14/bin/llvm-symbolizer)
export ASAN_SYMBOLIZER_PATH="$symbolizer"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for name in "${names[@]}"; do
    exe="build-fuzz/fuzz/${name}_fuzz"
    if [ ! -x "$exe" ]; then
        echo "no such fuzz target: $exe" >&2
        failed+=("$name")
        continue
    fi
    seeds="fuzz/corpus/$name"
    mkdir -p "$finds/$name" "build-fuzz/artifacts/$name"
    args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix="build-fuzz/artifacts/$name/")
    if [ -f "fuzz/dict/$name.dict" ]; then
        args+=(-dict="fuzz/dict/$name.dict")
    fi
    corpora=("$finds/$name")
    if [ -d "$seeds" ]; then
        corpora+=("$seeds")
    fi
    log="build-fuzz/artifacts/$name/last-run.log"
    echo "fuzzing $name for ${seconds}s (new finds in $finds/$name)"
    status=0
    "$exe" "${args[@]}" "${corpora[@]}" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    if [ "$status" -ne 0 ]; then
        echo "FAILED $name (status $status): the end of $log follows"
        tail -n 60 "$log"
        failed+=("$name")
    else
        echo "ok $name: ${runs:-?} executions, ${rate:-?} per second"
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets failed: ${failed[*]}"
    exit 1
fi
echo "all ${#names[@]} fuzz targets ran clean"
