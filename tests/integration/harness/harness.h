// The integration harness: a simulated controller, the daemon as a real process and a real broker,
// each released by its destructor (also when a test fails half-way).
//
// Parts, from the bottom up:
//   run_process()   runs a program to its end with a bounded wait, capturing stdout and stderr.
//   LogFile         reads the daemon's log ROOT/tmp/k482916.log, waits for lines, parses them.
//   BridgeConfig    builds brokerAccess.json and brokerSetup.json in the layout the daemon reads.
//   Controller      a temporary root folder and a key offset of its own, the controller's segments
//                   made and removed with the real tool (build/k482916_ctl), the configuration
//                   files and database, and direct reads of the status entry and sensor entries.
//   Daemon          build/mqtt_k482916_demon started with the controller's root and key offset,
//                   stdout and stderr to files, signals, bounded waits for its exit.
//   Scenario        a broker (tests/support/broker.h) plus a controller whose configuration points
//                   at it, and at most one running daemon: the usual set-up of a bridge test.
//
// Typical use:
//   harness::Scenario s;                        // broker up, segments created, lock released
//   harness::BridgeConfig cfg = s.config();     // uuid/password/host/port of the broker
//   cfg.name(1001, "kitchen").publish(1001);
//   s.controller().write_config(cfg);
//   ASSERT_TRUE(s.controller().set(1001, "21.5", {.unit = "C"}));
//   harness::Daemon& d = s.start_daemon();
//   ASSERT_TRUE(d.wait_main_loop()) << d.diagnostics();
//
// Environment: K482916_BUILD_DIR (set by ctest) names the folder with both executables; without
// it the folder of the running test executable is used. Every wait is bounded and polls every
// 50 ms. Nothing here is shared between test processes: root folder, key offset, broker port and
// child processes are private to the test process, so tests run in parallel.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "support/broker.h"
#include "support/test_env.h"

namespace harness {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Waits chosen for the daemon's timing: a full configuration read takes about 5 s (1 s pause plus
// two 2-s service periods), a publish cycle with interval 5 comes every ~6 s. The margins allow
// for a sanitizer build on a busy machine.
constexpr milliseconds kPoll = 50ms;
constexpr milliseconds kStartupWait = 25s;  // process start to the main loop
constexpr milliseconds kReadWait = 20s;     // one full configuration read (reload)
constexpr milliseconds kCycleWait = 20s;    // the next publish cycle
constexpr milliseconds kQuickWait = 5s;     // something that follows at once (actor command)

// Environment additions: name and value.
using Env = std::vector<std::pair<std::string, std::string>>;

// Calls pred every `poll` until it returns true or `timeout` has passed; returns its last result.
bool wait_until(const std::function<bool()>& pred, milliseconds timeout, milliseconds poll = kPoll);

// The folder that holds mqtt_k482916_demon and k482916_ctl.
std::string build_dir();
std::string daemon_binary();
std::string ctl_binary();

// Whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
// Writes `text` to path, creating or emptying it. Returns false on failure.
bool write_file(const std::string& path, const std::string& text);

// Result of a program run to its end.
struct ProcessResult {
  // Exit status; 128 + n when ended by signal n; -1 when it could not be started or was killed
  // after the timeout.
  int status = -1;
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
};

// Runs argv (argv[0] a path) with the test's environment plus `env` (which replaces variables of
// the same name), stdin from /dev/null. Kills it after `timeout`.
ProcessResult run_process(const std::vector<std::string>& argv, const Env& env = {},
                          milliseconds timeout = 20s);

// Text of a fixed-size NUL-terminated field (stops at the first NUL or at the field's end).
template <size_t N>
std::string field_text(const char (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n] != '\0') ++n;
  return std::string(field, n);
}

// One line of the daemon's log: "YYYY-MM-DD,HH:MM:SS[level]text".
struct LogLine {
  std::string stamp;  // "YYYY-MM-DD,HH:MM:SS"
  int level = 0;
  std::string text;
};

// Parses one log line; false when it does not have the log's line format.
bool parse_log_line(const std::string& line, LogLine* out);

// Read access to a log file that another process appends to. Positions are byte offsets, so a test
// can take a mark before an action and look only at what was written after it.
class LogFile {
 public:
  explicit LogFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // Current size: a mark for the `from` arguments below.
  size_t mark() const;
  // Text from byte `from` to the end.
  std::string text(size_t from = 0) const;
  // Whole lines from byte `from` on (a line still being written is left out).
  std::vector<std::string> lines(size_t from = 0) const;
  // Parsed lines whose text contains `part`.
  std::vector<LogLine> find(const std::string& part, size_t from = 0) const;
  bool contains(const std::string& part, size_t from = 0) const;
  int count(const std::string& part, size_t from = 0) const;
  // Waits until at least `n` lines from `from` on contain `part`.
  bool wait_for(const std::string& part, milliseconds timeout, size_t from = 0, int n = 1) const;

 private:
  std::string path_;
};

// The two configuration files of the bridge, in the layout the daemon reads: every value a quoted
// string, the three sections written as "call":{"1001":"name",...} with nothing between key,
// colon and brace. Top-level keys come first, in the order of the members below, then the
// sections. Raw entries (any key text and value) can be added to the section vectors directly.
struct BridgeConfig {
  std::string uuid;
  std::string password;
  std::string host = "127.0.0.1";
  std::string port = "1883";
  std::string activ = "1";
  std::string loglevel = "4";
  std::string interval = "5";
  std::string threshold = "0.1";
  // Section entries (key text, value text), written in this order.
  std::vector<std::pair<std::string, std::string>> call;
  std::vector<std::pair<std::string, std::string>> pub;
  std::vector<std::pair<std::string, std::string>> sub;
  // A false flag leaves the section out of the file altogether.
  bool with_call = true;
  bool with_pub = true;
  bool with_sub = true;

  BridgeConfig& name(int32_t db_id, const std::string& call_name);
  BridgeConfig& publish(int32_t db_id, const std::string& value = "on");
  BridgeConfig& subscribe(int32_t db_id, const std::string& value = "on");

  std::string access_json() const;
  std::string setup_json() const;
};

// Fields of an entry written with `k482916_ctl set` beside DB id and value.
struct EntryOptions {
  int type = 1;
  std::optional<std::string> unit = std::nullopt;
  int error = 0;
  int real_id = -1;  // -1: the tool finds the entry by DB id or takes the first free one
};

// A simulated controller: root folder, key offset, segments, configuration files and database.
class Controller {
 public:
  struct Options {
    bool create_segments = true;  // `k482916_ctl create` in the constructor
    bool locked = false;          // ... with --locked
    // Rows of ROOT/etc/korvanenv/config.s3db written in the constructor. The default raises the
    // log size limit so that no test loses earlier log lines to a truncation.
    std::vector<std::pair<std::string, std::string>> config_db = {
        {"/demons/max_logfile_size", "50000000"}};
  };
  Controller();
  explicit Controller(Options options);
  // Runs `k482916_ctl remove` and removes whatever is left at the offset keys with shmctl.
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  const std::string& root() const { return dir_.path(); }
  int32_t key_offset() const { return offset_; }
  // K482916_ROOT and K482916_SHM_KEY_OFFSET for a process of this controller.
  Env env() const;
  // root() followed by an absolute path of the controller.
  std::string path(const std::string& absolute) const { return root() + absolute; }
  LogFile& log() { return log_; }
  const LogFile& log() const { return log_; }

  // --- the real tool, with this controller's environment ---
  // Any command of the tool, e.g. ctl({"show", "1001"}) or ctl({"status"}).
  ProcessResult ctl(const std::vector<std::string>& args) const;
  // Runs the tool; on a non-zero exit adds a test failure with the tool's output and returns false.
  bool ctl_ok(const std::vector<std::string>& args) const;
  bool create(bool locked = false) const;
  bool remove() const;
  bool lock() const { return ctl_ok({"lock"}); }
  bool unlock() const { return ctl_ok({"unlock"}); }
  bool reload() const { return ctl_ok({"reload"}); }
  // Writes the entry of db_id the way the controller does (all four fields of the value block).
  bool set(int32_t db_id, const std::string& value, const EntryOptions& options = {}) const;

  // --- direct access to the segments ---
  // Removes one segment (controller key, without offset) with shmctl; false when it is missing.
  bool remove_segment(int32_t key) const;
  // Copy of the status entry of `slot`; nullopt when the status table is missing.
  std::optional<status_entry> status(int32_t slot = 68) const;
  // Writes a whole status entry (to prepare stale contents before a start).
  bool write_status(const status_entry& entry, int32_t slot = 68) const;
  // Copy of the sensor entry at real_id; nullopt when the sensor table is missing.
  std::optional<sensor_record> entry(int32_t real_id) const;
  // Copy of the first entry holding db_id, as the daemon finds it; nullopt when there is none.
  std::optional<sensor_record> entry_by_db_id(int32_t db_id) const;
  // Waits until the status entry satisfies pred.
  bool wait_status(const std::function<bool(const status_entry&)>& pred,
                   milliseconds timeout) const;
  // Decoded status entry for failure messages.
  std::string describe_status() const;

  // --- files ---
  bool write_broker_access(const std::string& text) const;
  bool write_broker_setup(const std::string& text) const;
  bool write_config(const BridgeConfig& config) const;
  // Replaces ROOT/etc/korvanenv/config.s3db by a database whose table config(tag, value) holds
  // exactly these rows.
  bool write_config_db(const std::vector<std::pair<std::string, std::string>>& rows) const;

 private:
  test_env::TempDir dir_;
  int32_t offset_;
  LogFile log_;
};

// The daemon as a child process of the test. Its stdout is a file, so what it prints there is
// fully buffered by stdio: it shows up in stdout_text() when the daemon flushes or exits (not
// when it is killed with SIGKILL).
class Daemon {
 public:
  // Starts build/mqtt_k482916_demon with `args` and the controller's environment plus `env`.
  // stdout and stderr go to files in the root folder. The child is killed with SIGKILL when the
  // test process dies.
  explicit Daemon(const Controller& controller, const std::vector<std::string>& args = {},
                  const Env& env = {});
  // Kills the daemon (SIGKILL) if it still runs and reaps it. A sanitizer report on its stderr
  // fails the test.
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // True while the process has not ended (reaps it when it has).
  bool running();
  bool signal(int signo) const;
  // Waits for the end: exit status, 128 + n for signal n, or nullopt when it still runs after the
  // timeout (it keeps running).
  std::optional<int> wait_exit(milliseconds timeout);
  // SIGKILL and reap; returns the status as wait_exit does.
  std::optional<int> kill();
  // Status once ended, nullopt while running.
  std::optional<int> exit_status() const { return exit_status_; }

  std::string stdout_text() const { return read_file(stdout_path_); }
  std::string stderr_text() const { return read_file(stderr_path_); }
  const LogFile& log() const { return controller_.log(); }

  // Waits until the main loop has made its first passes: the loop counter in the status entry is
  // at least 1 and the state text is no longer "startup".
  bool wait_main_loop(milliseconds timeout = kStartupWait) const;
  // Status entry, log tail, stdout and stderr, for failure messages.
  std::string diagnostics() const;

 private:
  void reap(int status);

  const Controller& controller_;
  std::string stdout_path_;
  std::string stderr_path_;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
};

// The payload the daemon publishes for these fields (already JSON-escaped as they appear in the
// payload); the time stamp must have the form "HH:MM:SS DD.MM.YYYY".
bool payload_matches(const std::string& payload, const std::string& call, const std::string& value,
                     const std::string& type, const std::string& unit);

// A message received by a Subscriber line ("TOPIC RETAIN PAYLOAD").
struct Received {
  std::string topic;
  bool retained = false;
  std::string payload;
};
std::vector<Received> received(const test_broker::Subscriber& subscriber);
// The received messages on exactly this topic.
std::vector<Received> received_on(const test_broker::Subscriber& subscriber,
                                  const std::string& topic);

// Broker, controller and (at most one) daemon. The broker's user is a device UUID, as on a real
// controller; config() returns the settings that reach it.
class Scenario {
 public:
  static constexpr const char* kUser = "5b1e7c2a-3d4f-4a6b-9c8d-0e1f2a3b4c5d";
  static constexpr const char* kPassword = "s3cret-pw";

  // The broker options of Scenario(): user kUser with password kPassword on a free port. Start
  // from these to add a TLS listener or fixed ports.
  static test_broker::BrokerOptions broker_options();

  Scenario();
  explicit Scenario(Controller::Options controller);
  Scenario(test_broker::BrokerOptions broker, Controller::Options controller);
  ~Scenario();

  test_broker::Broker& broker() { return *broker_; }
  Controller& controller() { return *controller_; }
  const LogFile& log() const { return controller_->log(); }
  // Interval 5, threshold 0.1, log level 4, enabled, broker host/port/user/password, no entries.
  BridgeConfig config() const;
  // Starts the daemon (ending one started before).
  Daemon& start_daemon(const std::vector<std::string>& args = {}, const Env& env = {});
  Daemon& daemon() { return *daemon_; }
  // A subscriber with the broker's user on `topic`.
  std::unique_ptr<test_broker::Subscriber> subscribe(const std::string& topic) const;
  // Publishes with the broker's user; true when mosquitto_pub succeeded.
  bool publish(const std::string& topic, const std::string& payload, bool retain = false) const;
  // Daemon diagnostics plus the broker's log.
  std::string diagnostics() const;

 private:
  std::unique_ptr<test_broker::Broker> broker_;
  std::unique_ptr<Controller> controller_;
  std::unique_ptr<Daemon> daemon_;
};

}  // namespace harness
