#!/usr/bin/env bash
# Builds the daemon, the controller tool and the benchmarks (Release) and prints the figures.
#   bench/run.sh [k482916_bench options...]     e.g. bench/run.sh --only idle
# Build folder: build-bench, or $K482916_BENCH_BUILD. Takes about two minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${K482916_BENCH_BUILD:-build-bench}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DK482916_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target k482916_bench mqtt_k482916_demon k482916_ctl >/dev/null
K482916_BUILD_DIR="$PWD/$build" "$build/k482916_bench" "$@"
