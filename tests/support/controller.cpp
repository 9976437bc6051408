#include "support/controller.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "bridge/config.h"
#include "daemon/daemon.h"
#include "support/paths.h"

namespace test_support {

namespace {

// Attaches the segment of controller key `key` at `offset`; null when it is missing.
void* attach(int32_t key, int32_t offset, size_t size, bool read_only) {
  int id = shmget(key + offset, size, 0);
  if (id < 0) return nullptr;
  void* p = shmat(id, nullptr, read_only ? SHM_RDONLY : 0);
  return p == reinterpret_cast<void*>(-1) ? nullptr : p;
}

std::string section(const char* name, const std::vector<std::pair<std::string, std::string>>& e) {
  std::string s = std::string("\"") + name + "\":{";
  for (size_t i = 0; i < e.size(); ++i) {
    if (i > 0) s += ",";
    s += "\n    \"" + e[i].first + "\":\"" + e[i].second + "\"";
  }
  s += "}";
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Segments of this process

bool Segments::create(int32_t key, size_t size) {
  int id = shmget(key + offset_, size, IPC_CREAT | IPC_EXCL | 0666);
  if (id < 0) return false;
  ids_.push_back(id);
  return true;
}

bool Segments::create_all() {
  for (const shm_segment& s : kSegments)
    if (s.key != kKeyLedArray && s.key != kKeyRgbArray && !create(s.key, s.size)) return false;
  return true;
}

void Segments::remove_all() {
  for (int id : ids_) shmctl(id, IPC_RMID, nullptr);
  ids_.clear();
}

unsigned char* view(int32_t key) {
  return static_cast<unsigned char*>(attach(shm_key(key), 0, 0, false));
}

InProcessController::InProcessController()
    : offset_(unique_key_offset()), segments_(offset_), log_(offset_) {
  created_ = segments_.create_all() && shm_attach_all(0) == 1;
  daemon_install_hooks();
}

void set_entry(int32_t real_id, int32_t db_id, int32_t type, double value, const char* unit,
               int32_t error_code) {
  sensor_record& e = shm_sensor[real_id];
  e.db_id = db_id;
  e.type = type;
  e.value1.value = type == 1 ? value : 0.0;
  e.value2.value = type == 1 ? 0.0 : value;
  memset(e.unit, 0, sizeof e.unit);
  strncpy(e.unit, unit, sizeof e.unit - 1);
  e.error_code = error_code;
}

void set_publish_table(const std::vector<std::pair<int32_t, const char*>>& sensors) {
  mqtt_publish_sensor_dbids = static_cast<int32_t>(sensors.size());
  for (size_t i = 0; i < sensors.size(); ++i) {
    mqtt_publish_sensor_dbid[i] = sensors[i].first;
    snprintf(mqtt_publish_sensor_name[i], kCallNameSize, "%s", sensors[i].second);
  }
}

// As the read fills it: an actor whose action topic would not fit is left out.
void set_actor_table(const std::vector<std::pair<int32_t, const char*>>& actors) {
  mqtt_subscribe_actor_dbids = 0;
  for (const auto& [db_id, name] : actors) {
    const int32_t i = mqtt_subscribe_actor_dbids;
    if (static_cast<size_t>(action_topic(mqtt_username, name, mqtt_subscribe_actor_topic[i])) >=
        kActionTopicSize)
      continue;
    mqtt_subscribe_actor_dbid[i] = db_id;
    snprintf(mqtt_subscribe_actor_name[i], kCallNameSize, "%s", name);
    ++mqtt_subscribe_actor_dbids;
  }
}

// ---------------------------------------------------------------------------------------------
// Configuration files

BridgeConfig& BridgeConfig::name(int32_t db_id, const std::string& call_name) {
  call.emplace_back(std::to_string(db_id), call_name);
  return *this;
}

BridgeConfig& BridgeConfig::publish(int32_t db_id, const std::string& value) {
  pub.emplace_back(std::to_string(db_id), value);
  return *this;
}

BridgeConfig& BridgeConfig::subscribe(int32_t db_id, const std::string& value) {
  sub.emplace_back(std::to_string(db_id), value);
  return *this;
}

std::string BridgeConfig::access_json() const {
  return "{\n  \"uuid\":\"" + uuid + "\",\n  \"password\":\"" + password + "\",\n  \"host\":\"" +
         host + "\",\n  \"port\":\"" + port + "\"\n}\n";
}

std::string BridgeConfig::setup_json() const {
  std::string s = "{\n  \"ACTIV\":\"" + activ + "\",\n  \"loglevel\":\"" + loglevel +
                  "\",\n  \"interval\":\"" + interval + "\",\n  \"threshold\":\"" + threshold +
                  "\"";
  if (with_call) s += ",\n  " + section("call", call);
  if (with_pub) s += ",\n  " + section("pub", pub);
  if (with_sub) s += ",\n  " + section("sub", sub);
  return s + "\n}\n";
}

// ---------------------------------------------------------------------------------------------
// ToolController

ToolController::ToolController(Options options)
    : offset_(options.key_offset != 0 ? options.key_offset : unique_key_offset()),
      log_(dir_.path() + "/tmp/k482916.log") {
  for (const char* d : {"/tmp", "/opt/korvan/k482916", "/etc/korvanenv", "/etc/ssl/certs", "/dev"})
    std::filesystem::create_directories(root() + d);
  // Leftovers of an earlier process with the same pid (a crashed run) would make `create` refuse.
  for (const shm_segment& s : kSegments) remove_segment(s.key);
  if (!options.config_db.empty() && !make_config_db(root(), options.config_db))
    ADD_FAILURE() << "cannot write " << config_db_path(root());
  if (options.create_segments) create(options.locked);
}

ToolController::~ToolController() {
  ctl({"remove"});
  for (const shm_segment& s : kSegments) remove_segment(s.key);
}

Env ToolController::env() const {
  return {{"K482916_ROOT", root()}, {"K482916_SHM_KEY_OFFSET", std::to_string(offset_)}};
}

ProcessResult ToolController::ctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{ctl_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, env());
}

bool ToolController::ctl_ok(const std::vector<std::string>& args) const {
  ProcessResult r = ctl(args);
  if (r.status == 0) return true;
  std::string cmd;
  for (const auto& a : args) cmd += " " + a;
  ADD_FAILURE() << "k482916_ctl" << cmd << " exited with " << r.status << "\nstdout: " << r.out
                << "\nstderr: " << r.err;
  return false;
}

bool ToolController::create(bool locked) const {
  return locked ? ctl_ok({"create", "--locked"}) : ctl_ok({"create"});
}

bool ToolController::set(int32_t db_id, const std::string& value,
                         const EntryOptions& options) const {
  std::vector<std::string> args{"set", std::to_string(db_id), value, "--type",
                                std::to_string(options.type)};
  if (options.unit) args.insert(args.end(), {"--unit", *options.unit});
  if (options.error != 0) args.insert(args.end(), {"--error", std::to_string(options.error)});
  if (options.real_id >= 0) args.insert(args.end(), {"--real-id", std::to_string(options.real_id)});
  return ctl_ok(args);
}

bool ToolController::remove_segment(int32_t key) const {
  int id = shmget(key + offset_, 0, 0);
  return id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0;
}

std::optional<status_entry> ToolController::status(int32_t slot) const {
  auto* table =
      static_cast<status_entry*>(attach(kKeyDemonstatus, offset_, kSizeDemonstatus, true));
  if (table == nullptr) return std::nullopt;
  status_entry copy;
  memcpy(&copy, &table[slot], sizeof copy);
  shmdt(table);
  return copy;
}

bool ToolController::write_status(const status_entry& entry, int32_t slot) const {
  auto* table =
      static_cast<status_entry*>(attach(kKeyDemonstatus, offset_, kSizeDemonstatus, false));
  if (table == nullptr) return false;
  memcpy(&table[slot], &entry, sizeof entry);
  shmdt(table);
  return true;
}

std::optional<sensor_record> ToolController::entry(int32_t real_id) const {
  if (real_id < 0 || real_id >= kSensorCount) return std::nullopt;
  auto* table = static_cast<sensor_record*>(attach(kKeySensordata, offset_, kSizeSensordata, true));
  if (table == nullptr) return std::nullopt;
  sensor_record copy;
  memcpy(&copy, &table[real_id], sizeof copy);
  shmdt(table);
  return copy;
}

std::optional<sensor_record> ToolController::entry_by_db_id(int32_t db_id) const {
  auto* table = static_cast<sensor_record*>(attach(kKeySensordata, offset_, kSizeSensordata, true));
  if (table == nullptr) return std::nullopt;
  std::optional<sensor_record> result;
  for (int32_t i = 0; i < kSensorCount && !result; ++i)
    if (table[i].db_id == db_id) {
      sensor_record copy;
      memcpy(&copy, &table[i], sizeof copy);
      result = copy;
    }
  shmdt(table);
  return result;
}

bool ToolController::wait_status(const std::function<bool(const status_entry&)>& pred,
                                 milliseconds timeout) const {
  return wait_until(
      [&] {
        auto s = status();
        return s && pred(*s);
      },
      timeout);
}

std::string ToolController::describe_status() const {
  auto s = status();
  if (!s) return "status table missing";
  std::ostringstream o;
  o << "slot " << s->slot << ", name \"" << field_text(s->name) << "\", version \""
    << field_text(s->version) << "\", start " << s->start_time << ", update " << s->update_time
    << ", counter " << s->counter << ", status_text \"" << field_text(s->status_text)
    << "\", extra_text \"" << field_text(s->extra_text) << "\", state " << s->state
    << ", state_text \"" << field_text(s->state_text) << "\"";
  return o.str();
}

bool ToolController::write_broker_access(const std::string& text) const {
  return write_file(path("/opt/korvan/k482916/brokerAccess.json"), text);
}

bool ToolController::write_broker_setup(const std::string& text) const {
  return write_file(path("/opt/korvan/k482916/brokerSetup.json"), text);
}

bool ToolController::write_config(const BridgeConfig& config) const {
  return write_broker_access(config.access_json()) && write_broker_setup(config.setup_json());
}

// ---------------------------------------------------------------------------------------------
// Daemon

Daemon::Daemon(const ToolController& controller, const std::vector<std::string>& args,
               const Env& env)
    : controller_(controller) {
  static int serial = 0;
  ++serial;
  stdout_path_ = controller.root() + "/daemon" + std::to_string(serial) + ".stdout";
  stderr_path_ = controller.root() + "/daemon" + std::to_string(serial) + ".stderr";
  std::vector<std::string> argv{daemon_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  Env all = controller.env();
  all.insert(all.end(), env.begin(), env.end());
  pid_ = spawn(argv, stdout_path_, stderr_path_, all);
  if (pid_ <= 0) ADD_FAILURE() << "cannot start " << daemon_binary();
}

Daemon::~Daemon() {
  kill();
  // A sanitizer build reports memory and undefined-behaviour faults on stderr; they fail the test
  // even when the checks of the test itself did not notice the daemon's end.
  std::string err = stderr_text();
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
    if (err.find(report) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from the daemon:\n" << err;
      break;
    }
}

void Daemon::reap(int status) {
  exit_status_ = exit_code(status);
  pid_ = -pid_;  // keep the number for messages, but never signal a reaped pid
}

bool Daemon::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) reap(status);
  return pid_ > 0;
}

bool Daemon::signal(int signo) const {
  return pid_ > 0 && ::kill(pid_, signo) == 0;
}

std::optional<int> Daemon::wait_exit(milliseconds timeout) {
  wait_until([&] { return !running(); }, timeout, 10ms);
  return exit_status_;
}

std::optional<int> Daemon::kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) reap(status);
  }
  return exit_status_;
}

bool Daemon::wait_main_loop(milliseconds timeout) const {
  return controller_.wait_status(
      [](const status_entry& s) { return s.counter >= 1 && field_text(s.state_text) != "startup"; },
      timeout);
}

std::string Daemon::diagnostics() const {
  std::string tail = log().text();
  if (tail.size() > 6000) tail = "(...)" + tail.substr(tail.size() - 6000);
  return "\n--- status: " + controller_.describe_status() + "\n--- log:\n" + tail +
         "\n--- stdout:\n" + stdout_text() + "\n--- stderr:\n" + stderr_text();
}

// ---------------------------------------------------------------------------------------------
// Scenario

BrokerOptions Scenario::broker_options() {
  BrokerOptions o;
  o.user = kUser;
  o.password = kPassword;
  return o;
}

Scenario::Scenario(BrokerOptions broker, ToolController::Options controller)
    : broker_(std::make_unique<Broker>(std::move(broker))),
      controller_(std::make_unique<ToolController>(std::move(controller))) {
  if (!broker_->running()) ADD_FAILURE() << "broker did not start:\n" << broker_->log();
}

Scenario::~Scenario() {
  // The daemon goes first: it must not see its broker or segments vanish while it runs.
  daemon_.reset();
  controller_.reset();
  broker_.reset();
}

BridgeConfig Scenario::config() const {
  BridgeConfig c;
  c.uuid = broker_->user();
  c.password = broker_->password();
  c.host = "127.0.0.1";
  c.port = std::to_string(broker_->port());
  return c;
}

Daemon& Scenario::start_daemon(const std::vector<std::string>& args, const Env& env) {
  daemon_.reset();
  daemon_ = std::make_unique<Daemon>(*controller_, args, env);
  return *daemon_;
}

std::unique_ptr<Subscriber> Scenario::subscribe(const std::string& topic) const {
  auto s = std::make_unique<Subscriber>(*broker_, topic);
  if (!s->ready()) ADD_FAILURE() << "subscriber on " << topic << " not ready\n" << broker_->log();
  return s;
}

bool Scenario::publish(const std::string& topic, const std::string& payload, bool retain,
                       int qos) const {
  return test_support::publish(broker_->client(), topic, payload, retain, qos) == 0;
}

std::string Scenario::diagnostics() const {
  std::string broker_log = broker_->log();
  if (broker_log.size() > 3000) broker_log = "(...)" + broker_log.substr(broker_log.size() - 3000);
  return (daemon_ ? daemon_->diagnostics() : std::string("\n(no daemon)")) + "\n--- broker log:\n" +
         broker_log;
}

}  // namespace test_support
