// The controller's side of a test: segments at a key offset of the test process, and two
// controllers for the two ways the code under test runs.
//
//   InProcessController  the code under test runs in this process: segments made with shmget and
//                        attached here with shm_attach_all, the log under a LogRoot.
//   ToolController       the daemon runs as a process of its own (Daemon): a root folder,
//                        segments made and removed with the real tool build/k482916_ctl,
//                        configuration files and database, direct reads of the status and sensor
//                        entries.
//   Scenario             a Broker plus a ToolController whose configuration points at it, and at
//                        most one running Daemon: the usual set-up of an integration test.
//
//   test_support::Scenario s;                   // broker up, segments created, lock released
//   test_support::BridgeConfig cfg = s.config();  // uuid/password/host/port of the broker
//   cfg.name(1001, "kitchen").publish(1001);
//   s.controller().write_config(cfg);
//   ASSERT_TRUE(s.controller().set(1001, "21.5", {.unit = "C"}));
//   test_support::Daemon& d = s.start_daemon();
//   ASSERT_TRUE(d.wait_main_loop()) << d.diagnostics();
//
// Key offsets: ctest runs every test case in a process of its own and process ids of live
// processes differ, so unique_key_offset() gives every test process keys nobody else uses.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/broker.h"
#include "support/files.h"
#include "support/log.h"
#include "support/process.h"

namespace test_support {

// Waits chosen for the daemon's timing: a full configuration read takes about 5 s (1 s pause plus
// two 2-s service periods), a publish cycle with interval 5 comes every ~6 s. The margins allow
// for a sanitizer build on a busy machine.
constexpr milliseconds kStartupWait = 25s;  // process start to the main loop
constexpr milliseconds kReadWait = 20s;     // one full configuration read (reload)
constexpr milliseconds kCycleWait = 20s;    // the next publish cycle
constexpr milliseconds kQuickWait = 5s;     // something that follows at once (actor command)

// 32 keys per process: enough for the controller's range 41984..41998.
inline int32_t unique_key_offset() {
  return 0x200000 + (static_cast<int32_t>(getpid()) % 0x10000) * 32;
}

// Creates segments (zeroed, mode 0666) at `offset` and removes them when the object goes. Attached
// pointers of the process stay valid after removal until the process ends.
class Segments {
 public:
  explicit Segments(int32_t offset) : offset_(offset) {}
  ~Segments() { remove_all(); }
  Segments(const Segments&) = delete;
  Segments& operator=(const Segments&) = delete;

  // Creates one segment (controller key, without offset); false when it cannot be made.
  bool create(int32_t key, size_t size);
  // The reload record, the five tables and the status table (kSegments without the two arrays).
  bool create_all();
  void remove_all();

 private:
  int32_t offset_;
  std::vector<int> ids_;
};

// Attaches the existing segment with controller key `key` (the current key offset of paths_set
// added), apart from the code's own pointers. Null when the segment does not exist.
unsigned char* view(int32_t key);
inline int32_t read_i32(const unsigned char* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void write_i32(unsigned char* p, int32_t v) {
  std::memcpy(p, &v, sizeof v);
}

// Text of a fixed-size NUL-terminated field (stops at the first NUL or at the field's end).
template <size_t N>
std::string field_text(const char (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n] != '\0') ++n;
  return std::string(field, n);
}

// The controller's segments at this process's key offset, attached in this process
// (shm_attach_all(0)), the log under a LogRoot, and the modules joined as the daemon joins them
// (daemon_install_hooks).
class InProcessController {
 public:
  InProcessController();
  bool ready() const { return created_ && shm_sensor != nullptr; }
  const LogRoot& log() const { return log_; }

 private:
  int32_t offset_;
  Segments segments_;
  LogRoot log_;
  bool created_ = false;
};

// Writes an attached sensor entry the way the controller does.
void set_entry(int32_t real_id, int32_t db_id, int32_t type, double value, const char* unit = "",
               int32_t error_code = 0);
// Fills the bridge's publish and actor tables (bridge/config.h) as a configuration read would.
void set_publish_table(const std::vector<std::pair<int32_t, const char*>>& sensors);
void set_actor_table(const std::vector<std::pair<int32_t, const char*>>& actors);

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

// A controller for a daemon process: root folder, key offset, segments, configuration files and
// database. ROOT holds tmp/, opt/korvan/k482916/, etc/korvanenv/, etc/ssl/certs/ and dev/.
class ToolController {
 public:
  struct Options {
    bool create_segments = true;  // `k482916_ctl create` in the constructor
    bool locked = false;          // ... with --locked
    int32_t key_offset = 0;       // 0: unique_key_offset(), one controller per test process
    // Rows of ROOT/etc/korvanenv/config.s3db written in the constructor. The default raises the
    // log size limit so that no test loses earlier log lines to a truncation.
    std::vector<Row> config_db = {{"/demons/max_logfile_size", "50000000"}};
  };
  ToolController() : ToolController(Options{}) {}
  explicit ToolController(Options options);
  // Runs `k482916_ctl remove` and removes whatever is left at the offset keys with shmctl.
  ~ToolController();
  ToolController(const ToolController&) = delete;
  ToolController& operator=(const ToolController&) = delete;

  const std::string& root() const { return dir_.path(); }
  int32_t key_offset() const { return offset_; }
  // K482916_ROOT and K482916_SHM_KEY_OFFSET for a process of this controller.
  Env env() const;
  // root() followed by an absolute path of the controller.
  std::string path(const std::string& absolute) const { return root() + absolute; }
  // ROOT/tmp/k482916.log
  const LogFile& log() const { return log_; }

  // --- the real tool, with this controller's environment ---
  // Any command of the tool, e.g. ctl({"show", "1001"}) or ctl({"status"}).
  ProcessResult ctl(const std::vector<std::string>& args) const;
  // Runs the tool; on a non-zero exit adds a test failure with the tool's output and returns false.
  bool ctl_ok(const std::vector<std::string>& args) const;
  bool create(bool locked = false) const;
  bool remove() const { return ctl_ok({"remove"}); }
  bool lock() const { return ctl_ok({"lock"}); }
  bool unlock() const { return ctl_ok({"unlock"}); }
  bool reload() const { return ctl_ok({"reload"}); }
  // Writes the entry of db_id the way the controller does (all four fields of the value block).
  bool set(int32_t db_id, const std::string& value, const EntryOptions& options = {}) const;

  // --- direct access to the segments ---
  // Removes one segment (controller key, without offset) with shmctl; false when it is missing.
  bool remove_segment(int32_t key) const;
  // Copy of the status entry of `slot`; nullopt when the status table is missing.
  std::optional<status_entry> status(int32_t slot = kDemonSlot) const;
  // Writes a whole status entry (to prepare stale contents before a start).
  bool write_status(const status_entry& entry, int32_t slot = kDemonSlot) const;
  // Copy of the sensor entry at real_id; nullopt when the sensor table is missing.
  std::optional<sensor_record> entry(int32_t real_id) const;
  // Copy of the first entry holding db_id, as the daemon finds it; nullopt when there is none.
  std::optional<sensor_record> entry_by_db_id(int32_t db_id) const;
  // Waits until the status entry satisfies pred.
  bool wait_status(const std::function<bool(const status_entry&)>& pred,
                   milliseconds timeout) const;
  // Decoded status entry for failure messages.
  std::string describe_status() const;

  // --- files (below ROOT/opt/korvan/k482916) ---
  bool write_broker_access(const std::string& text) const;
  bool write_broker_setup(const std::string& text) const;
  bool write_config(const BridgeConfig& config) const;

 private:
  TempDir dir_;
  int32_t offset_;
  LogFile log_;
};

// The daemon as a child process of the test. Its stdout is a file, so what it prints there is
// fully buffered by stdio: it shows up in stdout_text() when the daemon flushes or exits (not
// when it is killed with SIGKILL).
class Daemon {
 public:
  // Starts build/mqtt_k482916_demon with `args` and the controller's environment plus `env`;
  // stdout and stderr go to files in the root folder.
  explicit Daemon(const ToolController& controller, const std::vector<std::string>& args = {},
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

  const ToolController& controller_;
  std::string stdout_path_;
  std::string stderr_path_;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
};

// Broker, controller and (at most one) daemon, released in the reverse order. The broker's user is
// a device UUID, as on a real controller; config() returns the settings that reach it.
class Scenario {
 public:
  static constexpr const char* kUser = "5b1e7c2a-3d4f-4a6b-9c8d-0e1f2a3b4c5d";
  static constexpr const char* kPassword = "s3cret-pw";

  // The broker options of Scenario(): user kUser with password kPassword on a free port. Start
  // from these to add a TLS listener or fixed ports.
  static BrokerOptions broker_options();

  Scenario() : Scenario(broker_options(), ToolController::Options{}) {}
  explicit Scenario(ToolController::Options controller)
      : Scenario(broker_options(), std::move(controller)) {}
  Scenario(BrokerOptions broker, ToolController::Options controller);
  ~Scenario();

  Broker& broker() { return *broker_; }
  ToolController& controller() { return *controller_; }
  const LogFile& log() const { return controller_->log(); }
  // Interval 5, threshold 0.1, log level 4, enabled, broker host/port/user/password, no entries.
  BridgeConfig config() const;
  // Starts the daemon (ending one started before).
  Daemon& start_daemon(const std::vector<std::string>& args = {}, const Env& env = {});
  Daemon& daemon() { return *daemon_; }
  // A subscriber with the broker's user on `topic`.
  std::unique_ptr<Subscriber> subscribe(const std::string& topic) const;
  // Publishes with the broker's user; true when mosquitto_pub succeeded.
  bool publish(const std::string& topic, const std::string& payload, bool retain = false,
               int qos = 0) const;
  // Daemon diagnostics plus the broker's log.
  std::string diagnostics() const;

 private:
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<ToolController> controller_;
  std::unique_ptr<Daemon> daemon_;
};

}  // namespace test_support
