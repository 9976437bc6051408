#!/usr/bin/env bash
# Runs the whole bridge on this machine: a local mosquitto broker with a user and password, a
# simulated controller under its own key offset, configuration files and a settings database under
# a temporary root, the daemon, and a subscriber that prints what is published. After the first
# publications it sends one actor command and shows the actor's command block.
# The controller's texts are Latin-1 (the degree sign is the byte 0xB0); what the demo prints is
# converted to UTF-8 for the terminal, while the daemon's own bytes stay as they are.
# Usage: scripts/demo.sh [--seconds N]   (default: until Ctrl-C)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=0
if [[ "${1:-}" == "--seconds" ]]; then
  seconds=${2:?"--seconds needs a number"}
  [[ "$seconds" =~ ^[0-9]+$ ]] || { echo "demo: --seconds needs a whole number" >&2; exit 2; }
elif [[ $# -gt 0 ]]; then
  echo "usage: scripts/demo.sh [--seconds N]" >&2; exit 2
fi

build=${K482916_DEMO_BUILD:-build}
scripts/deps.sh
# The host preset; another folder gets the same configuration with -B and is built by name.
if [[ "$build" == build ]]; then at=(--preset host); else at=("$build"); fi
cmake --preset host -B "$build" >/dev/null
cmake --build "${at[@]}" --target mqtt_k482916_demon k482916_ctl >/dev/null

root=$(mktemp -d /tmp/k482916-demo-XXXXXX)
export K482916_ROOT=$root
export K482916_SHM_KEY_OFFSET=$(( 0x300000 + ($$ % 0x8000) * 32 ))
user=demo-user
pass=demo-pass
ctl=$build/k482916_ctl
pids=()

cleanup() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$ctl" remove >/dev/null 2>&1 || true
  rm -rf "$root"
  echo "demo: stopped; broker, daemon, segments and $root removed"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# Waits up to LIMIT seconds until COMMAND succeeds, saying what it waits for; ends the demo with
# status 1 when it does not come. Usage: wait_for WHAT LIMIT COMMAND...
wait_for() {
  local what=$1 limit=$2
  shift 2
  echo "demo: waiting for $what (up to $limit s)"
  local deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS >= deadline)); then
      echo "demo: $what did not come within $limit s" >&2
      exit 1
    fi
    sleep 0.1
  done
}
broker_listening() { ss -Htln "sport = :$port" | grep -q .; }
# Publications are retained, so one that was made is still there for a new subscriber. A cycle
# publishes in the order of the pub section below; outdoor_brightness (1004) comes last.
cycle_published() {
  mosquitto_sub -h 127.0.0.1 -p "$port" -u "$user" -P "$pass" -t "$user/outdoor_brightness" \
    -C 1 -W 1
}
command_in_block() { "$ctl" show 2001 | grep -qF ' 21.50 '; }
# Latin-1 to UTF-8, for display. iconv reads its whole input before it writes, so a stream that
# goes on is converted line by line.
to_utf8() { iconv -f LATIN1 -t UTF-8; }
lines_to_utf8() {
  local line
  while IFS= read -r line; do printf '%s\n' "$line" | to_utf8; done
}

# A free loopback port for the broker.
port=$(( 20000 + $$ % 20000 ))
while ss -Htln "sport = :$port" | grep -q .; do port=$((port + 1)); done

mkdir -p "$root/opt/korvan/k482916" "$root/etc/korvanenv" "$root/tmp" "$root/broker"
mosquitto_passwd -b -c "$root/broker/passwd" "$user" "$pass" 2>/dev/null
cat >"$root/broker/mosquitto.conf" <<CONF
listener $port 127.0.0.1
user root
allow_anonymous false
password_file $root/broker/passwd
persistence false
log_dest file $root/broker/mosquitto.log
CONF
mosquitto -c "$root/broker/mosquitto.conf" &
pids+=($!)

cat >"$root/opt/korvan/k482916/brokerAccess.json" <<JSON
{"uuid":"$user","password":"$pass","host":"127.0.0.1","port":"$port"}
JSON
cat >"$root/opt/korvan/k482916/brokerSetup.json" <<'JSON'
{
  "ACTIV":"1", "loglevel":"4", "interval":"5", "threshold":"0.1",
  "call":{"1001":"kitchen_temp","1002":"bathroom_humidity","1003":"air_pressure",
          "1004":"outdoor_brightness","2001":"garden_light"},
  "pub":{"1001":"on","1002":"on","1003":"on","1004":"on"},
  "sub":{"2001":"on"}
}
JSON
sqlite3 "$root/etc/korvanenv/config.s3db" \
  "CREATE TABLE config(tag TEXT, value TEXT);
   INSERT INTO config VALUES('/demons/max_logfile_size','200000');"

"$ctl" create
"$ctl" populate 4 >/dev/null
"$ctl" set 2001 0 --type 2 --unit % >/dev/null
"$ctl" drift --period 2000 >/dev/null 2>&1 &
pids+=($!)

wait_for "the broker to listen on 127.0.0.1:$port" 5 broker_listening
# The converter reads from a process substitution, so $! is the subscriber itself; the converter
# ends when the subscriber does.
mosquitto_sub -h 127.0.0.1 -p "$port" -u "$user" -P "$pass" -t "$user/#" -F 'published: %t %p' \
  > >(lines_to_utf8) &
pids+=($!)

"$build"/mqtt_k482916_demon >"$root/daemon.out" 2>&1 &
pids+=($!)
started=$SECONDS
echo "demo: broker on 127.0.0.1:$port, root $root, key offset $K482916_SHM_KEY_OFFSET"
echo "demo: daemon started (start-up takes about 5 s, publications every 5 s)"

wait_for "the daemon's first publication cycle" 30 cycle_published
echo "demo: sending actor command 21.5 to $user/garden_light/action"
mosquitto_pub -h 127.0.0.1 -p "$port" -u "$user" -P "$pass" -t "$user/garden_light/action" -m 21.5
wait_for "the command in the command block of DB id 2001" 5 command_in_block
"$ctl" show 2001 | to_utf8
"$ctl" status | to_utf8

if [[ "$seconds" -gt 0 ]]; then
  elapsed=$((SECONDS - started))
  remaining=$((seconds > elapsed ? seconds - elapsed : 0))
  echo "demo: running $remaining s more"
  sleep "$remaining"
  echo "demo: log tail ($root/tmp/k482916.log):"
  tail -n 5 "$root/tmp/k482916.log" | to_utf8 || true
else
  echo "demo: running until Ctrl-C"
  while true; do sleep 1; done
fi
