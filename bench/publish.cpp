// Publish cycles of N changed sensors, and the peak memory of the daemon that ran them.
//
// One daemon with 50 configured sensors and interval 5 (the shortest). Before each cycle the
// controller tool changes the values of the first N sensors; the others stay and cost only the
// shared-memory search. A cycle is timed in the status entry, from "publishing data" to
// "OK: N sensors published"; every publication waits at least one 100-ms poll for its
// acknowledgement, so N x 100 ms is the floor.
//
// Memory: after the timed cycles the daemon gets a burst of actor commands and one more cycle of
// 50 publications; then its VmHWM is compared with that of a mosquitto_sub that was subscribed to
// everything on the same broker the whole time.
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench/bench.h"
#include "support/controller.h"

namespace bench {

namespace {

constexpr int32_t kSensors = 50;
constexpr int32_t kFirstSensor = 1001;
constexpr int32_t kFirstActor = 2001;
constexpr int32_t kActors = 4;
constexpr double kCycleBudget = 1.03;  // times the floor
constexpr double kMemoryBudget = 1.2;  // times mosquitto_sub
constexpr auto kPoll = std::chrono::microseconds(250);
constexpr auto kCycleStartTimeout = std::chrono::seconds(30);
constexpr auto kCycleTimeout = std::chrono::seconds(60);

struct Cycle {
  bool ok = false;
  std::string why;  // when not ok
  double ms = 0;
  int published = -1;
  bool reset = false;  // the cycle rebuilt the connection first
};

Cycle failed_cycle(const char* why) {
  Cycle c;
  c.why = why;
  return c;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Waits for the next cycle and times it in the status entry.
Cycle time_cycle(const ShmView& view, test_support::Daemon& d) {
  Cycle c;
  auto begin = Clock::now();
  for (int polls = 0;; ++polls) {
    if (stop_requested) return failed_cycle("stopped");
    if (view.status_text() == "publishing data") break;
    if (Clock::now() - begin > kCycleStartTimeout) return failed_cycle("no cycle began");
    if (polls % 200 == 0 && !d.running()) return failed_cycle("daemon ended");
    std::this_thread::sleep_for(kPoll);
  }
  auto t0 = Clock::now();
  std::string text;
  for (;;) {
    if (stop_requested) return failed_cycle("stopped");
    text = view.status_text();
    if (starts_with(text, "OK: ") || text == "No sensors published") break;
    if (text == "resetting connection") c.reset = true;
    if (Clock::now() - t0 > kCycleTimeout) return failed_cycle("cycle did not end");
    std::this_thread::sleep_for(kPoll);
  }
  c.ms = seconds(t0, Clock::now()) * 1000.0;
  if (starts_with(text, "OK: ")) c.published = std::atoi(text.c_str() + 4);
  c.ok = true;
  return c;
}

// Gives the first n sensors new values, each at least 1.0 away from any value they had before.
bool change_values(const test_support::ToolController& c, int32_t n, int round) {
  for (int32_t i = 0; i < n; ++i)
    if (!c.set(kFirstSensor + i, format("%.2f", 20.0 + round + i * 0.01), {.unit = "C"}))
      return false;
  return true;
}

}  // namespace

bool run_publish(const Options& options, Table& table) {
  const std::vector<int32_t> sizes{10, 50};
  auto cycle_name = [](int32_t n) { return format("publish cycle, N = %d, median", n); };
  const char* mem_name = "peak resident memory vs mosquitto_sub";
  bool cycles_done = false;
  auto failed = [&](const std::string& why, const std::string& diagnostics = {}) {
    note("publish: %s%s", why.c_str(), stop_requested ? "" : diagnostics.c_str());
    for (int32_t n : sizes)
      if (!cycles_done)
        table.add({cycle_name(n), std::nullopt, "x floor", "<= 1.03 x floor", kCycleBudget, why});
    table.add({mem_name, std::nullopt, "x", "<= 1.2 x", kMemoryBudget, why});
    return false;
  };

  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return failed("broker did not start");
  note_scenario("publish", s);

  test_support::BridgeConfig cfg = s.config();
  // (a std::string, not a literal: g++ 12 at -O3 warns falsely on the literal's assignment)
  cfg.interval = std::string("5");
  for (int32_t i = 0; i < kSensors; ++i) {
    int32_t id = kFirstSensor + i;
    cfg.name(id, "sensor" + std::to_string(i)).publish(id);
  }
  for (int32_t i = 0; i < kActors; ++i) {
    int32_t id = kFirstActor + i;
    cfg.name(id, "actor" + std::to_string(i)).subscribe(id);
    if (!c.set(id, "0", {.type = 2})) return failed("k482916_ctl set failed");
  }
  if (!c.write_config(cfg) || !change_values(c, kSensors, 0))
    return failed("cannot prepare the controller");

  // The comparison process: a subscriber to everything, for the whole life of the daemon.
  test_support::ClientOptions client = s.broker().client();
  ChildGuard sub;
  sub.pid = test_support::spawn(
      {test_support::kMosquittoSub, "-h", "127.0.0.1", "-p", std::to_string(client.port), "-u",
       client.user, "-P", client.password, "-q", "0", "-t", "#", "-v"},
      "", "");
  if (sub.pid < 0) return failed("cannot start mosquitto_sub");

  ShmView view(c.key_offset());
  if (!view.ok()) return failed("cannot attach the segments");
  test_support::Daemon& d = s.start_daemon();
  if (!d.wait_main_loop()) return failed("daemon did not reach its main loop", d.diagnostics());

  // The first cycle publishes every sensor (no value published yet), then rounds of 10 and 50.
  std::vector<int32_t> plan{kSensors};
  for (int r = 0; r < options.publish_rounds; ++r)
    plan.insert(plan.end(), sizes.begin(), sizes.end());
  std::vector<double> ratios[2];
  std::vector<double> durations[2];
  std::string problems;
  for (size_t k = 0; k < plan.size(); ++k) {
    int32_t n = plan[k];
    size_t mark = s.log().mark();
    Cycle cycle = time_cycle(view, d);
    if (!cycle.ok) return failed(cycle.why, d.diagnostics());
    // The next cycle's changes, made while the daemon sleeps and counts down.
    if (k + 1 < plan.size() && !change_values(c, plan[k + 1], static_cast<int>(k) + 1))
      return failed("k482916_ctl set failed");
    int acks = s.log().count("mqtt_publish: Rueckmeldung vom Callback", mark);
    int timeouts = s.log().count("mqtt_publish: Timeout reached", mark);
    double floor_ms = n * 100.0;
    note("publish cycle %zu: N = %d, %.1f ms (floor %.0f ms, %.4f x)%s%s", k + 1, n, cycle.ms,
         floor_ms, cycle.ms / floor_ms, cycle.reset ? ", connection rebuilt" : "",
         timeouts > 0 ? ", timeouts" : "");
    if (cycle.published != n || acks != n || timeouts != 0 || cycle.reset) {
      problems += format(" cycle %zu: %d published, %d acknowledged, %d timeouts%s;", k + 1,
                         cycle.published, acks, timeouts, cycle.reset ? ", rebuilt" : "");
      continue;
    }
    int slot = n == sizes[0] ? 0 : 1;
    ratios[slot].push_back(cycle.ms / floor_ms);
    durations[slot].push_back(cycle.ms);
  }
  for (int slot = 0; slot < 2; ++slot) {
    int32_t n = sizes[slot];
    if (ratios[slot].empty()) {
      table.add({cycle_name(n), std::nullopt, "x floor", "<= 1.03 x floor", kCycleBudget,
                 "no clean cycle:" + problems});
      continue;
    }
    table.add({cycle_name(n), median(ratios[slot]), "x floor", "<= 1.03 x floor", kCycleBudget,
               format("floor %d ms; cycles: %s ms%s", n * 100, join(durations[slot], 1).c_str(),
                      problems.empty() ? "" : (";" + problems).c_str())});
  }

  cycles_done = true;

  // Work for the memory figure: a burst of actor commands, then one more cycle of 50.
  if (!change_values(c, kSensors, static_cast<int>(plan.size()) + 1))
    return failed("k482916_ctl set failed");
  CommandClient commands;
  if (!commands.connect(client.port, client.user, client.password))
    return failed("command client cannot connect");
  size_t mark = s.log().mark();
  for (int i = 0; i < options.command_burst; ++i) {
    std::string topic = std::string(test_support::Scenario::kUser) + "/actor" +
                        std::to_string(i % kActors) + "/action";
    if (!commands.publish(topic, format("%.2f", 100.0 + i * 0.25)))
      return failed("command client cannot publish");
    if (i % 20 == 19) {
      commands.service();
      pause_ms(2);
    }
  }
  Cycle work = time_cycle(view, d);
  if (!work.ok) return failed("work cycle: " + work.why, d.diagnostics());
  if (!test_support::wait_until(
          [&] {
            return stop_requested || s.log().count("gesetzt auf", mark) >= options.command_burst;
          },
          std::chrono::seconds(30)) ||
      stop_requested)
    return failed("not every command reached the daemon", d.diagnostics());

  auto daemon_kb = vm_hwm_kb(d.pid());
  auto sub_kb = vm_hwm_kb(sub.pid);
  if (!daemon_kb || !sub_kb || *sub_kb <= 0) return failed("cannot read VmHWM");
  note(
      "memory: daemon VmHWM %ld kB after %zu cycles and %d commands (now %s); mosquitto_sub "
      "%ld kB (now %s)",
      *daemon_kb, plan.size() + 1, options.command_burst, rss_parts(d.pid()).c_str(), *sub_kb,
      rss_parts(sub.pid).c_str());
  table.add({mem_name, static_cast<double>(*daemon_kb) / static_cast<double>(*sub_kb), "x",
             "<= 1.2 x", kMemoryBudget,
             format("VmHWM daemon %ld kB, mosquitto_sub %ld kB (%zu cycles, %d commands)",
                    *daemon_kb, *sub_kb, plan.size() + 1, options.command_burst)});
  // Where the difference lies, from the current resident sets (the peak has no breakdown).
  table.add({"  resident now, beyond mosquitto_sub", std::nullopt, "", "", std::nullopt,
             rss_excess(d.pid(), sub.pid, 4), true});
  return true;
}

}  // namespace bench
