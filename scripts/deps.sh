#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those that are missing, then
# the Node.js broker aedes (scripts/aedes.sh). Quiet when nothing is missing.
# Usage: scripts/deps.sh [--cross|--cluster]  (instead, and without aedes: --cross the target
# tools, --cluster what scripts/cluster.sh runs)
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libmosquitto-dev libsqlite3-dev libgtest-dev libssl-dev
  mosquitto mosquitto-clients openssl sqlite3 python3
  clang libclang-rt-14-dev clang-format clang-tidy
  iproute2 util-linux procps groff-base
)
if [[ "${1:-}" == "--cross" ]]; then
  packages=(g++-mipsel-linux-gnu qemu-user)
elif [[ "${1:-}" == "--cluster" ]]; then
  packages=(rabbitmq-server haproxy socat mosquitto-clients python3 iproute2)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# Node.js builds other than Debian's bring npm inside the nodejs package: look for the commands.
if [[ -z "${1:-}" ]]; then
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
fi

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "deps: installing ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[[ -n "${1:-}" ]] || "$(dirname "$0")/aedes.sh"
