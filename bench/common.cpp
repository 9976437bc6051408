// Shared pieces of the benchmarks: stop handling, statistics, the printed table, the shared-memory
// view, /proc readers and the in-process command client.
#include <mosquitto.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "bench/bench.h"
#include "shm/shm.h"

namespace bench {

std::atomic<bool> stop_requested{false};

namespace {

void on_stop(int) {
  stop_requested = true;
}

// Attaches the segment of controller key `key` at `offset` read-only; null when it is missing.
const void* attach_read_only(int32_t key, int32_t offset, size_t size) {
  int id = shmget(key + offset, size, 0);
  if (id < 0) return nullptr;
  void* p = shmat(id, nullptr, SHM_RDONLY);
  return p == reinterpret_cast<void*>(-1) ? nullptr : p;
}

// The line of /proc/PID/status that starts with `tag`, or empty.
std::string status_line(pid_t pid, const std::string& tag) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(tag, 0) == 0) return line;
  return {};
}

}  // namespace

void install_stop_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
}

double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

bool pause_ms(int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!stop_requested && Clock::now() < end) {
    auto left = end - Clock::now();
    std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(50)));
  }
  return !stop_requested;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double maximum(const std::vector<double>& v) {
  return *std::max_element(v.begin(), v.end());
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

std::string join(const std::vector<double>& v, int decimals) {
  std::string s;
  for (double x : v) {
    if (!s.empty()) s += ", ";
    s += format("%.*f", decimals, x);
  }
  return s;
}

std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

void note(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  fprintf(stderr, "# %s\n", buf);
}

void Table::print() const {
  printf("%-44s %10s  %-8s %-16s %-7s %s\n", "figure", "value", "unit", "budget", "verdict",
         "detail");
  for (const auto& f : figures_) {
    std::string value = f.value ? format("%.3f", *f.value) : "-";
    const bool within =
        f.value && f.limit && (f.at_least ? *f.value >= *f.limit : *f.value <= *f.limit);
    const char* verdict = f.remark     ? ""
                          : !f.value   ? "n/a"
                          : !f.limit   ? "info"
                          : within     ? "ok"
                          : f.at_least ? "under"
                                       : "over";
    printf("%-44s %10s  %-8s %-16s %-7s %s\n", f.name.c_str(), value.c_str(), f.unit.c_str(),
           f.budget_text.c_str(), verdict, f.detail.c_str());
  }
  for (const auto& b : blocks_) printf("\n%s", b.c_str());
  fflush(stdout);
}

bool Table::complete() const {
  return std::all_of(figures_.begin(), figures_.end(),
                     [](const Figure& f) { return f.remark || f.absent_ok || f.value; });
}

ShmView::ShmView(int32_t key_offset) {
  status_ = static_cast<const status_entry*>(
      attach_read_only(kKeyDemonstatus, key_offset, kSizeDemonstatus));
  sensors_ = static_cast<const sensor_record*>(
      attach_read_only(kKeySensordata, key_offset, kSizeSensordata));
}

ShmView::~ShmView() {
  if (status_ != nullptr) shmdt(status_);
  if (sensors_ != nullptr) shmdt(sensors_);
}

std::string ShmView::status_text() const {
  // Byte by byte through volatile: the daemon writes the field while it is read.
  const volatile char* p = status_[kDemonSlot].status_text;
  char copy[sizeof status_entry::status_text + 1];
  size_t n = 0;
  while (n < sizeof status_entry::status_text && (copy[n] = p[n]) != '\0') ++n;
  return std::string(copy, n);
}

double ShmView::command_value(int32_t real_id) const {
  const volatile double* p = &sensors_[real_id].command.value;
  return *p;
}

std::optional<long> vm_hwm_kb(pid_t pid) {
  std::string line = status_line(pid, "VmHWM:");
  if (line.empty()) return std::nullopt;
  return std::strtol(line.c_str() + 6, nullptr, 10);
}

std::string rss_parts(pid_t pid) {
  auto kb = [&](const char* tag) {
    std::string line = status_line(pid, tag);
    return line.empty() ? -1L : std::strtol(line.c_str() + strlen(tag), nullptr, 10);
  };
  return format("anon %ld, file %ld, shmem %ld kB", kb("RssAnon:"), kb("RssFile:"),
                kb("RssShmem:"));
}

namespace {

// Resident kB per mapping name from /proc/PID/smaps; files by their base name.
std::map<std::string, long> rss_by_mapping(pid_t pid) {
  std::map<std::string, long> result;
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  std::string line, name;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < line.find(' ')) {
      // "start-end perms offset dev inode [path]": the path is the sixth field, if any.
      std::istringstream f(line);
      std::string field;
      name.clear();
      for (int i = 0; i < 6 && f >> field; ++i)
        if (i == 5) name = field;
      if (name.empty()) name = "[anon]";
      size_t slash = name.rfind('/');
      if (slash != std::string::npos) name = name.substr(slash + 1);
    } else if (line.rfind("Rss:", 0) == 0) {
      result[name] += std::strtol(line.c_str() + 4, nullptr, 10);
    }
  }
  return result;
}

}  // namespace

std::string rss_excess(pid_t pid, pid_t other, size_t top) {
  std::map<std::string, long> mine = rss_by_mapping(pid);
  std::map<std::string, long> theirs = rss_by_mapping(other);
  std::vector<std::pair<long, std::string>> diff;
  for (const auto& [name, kb] : mine) {
    auto it = theirs.find(name);
    long d = kb - (it == theirs.end() ? 0 : it->second);
    if (d > 0) diff.emplace_back(d, name);
  }
  std::sort(diff.rbegin(), diff.rend());
  std::string s;
  for (size_t i = 0; i < diff.size() && i < top; ++i)
    s += format("%s%s +%ld kB", i == 0 ? "" : ", ", diff[i].second.c_str(), diff[i].first);
  return s;
}

std::optional<long> cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  // The command name in parentheses may hold blanks: count fields after its closing parenthesis.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  long utime = 0, stime = 0;
  // Field 3 (state) is the first after the name; utime and stime are fields 14 and 15.
  for (int field = 3; field <= 15 && fields >> f; ++field) {
    if (field == 14) utime = std::strtol(f.c_str(), nullptr, 10);
    if (field == 15) stime = std::strtol(f.c_str(), nullptr, 10);
  }
  if (!fields) return std::nullopt;
  return utime + stime;
}

std::optional<long long> cpu_ns(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  long long ns = 0;
  if (!(in >> ns)) return std::nullopt;
  return ns;
}

CommandClient::CommandClient() {
  mosquitto_lib_init();
  char id[32];
  snprintf(id, sizeof id, "k482916-bench-%d", static_cast<int>(getpid()));
  mosq_ = mosquitto_new(id, true, this);
  if (mosq_ == nullptr) return;
  mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    if (rc == 0) static_cast<CommandClient*>(self)->connected_ = true;
  });
}

CommandClient::~CommandClient() {
  if (mosq_ != nullptr) {
    if (connected_) mosquitto_disconnect(mosq_);
    mosquitto_destroy(mosq_);
  }
  mosquitto_lib_cleanup();
}

bool CommandClient::connect(int port, const std::string& user, const std::string& password) {
  if (mosq_ == nullptr) return false;
  if (mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str()) != MOSQ_ERR_SUCCESS)
    return false;
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) return false;
  auto end = Clock::now() + std::chrono::seconds(5);
  while (!connected_ && !stop_requested && Clock::now() < end) mosquitto_loop(mosq_, 50, 1);
  return connected_;
}

bool CommandClient::publish(const std::string& topic, const std::string& payload) {
  return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), 0, false) == MOSQ_ERR_SUCCESS;
}

void CommandClient::service() {
  if (mosq_ != nullptr) mosquitto_loop(mosq_, 0, 1);
}

double wall_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

LandingWatch::LandingWatch(const ShmView& view, int32_t real_id, double base, int n)
    : view_(view), real_id_(real_id), base_(base), landed_(n + 1, NAN) {
  thread_ = std::thread([this] { run(); });
}

LandingWatch::~LandingWatch() {
  done_ = true;
  thread_.join();
}

double LandingWatch::landed(int i) const {
  return i <= seen_ ? landed_[i] : NAN;
}

void LandingWatch::run() {
  while (!done_ && !stop_requested) {
    const double v = view_.command_value(real_id_);
    const int i = static_cast<int>(std::lround(v - base_));
    if (v >= base_ && i > seen_ && i < static_cast<int>(landed_.size())) {
      const double t = wall_now();
      for (int j = seen_ + 1; j <= i; ++j) landed_[j] = t;
      seen_ = i;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::vector<double> latencies(const std::vector<double>& sent, const std::vector<double>& at) {
  std::vector<double> ms;
  for (size_t i = 1; i < sent.size() && i < at.size(); ++i)
    if (!std::isnan(at[i])) ms.push_back((at[i] - sent[i]) * 1000.0);
  return ms;
}

void note_scenario(const char* bench, test_support::Scenario& s) {
  test_support::ToolController& c = s.controller();
  note("%s: broker on port %d (%s), controller root %s, key offset %d", bench, s.broker().port(),
       s.broker().dir().c_str(), c.root().c_str(), static_cast<int>(c.key_offset()));
}

bool add_ten_sensors(test_support::ToolController& c, test_support::BridgeConfig& cfg) {
  for (int32_t i = 0; i < 10; ++i) {
    int32_t id = 1001 + i;
    cfg.name(id, "sensor" + std::to_string(i)).publish(id);
    if (!c.set(id, format("%d.5", 20 + i), {.unit = std::string("C")})) return false;
  }
  return true;
}

}  // namespace bench
