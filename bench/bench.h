// Benchmarks of the daemon's performance figures. Each figure runs the real daemon against a real
// mosquitto broker and a simulated controller (the test toolkit, tests/support), measures from
// outside the process (status entry and command blocks in shared memory, /proc/PID) and prints the
// result beside its budget. Nothing here asserts on time: a figure over its budget is printed as
// "over".
//
// Groups, each with a broker, controller and daemon of its own:
//   startup  exec to status "running", several runs
//   publish  publish cycles of N changed sensors; the peak memory of the daemon that did them
//   idle     CPU while counting down; actor command latency, broker to command block
//   commands command latency during publish cycles and sustained command rates, each beside a
//            mosquitto_sub reading the same commands
//   discovery start-up with discovery announcements, and how many of them the broker received
//   reliability
//            actor commands lost, applied twice and out of order while the daemon's session is
//            disturbed (none, reloads, broker killed and restarted, connection cut, broker
//            stalled), by default and with "command_qos":"1", each beside a mosquitto_sub with a
//            persistent session; with "command_state" as well, the time from a command to its
//            state echo against the broker round trip, and the sustained QoS 1 command rate
//   fresh    how fresh published values are, today's daemon (interval 5) beside one with
//            "scan":"1", each with 500 sensors and one actor: single changes written at random
//            moments of the cycle, timed to their arrival at a subscriber; the first to last
//            publication of a cycle in which 100, then 500 sensors changed at once; command
//            latency during that 500-sensor cycle; the burst's publications that arrived; CPU
//            while the 500 sensors stay unchanged. Printed side by side, with the goals of "scan".
//   cluster  actor commands lost, applied twice and out of order on three RabbitMQ nodes behind
//            HAProxy (scripts/cluster.sh) while nodes are killed, stopped and brought back, beside
//            a reference subscriber; the time until a fresh subscriber gets the current retained
//            values after the daemon's connection moved
//   fleet    N daemons on one mosquitto that goes away for 60 s, by default and with
//            "backoff":"60": failed attempts while it is away, CONNECTs per second and the time
//            until all are back after its return, commands lost, memory and CPU per daemon; the
//            longest main-loop stall at an address that does not answer
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "support/controller.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// Set by SIGINT/SIGTERM/SIGHUP; every wait returns early so that the groups unwind and remove
// their daemon, broker, segments and folders.
extern std::atomic<bool> stop_requested;
void install_stop_handlers();

// Seconds between two time points.
double seconds(Clock::time_point from, Clock::time_point to);
// Sleeps `ms` milliseconds, or less when a stop was requested. False when a stop was requested.
bool pause_ms(int ms);

// One printed figure.
struct Figure {
  std::string name;
  std::optional<double> value;  // nullopt: could not be measured
  std::string unit;
  std::string budget_text;      // e.g. "<= 5.3 s"
  std::optional<double> limit;  // nullopt: printed for information, no verdict
  std::string detail;           // samples, floors, raw numbers
  bool remark = false;          // a line of explanation only: no value, no verdict
  bool at_least = false;        // the limit is a floor (value >= limit is ok), not a ceiling
  bool absent_ok = false;       // no value is a finding (the daemon lacks the feature), not a
                                // failure to measure
};

// The figures of one run, in the order they were added.
class Table {
 public:
  void add(Figure f) { figures_.push_back(std::move(f)); }
  // A block of text (a group's own layout, such as a matrix) printed after the figure lines.
  void add_block(std::string text) { blocks_.push_back(std::move(text)); }
  // Prints one line per figure: name, value, unit, budget, ok/over (or n/a, info), detail; then
  // the blocks.
  void print() const;
  // True when every figure has a value (or may go without one).
  bool complete() const;

 private:
  std::vector<Figure> figures_;
  std::vector<std::string> blocks_;
};

// Statistics of a sample (not empty).
double median(std::vector<double> v);
double maximum(const std::vector<double>& v);
// Nearest-rank percentile, p in (0, 100].
double percentile(std::vector<double> v, double p);
// "a, b, c" with `decimals` decimals.
std::string join(const std::vector<double>& v, int decimals);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Progress line on stderr ("# ...").
void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Progress line saying where the scenario's broker and controller are.
void note_scenario(const char* bench, test_support::Scenario& s);

// Ten sensors with DB ids 1001.. and values 20.5, 21.5, ..., written by the controller tool and
// configured for publishing. Returns false when the tool refuses.
bool add_ten_sensors(test_support::ToolController& c, test_support::BridgeConfig& cfg);

// Read-only view of the controller's status table and sensor table at a key offset, attached
// once so that polling costs no system call.
class ShmView {
 public:
  explicit ShmView(int32_t key_offset);
  ~ShmView();
  ShmView(const ShmView&) = delete;
  ShmView& operator=(const ShmView&) = delete;

  bool ok() const { return status_ != nullptr && sensors_ != nullptr; }
  // Current status_text of the daemon's entry (slot 68).
  std::string status_text() const;
  // Current command.value of the entry at real_id, read as the controller would (volatile).
  double command_value(int32_t real_id) const;

 private:
  const status_entry* status_ = nullptr;
  const sensor_record* sensors_ = nullptr;
};

// From /proc/PID: peak resident set (VmHWM, kB), utime+stime (clock ticks), time on a CPU (ns,
// from schedstat). nullopt when the process or the field is missing.
std::optional<long> vm_hwm_kb(pid_t pid);
// The current resident set by kind, from /proc/PID/status: "anon A, file F, shmem S kB".
std::string rss_parts(pid_t pid);
// The current resident set of `pid` beyond that of `other`, mapping by mapping (by file name;
// anonymous mappings together as "[anon]"), largest first: "libx.so +1128 kB, ...".
std::string rss_excess(pid_t pid, pid_t other, size_t top);
std::optional<long> cpu_ticks(pid_t pid);
std::optional<long long> cpu_ns(pid_t pid);

// An in-process libmosquitto client with the broker's user, connected once and kept connected,
// that publishes actor commands without a network thread: mosquitto_publish writes the message
// to the socket at once.
class CommandClient {
 public:
  CommandClient();
  ~CommandClient();
  CommandClient(const CommandClient&) = delete;
  CommandClient& operator=(const CommandClient&) = delete;

  // Connects and waits for the broker's CONNACK (up to 5 s). False on failure.
  bool connect(int port, const std::string& user, const std::string& password);
  // Publishes `payload` on `topic` (QoS 0, not retained). False when the library refuses.
  bool publish(const std::string& topic, const std::string& payload);
  // Handles whatever the broker sent (keep-alive answers) without waiting.
  void service();

 private:
  struct mosquitto* mosq_ = nullptr;
  bool connected_ = false;
};

// Wall-clock seconds since the epoch, the clock of mosquitto_sub's %U time stamps.
double wall_now();

// Ends a child process of ours (a subscriber) when the group ends.
struct ChildGuard {
  pid_t pid = -1;
  ~ChildGuard() { test_support::end_child(pid); }
};

// Watches an actor's command block from a thread of its own and notes when each command landed.
// Command i carries the value base + i; commands travel in order on one connection, so value i in
// the block means that commands 0..i have been applied.
class LandingWatch {
 public:
  LandingWatch(const ShmView& view, int32_t real_id, double base, int n);
  ~LandingWatch();
  LandingWatch(const LandingWatch&) = delete;
  LandingWatch& operator=(const LandingWatch&) = delete;
  // Landing time (wall clock, s) of command i, NaN while it has not landed.
  double landed(int i) const;
  // The highest command index that landed, -1 before the first.
  int seen() const { return seen_; }

 private:
  void run();

  const ShmView& view_;
  const int32_t real_id_;
  const double base_;
  std::vector<double> landed_;
  std::atomic<int> seen_{-1};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Latencies in ms of commands 1..n from their send times (index 0, the warm-up, is left out), for
// the commands that arrived (at[i] not NaN).
std::vector<double> latencies(const std::vector<double>& sent, const std::vector<double>& at);

// Options of one run.
struct Options {
  int startup_runs = 5;
  int publish_rounds = 2;  // rounds of (N = 10, N = 50) after the first cycle (N = 50)
  int actor_samples = 200;
  int cpu_seconds = 10;
  int command_burst = 300;    // actor commands sent to the publishing daemon before its last cycle
  int command_stream = 2000;  // actor commands per sustained-rate figure
  int fleet = 1000;           // daemons of each fleet in the fleet group
};

// The groups; each adds its figures to the table and returns false when something failed to run.
bool run_startup(const Options& options, Table& table);
bool run_publish(const Options& options, Table& table);
bool run_idle(const Options& options, Table& table);
bool run_commands(const Options& options, Table& table);
bool run_discovery(const Options& options, Table& table);
bool run_reliability(const Options& options, Table& table);
bool run_fresh(const Options& options, Table& table);
bool run_cluster(const Options& options, Table& table);
bool run_fleet(const Options& options, Table& table);

}  // namespace bench
