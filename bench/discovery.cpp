// Home Assistant discovery at the largest setup file: 470 published sensors that are also
// subscribed actors, that is 940 retained announcements after the full configuration read. Their
// cost is the start-up time (exec to status "running") with the "discovery" key minus the start-up
// time without it, runs alternating; then the announcements that reached the broker in the last run
// are counted.
#include <set>
#include <sstream>
#include <thread>

#include "bench/bench.h"
#include "support/controller.h"

namespace bench {

namespace {

constexpr int32_t kEntries = 470;
constexpr size_t kAnnouncements = 2 * kEntries;
constexpr auto kRunTimeout = std::chrono::seconds(60);
constexpr auto kPoll = std::chrono::microseconds(250);

}  // namespace

bool run_discovery(const Options& options, Table& table) {
  const std::string name_cost = "start-up cost of 940 announcements, median";
  const std::string name_count = "announcements received by the broker";
  auto failed = [&](const std::string& why) {
    note("discovery: %s", why.c_str());
    table.add({name_cost, std::nullopt, "s", "info", std::nullopt, why});
    table.add({name_count, std::nullopt, "", "= 940", std::nullopt, why});
    return false;
  };

  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return failed("broker did not start");
  note_scenario("discovery", s);
  // A compact setup file: with 470 entries, each a call name and selected in "pub" and "sub", it
  // stays within the 16383 bytes that the daemon reads.
  test_support::BridgeConfig cfg = s.config();
  std::string calls, selected;
  for (int32_t id = 1; id <= kEntries; ++id) {
    const std::string quoted = format("\"%d\"", static_cast<int>(id));
    const std::string sep = id > 1 ? "," : "";
    calls += sep + quoted + ":" + quoted;
    selected += sep + quoted + ":\"on\"";
  }
  const std::string without =
      "{\"ACTIV\":\"1\",\"loglevel\":\"4\",\"interval\":\"300\",\"call\":{" + calls +
      "},\"pub\":{" + selected + "},\"sub\":{" + selected + "}}";
  std::string with = "{\"discovery\":\"homeassistant\",";
  with += without.substr(1);
  if (with.size() > 16383) return failed("setup file too long");
  if (!c.write_broker_access(cfg.access_json())) return failed("cannot write the configuration");
  ShmView view(c.key_offset());
  if (!view.ok()) return failed("cannot attach the segments");

  // Seconds from exec to "running" (or the countdown that follows it) with this setup file.
  auto startup = [&](const std::string& setup) -> std::optional<double> {
    if (!c.write_broker_setup(setup) || !c.write_status(status_entry{})) return std::nullopt;
    auto t0 = Clock::now();
    test_support::Daemon& d = s.start_daemon();
    while (!stop_requested && Clock::now() - t0 < kRunTimeout) {
      std::string text = view.status_text();
      if (text == "running" || text.rfind("waiting ", 0) == 0) {
        auto t1 = Clock::now();
        pause_ms(2000);  // the main loop goes on servicing the session
        d.kill();
        return seconds(t0, t1);
      }
      std::this_thread::sleep_for(kPoll);
    }
    note("discovery: no \"running\"%s", d.diagnostics().c_str());
    return std::nullopt;
  };
  std::vector<double> off, on;
  size_t last_run = 0;
  for (int run = 0; run < options.startup_runs && !stop_requested; ++run) {
    auto a = startup(without);
    last_run = s.broker().log().size();
    auto b = startup(with);
    if (!a || !b) return failed("a start-up did not reach \"running\"");
    off.push_back(*a);
    on.push_back(*b);
    note("discovery run %d: %.3f s without, %.3f s with the key", run + 1, *a, *b);
  }
  if (on.empty()) return failed("no run");
  table.add({name_cost, median(on) - median(off), "s", "info", std::nullopt,
             format("with: %s s; without: %s s", join(on, 3).c_str(), join(off, 3).c_str())});

  // The announcements of the last run that reached the broker, from its log of received messages.
  std::set<std::string> topics;
  std::istringstream lines(s.broker().log().substr(last_run));
  const std::string from = std::string("Received PUBLISH from ") + test_support::Scenario::kUser;
  for (std::string line; std::getline(lines, line);) {
    const size_t at =
        line.find(from) != std::string::npos ? line.find("'homeassistant/") : line.npos;
    if (at != line.npos) topics.insert(line.substr(at, line.find('\'', at + 1) - at));
  }
  table.add({name_count, static_cast<double>(topics.size()), "", "= 940", std::nullopt,
             "distinct topics the broker received in the last run"});
  return true;
}

}  // namespace bench
