// Actor commands under load, each figure beside a mosquitto_sub that reads the same commands from
// the same broker in the same run.
//
// Latency during a publish cycle: a daemon whose first cycle publishes N populated sensors (N =
// 100 and 500, one daemon each) gets one command every 100 ms from the moment the cycle begins
// until it ends. Latency is from the client's publish to the value in the actor's command block
// (the daemon) or to mosquitto_sub's time stamp of the message (%U).
//
// Sustained rate: a daemon with ten unchanged sensors and the shortest interval (5 s), at log
// level 3 and at log level 4, gets K commands as fast as one client can publish them. Passes of
// the main loop that handle traffic end early, so a stream of commands also brings the publish
// cycles (and the pause after each) round sooner. The rate is K over the time from the first
// publish to the last value in the command block; mosquitto_sub's rate is K over the time to its
// last message. At level 4 every command leaves its "gesetzt auf" line, so none lost can be
// counted.
//
// Every command carries a value of its own (base + i): they travel in order on one connection, so
// value i in the command block means that commands 1..i have been applied.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "bench/bench.h"
#include "log/log.h"
#include "support/controller.h"

namespace bench {

namespace {

constexpr int32_t kActorDbId = 2001;
constexpr int32_t kActorRealId = 511;  // clear of the populated sensors
constexpr int32_t kFirstSensor = 1001;
constexpr double kBase = 10000.0;  // command i carries kBase + i; i = 0 is the warm-up
constexpr double kLatencyBudgetMs = 150.0;
constexpr double kRateBudget = 2000.0;
constexpr double kSubRatioBudget = 2.0;
constexpr auto kCommandSpacing = std::chrono::milliseconds(100);

// The daemon started in a scenario, with a mosquitto_sub on the lamp's action topic beside it
// (printing into sub_path), the command blocks attached and a command client connected. `why`
// says what failed, null when everything is up.
struct CommandRun {
  explicit CommandRun(test_support::Scenario& s);
  std::string diagnostics() const { return daemon != nullptr ? daemon->diagnostics() : ""; }

  std::string sub_path;
  ChildGuard sub;
  ShmView view;
  CommandClient client;
  test_support::Daemon* daemon = nullptr;
  const char* why = nullptr;
};

// mosquitto_sub's arrival time (s) of every command index in its "%U %p" output; NaN for missing.
std::vector<double> sub_arrivals(const std::string& path, int n) {
  std::vector<double> at(n + 1, NAN);
  std::istringstream in(test_support::read_file(path));
  double t = 0, v = 0;
  while (in >> t >> v) {
    const long i = std::lround(v - kBase);
    if (i >= 0 && i <= n && std::isnan(at[i])) at[i] = t;
  }
  return at;
}

// A mosquitto_sub on the actor's action topic, printing "%U %p" into `path`.
pid_t spawn_sub(test_support::Scenario& s, const std::string& topic, const std::string& path) {
  test_support::ClientOptions client = s.broker().client();
  return test_support::spawn(
      {test_support::kMosquittoSub, "-h", "127.0.0.1", "-p", std::to_string(client.port), "-u",
       client.user, "-P", client.password, "-q", "0", "-t", topic, "-F", "%U %p"},
      path, "", {});
}

std::string action_topic_of_lamp() {
  return std::string(test_support::Scenario::kUser) + "/lamp/action";
}

// The actor and its configuration; true when the tool accepted it.
bool add_lamp(test_support::ToolController& c, test_support::BridgeConfig& cfg) {
  cfg.name(kActorDbId, "lamp").subscribe(kActorDbId);
  return c.set(kActorDbId, "0", {.type = 2, .real_id = kActorRealId});
}

CommandRun::CommandRun(test_support::Scenario& s)
    : sub_path(s.controller().root() + "/sub.txt"), view(s.controller().key_offset()) {
  sub.pid = spawn_sub(s, action_topic_of_lamp(), sub_path);
  if (sub.pid < 0 || !view.ok()) {
    why = "cannot start mosquitto_sub or attach";
    return;
  }
  daemon = &s.start_daemon();
  if (!daemon->wait_main_loop()) {
    why = "daemon did not reach its main loop";
    return;
  }
  test_support::ClientOptions opts = s.broker().client();
  if (!client.connect(opts.port, opts.user, opts.password)) why = "client cannot connect";
}

// Sends the warm-up command until both the daemon and the subscriber have it: both are then
// subscribed. False after 20 s.
bool warm_up(CommandClient& client, const LandingWatch& watch, const std::string& sub_path) {
  auto end = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < end && !stop_requested) {
    client.publish(action_topic_of_lamp(), format("%.0f", kBase));
    if (test_support::wait_until(
            [&] { return watch.seen() >= 0 && !std::isnan(sub_arrivals(sub_path, 0)[0]); },
            std::chrono::milliseconds(1000)))
      return true;
  }
  return false;
}

bool run_latency(int32_t n, Table& table) {
  const std::string name = format("command latency while publishing %d, p99", n);
  const std::string sub_name = "  mosquitto_sub, same commands, p99";
  auto failed = [&](const std::string& why, const std::string& diagnostics = {}) {
    note("commands: %s%s", why.c_str(), stop_requested ? "" : diagnostics.c_str());
    table.add({name, std::nullopt, "ms", "<= 150 ms", kLatencyBudgetMs, why});
    table.add({sub_name, std::nullopt, "ms", "", std::nullopt, why});
    return false;
  };
  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return failed("broker did not start");
  note_scenario("commands", s);
  test_support::BridgeConfig cfg = s.config();
  // 10 s of countdown before the first cycle: room for the warm-up command.
  cfg.interval = std::string("10");
  if (!add_lamp(c, cfg)) return failed("k482916_ctl set failed");
  for (int32_t i = 0; i < n; ++i)
    cfg.name(kFirstSensor + i, format("s%d", i)).publish(kFirstSensor + i);
  // Short names and no line breaks: 500 sensors fit the 8183 characters of a section and the
  // 16383 bytes of the file.
  std::string setup = cfg.setup_json();
  for (size_t at; (at = setup.find("\n    ")) != std::string::npos;) setup.erase(at, 5);
  if (!c.ctl_ok({"populate", std::to_string(n)}) || !c.write_broker_access(cfg.access_json()) ||
      !c.write_broker_setup(setup))
    return failed("cannot prepare the controller");

  CommandRun run(s);
  if (run.why != nullptr) return failed(run.why, run.diagnostics());
  const std::string& sub_path = run.sub_path;
  ShmView& view = run.view;
  CommandClient& client = run.client;
  test_support::Daemon& d = *run.daemon;

  // Enough room for one command per 100 ms of a cycle of n x 100 ms, with margin.
  const int capacity = n + 100;
  LandingWatch watch(view, kActorRealId, kBase, capacity);
  if (!warm_up(client, watch, sub_path)) return failed("warm-up command did not arrive");
  if (!test_support::wait_until([&] { return view.status_text() == "publishing data"; },
                                std::chrono::seconds(30)))
    return failed("no cycle began", d.diagnostics());

  std::vector<double> sent{0.0};
  auto next = Clock::now();
  auto cycle_start = Clock::now();
  double cycle_s = 0;
  for (;;) {
    std::string text = view.status_text();
    if (text != "publishing data" && text != "resetting connection") {
      cycle_s = seconds(cycle_start, Clock::now());
      break;
    }
    if (stop_requested || static_cast<int>(sent.size()) > capacity)
      return failed("cycle did not end");
    if (Clock::now() >= next) {
      sent.push_back(wall_now());
      client.publish(action_topic_of_lamp(), format("%.0f", kBase + (sent.size() - 1)));
      next += kCommandSpacing;
    }
    client.service();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const int last = static_cast<int>(sent.size()) - 1;
  if (!test_support::wait_until([&] { return watch.seen() >= last; }, std::chrono::seconds(120)))
    return failed("not every command landed", d.diagnostics());
  test_support::wait_until([&] { return !std::isnan(sub_arrivals(sub_path, last)[last]); },
                           std::chrono::seconds(10));

  std::vector<double> landed(sent.size());
  for (int i = 0; i <= last; ++i) landed[i] = watch.landed(i);
  std::vector<double> daemon_ms = latencies(sent, landed);
  std::vector<double> sub_ms = latencies(sent, sub_arrivals(sub_path, last));
  if (daemon_ms.empty() || sub_ms.empty()) return failed("no samples");
  note("latency N = %d: %d commands in a cycle of %.1f s; daemon p99 %.1f ms, sub p99 %.1f ms", n,
       last, cycle_s, percentile(daemon_ms, 99), percentile(sub_ms, 99));
  table.add({name, percentile(daemon_ms, 99), "ms", "<= 150 ms", kLatencyBudgetMs,
             format("median %.2f, max %.1f ms; %d commands, one per 100 ms of a %.1f s cycle",
                    median(daemon_ms), maximum(daemon_ms), last, cycle_s)});
  table.add({sub_name, percentile(sub_ms, 99), "ms", "", std::nullopt,
             format("median %.2f, max %.1f ms; %zu of %d received", median(sub_ms), maximum(sub_ms),
                    sub_ms.size(), last)});
  return true;
}

bool run_rate(int level, int k, Table& table) {
  const std::string name = format("sustained commands, log level %d", level);
  const std::string sub_name = "  mosquitto_sub, same stream";
  const std::string ratio_name = "  mosquitto_sub rate / daemon rate";
  const bool budget = level == 3;
  auto failed = [&](const std::string& why, const std::string& diagnostics = {}) {
    note("commands: %s%s", why.c_str(), stop_requested ? "" : diagnostics.c_str());
    table.add({name, std::nullopt, "/s", budget ? ">= 2000 /s" : "", std::nullopt, why});
    table.add({sub_name, std::nullopt, "/s", "", std::nullopt, why});
    table.add({ratio_name, std::nullopt, "x", "<= 2 x", kSubRatioBudget, why});
    return false;
  };
  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return failed("broker did not start");
  note_scenario("commands", s);
  test_support::BridgeConfig cfg = s.config();
  cfg.interval = std::string("5");
  cfg.loglevel = std::to_string(level);
  if (!add_ten_sensors(c, cfg) || !add_lamp(c, cfg) || !c.write_config(cfg))
    return failed("cannot prepare the controller");

  CommandRun run(s);
  if (run.why != nullptr) return failed(run.why, run.diagnostics());
  const std::string& sub_path = run.sub_path;
  ShmView& view = run.view;
  CommandClient& client = run.client;
  test_support::Daemon& d = *run.daemon;
  LandingWatch watch(view, kActorRealId, kBase, k);
  if (!warm_up(client, watch, sub_path)) return failed("warm-up command did not arrive");
  // The stream starts once the first cycle has published the ten sensors: from then on every
  // cycle finds nothing changed.
  if (!test_support::wait_until([&] { return view.status_text().starts_with("waiting"); },
                                std::chrono::seconds(30)) ||
      !test_support::wait_until([&] { return view.status_text().starts_with("OK: "); },
                                std::chrono::seconds(30)))
    return failed("no first cycle", d.diagnostics());

  const size_t mark = s.log().mark();
  const double t0 = wall_now();
  for (int i = 1; i <= k; ++i) {
    if (!client.publish(action_topic_of_lamp(), format("%.0f", kBase + i)))
      return failed("client cannot publish");
    if (i % 20 == 0) client.service();
  }
  // Up to 10 commands a second of patience, plus a margin.
  if (!test_support::wait_until(
          [&] {
            client.service();
            return watch.seen() >= k || stop_requested;
          },
          std::chrono::seconds(k / 10 + 30), std::chrono::milliseconds(1)) ||
      stop_requested)
    return failed(format("only %d of %d commands landed", watch.seen(), k), d.diagnostics());
  test_support::wait_until([&] { return !std::isnan(sub_arrivals(sub_path, k)[k]); },
                           std::chrono::seconds(30));
  std::vector<double> at = sub_arrivals(sub_path, k);
  const int sub_got = static_cast<int>(
      std::count_if(at.begin() + 1, at.end(), [](double t) { return !std::isnan(t); }));
  if (std::isnan(at[k])) return failed("mosquitto_sub missed the last command");

  const double daemon_rate = k / (watch.landed(k) - t0);
  const double sub_rate = k / (at[k] - t0);
  std::string lost = "last value landed";
  if (level >= kLogDebug) {
    const int lines = s.log().count("gesetzt auf", mark);
    lost += format("; %d of %d applied (log lines), %d lost", lines, k, k - lines);
  }
  note("rate at level %d: daemon %.0f /s, sub %.0f /s (%d of %d); %s", level, daemon_rate, sub_rate,
       sub_got, k, lost.c_str());
  table.add({name, daemon_rate, "/s", budget ? ">= 2000 /s" : "",
             budget ? std::optional<double>(kRateBudget) : std::nullopt,
             format("%d commands in %.3f s; %s", k, watch.landed(k) - t0, lost.c_str()), false,
             true});
  table.add({sub_name, sub_rate, "/s", "", std::nullopt,
             format("%d of %d received in %.3f s", sub_got, k, at[k] - t0)});
  table.add({ratio_name, sub_rate / daemon_rate, "x", "<= 2 x", kSubRatioBudget, ""});
  return true;
}

}  // namespace

bool run_commands(const Options& options, Table& table) {
  bool ok = true;
  for (int32_t n : {100, 500})
    if (!stop_requested) ok &= run_latency(n, table);
  for (int level : {3, 4})
    if (!stop_requested) ok &= run_rate(level, options.command_stream, table);
  return ok;
}

}  // namespace bench
