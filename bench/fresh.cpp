// How fresh published values are, side by side for two daemons of one run: today's set-up
// (interval 5) and the same set-up with the key "scan":"1" (a publish cycle every second, each
// publication waiting only until its acknowledgement); a daemon that does not know the key runs as
// today's. Each daemon has 500 populated sensors, all configured for publishing, and one actor, at
// log level 3 as a controller in service runs. The sensors start in error (no reading yet), so
// the first cycle publishes nothing. Then, measured at a mosquitto_sub on "<uuid>/+" (its %U time
// stamps): single changes written into the sensor table at random moments of the cycle, each
// timed until its value arrives on "<uuid>/<DB id>"; a cycle in which 100, then all 500 sensors
// changed at once (first to last publication; the status texts beside it), during the second of
// which an in-process client sends an actor command every 20 ms, timed from its publish to the
// actor's command block; how many of the burst's 1,000 publications arrived; and the daemon's CPU
// (schedstat) while its 500 sensors stay unchanged.
//
// The cycle phase of a single change: after a publication the next change waits a random part of
// the cycle period, which is learned from the samples themselves (wait + latency of a sample is
// one period), so no status text is needed to find the cycle. Changes of a whole cycle are
// written half a period after the previous cycle's last publication, clear of both cycles.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "bench/bench.h"
#include "shm/shm.h"
#include "support/controller.h"

namespace bench {

namespace {

constexpr int32_t kSensors = 500;
constexpr int32_t kFirstSensor = 1001;  // populated DB ids 1001..1500
constexpr int32_t kLampDbId = 2001;
constexpr int32_t kLampRealId = 511;  // clear of the populated sensors
constexpr double kCommandBase = 10000.0;
constexpr auto kCommandSpacing = std::chrono::milliseconds(20);
constexpr int kCommandCapacity = 8000;  // 160 s of commands
constexpr int kMinChanges = 10;
constexpr int kMaxChanges = 40;
constexpr double kChangeBudgetS = 90.0;  // time given to the single changes of one daemon
constexpr auto kCycleTimeout = std::chrono::seconds(150);
constexpr unsigned kSeed = 482916;  // the same moments for both daemons

// The messages of a mosquitto_sub printing "%U %t %p", read as its file grows.
class SubLog {
 public:
  struct Message {
    double t;
    std::string topic;
    std::string value;  // the payload's "value" text
  };
  explicit SubLog(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  const std::vector<Message>& messages() const { return messages_; }

  // Parses the complete lines added since the last call.
  void read_new() {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    for (std::string line; std::getline(in, line) && !in.eof();) {
      offset_ += line.size() + 1;
      const size_t a = line.find(' ');
      const size_t b = a == line.npos ? a : line.find(' ', a + 1);
      const size_t v = b == line.npos ? b : line.find("\"value\":\"", b);
      if (v == line.npos) continue;
      const size_t from = v + 9;
      messages_.push_back({std::strtod(line.c_str(), nullptr), line.substr(a + 1, b - a - 1),
                           line.substr(from, line.find('"', from) - from)});
    }
  }

 private:
  std::string path_;
  size_t offset_ = 0;
  std::vector<Message> messages_;
};

// The controller's sensor table at a key offset, attached for writing, as the controller's own
// processes write it.
class SensorTable {
 public:
  explicit SensorTable(int32_t key_offset) {
    int id = shmget(kKeySensordata + key_offset, kSizeSensordata, 0);
    void* p = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
    if (p != reinterpret_cast<void*>(-1)) table_ = static_cast<sensor_record*>(p);
  }
  ~SensorTable() {
    if (table_ != nullptr) shmdt(table_);
  }
  SensorTable(const SensorTable&) = delete;
  SensorTable& operator=(const SensorTable&) = delete;

  bool ok() const { return table_ != nullptr; }
  int32_t real_id(int32_t db_id) const {
    for (int32_t i = 0; i < kSensorCount; ++i)
      if (table_[i].db_id == db_id) return i;
    return -1;
  }
  // A new reading: the value block first, the error code last, so that a reader never takes the
  // old value of an entry in error for valid.
  void write(int32_t real_id, double value, int32_t error) {
    sensor_record& e = table_[real_id];
    value_block_write(e.type == kEntrySensor ? &e.value1 : &e.value2, value,
                      static_cast<int32_t>(time(nullptr)));
    *static_cast<volatile int32_t*>(&e.error_code) = error;
  }

 private:
  sensor_record* table_ = nullptr;
};

// The two daemons.
struct Variant {
  const char* label;
  const char* scan;  // value of "scan", null: no key
};
constexpr Variant kVariants[] = {{"today", nullptr}, {"\"scan\":\"1\"", "1"}};

// What one daemon gave; a figure that could not be measured stays empty.
struct Outcome {
  std::vector<double> change_s;      // single change to its publication
  double period_s = 0;               // cycle period learned from the single changes
  std::optional<double> cycle_s[2];  // first to last publication, 100 and 500 changed
  std::string cycle_detail[2];
  std::optional<double> received;  // of the 500-sensor burst
  std::vector<double> command_ms;
  std::optional<double> cpu_pct;
  std::string cpu_detail;
  std::string why;  // what stopped the run; empty when it ran through
};

// One daemon with its broker, controller, subscriber and command client.
class FreshRun {
 public:
  FreshRun(const Variant& variant, const Options& options, Outcome& out)
      : variant_(variant), options_(options), out_(out) {}
  bool run();

 private:
  bool fail(const std::string& why) {
    out_.why = why;
    note("fresh %s: %s%s", variant_.label, why.c_str(),
         stop_requested || daemon_ == nullptr ? "" : daemon_->diagnostics().c_str());
    return false;
  }
  bool prepare();
  bool single_changes();
  bool changed_cycle(int slot, int32_t n, bool with_commands);
  bool idle_cpu();
  std::string topic_of(int32_t db_id) const {
    return std::string(test_support::Scenario::kUser) + "/" + std::to_string(db_id);
  }
  std::string topic_of_name(int32_t i) const {
    return std::string(test_support::Scenario::kUser) + "/s" + std::to_string(i);
  }
  // Waits `s` seconds from the publication at wall time `after`; false on a stop.
  bool wait_from(double after, double s) {
    const double left = after + s - wall_now();
    return left <= 0 || pause_ms(static_cast<int>(left * 1000.0));
  }

  const Variant& variant_;
  const Options& options_;
  Outcome& out_;
  test_support::Scenario s_;
  std::unique_ptr<SubLog> sub_;
  ChildGuard sub_pid_;
  std::unique_ptr<ShmView> view_;
  std::unique_ptr<SensorTable> table_;
  CommandClient client_;
  std::unique_ptr<LandingWatch> watch_;
  test_support::Daemon* daemon_ = nullptr;
  std::vector<int32_t> real_ids_;
  double next_value_ = 100.0;  // every written value differs from all before it
  double last_publication_ = 0;
};

bool FreshRun::prepare() {
  test_support::ToolController& c = s_.controller();
  if (!s_.broker().running()) return fail("broker did not start");
  note_scenario("fresh", s_);
  test_support::BridgeConfig cfg = s_.config();
  cfg.interval = std::string("5");
  cfg.loglevel = std::string("3");
  cfg.name(kLampDbId, "lamp").subscribe(kLampDbId);
  for (int32_t i = 0; i < kSensors; ++i)
    cfg.name(kFirstSensor + i, format("s%d", i)).publish(kFirstSensor + i);
  // No line breaks, so that 500 entries fit a section and the file; the opt-in key after the
  // keys that are found by their bare name.
  std::string setup = cfg.setup_json();
  for (size_t at; (at = setup.find("\n    ")) != std::string::npos;) setup.erase(at, 5);
  if (variant_.scan != nullptr) {
    const size_t at = setup.find('"', setup.find("\"threshold\":\"") + 13);
    setup.insert(at + 1, format(",\"scan\":\"%s\"", variant_.scan));
  }
  if (!c.set(kLampDbId, "0", {.type = 2, .real_id = kLampRealId}) ||
      !c.ctl_ok({"populate", std::to_string(kSensors)}) ||
      !c.write_broker_access(cfg.access_json()) || !c.write_broker_setup(setup))
    return fail("cannot prepare the controller");
  table_ = std::make_unique<SensorTable>(c.key_offset());
  view_ = std::make_unique<ShmView>(c.key_offset());
  if (!table_->ok() || !view_->ok()) return fail("cannot attach the segments");
  for (int32_t i = 0; i < kSensors; ++i) {
    real_ids_.push_back(table_->real_id(kFirstSensor + i));
    if (real_ids_.back() < 0) return fail("a populated sensor is missing");
    table_->write(real_ids_.back(), 0.0, 1);
  }

  sub_ = std::make_unique<SubLog>(c.root() + "/sub.txt");
  test_support::ClientOptions opts = s_.broker().client();
  sub_pid_.pid = test_support::spawn(
      {test_support::kMosquittoSub, "-h", "127.0.0.1", "-p", std::to_string(opts.port), "-u",
       opts.user, "-P", opts.password, "-q", "0", "-t",
       std::string(test_support::Scenario::kUser) + "/+", "-F", "%U %t %p"},
      sub_->path(), "", {});
  if (sub_pid_.pid < 0) return fail("cannot start mosquitto_sub");
  daemon_ = &s_.start_daemon();
  if (!daemon_->wait_main_loop()) return fail("daemon did not reach its main loop");
  if (!client_.connect(opts.port, opts.user, opts.password))
    return fail("command client cannot connect");
  // Command 0 until it lands: the daemon has subscribed the lamp.
  watch_ = std::make_unique<LandingWatch>(*view_, kLampRealId, kCommandBase, kCommandCapacity);
  const std::string action = std::string(test_support::Scenario::kUser) + "/lamp/action";
  for (auto end = Clock::now() + std::chrono::seconds(20); watch_->seen() < 0;) {
    if (stop_requested || Clock::now() > end) return fail("warm-up command did not land");
    client_.publish(action, format("%.0f", kCommandBase));
    test_support::wait_until([&] { return watch_->seen() >= 0; }, std::chrono::milliseconds(1000));
  }
  return true;
}

bool FreshRun::single_changes() {
  std::mt19937 rng(kSeed);
  std::uniform_real_distribution<double> phase(0.0, 1.0);
  const auto start = Clock::now();
  double wait_s = 0;
  for (int i = 0; i < kMaxChanges && i < kSensors; ++i) {
    if (i >= kMinChanges && seconds(start, Clock::now()) + out_.period_s > kChangeBudgetS) break;
    if (i > 0 && !wait_from(last_publication_, wait_s)) return fail("stopped");
    const int32_t db_id = kFirstSensor + i;
    const double value = next_value_++;
    const std::string topic = topic_of(db_id), text = format("%.2f", value);
    const size_t from = sub_->messages().size();
    const double t0 = wall_now();
    table_->write(real_ids_[i], value, 0);
    // Four cycle periods, and at least 20 s.
    const auto timeout =
        std::chrono::milliseconds(static_cast<long>(std::max(20.0, 4.0 * out_.period_s) * 1000.0));
    double seen = NAN;
    test_support::wait_until(
        [&] {
          sub_->read_new();
          const auto& m = sub_->messages();
          for (size_t k = from; k < m.size() && std::isnan(seen); ++k)
            if (m[k].topic == topic && m[k].value == text) seen = m[k].t;
          return !std::isnan(seen) || stop_requested;
        },
        timeout, std::chrono::milliseconds(5));
    if (std::isnan(seen)) return fail(format("change %d was not published", i + 1));
    const double waited = i > 0 ? t0 - last_publication_ : 0.0;
    out_.change_s.push_back(seen - t0);
    out_.period_s = std::max(out_.period_s, waited + (seen - t0));
    last_publication_ = seen;
    wait_s = phase(rng) * out_.period_s;
  }
  note("fresh %s: %zu single changes, median %.3f s, max %.3f s; cycle period %.2f s",
       variant_.label, out_.change_s.size(), median(out_.change_s), maximum(out_.change_s),
       out_.period_s);
  return true;
}

// Changes the first n sensors at once, half a period after the last publication, and follows the
// cycle that publishes them at the subscriber and in the status entry.
bool FreshRun::changed_cycle(int slot, int32_t n, bool with_commands) {
  if (!wait_from(last_publication_, out_.period_s / 2)) return fail("stopped");
  // Never in the middle of a cycle that is still publishing.
  if (!test_support::wait_until(
          [&] {
            const std::string text = view_->status_text();
            return text != "publishing data" && text != "resetting connection";
          },
          std::chrono::seconds(60), std::chrono::milliseconds(1)))
    return fail("the daemon never stopped publishing");
  std::map<std::string, std::string> expected;
  for (int32_t i = 0; i < n; ++i) {
    const std::string text = format("%.2f", next_value_ + i);
    expected[topic_of(kFirstSensor + i)] = text;
    expected[topic_of_name(i)] = text;
  }
  sub_->read_new();
  size_t from = sub_->messages().size();
  for (int32_t i = 0; i < n; ++i) table_->write(real_ids_[i], next_value_++, 0);
  const Clock::time_point changed = Clock::now();

  const std::string action = std::string(test_support::Scenario::kUser) + "/lamp/action";
  const int first_command = watch_->seen() + 1;
  std::vector<double> sent(first_command, NAN);
  std::set<std::string> got;
  double first = INFINITY, last = -INFINITY;
  std::optional<Clock::time_point> began, ended;
  std::string status;
  auto next_command = Clock::now();
  auto next_read = Clock::now();
  while (got.size() < expected.size()) {
    const auto now = Clock::now();
    if (stop_requested) return fail("stopped");
    if (now - changed > kCycleTimeout ||
        (ended && now - *ended > std::chrono::seconds(3)))  // the cycle ended without them all
      break;
    if (with_commands && now >= next_command && static_cast<int>(sent.size()) < kCommandCapacity) {
      sent.push_back(wall_now());
      client_.publish(action, format("%.0f", kCommandBase + static_cast<double>(sent.size() - 1)));
      next_command += kCommandSpacing;
    }
    client_.service();
    const std::string text = view_->status_text();
    if (!began && text == "publishing data") began = now;
    if (began && !ended && text != "publishing data" && text != "resetting connection") {
      ended = now;
      status = text;
    }
    if (now >= next_read) {
      sub_->read_new();
      const auto& m = sub_->messages();
      for (; from < m.size(); ++from) {
        auto it = expected.find(m[from].topic);
        if (it == expected.end() || it->second != m[from].value) continue;
        if (got.insert(m[from].topic).second) {
          first = std::min(first, m[from].t);
          last = std::max(last, m[from].t);
        }
      }
      next_read = now + std::chrono::milliseconds(20);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (got.empty()) return fail(format("none of the %d changed sensors was published", n));
  // The last publication arrived; the cycle ends once its acknowledgement is in.
  if (began && !ended &&
      test_support::wait_until(
          [&] {
            status = view_->status_text();
            return status != "publishing data" && status != "resetting connection";
          },
          std::chrono::seconds(10), std::chrono::milliseconds(1)))
    ended = Clock::now();
  last_publication_ = last;
  std::string detail = format("%zu of %zu publications", got.size(), expected.size());
  if (began && ended)
    detail += format("; status \"publishing data\" %.3f s, then \"%s\"", seconds(*began, *ended),
                     status.c_str());
  if (n == kSensors) out_.received = static_cast<double>(got.size());
  out_.cycle_s[slot] = last - first;
  out_.cycle_detail[slot] = detail;
  note("fresh %s: cycle of %d changed sensors, first to last publication %.3f s; %s",
       variant_.label, n, last - first, detail.c_str());

  if (with_commands) {
    const int last_command = static_cast<int>(sent.size()) - 1;
    if (!test_support::wait_until([&] { return watch_->seen() >= last_command; },
                                  std::chrono::seconds(30)))
      return fail("not every command landed");
    std::vector<double> at(sent.size(), NAN);
    for (int i = first_command; i <= last_command; ++i) at[i] = watch_->landed(i);
    out_.command_ms = latencies(sent, at);
    if (out_.command_ms.empty()) return fail("no command was sent during the cycle");
  }
  return true;
}

bool FreshRun::idle_cpu() {
  watch_.reset();  // its polling thread is no part of the idle figure
  if (!wait_from(last_publication_, 1.5)) return fail("stopped");
  const pid_t pid = daemon_->pid();
  auto ns0 = cpu_ns(pid);
  auto t0 = Clock::now();
  if (!pause_ms(options_.cpu_seconds * 1000)) return fail("stopped");
  auto ns1 = cpu_ns(pid);
  const double wall = seconds(t0, Clock::now());
  if (!ns0 || !ns1) return fail("cannot read /proc/PID/schedstat");
  const double ns = static_cast<double>(*ns1 - *ns0);
  out_.cpu_pct = ns / 1e9 / wall * 100.0;
  out_.cpu_detail = format("%.1f ms on a CPU in %.1f s", ns / 1e6, wall);
  return true;
}

bool FreshRun::run() {
  return prepare() && single_changes() && changed_cycle(0, 100, false) &&
         changed_cycle(1, kSensors, true) && idle_cpu();
}

// One line of the side-by-side table, and the figure of the daemon with "scan" for the table of
// the run (today's value in its detail).
struct Row {
  std::string name;
  std::string unit;
  std::string goal;
  double limit;
  bool at_least;
  std::optional<double> value[2];
  std::string extra[2];  // median, sample count, status texts
};

// The value of daemon v with its unit, a count without decimals; "-" when it is missing.
std::string cell(const Row& r, int v) {
  if (!r.value[v]) return "-";
  return format("%.*f %s", r.unit.empty() ? 0 : 3, *r.value[v], r.unit.c_str());
}

void print_rows(const std::vector<Row>& rows, double run_s) {
  printf("\nfresh (%.0f s): 500 populated sensors, interval 5, log level 3\n", run_s);
  printf("%-40s %-22s %-22s %-10s %s\n", "figure", kVariants[0].label, kVariants[1].label, "goal",
         "verdict");
  for (const Row& r : rows) {
    const auto& x = r.value[1];
    const bool within = x && (r.at_least ? *x >= r.limit : *x <= r.limit);
    const char* verdict = !x ? "n/a" : within ? "ok" : r.at_least ? "under" : "over";
    printf("%-40s %-22s %-22s %-10s %s\n", r.name.c_str(), cell(r, 0).c_str(), cell(r, 1).c_str(),
           r.goal.c_str(), verdict);
    for (int v = 0; v < 2; ++v)
      if (!r.extra[v].empty()) printf("    %s: %s\n", kVariants[v].label, r.extra[v].c_str());
  }
  fflush(stdout);
}

}  // namespace

bool run_fresh(const Options& options, Table& table) {
  const auto start = Clock::now();
  Outcome out[2];
  bool ran = true;
  for (int v = 0; v < 2 && !stop_requested; ++v) {
    FreshRun run(kVariants[v], options, out[v]);
    ran &= run.run();
  }

  std::vector<Row> rows(6);
  rows[0] = {"change -> publication, p99", "s", "<= 1.2 s", 1.2, false, {}, {}};
  rows[1] = {"cycle of 100 changed, first to last", "s", "<= 0.2 s", 0.2, false, {}, {}};
  rows[2] = {"cycle of 500 changed, first to last", "s", "<= 1 s", 1.0, false, {}, {}};
  rows[3] = {"command latency in that cycle, p99", "ms", "<= 150 ms", 150, false, {}, {}};
  rows[4] = {"CPU, 500 unchanged sensors", "% core", "<= 0.5 %", 0.5, false, {}, {}};
  rows[5] = {"received of the 500-sensor burst", "", ">= 1000", 1000, true, {}, {}};
  for (int v = 0; v < 2; ++v) {
    const Outcome& o = out[v];
    if (!o.change_s.empty()) {
      rows[0].value[v] = percentile(o.change_s, 99);
      rows[0].extra[v] = format("median %.3f s of %zu changes; cycle period %.2f s",
                                median(o.change_s), o.change_s.size(), o.period_s);
    }
    for (int k = 0; k < 2; ++k) {
      rows[1 + k].value[v] = o.cycle_s[k];
      rows[1 + k].extra[v] = o.cycle_detail[k];
    }
    if (!o.command_ms.empty()) {
      rows[3].value[v] = percentile(o.command_ms, 99);
      rows[3].extra[v] = format("median %.2f, max %.1f ms of %zu commands", median(o.command_ms),
                                maximum(o.command_ms), o.command_ms.size());
    }
    rows[4].value[v] = o.cpu_pct;
    rows[4].extra[v] = o.cpu_detail;
    rows[5].value[v] = o.received;
    if (!o.why.empty()) rows[0].extra[v] += (rows[0].extra[v].empty() ? "" : "; ") + o.why;
  }
  const double run_s = seconds(start, Clock::now());
  print_rows(rows, run_s);
  for (const Row& r : rows)
    table.add({"scan 1: " + r.name, r.value[1], r.unit, r.goal, r.limit,
               "today " + cell(r, 0) + (r.extra[1].empty() ? "" : "; " + r.extra[1]), false,
               r.at_least});
  note("fresh: %.0f s", run_s);
  return ran;
}

}  // namespace bench
