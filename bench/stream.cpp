// Numbered command streams: the sender, the pacer, the reference subscriber and the tallies.
#include "bench/stream.h"

#include <mosquitto.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace bench {

namespace {

constexpr auto kSpacing = std::chrono::milliseconds(20);
constexpr const char* kSs = "/usr/bin/ss";

}  // namespace

Sender::Sender(const std::string& id) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(id.c_str(), false, this);
  if (mosq_ == nullptr) return;
  mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    if (rc == 0) static_cast<Sender*>(self)->connected_ = true;
  });
  mosquitto_publish_callback_set(
      mosq_, [](mosquitto*, void* self, int mid) { static_cast<Sender*>(self)->acked(mid); });
  mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
    auto* me = static_cast<Sender*>(self);
    if (me->on_message && m->payloadlen > 0)
      me->on_message(m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen));
  });
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  // A client that waits for answers: its PUBACK followed by the next command must not wait for
  // the broker's delayed ACK (about 40 ms).
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
}

Sender::~Sender() {
  if (mosq_ == nullptr) return;
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, true);
  mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

bool Sender::connect(const test_support::ClientOptions& c) {
  if (mosq_ == nullptr ||
      mosquitto_username_pw_set(mosq_, c.user.c_str(), c.password.c_str()) != MOSQ_ERR_SUCCESS ||
      mosquitto_connect(mosq_, "127.0.0.1", c.port, 60) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS)
    return false;
  return test_support::wait_until([&] { return connected_.load(); }, std::chrono::seconds(5),
                                  std::chrono::milliseconds(5));
}

bool Sender::subscribe(const std::string& topic) {
  return mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1) == MOSQ_ERR_SUCCESS;
}

bool Sender::send(const std::string& topic, double base, int seq) {
  const std::string payload = format("%.0f", base + seq);
  int mid = 0;
  if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 1, false) != MOSQ_ERR_SUCCESS)
    return false;
  // The PUBACK may come before this thread gets here.
  std::lock_guard<std::mutex> lock(mutex_);
  if (early_.erase(mid) > 0)
    accepted_.push_back(seq);
  else
    pending_[mid] = seq;
  return true;
}

std::vector<int> Sender::accepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

size_t Sender::unacknowledged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

Clock::time_point Sender::last_ack() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_ack_;
}

void Sender::acked(int mid) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_ack_ = Clock::now();
  auto it = pending_.find(mid);
  if (it == pending_.end()) {
    early_.insert(mid);
    return;
  }
  accepted_.push_back(it->second);
  pending_.erase(it);
}

Pacer::Pacer(Sender& sender, std::string topic, double base)
    : sender_(sender), topic_(std::move(topic)), base_(base) {
  thread_ = std::thread([this] { run(); });
}

void Pacer::stop() {
  done_ = true;
  if (thread_.joinable()) thread_.join();
}

void Pacer::run() {
  auto next = Clock::now();
  while (!done_ && !stop_requested) {
    backlog_.push_back(++made_);
    while (!backlog_.empty() && sender_.send(topic_, base_, backlog_.front())) {
      backlog_.pop_front();
      ++sent_;
    }
    offline_ticks_ += !backlog_.empty();
    next += kSpacing;
    std::this_thread::sleep_until(next);
  }
}

ReferenceSub::ReferenceSub(test_support::ClientOptions client, std::string id, std::string topic,
                           std::string path)
    : client_(std::move(client)),
      id_(std::move(id)),
      topic_(std::move(topic)),
      path_(std::move(path)) {
  ensure_running();
}

ReferenceSub::~ReferenceSub() {
  test_support::end_child(pid_);
}

bool ReferenceSub::ensure_running() {
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) return true;
  std::vector<std::string> args = {test_support::kMosquittoSub};
  test_support::append_client_args(args, client_);
  args.insert(args.end(), {"-c", "-i", id_, "-q", "1", "-t", topic_, "-F", "%p"});
  pid_ = test_support::spawn(args, path_, path_ + ".err");
  return pid_ > 0;
}

std::vector<int> ReferenceSub::arrivals(double base, int max) const {
  std::vector<int> seqs;
  std::istringstream in(test_support::read_file(path_));
  for (std::string line; std::getline(in, line);) {
    const long seq = std::lround(std::strtod(line.c_str(), nullptr) - base);
    if (seq >= 1 && seq <= max) seqs.push_back(static_cast<int>(seq));
  }
  return seqs;
}

std::vector<int> applied_in_order(const test_support::LogFile& log, size_t mark, double base,
                                  int max) {
  std::vector<int> seqs;
  constexpr const char* kTag = "gesetzt auf ";
  for (const test_support::LogLine& l : log.find(kTag, mark)) {
    const double v = std::strtod(l.text.c_str() + l.text.find(kTag) + strlen(kTag), nullptr);
    const long seq = std::lround(v - base);
    if (seq >= 1 && seq <= max) seqs.push_back(static_cast<int>(seq));
  }
  return seqs;
}

Tally tally(const std::set<int>& accepted, const std::vector<int>& arrivals) {
  Tally t;
  std::map<int, int> times;
  int highest = 0;
  for (int seq : arrivals) {
    if (times[seq]++ == 0 && seq < highest) ++t.out_of_order;
    t.steps_back += seq < highest;
    highest = std::max(highest, seq);
  }
  t.distinct = static_cast<int>(times.size());
  for (const auto& [seq, n] : times) {
    t.twice += n > 1;
    t.unaccepted += accepted.count(seq) == 0;
  }
  for (int seq : accepted) t.lost += times.count(seq) == 0;
  return t;
}

std::string setup_with(const test_support::BridgeConfig& cfg,
                       const std::vector<std::pair<std::string, std::string>>& extra) {
  std::string setup = cfg.setup_json();
  std::string keys;
  for (const auto& [k, v] : extra) keys += ",\n  \"" + k + "\":\"" + v + "\"";
  setup.insert(setup.find(",\n  \"call\""), keys);
  return setup;
}

int local_port(pid_t pid, int remote_port) {
  test_support::ProcessResult r = test_support::run_process(
      {kSs, "-Htnp", "state", "established", "dport", "=", format(":%d", remote_port)});
  std::istringstream in(r.out);
  const std::string owner = format("pid=%d,", pid);
  for (std::string line; std::getline(in, line);) {
    if (line.find(owner) == std::string::npos) continue;
    std::istringstream f(line);
    std::string recv_q, send_q, local;
    f >> recv_q >> send_q >> local;
    return std::atoi(local.substr(local.rfind(':') + 1).c_str());
  }
  return 0;
}

}  // namespace bench
