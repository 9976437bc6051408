// An idle daemon: interval 300, so it only counts down (ten session-loop wake-ups a second).
//
// CPU: utime + stime from /proc/PID/stat over the countdown, as a share of one core; the
// scheduler's own account (/proc/PID/schedstat, nanoseconds) is shown beside it because the tick
// counts are coarse over a few seconds.
//
// CPU with "heartbeat" and "diagnostics": 500 unchanged sensors, interval 5, heartbeat one hour,
// measured once the first cycle has published them all: every cycle visits 500 entries and sends
// the diagnostics message.
//
// Actor command latency: an in-process libmosquitto client, connected beforehand, publishes a
// command; this process then spins on the actor's command block until command.value changes.
// Every sample carries a value of its own, so each change belongs to exactly one publication.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "bench/bench.h"
#include "support/controller.h"

namespace bench {

namespace {

constexpr double kCpuBudgetPct = 0.5;
constexpr double kActorBudgetMs = 2.0;
constexpr int32_t kActorDbId = 2001;
constexpr int32_t kActorRealId = 20;
constexpr int kWarmUp = 5;
constexpr auto kSampleTimeout = std::chrono::seconds(2);

// Share of a core that `pid` used over `ms` milliseconds, from /proc/PID/schedstat.
std::optional<double> cpu_share(pid_t pid, int ms, double* wall) {
  auto ns0 = cpu_ns(pid);
  auto t0 = Clock::now();
  if (!pause_ms(ms)) return std::nullopt;
  auto ns1 = cpu_ns(pid);
  *wall = seconds(t0, Clock::now());
  if (!ns0 || !ns1) return std::nullopt;
  return static_cast<double>(*ns1 - *ns0) / 1e9 / *wall * 100.0;
}

bool health_cpu(const Options& options, Table& table) {
  const char* name = "CPU with heartbeat and diagnostics, 500 sensors";
  auto failed = [&](const std::string& why) {
    note("idle health: %s", why.c_str());
    table.add({name, std::nullopt, "% core", "<= 0.5 %", kCpuBudgetPct, why});
    return false;
  };
  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return failed("broker did not start");
  test_support::BridgeConfig cfg = s.config();
  for (int32_t id = 1001; id <= 1500; ++id) cfg.publish(id);
  const std::string keys = R"({"heartbeat":"3600","diagnostics":"on",)";
  // One line: 500 entries of "pub" fit within the 8183 characters of a section.
  std::string setup = keys + cfg.setup_json().substr(1);
  for (size_t at; (at = setup.find("\n    ")) != std::string::npos;) setup.erase(at, 5);
  if (!c.ctl_ok({"populate", "500"}) || !c.write_broker_access(cfg.access_json()) ||
      !c.write_broker_setup(setup))
    return failed("cannot prepare the controller");
  ShmView view(c.key_offset());
  if (!view.ok()) return failed("cannot attach the segments");
  test_support::Daemon& d = s.start_daemon();
  auto first_cycle_done = [&] { return view.status_text().rfind("OK: 500", 0) == 0; };
  if (!test_support::wait_until(first_cycle_done, std::chrono::seconds(120)))
    return failed("the first cycle did not publish 500 sensors: " + view.status_text());
  double wall = 0;
  auto pct = cpu_share(d.pid(), options.cpu_seconds * 1000, &wall);
  if (!pct) return failed("cannot read /proc/PID/schedstat");
  table.add({name, *pct, "% core", "<= 0.5 %", kCpuBudgetPct,
             format("schedstat over %.1f s after the first cycle; status \"%s\"", wall,
                    view.status_text().c_str())});
  return true;
}

// The CPU and latency figures of the idle daemon.
bool idle_figures(const Options& options, Table& table) {
  const char* cpu_name = "CPU while counting down";
  const std::string median_name =
      format("actor command to SHM, median of %d", options.actor_samples);
  const std::string p95_name = format("actor command to SHM, p95 of %d", options.actor_samples);
  bool cpu_done = false;
  auto failed = [&](const std::string& why, const std::string& diagnostics = {}) {
    note("idle: %s%s", why.c_str(), stop_requested ? "" : diagnostics.c_str());
    if (!cpu_done) table.add({cpu_name, std::nullopt, "% core", "<= 0.5 %", kCpuBudgetPct, why});
    table.add({median_name, std::nullopt, "ms", "<= 2 ms", kActorBudgetMs, why});
    table.add({p95_name, std::nullopt, "ms", "-", std::nullopt, why});
    return false;
  };

  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return failed("broker did not start");
  note_scenario("idle", s);

  test_support::BridgeConfig cfg = s.config();
  cfg.interval = "300";
  if (!add_ten_sensors(c, cfg)) return failed("k482916_ctl set failed");
  for (int32_t i = 0; i < 4; ++i) {
    int32_t id = kActorDbId + i;
    cfg.name(id, "actor" + std::to_string(i)).subscribe(id);
    if (!c.set(id, "0", {.type = 2, .real_id = kActorRealId + i}))
      return failed("k482916_ctl set failed");
  }
  if (!c.write_config(cfg)) return failed("cannot prepare the controller");

  ShmView view(c.key_offset());
  if (!view.ok()) return failed("cannot attach the segments");
  test_support::Daemon& d = s.start_daemon();
  if (!d.wait_main_loop()) return failed("daemon did not reach its main loop", d.diagnostics());
  // Let the start-up's last writes settle into the countdown.
  if (!pause_ms(1000)) return failed("stopped");

  // --- CPU while counting down ---
  const long ticks_per_s = sysconf(_SC_CLK_TCK);
  auto ticks0 = cpu_ticks(d.pid());
  auto ns0 = cpu_ns(d.pid());
  auto t0 = Clock::now();
  if (!pause_ms(options.cpu_seconds * 1000)) return failed("stopped");
  auto ticks1 = cpu_ticks(d.pid());
  auto ns1 = cpu_ns(d.pid());
  auto t1 = Clock::now();
  std::string state = view.status_text();
  if (!ticks0 || !ticks1) return failed("cannot read /proc/PID/stat");
  double wall = seconds(t0, t1);
  double pct =
      static_cast<double>(*ticks1 - *ticks0) / static_cast<double>(ticks_per_s) / wall * 100.0;
  std::string detail = format("%ld ticks of 1/%ld s in %.1f s; status \"%s\"", *ticks1 - *ticks0,
                              ticks_per_s, wall, state.c_str());
  note("cpu: %s", detail.c_str());
  table.add({cpu_name, pct, "% core", "<= 0.5 %", kCpuBudgetPct, detail});
  if (ns0 && ns1) {
    double ns = static_cast<double>(*ns1 - *ns0);
    table.add({"  the same from schedstat (ns resolution)", ns / 1e9 / wall * 100.0, "% core",
               "<= 0.5 %", kCpuBudgetPct, format("%.1f ms on a CPU in %.1f s", ns / 1e6, wall)});
  }
  cpu_done = true;

  // --- actor command latency ---
  test_support::ClientOptions client = s.broker().client();
  CommandClient commands;
  if (!commands.connect(client.port, client.user, client.password))
    return failed("command client cannot connect");
  const std::string topic = std::string(test_support::Scenario::kUser) + "/actor0/action";
  std::vector<double> samples;
  int missed = 0;
  double previous = view.command_value(kActorRealId);
  for (int i = 0; i < kWarmUp + options.actor_samples && !stop_requested; ++i) {
    double value = 1000.0 + i + 0.25;
    std::string payload = format("%.2f", value);
    auto start = Clock::now();
    if (!commands.publish(topic, payload)) return failed("command client cannot publish");
    bool changed = false;
    Clock::time_point seen;
    for (;;) {
      if (view.command_value(kActorRealId) != previous) {
        seen = Clock::now();
        changed = true;
        break;
      }
      if (Clock::now() - start > kSampleTimeout) break;
    }
    if (changed) {
      previous = view.command_value(kActorRealId);
      if (i >= kWarmUp) samples.push_back(seconds(start, seen) * 1000.0);
    } else if (i >= kWarmUp) {
      ++missed;
    }
    // Back to idle: the daemon waits in its session loop again before the next command.
    commands.service();
    pause_ms(3);
  }
  if (stop_requested) return failed("stopped");
  if (samples.empty()) return failed("no command reached the command block", d.diagnostics());
  std::vector<double> sorted = samples;
  std::sort(sorted.begin(), sorted.end());
  std::string info = format("min %.3f, max %.3f ms; %d missed; client publish to command.value",
                            sorted.front(), sorted.back(), missed);
  note("actor: median %.3f ms, p95 %.3f ms, %s", median(samples), percentile(samples, 95),
       info.c_str());
  table.add({median_name, median(samples), "ms", "<= 2 ms", kActorBudgetMs, info});
  table.add({p95_name, percentile(samples, 95), "ms", "-", std::nullopt, "for information"});
  return missed == 0;
}

}  // namespace

// One scenario after the other: they share the process's key offset.
bool run_idle(const Options& options, Table& table) {
  const bool idle = idle_figures(options, table);
  return health_cpu(options, table) && idle;
}

}  // namespace bench
