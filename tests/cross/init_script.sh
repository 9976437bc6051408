#!/usr/bin/env bash
# Checks the init script's bookkeeping with stand-in daemons (real processes, a private pid file):
# start, a second start, status, stop, a stale pid file, a pid file naming a foreign process, and a
# daemon that ends right after its start.
# Usage: tests/cross/init_script.sh INIT_SCRIPT
set -euo pipefail

[[ $# -eq 1 ]] || { echo "usage: $0 INIT_SCRIPT" >&2; exit 2; }
script=$(realpath "$1")
tmp=$(mktemp -d /tmp/k482916-init-XXXXXX)
foreign=

cleanup() {
  local status=$?
  trap - EXIT
  set +e
  if [[ -f "$tmp/pid" ]]; then kill -KILL "$(cat "$tmp/pid")" 2>/dev/null || true; fi
  if [[ -n "$foreign" ]]; then
    kill -KILL "$foreign" 2>/dev/null || true
    wait "$foreign" 2>/dev/null || true
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT

fail() { echo "init_script: $*" >&2; exit 1; }

# A stand-in that runs until SIGTERM, and one that ends at once (as the daemon does without its
# segments). Both carry the daemon's name, which the script looks for in the command line.
mkdir -p "$tmp/run" "$tmp/dies"
printf '#!/bin/sh\ntrap "exit 0" TERM\nwhile :; do sleep 1; done\n' >"$tmp/run/mqtt_k482916_demon"
printf '#!/bin/sh\nexit 0\n' >"$tmp/dies/mqtt_k482916_demon"
chmod +x "$tmp/run/mqtt_k482916_demon" "$tmp/dies/mqtt_k482916_demon"

# Runs the script with the stand-in $1; prints its output, returns its exit status.
init() {
  local daemon=$1
  shift
  PIDFILE=$tmp/pid DAEMON=$tmp/$daemon/mqtt_k482916_demon STOP_TIMEOUT=5 sh "$script" "$@" 2>&1
}
expect_status() {
  local want=$1 got
  got=$(init run status >/dev/null; echo $?)
  [[ "$got" == "$want" ]] || fail "status gave $got, expected $want"
}

expect_status 3
init run start >/dev/null || fail "start failed"
pid=$(cat "$tmp/pid")
kill -0 "$pid" || fail "started process not running"
expect_status 0
init run start | grep -q "already running (pid $pid)" || fail "second start did not see the first"
[[ "$(cat "$tmp/pid")" == "$pid" ]] || fail "second start replaced the pid file"
init run stop >/dev/null || fail "stop failed"
[[ ! -e "$tmp/pid" ]] || fail "stop left the pid file"
! kill -0 "$pid" 2>/dev/null || [[ "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)" == Z ]] ||
  fail "stop left the process running"
expect_status 3

# A pid file left by a crash names a process id that no longer exists.
sleep 0 &
dead=$!
wait "$dead"
echo "$dead" >"$tmp/pid"
expect_status 1
init run stop | grep -q "not running" || fail "stop with a stale pid file"
echo "$dead" >"$tmp/pid"
init run start >/dev/null || fail "start over a stale pid file failed"
init run stop >/dev/null

# A live process that is not the daemon (its id was reused) is neither reported nor stopped.
sleep 60 &
foreign=$!
echo "$foreign" >"$tmp/pid"
expect_status 1
init run stop >/dev/null
kill -0 "$foreign" || fail "stop killed a process that is not the daemon"

# A daemon that ends at once makes start fail and leaves no pid file.
if init dies start >/dev/null; then fail "start reported success for a daemon that ended"; fi
[[ ! -e "$tmp/pid" ]] || fail "failed start left a pid file"

[[ "$(init run bogus >/dev/null; echo $?)" == 2 ]] || fail "unknown command not refused"

# A pid file that cannot be written (a directory in the way, a read-only file system, in a mount
# namespace of its own): start fails with the reason and starts no daemon.
mkdir "$tmp/pid" "$tmp/ro"
out=$(init run start) && fail "start succeeded with a directory at the pid file"
grep -q "a directory is in the way" <<<"$out" || fail "no reason for the directory: $out"
out=$(unshare -m sh -c 'mount -t tmpfs -o ro tmpfs "$1" && PIDFILE=$1/p DAEMON=$2 sh "$3" start 2>&1' \
  sh "$tmp/ro" "$tmp/run/mqtt_k482916_demon" "$script") && fail "start succeeded on a read-only file system"
grep -q "cannot write the pid file" <<<"$out" || fail "no reason for the read-only pid file: $out"
! pgrep -f "$tmp/run/mqtt_k482916_demon" >/dev/null || fail "a daemon was started without its pid file"
