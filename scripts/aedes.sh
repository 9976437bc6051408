#!/usr/bin/env bash
# Installs the MQTT broker aedes from npm into DIR/node_modules, once: the integration tests use it
# as a broker that holds to the 23-character client id limit of MQTT 3.1. Needs node and npm.
# Usage: scripts/aedes.sh DIR
set -euo pipefail
dir=${1:?usage: scripts/aedes.sh DIR}
version=1.2.0
[[ -f "$dir/node_modules/aedes/package.json" ]] && exit 0
mkdir -p "$dir"
npm install --prefix "$dir" --no-audit --no-fund --silent "aedes@$version"
