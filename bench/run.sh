#!/usr/bin/env bash
# Builds the daemon, the controller tool and the benchmarks (Release) and prints the figures.
#   bench/run.sh [k482916_bench options...]     e.g. bench/run.sh --only idle
# Groups (--only, comma-separated): startup, publish, idle, commands (the default set), discovery,
# reliability (about six minutes on its own), fresh (freshness today and with "scan", about six),
# cluster (three RabbitMQ nodes behind HAProxy from scripts/cluster.sh, about four minutes),
# fleet (1000 daemons, --fleet N for another number, on one mosquitto that goes away; as root,
# about half an hour).
# Build folder: build-bench, or $K482916_BENCH_BUILD. Takes about two minutes.
# $K482916_BENCH_DAEMON: a configured build folder whose daemon and controller tool are measured
# instead (built here), for example one against libmosquitto 1.4.15:
#   cmake --preset mosq14 -B build-bench-mosq14 -DCMAKE_BUILD_TYPE=Release -DK482916_TESTS=OFF
#   K482916_BENCH_DAEMON=build-bench-mosq14 bench/run.sh --only reliability
# The benchmark's own clients stay on the system's libmosquitto.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${K482916_BENCH_BUILD:-build-bench}"

# The bench preset; another folder gets the same configuration with -B and is built by name.
if [[ "$build" == build-bench ]]; then at=(--preset bench); else at=("$build" -j2); fi
cmake --preset bench -B "$build" >/dev/null
cmake --build "${at[@]}" --target k482916_bench mqtt_k482916_demon k482916_ctl >/dev/null
daemon_build=${K482916_BENCH_DAEMON:-$build}
[[ "$daemon_build" == "$build" ]] ||
  cmake --build "$daemon_build" -j2 --target mqtt_k482916_demon k482916_ctl >/dev/null
K482916_BUILD_DIR="$PWD/$daemon_build" "$build/k482916_bench" "$@"
