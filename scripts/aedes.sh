#!/usr/bin/env bash
# Installs the MQTT broker library aedes (Node.js) into build-node/ for the strict-broker test, only
# when that version is missing there. Quiet when it is there. Called by scripts/deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
version=1.2.0
dir=build-node

installed=$(node -p "require('./$dir/node_modules/aedes/package.json').version" 2>/dev/null || true)
[[ "$installed" == "$version" ]] && exit 0

echo "deps: installing aedes@$version into $dir/"
mkdir -p "$dir"
npm install --prefix "$dir" --no-save --no-audit --no-fund --loglevel=error "aedes@$version" >/dev/null
