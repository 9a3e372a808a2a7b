#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing (run as
# root): the compilers and libraries, clang with its sanitizer and libFuzzer runtimes for the
# fuzz targets, and llvm-14 for the symbolizer that names the lines of a sanitizer report.
set -euo pipefail
packages=(g++ cmake make pkg-config libpcre2-dev nlohmann-json3-dev libpugixml-dev
          libssl-dev zlib1g-dev liblz4-dev libgtest-dev libbenchmark-dev python3 python3-dev
          clang libclang-rt-14-dev llvm-14)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
fi
