#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test.
#   1. host build (build/): style checks, unit and integration tests
#   2. host build against libmosquitto 1.4.15, the controller's library (build-mosq14/): the same
#      tests
#   3. AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/): the same tests
#   4. libFuzzer targets (build-fuzz/): a short smoke run of each
#   5. the target (build-mipsel/): cross build against libmosquitto 1.4.15, unit tests and a daemon
#      smoke under qemu-mipsel
# Every build is a preset of CMakePresets.json (host, mosq14, asan, fuzz; cross.sh uses target).
# Usage: scripts/test.sh [--quick]   (--quick: host build and tests only)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/deps.sh

step() { printf '\n==== %s (at %d s) ====\n' "$*" "$SECONDS"; }

step "host build"
cmake --preset host >/dev/null
cmake --build --preset host
# Style that is checked: the checked-in .clang-format over every C++ file, and no routine of the
# daemon longer than 60 lines (a flat switch table says so with a NOLINT).
step "style"
find src tools tests bench fuzz \( -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run -Werror
clang-tidy -p build --quiet --extra-arg=-Wno-unknown-warning-option --warnings-as-errors='*' \
  -checks='-*,readability-function-size' -config='{CheckOptions: [{key: readability-function-size.LineThreshold, value: 60}]}' \
  src/*/*.cpp 2>/dev/null

step "host tests"
ctest --preset host -j"$jobs"

[[ "${1:-}" == "--quick" ]] && exit 0

step "libmosquitto 1.4.15 build"
cmake --preset mosq14 >/dev/null
cmake --build --preset mosq14
step "libmosquitto 1.4.15 tests"
ctest --preset mosq14 -j"$jobs"

step "sanitizer build"
cmake --preset asan >/dev/null
cmake --build --preset asan
step "sanitizer tests"
ctest --preset asan -j"$jobs"

# The fuzz and target steps run unconditionally: a missing or renamed script fails here.
step "fuzz smoke"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh build-fuzz 20

step "target build and tests (mipsel under qemu)"
scripts/cross.sh
step "done"
