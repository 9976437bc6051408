#!/usr/bin/env bash
# A three-node RabbitMQ cluster with the MQTT plugin behind HAProxy, on loopback, for trying the
# daemon against a broker service that survives the loss of a node (docs/fleet.md).
#
#   scripts/cluster.sh start DIR        install what is missing, start everything below DIR, load
#                                       dist/rabbitmq-definitions.example.json, check isolation
#   scripts/cluster.sh stop DIR         end every process that start began, remove DIR
#   scripts/cluster.sh status DIR       cluster members, HAProxy's view of the nodes
#   scripts/cluster.sh check DIR        a controller reaches its own topics, not another's
#   scripts/cluster.sh kill DIR N       SIGKILL node N (1..3)
#   scripts/cluster.sh halt DIR N       stop node N gracefully
#   scripts/cluster.sh run DIR N        start node N again, wait until it is a member that runs
#   scripts/cluster.sh conn-node DIR CLIENT_ID   the node (1..3) that holds the client's connection
#   scripts/cluster.sh leader DIR QUEUE          the node (1..3) that leads a quorum queue
#   scripts/cluster.sh lead DIR QUEUE N          move a quorum queue's leadership to node N
#
# Fixed loopback ports, outside the ephemeral range 32768-60999:
#   21883        HAProxy front (MQTT), TCP mode, "balance first", MQTT health checks
#   21884-21886  MQTT of nodes 1-3
#   21891-21893  Erlang distribution of nodes 1-3
#   21900-21910  Erlang distribution of the command-line tools (rabbitmqctl)
#   4369         epmd (Erlang's port mapper; started here only when nothing listens there)
# Nodes rabbit1@localhost .. rabbit3@localhost, their data and logs in DIR/rabbitN, the Erlang
# cookie in DIR/.erlang.cookie (HOME=DIR for every Erlang process of the cluster).
set -euo pipefail

readonly FRONT=21883 MQTT_BASE=21883 DIST_BASE=21890 CTL_MIN=21900 CTL_MAX=21910
readonly RMQ_BIN=/usr/lib/rabbitmq/bin
here=$(cd "$(dirname "$0")/.." && pwd)
readonly DEFINITIONS=$here/dist/rabbitmq-definitions.example.json
# The two controllers of the definitions example, for the isolation check.
readonly CTL_A=0f8e6c1a-3b7d-4c55-9a0e-1d2f3a4b5c6d PASS_A=secret
readonly CTL_B=7d2c9b4e-5a61-4f08-8e3b-2c1d0f9a8b7e PASS_B=secret2

say() { echo "cluster: $*" >&2; }
die() {
  say "$*"
  exit 1
}
usage() {
  sed -n '5,15p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

node_name() { echo "rabbit$1@localhost"; }

# The environment of node N's server and of the tools that talk to it.
node_env() {
  local n=$1 d=$dir/rabbit$1
  export HOME=$dir RABBITMQ_NODENAME=rabbit$n@localhost RABBITMQ_USE_LONGNAME=false
  export RABBITMQ_CONF_ENV_FILE=$dir/rabbitmq-env.conf RABBITMQ_CONFIG_FILE=$d/rabbitmq.conf
  export RABBITMQ_MNESIA_BASE=$d/mnesia RABBITMQ_MNESIA_DIR=$d/mnesia/data
  export RABBITMQ_LOG_BASE=$d/log RABBITMQ_PID_FILE=$d/pid
  export RABBITMQ_ENABLED_PLUGINS_FILE=$dir/enabled_plugins RABBITMQ_PLUGINS_DIR
  export RABBITMQ_DIST_PORT=$((DIST_BASE + n)) ERL_EPMD_ADDRESS=127.0.0.1
  export RABBITMQ_CTL_DIST_PORT_MIN=$CTL_MIN RABBITMQ_CTL_DIST_PORT_MAX=$CTL_MAX
  # Three nodes share two cores: one scheduler each, no busy waiting.
  export RABBITMQ_SCHEDULER_BUSY_WAIT_THRESHOLD=none
  export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="+S 1:1 -kernel inet_dist_use_interface {127,0,0,1}"
}
RABBITMQ_PLUGINS_DIR=$(echo /usr/lib/rabbitmq/lib/rabbitmq_server-*/plugins)

ctl() { (node_env "$1" && "$RMQ_BIN/rabbitmqctl" -n "$(node_name "$1")" "${@:2}"); }

# The node's Erlang VM, from the pid file that the node writes itself (rabbitmq-server is a shell
# that waits for the VM and turns SIGTERM into a graceful stop).
node_pid() { cat "$dir/rabbit$1/pid" 2>/dev/null || true; }
# A process that runs (a zombie left to init does not).
alive() { [[ -n "$1" && -r /proc/$1/stat && "$(cut -d' ' -f3 "/proc/$1/stat")" != Z ]]; }

# Waits up to LIMIT seconds until COMMAND succeeds. Usage: wait_for WHAT LIMIT COMMAND...
wait_for() {
  local what=$1 deadline=$((SECONDS + $2))
  shift 2
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || die "$what did not come within the time allowed"
    sleep 0.5
  done
}

write_node_config() {
  local n=$1 d=$dir/rabbit$1
  mkdir -p "$d/mnesia" "$d/log"
  cat >"$d/rabbitmq.conf" <<EOF
listeners.tcp = none
mqtt.listeners.tcp.default = 127.0.0.1:$((MQTT_BASE + n))
mqtt.allow_anonymous = false
mqtt.vhost = /
mqtt.exchange = amq.topic
# Persistent MQTT sessions in quorum queues: replicated to every node, kept while a majority runs.
mqtt.durable_queue_type = quorum
cluster_formation.peer_discovery_backend = classic_config
cluster_formation.classic_config.nodes.1 = rabbit1@localhost
cluster_formation.classic_config.nodes.2 = rabbit2@localhost
cluster_formation.classic_config.nodes.3 = rabbit3@localhost
log.file.level = info
log.console = false
EOF
}

# Starts node N in the background and waits until it runs.
start_node() {
  local n=$1 pid
  pid=$(node_pid "$n")
  alive "$pid" && return 0
  (node_env "$n" && exec setsid "$RMQ_BIN/rabbitmq-server" >"$dir/rabbit$n/stdout" 2>&1) &
  echo $! >"$dir/rabbit$n/server.pid"
  wait_for "node $n" 120 ctl "$n" await_startup --timeout 5
}

write_haproxy_config() {
  # The health check logs in over MQTT 3.1.1 as user "health" (password "health", no rights), with
  # an empty client id and a clean session: CONNACK 0 comes only from a node that can register
  # client ids, that is one of a running majority. DISCONNECT follows.
  local connect=101c00044d51545404c2000a0000 user=00066865616c7468
  cat >"$dir/haproxy.cfg" <<EOF
global
  stats socket $dir/haproxy.sock mode 600 level admin
defaults
  mode tcp
  timeout connect 1s
  # Longer than 1.5 x the daemon's keepalive of 60 s.
  timeout client 120s
  timeout server 120s
frontend mqtt
  bind 127.0.0.1:$FRONT
  default_backend rabbit
backend rabbit
  # Every client on the first node that passes its check, and there it stays: the one-entry stick
  # table keeps new connections on the node that took over until that node fails, so a
  # subscriber finds the retained messages that the publishers wrote to that node.
  balance first
  # A connection that a dead node refuses goes to the next node at once, before the checks have
  # marked the node down.
  option redispatch 1
  retries 2
  stick-table type integer size 1
  stick on int(1)
  option tcp-check
  tcp-check connect
  tcp-check send-binary ${connect}${user}${user}
  tcp-check expect binary 20020000
  tcp-check send-binary e000
  default-server inter 1s fall 2 rise 2 on-marked-down shutdown-sessions
  server rabbit1 127.0.0.1:$((MQTT_BASE + 1)) check
  server rabbit2 127.0.0.1:$((MQTT_BASE + 2)) check
  server rabbit3 127.0.0.1:$((MQTT_BASE + 3)) check
EOF
}

# mosquitto clients through the front, MQTT 3.1.1, client id = user name as a controller's is.
mqtt_args() { echo "-h 127.0.0.1 -p $FRONT -V mqttv311 -u $1 -P $2 -i $1"; }
# shellcheck disable=SC2046 # mqtt_args gives words without blanks
pub_ok() { mosquitto_pub $(mqtt_args "$1" "$2") -q 1 -t "$3" -m 0 >/dev/null 2>&1; }
# RabbitMQ answers a subscription it refuses by closing the connection: no SUBACK.
# shellcheck disable=SC2046
sub_ok() {
  [[ "$(mosquitto_sub $(mqtt_args "$1" "$2") -t "$3" -d -C 1 -W 2 2>&1)" == *"received SUBACK"* ]]
}

# Each controller reaches its own topics and not another's: the definitions' topic permissions.
check() {
  local who topic user pass owner
  for who in "$CTL_A $PASS_A $CTL_A" "$CTL_B $PASS_B $CTL_B" "$CTL_B $PASS_B $CTL_A"; do
    read -r user pass owner <<<"$who"
    topic=$owner/check/action
    if [[ "$user" == "$owner" ]]; then
      pub_ok "$user" "$pass" "$topic" || die "check: $user cannot publish on $topic"
      sub_ok "$user" "$pass" "$topic" || die "check: $user cannot subscribe to $topic"
    else
      pub_ok "$user" "$pass" "$topic" && die "check: $user may publish on $topic"
      sub_ok "$user" "$pass" "$topic" && die "check: $user may subscribe to $topic"
    fi
  done
  say "check: each controller publishes and subscribes below its uuid; another's topics are refused"
}

start() {
  [[ -e "$dir" ]] && die "$dir exists; stop it first or choose another folder"
  "$here/scripts/deps.sh" --cluster
  local port
  for port in $FRONT $((MQTT_BASE + 1)) $((MQTT_BASE + 3)) $((DIST_BASE + 1)) $((DIST_BASE + 3)); do
    if ss -Htln "sport = :$port" | grep -q .; then die "port $port is taken (another cluster?)"; fi
  done
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  umask 077
  echo "k482916-cluster-cookie" >"$dir/.erlang.cookie"
  umask 022
  : >"$dir/rabbitmq-env.conf"
  echo "[rabbitmq_mqtt]." >"$dir/enabled_plugins"
  if ! ss -Htln "sport = :4369" | grep -q .; then
    epmd -address 127.0.0.1 -port 4369 >"$dir/epmd.log" 2>&1 &
    echo $! >"$dir/epmd.pid"
  fi
  local n
  for n in 1 2 3; do write_node_config "$n"; done
  # The first node forms the cluster; the others find it through the classic configuration.
  start_node 1
  start_node 2 &
  local second=$!
  start_node 3
  wait "$second"
  wait_for "three running members" 60 members_running 3
  ctl 1 import_definitions "$DEFINITIONS" >/dev/null
  write_haproxy_config
  haproxy -f "$dir/haproxy.cfg" -db >"$dir/haproxy.log" 2>&1 &
  echo $! >"$dir/haproxy.pid"
  wait_for "HAProxy and a healthy node" 30 front_ready
  check
  say "started below $dir: front 127.0.0.1:$FRONT, nodes $(node_name 1) $(node_name 2) $(node_name 3)"
}

# True when at least N nodes run as members.
members_running() {
  local count
  count=$(ctl 1 cluster_status --formatter json 2>/dev/null |
    python3 -c 'import json,sys; print(len(json.load(sys.stdin)["running_nodes"]))') || return 1
  ((count >= $1))
}

# Server states as HAProxy sees them: "rabbit1 UP", ...
haproxy_states() {
  echo "show servers state rabbit" | socat - "UNIX-CONNECT:$dir/haproxy.sock" 2>/dev/null |
    awk 'NF > 6 && $4 ~ /^rabbit/ { print $4, ($6 == 2 ? "UP" : "DOWN") }'
}
front_ready() { haproxy_states | grep -q UP; }
front_up() { haproxy_states | grep -qx "rabbit$1 UP"; }

stop() {
  [[ -d "$dir" ]] || return 0
  local f pid
  for f in "$dir"/haproxy.pid "$dir"/rabbit{1,2,3}/pid "$dir"/rabbit{1,2,3}/server.pid; do
    pid=$(cat "$f" 2>/dev/null || true)
    if alive "$pid"; then kill -9 "$pid" 2>/dev/null || true; fi
  done
  # epmd last, and only when start began it: the nodes have gone, nothing is registered there.
  pid=$(cat "$dir/epmd.pid" 2>/dev/null || true)
  if alive "$pid"; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
  say "stopped; $dir removed"
}

status() {
  ctl 1 cluster_status 2>/dev/null || ctl 2 cluster_status 2>/dev/null || ctl 3 cluster_status
  haproxy_states
}

# The node (1..3) that holds CLIENT_ID's connection: the listing covers the whole cluster and names
# each connection "client:port -> 127.0.0.1:port of the node".
conn_node() {
  local n id name
  for n in 1 2 3; do
    alive "$(node_pid "$n")" || continue
    while IFS=$'\t' read -r id name; do
      if [[ "$id" == "$1" && "$name" =~ :([0-9]+)$ ]]; then
        echo $((BASH_REMATCH[1] - MQTT_BASE))
        return 0
      fi
    done < <(ctl "$n" list_mqtt_connections client_id conn_name --no-table-headers --quiet \
      --timeout 5 2>/dev/null)
    return 1
  done
  return 1
}

# Asks the first running node an Erlang expression.
eval_any() {
  local n
  for n in 1 2 3; do
    alive "$(node_pid "$n")" || continue
    ctl "$n" eval "$1" 2>/dev/null && return 0
  done
  return 1
}

# The quorum queue's record in Erlang: {RaName, LeaderNode} as its pid.
queue_pid() {
  echo "{ok, Q} = rabbit_amqqueue:lookup(rabbit_misc:r(<<\"/\">>, queue, <<\"$1\">>)),
        amqqueue:get_pid(Q)"
}

leader() {
  local out
  out=$(eval_any "$(queue_pid "$1"), {_, L} = amqqueue:get_pid(Q), L.") || return 1
  [[ "$out" =~ rabbit([123])@localhost ]] || return 1
  echo "${BASH_REMATCH[1]}"
}

lead() {
  local target
  target=$(node_name "$2")
  eval_any "$(queue_pid "$1"), {Name, L} = amqqueue:get_pid(Q),
            ra:transfer_leadership({Name, L}, {Name, '$target'})." >/dev/null
  wait_for "leadership on node $2" 20 leader_is "$1" "$2"
}
leader_is() { [[ "$(leader "$1")" == "$2" ]]; }

node_arg() {
  [[ "${1:-}" =~ ^[123]$ ]] || usage
  echo "$1"
}

[[ $# -ge 2 ]] || usage
verb=$1
dir=$2
if [[ "$verb" != start && -d "$dir" ]]; then dir=$(cd "$dir" && pwd); fi
case "$verb" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  check) check ;;
  kill) kill -9 "$(node_pid "$(node_arg "${3:-}")")" ;;
  halt) ctl "$(node_arg "${3:-}")" shutdown >/dev/null ;;
  run)
    n=$(node_arg "${3:-}")
    start_node "$n"
    wait_for "node $n as a member" 60 members_running 3
    wait_for "node $n up in HAProxy" 20 front_up "$n"
    ;;
  conn-node) conn_node "${3:?client id}" ;;
  leader) leader "${3:?queue name}" ;;
  lead) lead "${3:?queue name}" "$(node_arg "${4:-}")" ;;
  *) usage ;;
esac
