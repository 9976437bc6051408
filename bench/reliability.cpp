// Actor commands under disturbance: how many commands that the broker accepted reach the actor's
// command block, for the daemon as configured by default and with "command_qos":"1" added to
// brokerSetup.json, one daemon (log level 4) and one persistent broker per configuration. A
// sender in this process (libmosquitto with its own network thread, persistent session, QoS 1)
// publishes one command every 20 ms on the lamp's action topic while a disturbance runs: none for
// 30 s; a configuration reload every 3 s (12 times); the broker killed with SIGKILL and restarted
// on its port (5 times); the daemon's connection cut with `ss -K` (5 times); the broker stopped
// for 10 s (SIGSTOP, SIGCONT). Sending goes on until the daemon is back, then the counts wait for
// the last acknowledged command. "Accepted" is a PUBACK to the sender; "applied" comes from the
// daemon's "gesetzt auf" log lines, in order; lost = accepted commands never applied; applied
// twice = commands with more than one line; out of order = a command applied after a later one
// (repeats left out). A mosquitto_sub with a persistent QoS 1 session on the same topic shows what
// a plain client loses. Command i of row r carries r * 100000 + i, so a late command of one row
// never counts in another. A third daemon, with "command_qos":"1" and "command_state":"on" at log
// level 3, gives the time from a command to its state echo on the broker (n/a when no echo comes
// within 2 s) beside the broker round trip of a client's own publication, and the sustained rate
// of 2000 QoS 1 commands (sent as fast as the sender's in-flight window allows, until the last
// value is in the command block).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "bench/bench.h"
#include "bench/stream.h"
#include "support/controller.h"

namespace bench {

namespace {

constexpr int32_t kActorDbId = 2001;
constexpr int32_t kActorRealId = 511;  // clear of the ten sensors
constexpr double kRowBase = 100000.0;  // command i of row r carries r * kRowBase + i
constexpr double kEchoBase = 900000.0;
constexpr double kRateBase = 800000.0;
constexpr auto kBackWait = std::chrono::seconds(25);  // a rebuild waits for the next cycle
constexpr int kEchoSamples = 200;
constexpr auto kEchoTimeout = std::chrono::milliseconds(2000);
constexpr int kRateCommands = 2000;
constexpr double kRateBudget = 2000.0;
constexpr const char* kSs = "/usr/bin/ss";

std::string lamp_topic(const char* leaf) {
  return std::string(test_support::Scenario::kUser) + "/lamp/" + leaf;
}

// Signals the broker; false when it does not run. Never a pid of -1 or 0: those would reach every
// process of ours, or our process group.
bool signal_broker(test_support::Broker& broker, int signo) {
  return broker.pid() > 0 && kill(broker.pid(), signo) == 0;
}

// Resumes a stopped broker on every way out of the stall.
struct ContinueGuard {
  test_support::Broker* broker = nullptr;
  ~ContinueGuard() {
    if (broker != nullptr) signal_broker(*broker, SIGCONT);
  }
};

struct Row {
  bool measured = false;
  int sent = 0, offline_ticks = 0, accepted = 0, applied = 0, lost = 0, twice = 0, out_of_order = 0;
  int applied_unacked = 0;  // applied, but the sender never got the PUBACK
  int unsent = 0;           // made, but the library never took them (no connection at the end)
  int unacked = 0;          // sent, never acknowledged
  int sub_lost = 0;
  int recovered = 0, disturbances = 0;  // times the daemon came back within 25 s
};

// One configuration's broker (persistent), controller, daemon, reference subscriber and view.
struct Bed {
  test_support::Scenario s{persistent_broker(), test_support::ToolController::Options{}};
  ShmView view{s.controller().key_offset()};
  std::unique_ptr<ReferenceSub> sub;
  test_support::Daemon* daemon = nullptr;
  int row = 0;

  static test_support::BrokerOptions persistent_broker() {
    test_support::BrokerOptions o = test_support::Scenario::broker_options();
    o.persistence = true;
    return o;
  }
  bool landed_beyond(double base, int seq) const {
    return view.command_value(kActorRealId) > base + seq - 0.5;
  }
  // Waits until a command sent after this call is in the command block: the daemon is back.
  bool wait_back(const Pacer& pacer, double base) const {
    const int after = pacer.made() + 1;
    return test_support::wait_until([&] { return stop_requested || landed_beyond(base, after); },
                                    kBackWait, std::chrono::milliseconds(5));
  }
};

// Writes the ten sensors and the lamp with these extra keys and starts the daemon; null on
// success, else what failed.
const char* start(test_support::Scenario& s, const std::string& loglevel,
                  const std::vector<std::pair<std::string, std::string>>& extra) {
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return "broker did not start";
  note_scenario("reliability", s);
  test_support::BridgeConfig cfg = s.config();
  cfg.loglevel = loglevel;
  cfg.name(kActorDbId, "lamp").subscribe(kActorDbId);
  if (!add_ten_sensors(c, cfg) || !c.set(kActorDbId, "0", {.type = 2, .real_id = kActorRealId}) ||
      !c.write_broker_access(cfg.access_json()) || !c.write_broker_setup(setup_with(cfg, extra)))
    return "cannot prepare the controller";
  if (!s.start_daemon().wait_main_loop()) return "daemon did not reach its main loop";
  return nullptr;
}

// Sends warm-up commands (row 0) until the daemon and the reference subscriber have one.
bool warm_up(Bed& bed) {
  Sender sender(format("k482916-warm-%d", getpid()));
  if (!sender.connect(bed.s.broker().client())) return false;
  for (int seq = 1; seq <= 40 && !stop_requested; ++seq) {
    sender.send(lamp_topic("action"), 0, seq);
    if (test_support::wait_until(
            [&] { return bed.landed_beyond(0, 1) && !bed.sub->received(0, seq).empty(); },
            std::chrono::milliseconds(500)))
      return true;
  }
  return false;
}

// The disturbances; each runs while the pacer sends and returns the number of its disturbances
// after which the daemon came back in time.
struct Disturbance {
  const char* label;
  int count;
  std::function<int(Bed&, const Pacer&, double base)> run;
};

const std::vector<Disturbance>& disturbances() {
  static const std::vector<Disturbance> list = {
      {"none, 30 s", 0,
       [](Bed&, const Pacer&, double) {
         pause_ms(30000);
         return 0;
       }},
      {"reload every 3 s, 12 x", 12,
       [](Bed& bed, const Pacer& pacer, double base) {
         for (int i = 0; i < 12 && pause_ms(3000); ++i)
           if (bed.s.controller().ctl({"reload"}).status != 0) note("reliability: reload failed");
         return bed.wait_back(pacer, base) ? 12 : 0;
       }},
      {"broker SIGKILL + restart, 5 x", 5,
       [](Bed& bed, const Pacer& pacer, double base) {
         int back = 0;
         for (int i = 0; i < 5 && pause_ms(2000); ++i) {
           signal_broker(bed.s.broker(), SIGKILL);
           if (!bed.s.broker().restart()) note("reliability: the broker did not come back");
           bed.sub->ensure_running();
           back += bed.wait_back(pacer, base);
         }
         return back;
       }},
      {"connection cut (ss -K), 5 x", 5,
       [](Bed& bed, const Pacer& pacer, double base) {
         int back = 0;
         for (int i = 0; i < 5 && pause_ms(2000); ++i) {
           const int local = local_port(bed.daemon->pid(), bed.s.broker().port());
           const int port = bed.s.broker().port();
           if (local == 0) {
             note("reliability: no connection of the daemon to cut");
             continue;
           }
           test_support::run_process({kSs, "-K", "-tn",
                                      format("( sport = :%d and dport = :%d ) or ( sport = :%d "
                                             "and dport = :%d )",
                                             local, port, port, local)});
           back += bed.wait_back(pacer, base);
         }
         return back;
       }},
      {"broker stalled 10 s (SIGSTOP)", 1,
       [](Bed& bed, const Pacer& pacer, double base) {
         if (!pause_ms(2000)) return 0;
         {
           ContinueGuard resume{&bed.s.broker()};
           signal_broker(bed.s.broker(), SIGSTOP);
           pause_ms(10000);
         }
         return bed.wait_back(pacer, base) ? 1 : 0;
       }},
  };
  return list;
}

// Counts of a row from the accepted commands, the daemon's applied commands in order and the
// commands the reference subscriber received.
Row count(const std::vector<int>& accepted_list, const std::vector<int>& applied,
          const std::set<int>& sub) {
  Row r;
  r.measured = true;
  const std::set<int> accepted(accepted_list.begin(), accepted_list.end());
  const Tally t = tally(accepted, applied);
  r.accepted = static_cast<int>(accepted.size());
  r.applied = t.distinct;
  r.lost = t.lost;
  r.twice = t.twice;
  r.out_of_order = t.out_of_order;
  r.applied_unacked = t.unaccepted;
  for (int seq : accepted) r.sub_lost += sub.count(seq) == 0;
  return r;
}

Row run_row(Bed& bed, const Disturbance& d) {
  const int row = ++bed.row;
  const double base = row * kRowBase;
  note("reliability: %s", d.label);
  const size_t mark = bed.s.log().mark();
  Sender sender(format("k482916-rel-%d-%d", getpid(), row));
  if (!sender.connect(bed.s.broker().client())) return {};
  Pacer pacer(sender, lamp_topic("action"), base);
  const int recovered = d.run(bed, pacer, base);
  // Commands go on until the daemon is back, and a second more.
  bed.wait_back(pacer, base);
  pause_ms(1000);
  pacer.stop();
  const int sent = pacer.made();
  test_support::wait_until([&] { return sender.unacknowledged() == 0 || stop_requested; },
                           std::chrono::seconds(15));
  const std::vector<int> accepted = sender.accepted();
  const int last = accepted.empty() ? 0 : *std::max_element(accepted.begin(), accepted.end());
  test_support::wait_until([&] { return bed.landed_beyond(base, last) || stop_requested; },
                           std::chrono::seconds(15), std::chrono::milliseconds(5));
  test_support::wait_until(
      [&] { return bed.sub->received(base, sent).count(last) > 0 || stop_requested; },
      std::chrono::seconds(10));
  // Repeats and stragglers after the last command.
  pause_ms(1500);
  Row r = count(accepted, applied_in_order(bed.s.log(), mark, base, sent),
                bed.sub->received(base, sent));
  r.sent = pacer.sent();
  r.unsent = sent - pacer.sent();
  r.unacked = static_cast<int>(sender.unacknowledged());
  r.offline_ticks = pacer.offline_ticks();
  r.recovered = recovered;
  r.disturbances = d.count;
  note(
      "reliability: %s: sent %d, accepted %d, applied %d, lost %d, twice %d, out of order %d; "
      "mosquitto_sub lost %d",
      d.label, r.sent, r.accepted, r.applied, r.lost, r.twice, r.out_of_order, r.sub_lost);
  return r;
}

// Every disturbance against one daemon; rows not measured when something failed.
std::vector<Row> run_configuration(const char* name,
                                   const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<Row> rows(disturbances().size());
  Bed bed;
  note("reliability: configuration %s", name);
  if (const char* why = start(bed.s, "4", extra); why != nullptr) {
    note("reliability: %s%s", why, bed.s.diagnostics().c_str());
    return rows;
  }
  bed.daemon = &bed.s.daemon();
  bed.sub =
      std::make_unique<ReferenceSub>(bed.s.broker().client(), format("k482916-ref-%d", getpid()),
                                     lamp_topic("action"), bed.s.controller().root() + "/sub.txt");
  if (!bed.view.ok() || !warm_up(bed)) {
    note("reliability: warm-up command did not arrive%s", bed.s.diagnostics().c_str());
    return rows;
  }
  for (size_t i = 0; i < rows.size() && !stop_requested; ++i)
    rows[i] = run_row(bed, disturbances()[i]);
  return rows;
}

std::string cells(const Row& r) {
  if (!r.measured) return format("%8s %7s %5s %5s %5s", "-", "-", "-", "-", "-");
  return format("%8d %7d %5d %5d %5d", r.accepted, r.applied, r.lost, r.twice, r.out_of_order);
}

std::string row_detail(const Row& r) {
  std::string s = format("%d sent, %d accepted, %d applied; mosquitto_sub lost %d", r.sent,
                         r.accepted, r.applied, r.sub_lost);
  if (r.disturbances > 0) s += format("; back in time %d of %d", r.recovered, r.disturbances);
  if (r.applied_unacked > 0) s += format("; %d applied without PUBACK", r.applied_unacked);
  if (r.offline_ticks > 0) s += format("; sender without connection for %d ticks", r.offline_ticks);
  if (r.unsent > 0) s += format("; %d never sent", r.unsent);
  if (r.unacked > 0) s += format("; %d never acknowledged", r.unacked);
  return s;
}

void add_rows(const std::vector<Row>& plain, const std::vector<Row>& qos, Table& table) {
  std::string block = format(
      "actor commands under disturbance, one QoS 1 command per 20 ms\n"
      "%-32s | %-34s | %s\n%-32s | %s | %s\n",
      "", "default", "\"command_qos\":\"1\"", "disturbance", "accepted applied  lost twice order",
      "accepted applied  lost twice order");
  for (size_t i = 0; i < plain.size(); ++i)
    block += format("%-32s | %s | %s\n", disturbances()[i].label, cells(plain[i]).c_str(),
                    cells(qos[i]).c_str());
  table.add_block(block);

  table.add({"commands lost, default", std::nullopt, "", "", std::nullopt, "", true});
  for (size_t i = 0; i < plain.size(); ++i)
    table.add({format("  %s", disturbances()[i].label),
               plain[i].measured ? std::optional<double>(plain[i].lost) : std::nullopt, "commands",
               "", std::nullopt, plain[i].measured ? row_detail(plain[i]) : "not measured"});
  table.add({"commands lost, \"command_qos\":\"1\"", std::nullopt, "", "", std::nullopt, "", true});
  for (size_t i = 0; i < qos.size(); ++i)
    table.add({format("  %s", disturbances()[i].label),
               qos[i].measured ? std::optional<double>(qos[i].lost) : std::nullopt, "commands", "0",
               0.0, qos[i].measured ? row_detail(qos[i]) : "not measured"});
}

// Latest message per topic, for waits on the network thread's deliveries.
struct Inbox {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::string> last;
  std::map<std::string, Clock::time_point> at;

  void put(const char* topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex);
    last[topic] = payload;
    at[topic] = Clock::now();
    changed.notify_all();
  }
  // Waits until `topic` carries `value`; the arrival time, or nullopt after the timeout.
  std::optional<Clock::time_point> wait_for(const std::string& topic, double value,
                                            Clock::duration timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    const bool got = changed.wait_for(lock, timeout, [&] {
      auto it = last.find(topic);
      return it != last.end() && std::fabs(std::strtod(it->second.c_str(), nullptr) - value) < 1e-3;
    });
    if (!got) return std::nullopt;
    return at[topic];
  }
};

// Echo and sustained rate against a daemon with "command_qos":"1" and "command_state":"on". With
// `nodelay` the broker runs with set_tcp_nodelay (mosquitto's default is off: a packet it forwards
// a moment after another one to the same client waits for that client's delayed ACK), and only
// the echo is measured.
bool run_echo_and_rate(Table& table, bool nodelay) {
  const std::string on = nodelay ? ", broker set_tcp_nodelay" : "";
  const std::string echo_name = "command -> state echo on the broker" + on + ", p99";
  const std::string rtt_name = "  broker round trip, own publication" + on + ", p99";
  const char* rate_name = "sustained commands/s at QoS 1, log level 3";
  bool echo_done = false;
  auto failed = [&](const std::string& why, const std::string& diagnostics = {}) {
    note("reliability: %s%s", why.c_str(), stop_requested ? "" : diagnostics.c_str());
    if (!echo_done) {
      table.add({echo_name, std::nullopt, "ms", "<= 2 x round trip", std::nullopt, why});
      table.add({rtt_name, std::nullopt, "ms", "", std::nullopt, why});
    }
    if (!nodelay)
      table.add({rate_name, std::nullopt, "/s", ">= 2000 /s", kRateBudget, why, false, true});
    return false;
  };
  test_support::BrokerOptions broker = test_support::Scenario::broker_options();
  broker.tcp_nodelay = nodelay;
  test_support::Scenario s(broker, {});
  if (const char* why = start(s, "3", {{"command_qos", "1"}, {"command_state", "on"}}))
    return failed(why, s.diagnostics());
  ShmView view(s.controller().key_offset());
  Inbox inbox;  // before the client: its network thread delivers into it until the client goes
  Sender client(format("k482916-echo-%d", getpid()));
  client.on_message = [&](const char* topic, const std::string& payload) {
    inbox.put(topic, payload);
  };
  const std::string probe = format("k482916-bench/%d/probe", getpid());
  if (!view.ok() || !client.connect(s.broker().client()) ||
      !client.subscribe(lamp_topic("state")) || !client.subscribe(probe))
    return failed("cannot attach or connect");
  // The daemon is subscribed once a command lands; its first cycle is over at "OK: ".
  if (!test_support::wait_until(
          [&] {
            client.send(lamp_topic("action"), kEchoBase, 0);
            return view.command_value(kActorRealId) == kEchoBase;
          },
          std::chrono::seconds(20), std::chrono::milliseconds(500)) ||
      !test_support::wait_until([&] { return view.status_text().starts_with("OK: "); },
                                std::chrono::seconds(30)))
    return failed("daemon not ready", s.diagnostics());

  std::vector<double> rtt_ms, echo_ms;
  for (int i = 1; i <= kEchoSamples && !stop_requested; ++i) {
    const auto t0 = Clock::now();
    client.send(probe, kEchoBase, i);
    if (auto at = inbox.wait_for(probe, kEchoBase + i, kEchoTimeout))
      rtt_ms.push_back(seconds(t0, *at) * 1000.0);
  }
  for (int i = 1; i <= kEchoSamples && !stop_requested; ++i) {
    const auto t0 = Clock::now();
    client.send(lamp_topic("action"), kEchoBase, i);
    auto at = inbox.wait_for(lamp_topic("state"), kEchoBase + i, kEchoTimeout);
    if (!at) break;  // no echo: the daemon does not publish command states
    echo_ms.push_back(seconds(t0, *at) * 1000.0);
    pause_ms(10);
  }
  if (rtt_ms.empty()) return failed("probe messages did not come back");
  const double rtt = percentile(rtt_ms, 99);
  table.add({echo_name,
             echo_ms.empty() ? std::nullopt : std::optional<double>(percentile(echo_ms, 99)), "ms",
             "<= 2 x round trip", 2 * rtt,
             echo_ms.empty() ? "no echo within 2 s"
                             : format("median %.2f ms; %zu of %d echoed", median(echo_ms),
                                      echo_ms.size(), kEchoSamples),
             false, false, true});
  table.add({rtt_name, rtt, "ms", "", std::nullopt,
             format("median %.2f ms, %zu samples, QoS 1", median(rtt_ms), rtt_ms.size())});
  echo_done = true;
  if (nodelay) return true;

  // The stream, queued at once; the library keeps its in-flight window full.
  if (!pause_ms(500)) return failed("stopped");
  const auto t0 = Clock::now();
  for (int i = 1; i <= kRateCommands; ++i)
    if (!client.send(lamp_topic("action"), kRateBase, i)) return failed("client cannot publish");
  if (!test_support::wait_until(
          [&] {
            return stop_requested || view.command_value(kActorRealId) == kRateBase + kRateCommands;
          },
          std::chrono::seconds(60), std::chrono::milliseconds(1)) ||
      stop_requested)
    return failed("the last command did not land", s.diagnostics());
  const double landed_s = seconds(t0, Clock::now());
  const double acked_s = seconds(t0, client.last_ack());
  table.add({rate_name, kRateCommands / landed_s, "/s", ">= 2000 /s", kRateBudget,
             format("%d commands in %.3f s; broker acknowledged all in %.3f s (%.0f /s)",
                    kRateCommands, landed_s, acked_s, kRateCommands / acked_s),
             false, true});
  return true;
}

}  // namespace

bool run_reliability(const Options&, Table& table) {
  const auto t0 = Clock::now();
  const std::vector<Row> plain = run_configuration("default", {});
  std::vector<Row> qos(plain.size());
  if (!stop_requested) qos = run_configuration("\"command_qos\":\"1\"", {{"command_qos", "1"}});
  add_rows(plain, qos, table);
  const bool ok = !stop_requested && run_echo_and_rate(table, false) && !stop_requested &&
                  run_echo_and_rate(table, true);
  note("reliability: %.0f s", seconds(t0, Clock::now()));
  auto measured = [](const Row& r) { return r.measured; };
  return ok && std::all_of(plain.begin(), plain.end(), measured) &&
         std::all_of(qos.begin(), qos.end(), measured);
}

}  // namespace bench
