#!/usr/bin/env bash
# Smoke run of a daemon binary for the controller against this machine's mosquitto broker, with the
# controller's segments made by the host's k482916_ctl. A mipsel binary runs under qemu-mipsel, so
# the segments and records written on the host are read and written by the target's code.
#
# Usage: tests/cross/smoke.sh DAEMON CTL [INIT_SCRIPT]
#   DAEMON       mqtt_k482916_demon (mipsel: run under qemu-mipsel; native: run directly)
#   CTL          the host's k482916_ctl
#   INIT_SCRIPT  when given, the daemon is started, queried and stopped through this init script
# Environment: K482916_SYSROOT, the sysroot with the target's libraries
#              (default ~/.cache/k482916-mipsel-sysroot);
#              K482916_TARGET_LIBDIR, a folder of target libraries found before the sysroot's (the
#              libmosquitto the daemon is to run on);
#              K482916_LIBRARY, the libmosquitto version the daemon must report (--check).
#
# Checks: a changed sensor is published (twice: first value, then a new one), an actor command
# from the broker lands in the entry's command block, the status entry decodes, a SIGUSR1 is logged
# under the target's own signal number and ignored, and SIGTERM ends the daemon. Everything it
# starts or makes is removed on exit, also on failure.
set -euo pipefail

[[ $# -ge 2 && $# -le 3 ]] || { echo "usage: $0 DAEMON CTL [INIT_SCRIPT]" >&2; exit 2; }
daemon=$(realpath "$1")
ctl=$(realpath "$2")
init_script=${3:+$(realpath "$3")}
sysroot=${K482916_SYSROOT:-$HOME/.cache/k482916-mipsel-sysroot}

# Bounded waits, generous for the emulator: start-up alone takes 5 s natively.
start_timeout=90
publish_timeout=60

tmp=$(mktemp -d /tmp/k482916-smoke-XXXXXX)
root=$tmp/root
pids=()
daemon_pid=
segments_made=0

export K482916_ROOT=$root
export K482916_SHM_KEY_OFFSET=$((0x400000 + ($$ % 0x8000) * 32))

cleanup() {
  local status=$?
  trap - EXIT
  set +e
  if [[ -n "$init_script" && -f "$tmp/pid" ]]; then
    PIDFILE=$tmp/pid DAEMON=$tmp/bin/mqtt_k482916_demon STOP_TIMEOUT=5 \
      sh "$init_script" stop >/dev/null 2>&1 || true
  fi
  [[ -n "$daemon_pid" ]] && kill -KILL "$daemon_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [[ $segments_made -eq 1 ]] && "$ctl" remove >/dev/null 2>&1
  if [[ $status -ne 0 ]]; then
    echo "smoke: failed; daemon output and log follow" >&2
    tail -n 40 "$tmp/daemon.out" "$root/tmp/k482916.log" 2>/dev/null >&2 || true
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() { echo "smoke: $*" >&2; exit 1; }

# Succeeds while process $1 exists and is not a zombie. A daemon started through the init script
# belongs to whichever process adopts orphans, which may reap it late.
alive() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n "$state" && "$state" != Z ]]
}

# Machine of an ELF file: bytes 18-19 of the header (8 = MIPS).
machine=$(od -An -tu2 -j18 -N2 "$daemon" | tr -d ' ')
mkdir -p "$tmp/bin"
if [[ "$machine" == 8 ]]; then
  libdirs=${K482916_TARGET_LIBDIR:+$K482916_TARGET_LIBDIR:}$sysroot/lib/mipsel-linux-gnu
  libdirs+=:$sysroot/usr/lib/mipsel-linux-gnu
  run=(qemu-mipsel -L /usr/mipsel-linux-gnu -E "LD_LIBRARY_PATH=$libdirs")
else
  run=()
fi
# The daemon as one executable (also what the init script starts); exec keeps the process id, so
# signals reach the daemon (through qemu, which passes them on under the target's numbers).
cat >"$tmp/bin/mqtt_k482916_demon" <<EOF
#!/bin/sh
exec ${run[*]} "$daemon" "\$@"
EOF
chmod +x "$tmp/bin/mqtt_k482916_demon"

# Broker: a user with password on a free loopback port.
user=3f2b8c1e-5d4a-4e7b-9c21-0a6f1d8e4b72
pass=smoke-$$-secret
mkdir -p "$root/opt/korvan/k482916" "$root/tmp" "$tmp/broker"
mosquitto_passwd -b -c "$tmp/broker/passwd" "$user" "$pass" 2>/dev/null
port=
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 30000))
  ss -Htln "sport = :$candidate" | grep -q . && continue
  # As root, mosquitto would otherwise switch to its own user and lose access to the folder.
  : >"$tmp/broker/mosquitto.conf"
  if [[ $(id -u) -eq 0 ]]; then echo "user root" >"$tmp/broker/mosquitto.conf"; fi
  cat >>"$tmp/broker/mosquitto.conf" <<EOF
listener $candidate 127.0.0.1
allow_anonymous false
password_file $tmp/broker/passwd
persistence false
log_dest file $tmp/broker/mosquitto.log
EOF
  mosquitto -c "$tmp/broker/mosquitto.conf" >"$tmp/broker/mosquitto.out" 2>&1 &
  broker_pid=$!
  for _ in $(seq 50); do
    ss -Htln "sport = :$candidate" | grep -q . && break
    kill -0 "$broker_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ss -Htln "sport = :$candidate" | grep -q .; then
    pids+=("$broker_pid")
    port=$candidate
    break
  fi
  kill "$broker_pid" 2>/dev/null || true
  wait "$broker_pid" 2>/dev/null || true
done
[[ -n "$port" ]] || fail "no broker could be started"
client=(-h 127.0.0.1 -p "$port" -u "$user" -P "$pass")

cat >"$root/opt/korvan/k482916/brokerAccess.json" <<EOF
{"uuid":"$user","password":"$pass","host":"127.0.0.1","port":"$port"}
EOF
cat >"$root/opt/korvan/k482916/brokerSetup.json" <<'EOF'
{"ACTIV":"1","loglevel":"4","interval":"5","threshold":"0.1",
 "call":{"1001":"temp","2001":"lamp"},
 "pub":{"1001":"on"},
 "sub":{"2001":"on"}}
EOF

# The library the daemon runs on, as --check reports it.
library=$("$tmp/bin/mqtt_k482916_demon" --check 2>/dev/null | sed -n 's/^libmosquitto: //p' || true)
[[ -z "${K482916_LIBRARY:-}" || "$library" == "$K482916_LIBRARY" ]] ||
  fail "the daemon runs on libmosquitto \"$library\", not $K482916_LIBRARY"

"$ctl" create >/dev/null || fail "k482916_ctl create failed"
segments_made=1
"$ctl" set 1001 20.25 --type 1 --unit C >/dev/null
"$ctl" set 2001 0 --type 2 --unit % >/dev/null

# Every publication on the sensor's DB-id topic, one line each.
mosquitto_sub "${client[@]}" -t "$user/1001" >"$tmp/pub.txt" 2>/dev/null &
pids+=($!)

start_time=$SECONDS
if [[ -n "$init_script" ]]; then
  PIDFILE=$tmp/pid DAEMON=$tmp/bin/mqtt_k482916_demon sh "$init_script" start >/dev/null ||
    fail "init script: start failed"
  PIDFILE=$tmp/pid DAEMON=$tmp/bin/mqtt_k482916_demon sh "$init_script" status >/dev/null ||
    fail "init script: status does not report the started daemon"
  daemon_pid=$(cat "$tmp/pid")
else
  "$tmp/bin/mqtt_k482916_demon" >"$tmp/daemon.out" 2>&1 &
  daemon_pid=$!
fi

# Waits until the file holds a line matching the pattern, or fails after `limit` seconds.
wait_for_line() {
  local file=$1 pattern=$2 limit=$3 what=$4
  local deadline=$((SECONDS + limit))
  until grep -q -- "$pattern" "$file" 2>/dev/null; do
    alive "$daemon_pid" || fail "daemon ended while waiting for $what"
    ((SECONDS < deadline)) || fail "no $what within $limit s"
    sleep 0.2
  done
}

wait_for_line "$tmp/pub.txt" '"value":"20.25"' $((start_timeout + publish_timeout)) "first publication"
first_publish=$((SECONDS - start_time))
grep -q '^{"call":"temp","value":"20.25","type":"sensor","unit":"C","timestamp":"[0-9:. ]*"}$' \
  "$tmp/pub.txt" || fail "unexpected payload: $(head -n1 "$tmp/pub.txt")"

# A changed value goes out in the next cycle.
"$ctl" set 1001 23.5 >/dev/null
wait_for_line "$tmp/pub.txt" '"value":"23.50"' "$publish_timeout" "publication of the changed value"

# An actor command from the broker lands in the command block of entry 2001.
mosquitto_pub "${client[@]}" -t "$user/lamp/action" -m 21.5
deadline=$((SECONDS + 30))
until "$ctl" show 2001 | awk '$2 == 2001 { for (i = 1; i <= NF; i++) { if ($i == "2150") x = 1; if ($i == "21.50") t = 1 } } END { exit !(x && t) }'; do
  ((SECONDS < deadline)) || fail "command 21.5 not in the entry of 2001: $("$ctl" show 2001)"
  sleep 0.2
done

# The status entry that the target binary wrote, decoded on the host.
deadline=$((SECONDS + 30))
until "$ctl" status >"$tmp/status.txt" && grep -q '^name: *mqtt_k482916_demon$' "$tmp/status.txt" &&
  grep -q '^version: *3\.219$' "$tmp/status.txt" && grep -q '^state: *1$' "$tmp/status.txt" &&
  grep -q '^state text: *main loop$' "$tmp/status.txt"; do
  ((SECONDS < deadline)) || fail "status entry not as expected: $(cat "$tmp/status.txt")"
  sleep 0.2
done

# SIGUSR1 is logged under the daemon's own number (16 on MIPS, 10 on x86-64) and ignored.
usr1=$([[ "$machine" == 8 ]] && echo 16 || echo 10)
kill -USR1 "$daemon_pid"
wait_for_line "$root/tmp/k482916.log" "SIGNAL $usr1 (USR1) empfangen !" 20 "SIGUSR1 log line"
sleep 0.5
alive "$daemon_pid" || fail "daemon ended on SIGUSR1"

# SIGTERM ends it with status 255 after its log line.
if [[ -n "$init_script" ]]; then
  PIDFILE=$tmp/pid DAEMON=$tmp/bin/mqtt_k482916_demon sh "$init_script" stop >/dev/null ||
    fail "init script: stop failed"
  ! alive "$daemon_pid" || fail "daemon still running after the init script's stop"
  rc=$(PIDFILE=$tmp/pid DAEMON=$tmp/bin/mqtt_k482916_demon sh "$init_script" status >/dev/null; echo $?)
  [[ "$rc" == 3 ]] || fail "init script: status after stop gave $rc, not 3"
else
  kill -TERM "$daemon_pid"
  rc=0
  wait "$daemon_pid" || rc=$?
  [[ "$rc" == 255 ]] || fail "exit status after SIGTERM: $rc, not 255"
fi
daemon_pid=
grep -q 'SIGNAL 15 (TERM) empfangen !' "$root/tmp/k482916.log" || fail "no SIGTERM log line"

echo "smoke: passed on libmosquitto $library (first publication after ${first_publish} s)"
