#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test.
#   1. host build (build/): unit and integration tests
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/): the same tests
#   3. libFuzzer targets (build-fuzz/): a short smoke run of each
#   4. the target (build-mipsel/): cross build, unit tests and a daemon smoke under qemu-mipsel
# Usage: scripts/test.sh [--quick]   (--quick: host build and tests only)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/deps.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "host build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
step "host tests"
(cd build && ctest -j"$jobs" --output-on-failure)

[[ "${1:-}" == "--quick" ]] && exit 0

step "sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DK482916_SANITIZE=ON >/dev/null
cmake --build build-asan
step "sanitizer tests"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j"$jobs" --output-on-failure)

if [[ -f fuzz/CMakeLists.txt ]]; then
  step "fuzz smoke"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DK482916_TESTS=OFF -DK482916_FUZZ=ON >/dev/null
  cmake --build build-fuzz --target fuzz_all
  scripts/fuzz.sh build-fuzz 20
fi

if [[ -f scripts/cross.sh ]]; then
  step "target build and tests (mipsel under qemu)"
  scripts/cross.sh
fi
