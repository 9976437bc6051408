// Home Assistant discovery at the largest setup file: 470 published sensors that are also
// subscribed actors, that is 940 retained announcements after the full configuration read. Their
// cost is the start-up time (exec to status "running") with the "discovery" key minus the start-up
// time without it, runs alternating; then the announcements that reached the broker in the last run
// are counted.
//
// With "classes": the announcements of 20 sensors with common units are judged by Home Assistant's
// own tables (the units each sensor device class accepts and the state classes each accepts,
// copied below independently of the daemon's table); with "heartbeat" a sensor set into error is
// timed until Home Assistant would show it unavailable (its last publication plus expire_after).
#include <map>
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

// Home Assistant's sensor component: units per device class (DEVICE_CLASS_UNITS) and state classes
// per device class (DEVICE_CLASS_STATE_CLASSES), for the classes whose units the controller uses.
const std::map<std::string, std::set<std::string>> kHaUnits = {
    {"temperature", {"\u00b0C", "\u00b0F", "K"}},
    {"power", {"mW", "W", "kW", "MW", "GW", "TW", "BTU/h"}},
    {"energy", {"J", "kJ", "MJ", "GJ", "mWh", "Wh", "kWh", "MWh", "GWh", "TWh", "cal", "kcal"}},
    {"energy_storage", {"J", "kJ", "MJ", "GJ", "mWh", "Wh", "kWh", "MWh", "GWh", "TWh"}},
    {"voltage", {"\u00b5V", "mV", "V", "kV", "MV"}},
    {"current", {"mA", "A"}},
    {"illuminance", {"lx"}},
    {"pressure", {"Pa", "hPa", "kPa", "bar", "cbar", "mbar", "mmHg", "inHg", "psi"}},
    {"atmospheric_pressure", {"Pa", "hPa", "kPa", "bar", "cbar", "mbar", "mmHg", "inHg", "psi"}},
    {"carbon_dioxide", {"ppm"}},
    {"carbon_monoxide", {"ppm"}},
    {"frequency", {"Hz", "kHz", "MHz", "GHz"}},
    {"humidity", {"%"}},
    {"battery", {"%"}},
    {"moisture", {"%"}},
    {"power_factor", {"%"}},
    {"gas", {"m\u00b3", "ft\u00b3", "CCF"}},
    {"water", {"m\u00b3", "L", "gal", "ft\u00b3", "CCF"}},
    {"volume", {"m\u00b3", "L", "mL", "gal", "ft\u00b3", "CCF"}},
    {"speed", {"m/s", "km/h", "mph", "ft/s", "kn", "mm/h", "mm/s", "in/h"}},
    {"wind_speed", {"m/s", "km/h", "mph", "ft/s", "kn"}},
    {"distance", {"km", "m", "cm", "mm", "mi", "yd", "in", "ft"}},
    {"precipitation", {"cm", "in", "mm"}},
    {"duration", {"d", "h", "min", "s", "ms"}},
    {"signal_strength", {"dB", "dBm"}},
    {"volume_flow_rate", {"m\u00b3/h", "L/min", "gal/min"}},
};
const std::set<std::string> kMeasurementOnly = {"measurement"};
const std::map<std::string, std::set<std::string>> kHaStateClasses = {
    {"energy", {"total", "total_increasing"}},
    {"gas", {"total", "total_increasing"}},
    {"water", {"total", "total_increasing"}},
    {"volume", {"total", "total_increasing"}},
    {"distance", {"measurement", "total", "total_increasing"}},
    {"duration", {"measurement", "total", "total_increasing"}},
    {"precipitation", {"measurement", "total", "total_increasing"}},
};
// 20 units a controller's sensors carry, as the controller writes them (Latin-1).
const char* const kCommonUnits[] = {"\260C", "\260F", "%",    "kWh", "Wh",  "W",  "kW",
                                    "V",     "A",     "mA",   "hPa", "bar", "lx", "ppm",
                                    "m\263", "Hz",    "km/h", "mm",  "s",   "l/h"};

// The value of "key":"..." in a JSON text without escapes, or "".
std::string json_value(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 4;
  return json.substr(from, json.find('"', from) - from);
}

// Announcements of kCommonUnits judged by kHaUnits and kHaStateClasses; then one sensor in error
// timed until it expires. Adds four figures.
bool class_figures(Table& table) {
  const std::string accepted_name = "announcements Home Assistant's class tables accept, 20 units";
  const std::string single_name = "units with exactly one device class that carry it";
  const std::string state_name = "sensors with state_class (long-term statistics)";
  const std::string expire_name = "sensor set into error: time until unavailable";
  auto failed = [&](const std::string& why) {
    note("discovery classes: %s", why.c_str());
    for (const std::string* n : {&accepted_name, &single_name, &state_name})
      table.add({*n, std::nullopt, "%", "= 100 %", std::nullopt, why});
    table.add({expire_name, std::nullopt, "s", "<= expire_after", std::nullopt, why});
    return false;
  };
  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  if (!s.broker().running()) return failed("broker did not start");
  test_support::BridgeConfig cfg = s.config();
  const int32_t n = static_cast<int32_t>(std::size(kCommonUnits));
  for (int32_t i = 0; i < n; ++i) {
    cfg.name(1001 + i, format("unit%d", static_cast<int>(i))).publish(1001 + i);
    if (!c.set(1001 + i, "20.5", {.unit = std::string(kCommonUnits[i])}))
      return failed("k482916_ctl set failed");
  }
  const std::string keys = R"({"discovery":"homeassistant","classes":"on","heartbeat":"5",)";
  if (!c.write_broker_access(cfg.access_json()) ||
      !c.write_broker_setup(keys + cfg.setup_json().substr(1)))
    return failed("cannot write the configuration");
  auto all = s.subscribe("#");
  s.start_daemon();
  const std::string user = test_support::Scenario::kUser;
  if (!all->wait_for_line(user + "/1020 ", 30000)) return failed("no publication");

  int accepted = 0, singles = 0, single_hits = 0, with_state = 0, expire_after = 0;
  for (int32_t i = 0; i < n; ++i) {
    const std::string topic =
        format("homeassistant/sensor/%s/%d/config", user.c_str(), static_cast<int>(1001 + i));
    auto got = test_support::received_on(*all, topic);
    if (got.empty()) return failed("announcement missing: " + topic);
    const std::string& a = got[0].payload;
    const std::string unit = json_value(a, "unit_of_measurement");
    const std::string dc = json_value(a, "device_class");
    const std::string sc = json_value(a, "state_class");
    if (expire_after == 0 && a.find("\"expire_after\":") != std::string::npos)
      expire_after = std::stoi(a.substr(a.find("\"expire_after\":") + 15));
    std::vector<std::string> classes;
    for (const auto& [name, units] : kHaUnits)
      if (units.count(unit) != 0) classes.push_back(name);
    const auto states = kHaStateClasses.find(dc);
    const std::set<std::string>& allowed =
        states != kHaStateClasses.end() ? states->second : kMeasurementOnly;
    accepted += dc.empty() || (kHaUnits.count(dc) != 0 && kHaUnits.at(dc).count(unit) != 0 &&
                               (sc.empty() || allowed.count(sc) != 0));
    singles += classes.size() == 1;
    single_hits += classes.size() == 1 && dc == classes[0];
    with_state += !sc.empty();
  }
  table.add({accepted_name, 100.0 * accepted / n, "%", "= 100 %", 100.0,
             format("%d of %d", accepted, static_cast<int>(n)), false, true});
  table.add({single_name, 100.0 * single_hits / std::max(singles, 1), "%", "= 100 %", 100.0,
             format("%d of %d", single_hits, singles), false, true});
  table.add({state_name, 100.0 * with_state / n, "%", "= 100 %", 100.0,
             format("%d of %d", with_state, static_cast<int>(n)), false, true});

  // The first sensor into error right after one of its publications (a heartbeat): Home
  // Assistant shows it unavailable expire_after seconds after the last one it got.
  const std::string own = user + "/1001";
  auto count = [&] { return test_support::received_on(*all, own).size(); };
  auto watch = [&](size_t since, int ms, Clock::time_point* last) {
    for (auto t0 = Clock::now(); Clock::now() - t0 < std::chrono::milliseconds(ms);) {
      if (count() > since) {
        since = count();
        *last = Clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return since;
  };
  Clock::time_point last_publication{};
  const size_t before = count();
  for (auto t0 = Clock::now(); count() == before && Clock::now() - t0 < std::chrono::seconds(20);)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (count() == before || expire_after == 0) return failed("no heartbeat or no expire_after");
  last_publication = Clock::now();
  const auto error_at = Clock::now();
  if (!c.set(1001, "20.5", {.unit = std::string(kCommonUnits[0]), .error = 3}))
    return failed("k482916_ctl set failed");
  const size_t at_error = count();
  const size_t late = watch(at_error, 1000 * (expire_after + 2), &last_publication) - at_error;
  const double until = seconds(error_at, last_publication) + expire_after;
  table.add(
      {expire_name, until, "s", format("<= %d s (expire_after)", expire_after),
       static_cast<double>(expire_after),
       format("%zu publications after the error in %d s; then none", late, expire_after + 2)});
  return true;
}

// The start-up cost and the count of the announcements.
bool cost_figures(const Options& options, Table& table) {
  const std::string name_cost = "start-up cost of 940 announcements with classes, median";
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
  std::string with = "{\"discovery\":\"homeassistant\",\"classes\":\"on\",";
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
  table.add({name_cost, median(on) - median(off), "s", "<= 0.1 s", 0.1,
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

}  // namespace

// One scenario after the other: they share the process's key offset.
bool run_discovery(const Options& options, Table& table) {
  const bool cost = cost_figures(options, table);
  return class_figures(table) && cost;
}

}  // namespace bench
