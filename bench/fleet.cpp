// A fleet of controllers on one broker that goes away for 60 s and comes back, by default and with
// "backoff":"60" in brokerAccess.json, one fleet after the other. Each controller has its own root,
// keys, broker user (a uuid), three sensors and one actor (interval 30, log level 3); a sample of
// them (log level 4, for their "gesetzt auf" lines) gets a stream of numbered QoS 1 commands,
// half with the default command QoS 0 and half with "command_qos":"1". The broker runs with
// persistence and is ended with SIGTERM, so it saves the persistent sessions, then started again
// on its port.
//
// Measured, per fleet:
//  - failed attempts per daemon while the broker is away: its "mqtt_open: Broker Address" lines
//    between the broker's end and its return, and per second for the whole fleet (log stamps);
//  - the broker's acceptances after its return: its "New client connected" lines, read as the
//    broker writes them (it writes each line at once), timed by this process from the moment its
//    port takes connections again, and counted per second of the broker's own time stamps;
//  - commands lost: accepted by the broker (PUBACK to the sender) and never applied;
//  - peak resident memory (VmHWM) and CPU (schedstat) per daemon: while the fleet idles for one
//    interval, while the broker is away, over the whole run.
// Beforehand, a few daemons of each configuration against an address that does not answer (a
// listener whose queue is full): the longest time the loop counter in the status entry stood
// still, watched for 60 s from the first pass of the main loop.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <utility>

#include "bench/bench.h"
#include "bench/stream.h"
#include "support/controller.h"

namespace bench {

namespace {

using test_support::ToolController;

constexpr int kBackoffS = 60;
constexpr int kAwayS = 60;
constexpr int kIdleS = 30;                  // one interval
constexpr int kBackWaitS = kBackoffS + 60;  // after the return, the wait for the last daemon
constexpr int kStartPerSecond = 50;         // daemons started per second
constexpr int kMaxFleet = 2000;             // key offsets are 32 apart in a 0x10000 range
constexpr int kSilentDaemons = 3;           // per configuration
constexpr int kSilentWatchS = 60;
constexpr int32_t kActorDbId = 2001;
constexpr int32_t kActorRealId = 511;
constexpr double kBase = 100000.0;  // command g carries kBase + g
constexpr const char* kAttempt = "mqtt_open: Broker Address";
constexpr const char* kAccepted = " New client connected from ";

// Keys of controller i: beyond the range of unique_key_offset(), apart for each bench process.
int32_t fleet_key_offset(int i) {
  return 0x40000000 + (getpid() % 0x3F00) * 0x10000 + i * 32;
}

// The broker user and client id of controller i; all of them start with fleet_prefix().
std::string fleet_prefix() {
  return format("f1ee%04x-", getpid() & 0xFFFF);
}
std::string fleet_uuid(int i) {
  return fleet_prefix() + format("0000-4000-8000-%012d", i);
}

// brokerAccess.json of `cfg`, with "backoff" when it is above 0.
std::string access_json(const test_support::BridgeConfig& cfg, int backoff) {
  std::string access = cfg.access_json();
  if (backoff > 0) access.insert(access.rfind("\n}"), format(",\n  \"backoff\":\"%d\"", backoff));
  return access;
}

// Raises kernel.shmmni for the run when the fleet's segments would not fit, and puts the old value
// back at the end.
class ShmmniGuard {
 public:
  explicit ShmmniGuard(int fleet) {
    old_ = read_value();
    std::ifstream in("/proc/sysvipc/shm");
    const long used = std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    const long needed = used + static_cast<long>(std::size(kSegments)) * fleet + 256;
    if (old_ >= needed) return;
    raised_ = write_value(needed);
    if (raised_) note("fleet: kernel.shmmni raised from %ld to %ld for the run", old_, needed);
  }
  ~ShmmniGuard() {
    if (raised_ && write_value(old_)) note("fleet: kernel.shmmni back to %ld", old_);
  }
  ShmmniGuard(const ShmmniGuard&) = delete;
  ShmmniGuard& operator=(const ShmmniGuard&) = delete;
  bool ok(int fleet) const {
    return raised_ || old_ >= static_cast<long>(std::size(kSegments)) * fleet;
  }

 private:
  static constexpr const char* kPath = "/proc/sys/kernel/shmmni";
  static long read_value() {
    long v = 0;
    std::ifstream(kPath) >> v;
    return v;
  }
  static bool write_value(long v) {
    std::ofstream out(kPath);
    out << v << "\n";
    out.close();
    return static_cast<bool>(out) && read_value() == v;
  }
  long old_ = 0;
  bool raised_ = false;
};

// Every file descriptor the hard limit allows, for this process and the broker it starts (one
// descriptor per daemon's connection).
bool raise_open_files(int fleet) {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  r.rlim_cur = r.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur >= static_cast<rlim_t>(fleet) + 256;
}

// The broker's acceptances as it logs them: a thread reads the log's new lines every 10 ms and
// notes, for each "New client connected" line, the client id, the broker's time stamp (epoch
// seconds) and the moment this process saw it.
class AcceptWatch {
 public:
  struct Accept {
    Clock::time_point seen;
    long epoch = 0;
    std::string id;
  };
  explicit AcceptWatch(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    thread_ = std::thread([this] { run(); });
  }
  ~AcceptWatch() {
    done_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  AcceptWatch(const AcceptWatch&) = delete;
  AcceptWatch& operator=(const AcceptWatch&) = delete;

  // The first acceptance of each daemon of the fleet (client id fleet_prefix()...) seen at or
  // after `from`; with `all`, the number of its acceptances.
  std::map<std::string, Accept> first_since(Clock::time_point from, int* all = nullptr) const {
    const std::string prefix = fleet_prefix();
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, Accept> first;
    int n = 0;
    for (const Accept& a : accepts_)
      if (a.seen >= from && a.id.starts_with(prefix)) first.emplace(a.id, a), ++n;
    if (all != nullptr) *all = n;
    return first;
  }

 private:
  void run() {
    std::string pending;
    char chunk[65536];
    while (!done_) {
      ssize_t n;
      while (fd_ >= 0 && (n = read(fd_, chunk, sizeof chunk)) > 0) pending.append(chunk, n);
      const auto now = Clock::now();
      size_t start = 0;
      for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        const size_t at = pending.find(kAccepted, start);
        if (at == std::string::npos || at > nl) continue;
        const size_t as = pending.find(" as ", at);
        const size_t end = pending.find(" (", as);
        if (as == std::string::npos || end == std::string::npos || end > nl) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        accepts_.push_back({now, std::strtol(pending.c_str() + start, nullptr, 10),
                            pending.substr(as + 4, end - as - 4)});
      }
      pending.erase(0, start);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  int fd_;
  mutable std::mutex mutex_;
  std::vector<Accept> accepts_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// One controller of the fleet.
struct Member {
  std::string uuid;
  int qos = -1;  // -1: no commands; 0 or 1: gets the command stream, with this command QoS
  std::unique_ptr<ToolController> controller;
  std::unique_ptr<test_support::Daemon> daemon;  // after the controller: it ends first
  size_t mark_away = 0, mark_back = 0;
};

// Makes controller i: three sensors (populate), the actor, the two files; false when refused.
bool prepare(Member& m, int i, int port, int backoff) {
  ToolController::Options keys;
  keys.key_offset = fleet_key_offset(i);
  m.controller = std::make_unique<ToolController>(keys);
  test_support::BridgeConfig cfg;
  cfg.uuid = m.uuid;
  cfg.password = "pw-" + m.uuid;
  cfg.port = std::to_string(port);
  cfg.interval = "30";
  cfg.loglevel = m.qos < 0 ? "3" : "4";
  for (int s = 0; s < 3; ++s) cfg.name(1001 + s, format("sensor%d", s)).publish(1001 + s);
  cfg.name(kActorDbId, "lamp").subscribe(kActorDbId);
  std::vector<std::pair<std::string, std::string>> extra;
  if (m.qos == 1) extra.emplace_back("command_qos", "1");
  const ToolController& c = *m.controller;
  return c.ctl({"populate", "3"}).status == 0 &&
         c.set(kActorDbId, "0", {.type = 2, .real_id = kActorRealId}) &&
         c.write_broker_access(access_json(cfg, backoff)) &&
         c.write_broker_setup(setup_with(cfg, extra));
}

// One command per second to each sampled actor, round robin, from a thread of its own. Commands
// made while held (the broker away) are not sent: the sender's library would keep them and send
// them all at the broker's return.
class Stream {
 public:
  Stream(Sender& sender, std::vector<std::string> topics)
      : sender_(sender), topics_(std::move(topics)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Stream() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // The sampled actor that command g went to (1..made()).
  size_t owner(int g) const { return static_cast<size_t>(g - 1) % topics_.size(); }
  int made() const { return made_; }
  // While true, commands are made but not sent.
  std::atomic<bool> hold{false};

 private:
  void run() {
    const auto spacing = std::chrono::milliseconds(1000 / static_cast<int>(topics_.size()));
    for (auto next = Clock::now(); !done_ && !stop_requested; next += spacing) {
      const int g = ++made_;
      if (!hold) sender_.send(topics_[owner(g)], kBase, g);
      std::this_thread::sleep_until(next);
    }
  }
  Sender& sender_;
  const std::vector<std::string> topics_;
  std::atomic<int> made_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// What one fleet showed.
struct Result {
  bool measured = false;  // every step ran
  int n = 0;
  std::vector<double> attempts;  // per daemon, while the broker was away
  double away_s = 0;             // from the broker's end to its return
  int attempts_peak_s = 0;       // the fleet's attempts in its busiest second while away
  int busiest = 0;               // acceptances in the broker's busiest second after the return
  int accepts = 0;               // all acceptances after the return, until the end
  std::vector<double> back_s;    // per daemon that came back, from the return, sorted
  int actors = 0;                // sampled actors per command QoS
  int lost[2] = {0, 0}, accepted[2] = {0, 0}, twice[2] = {0, 0};
  std::vector<double> hwm_kb, idle_pct, away_ms, run_s;  // per daemon
  double broker_idle_pct = 0;                            // of a core, while the fleet idles
  double broker_start_kb = 0, broker_hwm_kb = 0;         // peak memory at its return and at the end
  double broker_return_cpu_s = 0;                        // from its return until all are back
  double stall = 0;  // the longest main-loop stall of this configuration at a silent address
};

std::vector<long long> cpu_of(const std::vector<Member>& fleet) {
  std::vector<long long> ns;
  for (const Member& m : fleet) ns.push_back(cpu_ns(m.daemon->pid()).value_or(0));
  return ns;
}

// The attempts of each daemon between its two marks, and the fleet's attempts per second.
void count_attempts(const std::vector<Member>& fleet, Result& r) {
  std::map<std::string, int> per_second;
  for (const Member& m : fleet) {
    const std::string text = m.controller->log().text(m.mark_away);
    const std::string away = text.substr(0, m.mark_back - m.mark_away);
    int n = 0;
    for (size_t at = away.find(kAttempt); at != std::string::npos;
         at = away.find(kAttempt, at + 1)) {
      ++n;
      const size_t line = away.rfind('\n', at);
      ++per_second[away.substr(line == std::string::npos ? 0 : line + 1, 19)];
    }
    r.attempts.push_back(n);
  }
  for (const auto& [second, n] : per_second) r.attempts_peak_s = std::max(r.attempts_peak_s, n);
}

// The sampled actors' commands: accepted by the broker, applied by the daemon.
void count_commands(const std::vector<Member*>& sample, const Stream& stream, const Sender& sender,
                    Result& r) {
  std::vector<std::set<int>> accepted(sample.size());
  for (int g : sender.accepted())
    if (g >= 1) accepted[stream.owner(g)].insert(g);  // 0: the warm-up
  for (size_t k = 0; k < sample.size(); ++k) {
    const int q = sample[k]->qos;
    const Tally t =
        tally(accepted[k], applied_in_order(sample[k]->controller->log(), 0, kBase, stream.made()));
    r.accepted[q] += static_cast<int>(accepted[k].size());
    r.lost[q] += t.lost;
    r.twice[q] += t.twice;
  }
}

// Starts the daemons, kStartPerSecond a second, and waits until the broker accepted each of them.
bool start_fleet(std::vector<Member>& fleet, const AcceptWatch& accepts) {
  const auto t0 = Clock::now();
  for (size_t i = 0; i < fleet.size() && !stop_requested; ++i) {
    fleet[i].daemon = std::make_unique<test_support::Daemon>(*fleet[i].controller);
    if ((i + 1) % kStartPerSecond == 0) pause_ms(1000);
  }
  const bool up = test_support::wait_until(
      [&] { return stop_requested || accepts.first_since(t0).size() >= fleet.size(); },
      std::chrono::seconds(120), std::chrono::milliseconds(500));
  note("fleet: %zu daemons up in %.0f s", accepts.first_since(t0).size(),
       seconds(t0, Clock::now()));
  return up && !stop_requested;
}

// Sends a warm-up command (0) to each sampled actor until it is in its command block.
bool warm_up(const std::vector<Member*>& sample, Sender& sender) {
  for (Member* m : sample) {
    const std::string topic = m->uuid + "/lamp/action";
    if (!test_support::wait_until(
            [&] {
              sender.send(topic, kBase, 0);
              auto e = m->controller->entry(kActorRealId);
              return stop_requested || (e && e->command.value == kBase);
            },
            std::chrono::seconds(30), std::chrono::milliseconds(500)))
      return false;
  }
  return !stop_requested;
}

Result run_one(int n, int backoff) {
  Result r;
  r.n = n;
  const char* mode = backoff > 0 ? "\"backoff\":\"60\"" : "default";
  note("fleet: %d daemons, %s", n, mode);
  test_support::BrokerOptions bo;
  bo.persistence = true;
  bo.autosave_s = 600;
  std::vector<Member> fleet(n);
  r.actors = std::clamp(n / 20, 2, 20);
  const int sampled = r.actors * 2;
  std::vector<Member*> sample;
  for (int i = 0; i < n; ++i) {
    fleet[i].uuid = fleet_uuid(i);
    bo.more_users.push_back({fleet[i].uuid, "pw-" + fleet[i].uuid});
  }
  for (int j = 0; j < sampled; ++j) {
    sample.push_back(&fleet[static_cast<size_t>(j) * n / sampled]);
    sample.back()->qos = j % 2;
  }
  const auto t0 = Clock::now();
  test_support::Broker broker(bo);
  if (!broker.running()) return note("fleet: broker did not start"), r;
  for (int i = 0; i < n && !stop_requested; ++i)
    if (!prepare(fleet[i], i, broker.port(), backoff))
      return note("fleet: cannot prepare controller %d", i), r;
  note("fleet: broker with %d users and %d controllers ready in %.0f s", n + 1, n,
       seconds(t0, Clock::now()));
  AcceptWatch accepts(broker.dir() + "/mosquitto.log");
  Sender sender(format("k482916-fleet-%d", getpid()));
  if (!start_fleet(fleet, accepts) || !sender.connect(broker.client()) || !warm_up(sample, sender))
    return note("fleet: the fleet did not come up%s", fleet[0].daemon->diagnostics().c_str()), r;
  const std::vector<long long> cpu_start = cpu_of(fleet);

  // One interval of idling.
  const auto idle_from = Clock::now();
  const std::vector<long long> idle_start = cpu_of(fleet);
  const long long broker_idle = cpu_ns(broker.pid()).value_or(0);
  if (!pause_ms(kIdleS * 1000)) return r;
  const std::vector<long long> idle_end = cpu_of(fleet);
  const double idle_ns = seconds(idle_from, Clock::now()) * 1e9;
  r.broker_idle_pct = (cpu_ns(broker.pid()).value_or(0) - broker_idle) / idle_ns * 100.0;

  // The commands start 5 s before the broker goes and end 5 s after the last daemon is back.
  std::vector<std::string> topics;
  for (Member* m : sample) topics.push_back(m->uuid + "/lamp/action");
  Stream stream(sender, topics);
  pause_ms(5000);
  for (Member& m : fleet) m.mark_away = m.controller->log().mark();
  const std::vector<long long> away_start = cpu_of(fleet);
  const auto away_from = Clock::now();
  stream.hold = true;
  broker.stop();
  note("fleet: broker away for %d s", kAwayS);
  if (!pause_ms(kAwayS * 1000)) return r;
  for (Member& m : fleet) m.mark_back = m.controller->log().mark();
  const std::vector<long long> away_end = cpu_of(fleet);
  // A daemon may be accepted the moment the port opens, before restart() returns: acceptances
  // count from before the restart, times from its end.
  const auto restarting = Clock::now();
  r.away_s = seconds(away_from, restarting);
  if (!broker.restart()) return note("fleet: the broker did not come back"), r;
  const auto back = Clock::now();
  stream.hold = false;
  const long long broker_cpu = cpu_ns(broker.pid()).value_or(0);
  r.broker_start_kb = static_cast<double>(vm_hwm_kb(broker.pid()).value_or(0));
  test_support::wait_until(
      [&] { return stop_requested || accepts.first_since(restarting).size() >= fleet.size(); },
      std::chrono::seconds(kBackWaitS), std::chrono::milliseconds(100));
  const auto first = accepts.first_since(restarting);
  r.broker_return_cpu_s = (cpu_ns(broker.pid()).value_or(0) - broker_cpu) / 1e9;
  pause_ms(5000);
  stream.stop();
  test_support::wait_until([&] { return stop_requested || sender.unacknowledged() == 0; },
                           std::chrono::seconds(10));
  pause_ms(3000);
  accepts.first_since(restarting, &r.accepts);

  std::map<long, int> per_second;
  bool shown = stop_requested;  // the first daemon that did not come back shows why
  for (const Member& m : fleet) {
    auto it = first.find(m.uuid);
    if (it == first.end()) {
      if (!std::exchange(shown, true))
        fprintf(stderr, "# fleet: %s not back%s\n", m.uuid.c_str(),
                m.daemon->diagnostics().c_str());
      continue;
    }
    r.back_s.push_back(std::max(0.0, seconds(back, it->second.seen)));
    ++per_second[it->second.epoch];
  }
  std::sort(r.back_s.begin(), r.back_s.end());
  for (const auto& [epoch, k] : per_second) r.busiest = std::max(r.busiest, k);
  count_attempts(fleet, r);
  count_commands(sample, stream, sender, r);
  const std::vector<long long> cpu_end = cpu_of(fleet);
  for (size_t i = 0; i < fleet.size(); ++i) {
    r.hwm_kb.push_back(static_cast<double>(vm_hwm_kb(fleet[i].daemon->pid()).value_or(0)));
    r.idle_pct.push_back((idle_end[i] - idle_start[i]) / idle_ns * 100.0);
    r.away_ms.push_back((away_end[i] - away_start[i]) / 1e6);
    r.run_s.push_back((cpu_end[i] - cpu_start[i]) / 1e9);
  }
  r.broker_hwm_kb = static_cast<double>(vm_hwm_kb(broker.pid()).value_or(0));
  r.measured = !stop_requested;
  note("fleet: %s: %zu of %d back, the last after %.2f s; ending the fleet", mode, r.back_s.size(),
       n, r.back_s.empty() ? 0.0 : r.back_s.back());
  // Daemons first, all at once, then their controllers, then the broker.
  for (Member& m : fleet)
    if (m.daemon) m.daemon->signal(SIGKILL);
  for (Member& m : fleet) m.daemon.reset();
  return r;
}

// The longest time the loop counter of each daemon stood still, in seconds, watched for
// kSilentWatchS from its first pass of the main loop; a daemon that does not reach its main loop
// in that time stood still for the whole watch. Daemons of both configurations at once.
std::vector<double> silent_stalls(const std::vector<int>& backoffs) {
  test_support::SilentAddress silent;
  struct Watched {
    std::unique_ptr<ToolController> controller;
    std::unique_ptr<test_support::Daemon> daemon;
    Clock::time_point start, looping, changed;
    int32_t counter = -1;
    double longest = -1;
    bool done = false;
  };
  std::vector<Watched> w(backoffs.size());
  for (size_t i = 0; i < w.size() && silent.port > 0; ++i) {
    ToolController::Options keys;
    keys.key_offset = fleet_key_offset(static_cast<int>(i));
    w[i].controller = std::make_unique<ToolController>(keys);
    test_support::BridgeConfig cfg;
    cfg.uuid = fleet_uuid(static_cast<int>(i));
    cfg.password = "pw";
    cfg.port = std::to_string(silent.port);
    cfg.loglevel = "3";
    w[i].controller->write_broker_access(access_json(cfg, backoffs[i]));
    w[i].controller->write_broker_setup(cfg.setup_json());
    w[i].daemon = std::make_unique<test_support::Daemon>(*w[i].controller);
    w[i].start = Clock::now();
  }
  const auto watch = std::chrono::seconds(kSilentWatchS);
  while (!stop_requested && silent.port > 0 &&
         !std::all_of(w.begin(), w.end(), [](const Watched& x) { return x.done; })) {
    pause_ms(50);
    const auto now = Clock::now();
    for (Watched& x : w) {
      const auto s = x.controller->status();
      if (x.done || !s) continue;
      const bool in_loop = s->counter >= 1 && test_support::field_text(s->state_text) != "startup";
      if (x.looping == Clock::time_point{} && in_loop) x.looping = x.changed = now;
      if (x.looping == Clock::time_point{}) {
        if (now - x.start >= watch) x.longest = seconds(x.start, now), x.done = true;
        continue;
      }
      if (s->counter != x.counter) x.counter = s->counter, x.changed = now;
      x.longest = std::max(x.longest, seconds(x.changed, now));
      x.done = now - x.looping >= watch;
    }
  }
  std::vector<double> longest;
  for (const Watched& x : w) longest.push_back(x.longest);
  return longest;
}

// One figure of both fleets. `value` is asked only of a fleet whose steps all ran (the stall's
// comes from before the fleets); nullopt: the figure is missing, as `detail` says.
struct Row {
  std::string name, unit, goal;
  std::optional<double> limit;  // the goal, for the fleet with backoff
  std::function<std::optional<double>(const Result&)> value;
  std::function<std::string(const Result&)> detail;
  bool before_fleet = false;
};

double sum(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0);
}

// Daemons accepted again in each 5 s after the broker's return, up to the last one.
std::string per_5s(const Result& x) {
  std::vector<int> n(x.back_s.empty() ? 0 : static_cast<size_t>(x.back_s.back() / 5) + 1);
  for (double t : x.back_s) ++n[static_cast<size_t>(t / 5)];
  std::string s;
  for (int k : n) s += format("%s%d", s.empty() ? "" : " ", k);
  return s;
}

std::vector<Row> rows() {
  auto lost = [](int q) {
    return Row{q == 0 ? "commands lost, command QoS 0" : "commands lost, \"command_qos\":\"1\"",
               "",
               q == 0 ? "" : "0",
               q == 0 ? std::nullopt : std::optional<double>(0.0),
               [=](const Result& x) { return std::optional<double>(x.lost[q]); },
               [=](const Result& x) {
                 return format("of %d accepted, %d actors; %d applied twice", x.accepted[q],
                               x.actors, x.twice[q]);
               }};
  };
  auto value = [](std::function<double(const Result&)> f) {
    return [=](const Result& x) { return std::optional<double>(f(x)); };
  };
  return {
      {"longest main-loop stall, silent address", "s", "<= 6 s", 6.0,
       [](const Result& x) { return x.stall >= 0 ? std::optional<double>(x.stall) : std::nullopt; },
       [](const Result& x) {
         if (x.stall < 0) return std::string("no silent listener");
         return format("longest of %d daemons, %d s watched%s", kSilentDaemons, kSilentWatchS,
                       x.stall >= kSilentWatchS ? "; the main loop never began" : "");
       },
       true},
      {"failed attempts per daemon, away 60 s, mean", "", "<= 7", 7.0,
       value([](const Result& x) { return sum(x.attempts) / x.n; }),
       [](const Result& x) {
         return format("median %.0f, p90 %.0f, max %.0f; fleet: %.1f /s, %d in its busiest second",
                       median(x.attempts), percentile(x.attempts, 90), maximum(x.attempts),
                       sum(x.attempts) / x.away_s, x.attempts_peak_s);
       }},
      {"CONNECTs in the busiest second after return", "%", "<= 5 %", 5.0,
       value([](const Result& x) { return x.busiest * 100.0 / x.n; }),
       [](const Result& x) {
         return format("%d of %d (broker's time stamps); per 5 s: %s; %d acceptances in all",
                       x.busiest, x.n, per_5s(x).c_str(), x.accepts);
       }},
      {"time until every daemon is back", "s", "<= S + 10 s", kBackoffS + 10.0,
       [](const Result& x) {
         return static_cast<int>(x.back_s.size()) == x.n ? std::optional<double>(x.back_s.back())
                                                         : std::nullopt;
       },
       [](const Result& x) {
         if (static_cast<int>(x.back_s.size()) < x.n)
           return format("%zu of %d back within %d s", x.back_s.size(), x.n, kBackWaitS);
         return format("50 %% %.2f s, 90 %% %.2f s", percentile(x.back_s, 50),
                       percentile(x.back_s, 90));
       }},
      lost(0),
      lost(1),
      {"peak memory per daemon (VmHWM), median", "MB", "", std::nullopt,
       value([](const Result& x) { return median(x.hwm_kb) / 1024.0; }),
       [](const Result& x) { return format("max %.2f MB", maximum(x.hwm_kb) / 1024.0); }},
      {"CPU per daemon, fleet idle, median", "%", "", std::nullopt,
       value([](const Result& x) { return median(x.idle_pct); }),
       [](const Result& x) {
         return format("of a core over %d s; whole fleet %.1f %% of a core", kIdleS,
                       sum(x.idle_pct));
       }},
      {"CPU per daemon, broker away, median", "ms", "", std::nullopt,
       value([](const Result& x) { return median(x.away_ms); }),
       [](const Result& x) { return format("max %.0f ms", maximum(x.away_ms)); }},
      {"CPU per daemon, whole run, median", "s", "", std::nullopt,
       value([](const Result& x) { return median(x.run_s); }),
       [](const Result& x) { return format("max %.2f s", maximum(x.run_s)); }},
      {"broker CPU from its return to all back", "s", "", std::nullopt,
       value([](const Result& x) { return x.broker_return_cpu_s; }),
       [](const Result& x) {
         return format("fleet idle: %.2f %% of a core; peak memory %.1f MB, %.1f MB at its return",
                       x.broker_idle_pct, x.broker_hwm_kb / 1024.0, x.broker_start_kb / 1024.0);
       }},
  };
}

// The figures of both fleets: a line each with its detail, and a block side by side.
void add_figures(int n, const Result (&r)[2], Table& table) {
  const char* modes[2] = {"default", "\"backoff\":\"60\""};
  std::string block =
      format("%d daemons on one mosquitto, broker away %d s\n%-46s %-16s %-16s %s\n", n, kAwayS, "",
             modes[0], modes[1], "goal");
  for (const Row& row : rows()) {
    std::string cells[2];
    for (int mode = 0; mode < 2; ++mode) {
      const bool ran = row.before_fleet || r[mode].measured;
      const std::optional<double> v = ran ? row.value(r[mode]) : std::nullopt;
      cells[mode] = v ? format("%.2f %s", *v, row.unit.c_str()) : "-";
      table.add({row.name + ", " + modes[mode], v, row.unit, mode == 1 ? row.goal : "",
                 mode == 1 ? row.limit : std::nullopt, ran ? row.detail(r[mode]) : "not measured"});
    }
    block += format("%-46s %-16s %-16s %s\n", row.name.c_str(), cells[0].c_str(), cells[1].c_str(),
                    row.goal.c_str());
  }
  table.add_block(block);
}

}  // namespace

bool run_fleet(const Options& options, Table& table) {
  const int n = options.fleet;
  if (n > kMaxFleet) return note("fleet: at most %d daemons", kMaxFleet), false;
  ShmmniGuard shmmni(n);
  if (!shmmni.ok(n) || !raise_open_files(n))
    return note("fleet: kernel.shmmni or the open-file limit is too small for %d daemons", n),
           false;
  const auto t0 = Clock::now();
  std::vector<int> backoffs(kSilentDaemons, 0);
  backoffs.insert(backoffs.end(), kSilentDaemons, kBackoffS);
  note("fleet: %d daemons of each configuration against an address that does not answer, %d s",
       kSilentDaemons, kSilentWatchS);
  const std::vector<double> stalls = silent_stalls(backoffs);
  Result r[2];
  for (int mode = 0; mode < 2 && !stop_requested; ++mode)
    r[mode] = run_one(n, mode == 0 ? 0 : kBackoffS);
  for (int mode = 0; mode < 2; ++mode)
    r[mode].stall = *std::max_element(stalls.begin() + mode * kSilentDaemons,
                                      stalls.begin() + (mode + 1) * kSilentDaemons);
  add_figures(n, r, table);
  note("fleet: %.0f s", seconds(t0, Clock::now()));
  return r[0].measured && r[1].measured && !stop_requested;
}

}  // namespace bench
