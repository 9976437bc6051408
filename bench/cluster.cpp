// The daemon on a broker cluster: three RabbitMQ nodes behind HAProxy, started by
// scripts/cluster.sh below a folder of this run and removed at the end. The daemon (three sensors,
// one actor, interval 5, log level 4, "command_qos":"1", "availability":"on") logs in through the
// front as the first controller of dist/rabbitmq-definitions.example.json. A sender in this
// process publishes one QoS 1 command every 20 ms on the lamp's action topic, and a mosquitto_sub
// with a persistent QoS 1 session reads the same topic through the front: what it misses, the
// cluster lost, and the daemon is only blamed for commands that the reference received. Scenarios,
// each followed by the node's return while the commands go on: the node that holds the daemon's
// connection killed with SIGKILL; the leader of the daemon's session queue stopped (the leadership
// first moved off the daemon's node, so that the connection stays); the daemon's node stopped.
// After a move of the daemon's connection, fresh subscribers through the front are timed until
// one gets the sensors' current values (set anew before each scenario) and "online", from the
// moment the daemon's new connection appears.
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include "bench/bench.h"
#include "bench/stream.h"
#include "support/controller.h"

namespace bench {

namespace {

// The first controller and the dashboard of the definitions example.
constexpr const char* kUuid = "0f8e6c1a-3b7d-4c55-9a0e-1d2f3a4b5c6d";
constexpr const char* kPassword = "secret";
constexpr const char* kDashboard = "dashboard";
constexpr const char* kDashboardPassword = "dashboard-pw";
constexpr int kFront = 21883;  // HAProxy; node N listens on kFront + N
constexpr int kSensors = 3;    // DB ids 1001.., call names sensor0..
constexpr int32_t kActorDbId = 2001;
constexpr int32_t kActorRealId = 511;
constexpr double kRowBase = 100000.0;  // command i of scenario r carries r * kRowBase + i
constexpr double kRetainedGoal = 5.0;  // s from the move to current values and "online"
constexpr auto kWait = std::chrono::seconds(30);

using test_support::ClientOptions;

std::string topic(const std::string& leaf) {
  return std::string(kUuid) + "/" + leaf;
}
ClientOptions through(int port) {
  return {port, kDashboard, kDashboardPassword, "", false};
}

// The cluster of scripts/cluster.sh in a folder of this run.
class Cluster {
 public:
  Cluster() : dir_(format("/tmp/k482916-cluster-%d", getpid())) {
    note("cluster: starting three RabbitMQ nodes and HAProxy in %s (about a minute)", dir_.c_str());
    const test_support::ProcessResult r = verb("start", {}, std::chrono::seconds(400));
    up_ = r.status == 0;
    if (!up_) note("cluster: the cluster did not start: %s", r.err.c_str());
  }
  ~Cluster() { verb("stop", {}, std::chrono::seconds(60)); }
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  bool up() const { return up_; }
  // A verb of the script; its answer is a node number (1..3) where it has one, else 0.
  int node(const char* name, const std::string& arg) const {
    const test_support::ProcessResult r = verb(name, {arg});
    return r.status == 0 ? std::atoi(r.out.c_str()) : 0;
  }
  bool act(const char* name, int node, const std::string& queue = {}) const {
    std::vector<std::string> args;
    if (!queue.empty()) args.push_back(queue);
    args.push_back(std::to_string(node));
    const test_support::ProcessResult r = verb(name, args);
    if (r.status != 0) note("cluster: %s %d failed: %s", name, node, r.err.c_str());
    return r.status == 0;
  }

 private:
  test_support::ProcessResult verb(
      const char* name, std::vector<std::string> args,
      std::chrono::milliseconds timeout = std::chrono::seconds(90)) const {
    args.insert(args.begin(),
                {std::string(K482916_SOURCE_DIR) + "/scripts/cluster.sh", name, dir_});
    return test_support::run_process(args, {}, timeout);
  }

  std::string dir_;
  bool up_ = false;
};

// A fresh subscriber (clean session, its own client id) on `topics` through `port`: what the
// broker hands it within `wait`, by topic. Retained messages come right after the SUBACK.
std::map<std::string, std::string> fresh_retained(int port, const std::vector<std::string>& topics,
                                                  std::chrono::milliseconds wait) {
  static int probes = 0;
  std::map<std::string, std::string> got;
  mosquitto_lib_init();
  const std::string id = format("dashboard-probe-%d-%d", getpid(), ++probes);
  mosquitto* m = mosquitto_new(id.c_str(), true, &got);
  if (m == nullptr) return got;
  mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
    (*static_cast<std::map<std::string, std::string>*>(self))[msg->topic] =
        std::string(static_cast<const char*>(msg->payload), msg->payloadlen);
  });
  mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_username_pw_set(m, kDashboard, kDashboardPassword);
  const auto end = Clock::now() + wait;
  if (mosquitto_connect(m, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS) {
    for (const std::string& t : topics) mosquitto_subscribe(m, nullptr, t.c_str(), 0);
    while (got.size() < topics.size() && Clock::now() < end &&
           mosquitto_loop(m, 20, 1) == MOSQ_ERR_SUCCESS) {
    }
    mosquitto_disconnect(m);
  }
  mosquitto_destroy(m);
  mosquitto_lib_cleanup();
  return got;
}

std::vector<std::string> watched_topics() {
  std::vector<std::string> t = {topic("availability")};
  for (int i = 0; i < kSensors; ++i) t.push_back(topic(format("sensor%d", i)));
  return t;
}

// True when a fresh subscriber through `port` gets "online" and, for every sensor, `value + i`.
bool current_at(int port, double value) {
  std::map<std::string, std::string> got =
      fresh_retained(port, watched_topics(), std::chrono::milliseconds(300));
  if (got[topic("availability")] != "online") return false;
  for (int i = 0; i < kSensors; ++i)
    if (got[topic(format("sensor%d", i))].find(format("\"value\":\"%.2f\"", value + i)) ==
        std::string::npos)
      return false;
  return true;
}

// Notes the first moment the daemon's connection through the front is another one than at the
// start: its new TCP connection, right before its CONNECT.
class MoveWatch {
 public:
  explicit MoveWatch(pid_t daemon) : daemon_(daemon), first_(local_port(daemon, kFront)) {
    thread_ = std::thread([this] {
      while (!done_ && !stop_requested && !moved_) {
        const int port = local_port(daemon_, kFront);
        if (port != 0 && port != first_) {
          at_ = Clock::now();
          moved_ = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
    });
  }
  ~MoveWatch() {
    done_ = true;
    thread_.join();
  }
  bool moved() const { return moved_; }
  Clock::time_point at() const { return at_; }

 private:
  pid_t daemon_;
  int first_;
  Clock::time_point at_{};
  std::atomic<bool> moved_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct Outcome {
  bool measured = false;
  std::string nodes;  // which node went, where the connection and the leader were
  int sent = 0, accepted = 0;
  Tally daemon, ref;
  int lost_of_ref = 0;  // received by the reference, never applied by the daemon
  double done_s = NAN;  // the kill or stop command's own time
  double back_s = NAN;  // its start to the first command that lands after it
  bool moved = false;
  std::string move;                  // where the daemon's connection went, and when
  std::optional<double> retained_s;  // the move to current values and "online" at the front
  std::string after;                 // the front and the returned node, after the return
};

// The daemon, its controller and the reference subscriber.
struct Bed {
  explicit Bed(Cluster& c) : cluster(c) {}
  Cluster& cluster;
  test_support::ToolController controller;
  ShmView view{controller.key_offset()};
  std::unique_ptr<test_support::Daemon> daemon;
  std::unique_ptr<ReferenceSub> ref;
  const std::string queue = std::string("mqtt-subscription-") + kUuid + "qos1";

  bool landed_beyond(double base, int seq) const {
    return view.command_value(kActorRealId) > base + seq - 0.5;
  }
  bool wait_back(const Pacer& pacer, double base) const {
    const int after = pacer.made() + 1;
    return test_support::wait_until([&] { return stop_requested || landed_beyond(base, after); },
                                    kWait, std::chrono::milliseconds(5));
  }
  bool set_values(double value) const {
    for (int i = 0; i < kSensors; ++i)
      if (!controller.set(1001 + i, format("%.2f", value + i), {.unit = std::string("C")}))
        return false;
    return true;
  }
};

// Starts the daemon through the front and waits until a command reaches it and the reference.
const char* start(Bed& bed) {
  test_support::BridgeConfig cfg;
  cfg.uuid = kUuid;
  cfg.password = kPassword;
  cfg.port = std::to_string(kFront);
  for (int i = 0; i < kSensors; ++i) cfg.name(1001 + i, format("sensor%d", i)).publish(1001 + i);
  cfg.name(kActorDbId, "lamp").subscribe(kActorDbId);
  test_support::ToolController& c = bed.controller;
  if (!bed.view.ok() || !bed.set_values(20.0) ||
      !c.set(kActorDbId, "0", {.type = 2, .real_id = kActorRealId}) ||
      !c.write_broker_access(cfg.access_json()) ||
      !c.write_broker_setup(setup_with(cfg, {{"command_qos", "1"}, {"availability", "on"}})))
    return "cannot prepare the controller";
  bed.daemon = std::make_unique<test_support::Daemon>(c);
  if (!bed.daemon->wait_main_loop()) return "the daemon did not reach its main loop";
  bed.ref = std::make_unique<ReferenceSub>(through(kFront), format("dashboard-ref-%d", getpid()),
                                           topic("lamp/action"), c.root() + "/ref.txt");
  Sender sender(format("dashboard-warm-%d", getpid()));
  if (!sender.connect(through(kFront))) return "the sender cannot connect through the front";
  for (int seq = 1; seq <= 40 && !stop_requested; ++seq) {
    sender.send(topic("lamp/action"), 0, seq);
    if (test_support::wait_until(
            [&] { return bed.landed_beyond(0, 1) && !bed.ref->received(0, seq).empty(); },
            std::chrono::milliseconds(500)))
      return nullptr;
  }
  return "no warm-up command reached the daemon and the reference";
}

// A scenario picks a node (1..3, 0 when it cannot), says in `nodes` which and why, and then kills
// or stops it.
struct Disturbance {
  const char* label;
  const char* verb;  // of scripts/cluster.sh: "kill" (SIGKILL) or "halt" (graceful)
  bool quiet;        // no commands until the move is timed: the daemon's slowest republication
  std::function<int(Bed&, std::string& nodes)> pick;
};

int pick_connection(Bed& bed, std::string& nodes) {
  const int conn = bed.cluster.node("conn-node", kUuid);
  nodes = format("%d (connection, leader %d)", conn, bed.cluster.node("leader", bed.queue));
  return conn;
}

const std::vector<Disturbance>& disturbances() {
  static const std::vector<Disturbance> list = {
      {"kill -9 the daemon's node", "kill", false, pick_connection},
      {"stop the session queue's leader", "halt", false,
       [](Bed& bed, std::string& nodes) {
         const int conn = bed.cluster.node("conn-node", kUuid);
         int leader = bed.cluster.node("leader", bed.queue);
         if (conn == 0 || leader == 0) return 0;
         if (leader == conn) {
           leader = conn % 3 + 1;
           if (!bed.cluster.act("lead", leader, bed.queue)) return 0;
         }
         nodes = format("%d (leader; connection on %d)", leader, conn);
         return leader;
       }},
      {"stop the daemon's node", "halt", false, pick_connection},
      {"kill -9 the daemon's node, no commands", "kill", true, pick_connection},
  };
  return list;
}

// The end of a scenario: the stream stops, the counts wait for the last accepted command at the
// daemon and the reference, then the arrivals are tallied.
void count_stream(Bed& bed, Sender& sender, Pacer& pacer, size_t mark, double base, Outcome& o) {
  bed.wait_back(pacer, base);
  pause_ms(1000);
  pacer.stop();
  const int made = pacer.made();
  test_support::wait_until([&] { return sender.unacknowledged() == 0 || stop_requested; },
                           std::chrono::seconds(15));
  const std::vector<int> accepted_list = sender.accepted();
  const std::set<int> accepted(accepted_list.begin(), accepted_list.end());
  const int last = accepted.empty() ? 0 : *accepted.rbegin();
  test_support::wait_until([&] { return bed.landed_beyond(base, last) || stop_requested; },
                           std::chrono::seconds(15), std::chrono::milliseconds(5));
  test_support::wait_until(
      [&] { return bed.ref->received(base, made).count(last) > 0 || stop_requested; },
      std::chrono::seconds(10));
  pause_ms(1500);  // repeats and stragglers
  const std::vector<int> applied = applied_in_order(bed.controller.log(), mark, base, made);
  const std::vector<int> ref = bed.ref->arrivals(base, made);
  o.daemon = tally(accepted, applied);
  o.ref = tally(accepted, ref);
  const std::set<int> applied_set(applied.begin(), applied.end());
  for (int seq : std::set<int>(ref.begin(), ref.end())) o.lost_of_ref += !applied_set.count(seq);
  o.sent = pacer.sent();
  o.accepted = static_cast<int>(accepted.size());
  o.measured = true;
}

Outcome run_scenario(Bed& bed, int row, const Disturbance& d) {
  Outcome o;
  const double base = row * kRowBase;
  double value = 30.0 + 10.0 * row;
  note("cluster: %s", d.label);
  const size_t mark = bed.controller.log().mark();
  Sender sender(format("dashboard-cmd-%d-%d", getpid(), row));
  if (!sender.connect(through(kFront))) return o;
  std::unique_ptr<Pacer> pacer;
  if (!d.quiet) pacer = std::make_unique<Pacer>(sender, topic("lamp/action"), base);
  // Values the nodes have not seen, published (by the next cycle) before the disturbance.
  if (!pause_ms(2000) || !bed.set_values(value) ||
      !test_support::wait_until([&] { return current_at(kFront, value); }, kWait,
                                std::chrono::milliseconds(200)))
    return o;

  const int node = d.pick(bed, o.nodes);
  if (node == 0) return o;
  MoveWatch move(bed.daemon->pid());
  const auto t0 = Clock::now();
  if (!bed.cluster.act(d.verb, node)) return o;
  o.done_s = seconds(t0, Clock::now());
  if (pacer && bed.wait_back(*pacer, base)) o.back_s = seconds(t0, Clock::now());
  // A command may land a moment before the watch's next look at the connection.
  o.moved = test_support::wait_until([&] { return move.moved(); },
                                     pacer ? std::chrono::seconds(2) : kWait);
  if (o.moved) {
    // Timed out: the time waited, over the goal.
    test_support::wait_until([&] { return current_at(kFront, value); }, kWait,
                             std::chrono::milliseconds(50));
    o.retained_s = seconds(move.at(), Clock::now());
    o.move = format("connection on %d after %.1f s", bed.cluster.node("conn-node", kUuid),
                    seconds(t0, move.at()));
    // Values that only the node the daemon moved to gets: the front must stay there.
    value += 5.0;
    if (!bed.set_values(value) ||
        !test_support::wait_until([&] { return current_at(kFront, value); }, kWait,
                                  std::chrono::milliseconds(200)))
      return o;
  }
  if (!pacer) pacer = std::make_unique<Pacer>(sender, topic("lamp/action"), base);
  // The node's return, while the commands go on.
  if (!bed.cluster.act("run", node)) return o;
  o.after = format("after node %d's return: front %s, node %d %s", node,
                   current_at(kFront, value) ? "current" : "STALE", node,
                   current_at(kFront + node, value) ? "current" : "stale");
  count_stream(bed, sender, *pacer, mark, base, o);
  note(
      "cluster: %s: node %s, %s; sent %d, accepted %d, reference %d, daemon %d, lost by the "
      "daemon %d",
      d.label, o.nodes.c_str(), o.moved ? o.move.c_str() : "no move", o.sent, o.accepted,
      o.ref.distinct, o.daemon.distinct, o.lost_of_ref);
  return o;
}

std::string cells(const Tally& t) {
  return format("%5d %5d %5d %5d %5d", t.distinct, t.lost, t.twice, t.out_of_order, t.steps_back);
}

void add_outcomes(const std::vector<Outcome>& outcomes, Table& table) {
  std::string block = format(
      "actor commands on three RabbitMQ nodes behind HAProxy, \"command_qos\":\"1\", one QoS 1 "
      "command per 20 ms\n%-38s %5s %8s | %-29s | %-29s | %s\n%-38s %5s %8s | %s | %s | %s\n",
      "", "", "", "reference (persistent)", "daemon", "lost by the daemon", "scenario", "sent",
      "accepted", "  got  lost twice order  back", "  got  lost twice order  back",
      "of the reference's");
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const Outcome& o = outcomes[i];
    if (!o.measured) {
      block += format("%-38s not measured\n", disturbances()[i].label);
      continue;
    }
    block += format("%-38s %5d %8d | %s | %s | %d\n", disturbances()[i].label, o.sent, o.accepted,
                    cells(o.ref).c_str(), cells(o.daemon).c_str(), o.lost_of_ref);
  }
  table.add_block(block);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const Outcome& o = outcomes[i];
    const std::string label = format("cluster: %s", disturbances()[i].label);
    if (!o.measured) {
      table.add({label + ", commands lost", std::nullopt, "commands", "0", 0.0, "not measured"});
      continue;
    }
    std::string detail =
        format("%s node %s took %.1f s", disturbances()[i].verb, o.nodes.c_str(), o.done_s);
    if (o.moved) detail += "; " + o.move;
    if (!std::isnan(o.back_s)) detail += format("; commands land again after %.1f s", o.back_s);
    table.add({label + ", commands lost", static_cast<double>(o.lost_of_ref), "commands", "0", 0.0,
               detail});
    table.add({"  current retained + online after the move", o.retained_s, "s", "<= 5 s",
               kRetainedGoal, o.moved ? o.after : "no move: the connection stayed on its node",
               false, false, !o.moved});
  }
}

}  // namespace

bool run_cluster(const Options&, Table& table) {
  const auto t0 = Clock::now();
  Cluster cluster;
  std::vector<Outcome> outcomes(disturbances().size());
  if (cluster.up() && !stop_requested) {
    Bed bed(cluster);
    if (const char* why = start(bed); why != nullptr) {
      note("cluster: %s%s", why, bed.daemon ? bed.daemon->diagnostics().c_str() : "");
    } else {
      for (size_t i = 0; i < outcomes.size() && !stop_requested; ++i)
        outcomes[i] = run_scenario(bed, static_cast<int>(i) + 1, disturbances()[i]);
    }
  }
  add_outcomes(outcomes, table);
  note("cluster: %.0f s", seconds(t0, Clock::now()));
  return std::all_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.measured; });
}

}  // namespace bench
