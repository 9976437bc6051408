#include "integration/harness/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "shm/shm.h"

extern char** environ;

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

// Environment block for a child: the test's own variables, with those named in `env` replaced.
std::vector<std::string> child_environment(const Env& env) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : env)
      if (entry.rfind(name + "=", 0) == 0) replaced = true;
    if (!replaced) result.push_back(entry);
  }
  for (const auto& [name, value] : env) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// fork + exec with stdin from /dev/null and stdout/stderr to the given descriptors. Everything the
// child needs is prepared before the fork, so the child only makes system calls.
pid_t spawn_child(std::vector<std::string> args, std::vector<std::string> envs, int out_fd,
                  int err_fd) {
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(envs);
  int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (null_in >= 0) dup2(null_in, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    // Start with the default signal dispositions and an empty mask, as a shell would: the
    // test process may have inherited or set other ones.
    for (int s = 1; s < 32; ++s) ::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (null_in >= 0) close(null_in);
  return pid;
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Attaches the segment of controller key `key` at `offset`; null when it is missing.
void* attach(int32_t key, int32_t offset, size_t size, bool read_only) {
  int id = shmget(key + offset, size, 0);
  if (id < 0) return nullptr;
  void* p = shmat(id, nullptr, read_only ? SHM_RDONLY : 0);
  return p == reinterpret_cast<void*>(-1) ? nullptr : p;
}

std::string regex_escape(const std::string& s) {
  static const std::string special = R"(\^$.|?*+()[]{}/)";
  std::string out;
  for (char c : s) {
    if (special.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
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

bool wait_until(const std::function<bool()>& pred, milliseconds timeout, milliseconds poll) {
  auto end = Clock::now() + timeout;
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= end) return pred();
    std::this_thread::sleep_for(poll);
  }
}

std::string build_dir() {
  if (const char* dir = getenv("K482916_BUILD_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string daemon_binary() {
  return build_dir() + "/mqtt_k482916_demon";
}
std::string ctl_binary() {
  return build_dir() + "/k482916_ctl";
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

ProcessResult run_process(const std::vector<std::string>& argv, const Env& env,
                          milliseconds timeout) {
  ProcessResult result;
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  if (out == nullptr || err == nullptr) {
    if (out != nullptr) fclose(out);
    if (err != nullptr) fclose(err);
    return result;
  }
  pid_t pid = spawn_child(argv, child_environment(env), fileno(out), fileno(err));
  if (pid > 0) {
    auto end = Clock::now() + timeout;
    int status = 0;
    for (;;) {
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        result.status = decode_status(status);
        break;
      }
      if (r < 0) break;
      if (Clock::now() >= end) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(2ms);
    }
  }
  auto slurp = [](FILE* f) {
    std::string s;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
  };
  result.out = slurp(out);
  result.err = slurp(err);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Log

bool parse_log_line(const std::string& line, LogLine* out) {
  static const std::regex re(R"(^(\d{4}-\d{2}-\d{2},\d{2}:\d{2}:\d{2})\[(-?\d+)\]([\s\S]*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, re)) return false;
  out->stamp = m[1];
  out->level = std::stoi(m[2]);
  out->text = m[3];
  return true;
}

size_t LogFile::mark() const {
  struct stat st;
  return stat(path_.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string LogFile::text(size_t from) const {
  std::string all = read_file(path_);
  return from < all.size() ? all.substr(from) : std::string();
}

std::vector<std::string> LogFile::lines(size_t from) const {
  std::string t = text(from);
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t nl; (nl = t.find('\n', start)) != std::string::npos; start = nl + 1)
    result.push_back(t.substr(start, nl - start));
  return result;
}

std::vector<LogLine> LogFile::find(const std::string& part, size_t from) const {
  std::vector<LogLine> result;
  for (const auto& l : lines(from)) {
    LogLine parsed;
    if (parse_log_line(l, &parsed) && parsed.text.find(part) != std::string::npos)
      result.push_back(parsed);
  }
  return result;
}

bool LogFile::contains(const std::string& part, size_t from) const {
  return text(from).find(part) != std::string::npos;
}

int LogFile::count(const std::string& part, size_t from) const {
  int n = 0;
  for (const auto& l : lines(from))
    if (l.find(part) != std::string::npos) ++n;
  return n;
}

bool LogFile::wait_for(const std::string& part, milliseconds timeout, size_t from, int n) const {
  return wait_until([&] { return count(part, from) >= n; }, timeout);
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
// Controller

Controller::Controller() : Controller(Options{}) {}

Controller::Controller(Options options)
    : offset_(test_env::unique_key_offset()), log_(dir_.path() + "/tmp/k482916.log") {
  for (const char* d : {"/tmp", "/opt/korvan/k482916", "/etc/korvanenv", "/etc/ssl/certs", "/dev"})
    std::filesystem::create_directories(root() + d);
  // Leftovers of an earlier process with the same pid (a crashed run) would make `create` refuse.
  for (int32_t key = kKeyReload; key <= kKeySensordata2; ++key) remove_segment(key);
  if (!options.config_db.empty()) write_config_db(options.config_db);
  if (options.create_segments) create(options.locked);
}

Controller::~Controller() {
  ctl({"remove"});
  for (int32_t key = kKeyReload; key <= kKeySensordata2; ++key) remove_segment(key);
}

Env Controller::env() const {
  return {{"K482916_ROOT", root()}, {"K482916_SHM_KEY_OFFSET", std::to_string(offset_)}};
}

ProcessResult Controller::ctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{ctl_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, env());
}

bool Controller::ctl_ok(const std::vector<std::string>& args) const {
  ProcessResult r = ctl(args);
  if (r.status == 0) return true;
  std::string cmd;
  for (const auto& a : args) cmd += " " + a;
  ADD_FAILURE() << "k482916_ctl" << cmd << " exited with " << r.status << "\nstdout: " << r.out
                << "\nstderr: " << r.err;
  return false;
}

bool Controller::create(bool locked) const {
  return locked ? ctl_ok({"create", "--locked"}) : ctl_ok({"create"});
}

bool Controller::remove() const {
  return ctl_ok({"remove"});
}

bool Controller::set(int32_t db_id, const std::string& value, const EntryOptions& options) const {
  std::vector<std::string> args{"set", std::to_string(db_id), value, "--type",
                                std::to_string(options.type)};
  if (options.unit) args.insert(args.end(), {"--unit", *options.unit});
  if (options.error != 0) args.insert(args.end(), {"--error", std::to_string(options.error)});
  if (options.real_id >= 0) args.insert(args.end(), {"--real-id", std::to_string(options.real_id)});
  return ctl_ok(args);
}

bool Controller::remove_segment(int32_t key) const {
  int id = shmget(key + offset_, 0, 0);
  return id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0;
}

std::optional<status_entry> Controller::status(int32_t slot) const {
  auto* table =
      static_cast<status_entry*>(attach(kKeyDemonstatus, offset_, kSizeDemonstatus, true));
  if (table == nullptr) return std::nullopt;
  status_entry copy;
  memcpy(&copy, &table[slot], sizeof copy);
  shmdt(table);
  return copy;
}

bool Controller::write_status(const status_entry& entry, int32_t slot) const {
  auto* table =
      static_cast<status_entry*>(attach(kKeyDemonstatus, offset_, kSizeDemonstatus, false));
  if (table == nullptr) return false;
  memcpy(&table[slot], &entry, sizeof entry);
  shmdt(table);
  return true;
}

std::optional<sensor_record> Controller::entry(int32_t real_id) const {
  auto* table = static_cast<sensor_record*>(attach(kKeySensordata, offset_, kSizeSensordata, true));
  if (table == nullptr || real_id < 0 || real_id >= kSensorCount) {
    if (table != nullptr) shmdt(table);
    return std::nullopt;
  }
  sensor_record copy;
  memcpy(&copy, &table[real_id], sizeof copy);
  shmdt(table);
  return copy;
}

std::optional<sensor_record> Controller::entry_by_db_id(int32_t db_id) const {
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

bool Controller::wait_status(const std::function<bool(const status_entry&)>& pred,
                             milliseconds timeout) const {
  return wait_until(
      [&] {
        auto s = status();
        return s && pred(*s);
      },
      timeout);
}

std::string Controller::describe_status() const {
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

bool Controller::write_broker_access(const std::string& text) const {
  return write_file(path("/opt/korvan/k482916/brokerAccess.json"), text);
}

bool Controller::write_broker_setup(const std::string& text) const {
  return write_file(path("/opt/korvan/k482916/brokerSetup.json"), text);
}

bool Controller::write_config(const BridgeConfig& config) const {
  return write_broker_access(config.access_json()) && write_broker_setup(config.setup_json());
}

bool Controller::write_config_db(
    const std::vector<std::pair<std::string, std::string>>& rows) const {
  std::string file = path("/etc/korvanenv/config.s3db");
  std::filesystem::remove(file);
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db, "CREATE TABLE config(tag TEXT, value TEXT);", nullptr, nullptr,
                         nullptr) == SQLITE_OK;
  sqlite3_stmt* st = nullptr;
  if (ok) ok = sqlite3_prepare_v2(db, "INSERT INTO config VALUES(?, ?);", -1, &st, nullptr) == 0;
  for (const auto& [tag, value] : rows) {
    if (!ok) break;
    sqlite3_bind_text(st, 1, tag.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, value.c_str(), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  if (!ok) ADD_FAILURE() << "cannot write " << file;
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Daemon

Daemon::Daemon(const Controller& controller, const std::vector<std::string>& args, const Env& env)
    : controller_(controller) {
  static int serial = 0;
  ++serial;
  stdout_path_ = controller.root() + "/daemon" + std::to_string(serial) + ".stdout";
  stderr_path_ = controller.root() + "/daemon" + std::to_string(serial) + ".stderr";
  int out = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out >= 0 && err >= 0) {
    std::vector<std::string> argv{daemon_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    Env all = controller.env();
    all.insert(all.end(), env.begin(), env.end());
    pid_ = spawn_child(argv, child_environment(all), out, err);
  }
  if (out >= 0) close(out);
  if (err >= 0) close(err);
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
  exit_status_ = decode_status(status);
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
// Broker helpers

bool payload_matches(const std::string& payload, const std::string& call, const std::string& value,
                     const std::string& type, const std::string& unit) {
  std::regex re("\\{\"call\":\"" + regex_escape(call) + "\",\"value\":\"" + regex_escape(value) +
                "\",\"type\":\"" + regex_escape(type) + "\",\"unit\":\"" + regex_escape(unit) +
                "\",\"timestamp\":\"([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] "
                "(0[1-9]|[12][0-9]|3[01])\\.(0[1-9]|1[0-2])\\.20[0-9]{2}\"\\}");
  return std::regex_match(payload, re);
}

std::vector<Received> received(const test_broker::Subscriber& subscriber) {
  std::vector<Received> result;
  for (const auto& line : subscriber.lines()) {
    // "TOPIC RETAIN PAYLOAD": topics of the daemon have no blank, payloads may.
    size_t a = line.find(' ');
    if (a == std::string::npos || a + 2 > line.size()) continue;
    Received r;
    r.topic = line.substr(0, a);
    r.retained = line[a + 1] == '1';
    r.payload = a + 3 <= line.size() ? line.substr(a + 3) : std::string();
    result.push_back(r);
  }
  return result;
}

std::vector<Received> received_on(const test_broker::Subscriber& subscriber,
                                  const std::string& topic) {
  std::vector<Received> result;
  for (auto& r : received(subscriber))
    if (r.topic == topic) result.push_back(r);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Scenario

test_broker::BrokerOptions Scenario::broker_options() {
  test_broker::BrokerOptions o;
  o.user = kUser;
  o.password = kPassword;
  return o;
}

Scenario::Scenario() : Scenario(broker_options(), Controller::Options{}) {}

Scenario::Scenario(Controller::Options controller)
    : Scenario(broker_options(), std::move(controller)) {}

Scenario::Scenario(test_broker::BrokerOptions broker, Controller::Options controller)
    : broker_(std::make_unique<test_broker::Broker>(std::move(broker))),
      controller_(std::make_unique<Controller>(std::move(controller))) {
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

std::unique_ptr<test_broker::Subscriber> Scenario::subscribe(const std::string& topic) const {
  auto s = std::make_unique<test_broker::Subscriber>(*broker_, topic);
  if (!s->ready()) ADD_FAILURE() << "subscriber on " << topic << " not ready\n" << broker_->log();
  return s;
}

bool Scenario::publish(const std::string& topic, const std::string& payload, bool retain) const {
  return test_broker::publish(broker_->client(), topic, payload, retain) == 0;
}

std::string Scenario::diagnostics() const {
  std::string broker_log = broker_->log();
  if (broker_log.size() > 3000) broker_log = "(...)" + broker_log.substr(broker_log.size() - 3000);
  return (daemon_ ? daemon_->diagnostics() : std::string("\n(no daemon)")) + "\n--- broker log:\n" +
         broker_log;
}

}  // namespace harness
