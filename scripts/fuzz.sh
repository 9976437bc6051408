#!/usr/bin/env bash
# Runs every libFuzzer target in BUILD_DIR for SECONDS each, starting from its seed corpus in
# fuzz/corpus/<name>/ (copied, so the checked-in seeds stay as they are).
# Usage: scripts/fuzz.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-20}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
count=0
for exe in "$build"/fuzz_*; do
  [[ -x "$exe" ]] || continue
  name=${exe##*/fuzz_}
  count=$((count + 1))
  mkdir -p "$work/$name"
  [[ -d fuzz/corpus/$name ]] && cp -r fuzz/corpus/"$name"/. "$work/$name"/
  if "$exe" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$work/" \
      "$work/$name" >"$work/$name.log" 2>&1; then
    echo "fuzz $name: ok ($(grep -c . "$work/$name.log") lines, corpus $(ls "$work/$name" | wc -l))"
  else
    echo "fuzz $name: FAILED"; tail -n 40 "$work/$name.log"; status=1
  fi
done
# A build without fuzz targets (a renamed folder, a dropped option) is a failure, not a pass.
((count > 0)) || { echo "fuzz: no fuzz_* executable in $build" >&2; status=1; }
exit $status
