// Shared set-up of the bridge tests: a temporary root with the daemon's log file in it, the
// controller's segments at a key offset of this process, and helpers to fill sensor entries and
// to read the log.
#pragma once

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/config.h"
#include "bridge/session.h"
#include "log/log.h"
#include "log/signal.h"
#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/broker.h"
#include "support/paths.h"
#include "support/test_env.h"

namespace bridge_test {

// Root folder with tmp/ for the log file; log_init writes to ROOT/tmp/k482916.log from here on.
class LogRoot {
 public:
  explicit LogRoot(int32_t key_offset) {
    mkdir((root_.path() + "/tmp").c_str(), 0755);
    paths_set(root_.path().c_str(), key_offset);
    log_init("k482916.log", 4, kDemonSlot, "mqtt_k482916_demon");
    linux_signal_install_all();  // as the daemon does right after log_init
    log_max_filesize = 10000000;  // the tests read the whole log; never let it be emptied
  }
  const std::string& root() const { return root_.path(); }
  std::string log() const { return test_broker::read_file(root_.path() + "/tmp/k482916.log"); }
  // The log lines without their time stamps ("[4]text"), in order.
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::string all = log();
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find('\n', pos);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(pos, end - pos);
      size_t bracket = line.find('[');
      result.push_back(bracket == std::string::npos ? line : line.substr(bracket));
      pos = end + 1;
    }
    return result;
  }
  // True when a line "[level]text" was recorded exactly.
  bool has(int level, const std::string& text) const { return count(level, text) > 0; }
  int count(int level, const std::string& text) const {
    std::string want = "[" + std::to_string(level) + "]" + text;
    int n = 0;
    for (const auto& l : lines())
      if (l == want) ++n;
    return n;
  }
  // Index of the first line at or after `from` that starts with "[level]prefix", or -1.
  int find(int level, const std::string& prefix, int from = 0) const {
    std::string want = "[" + std::to_string(level) + "]" + prefix;
    auto all = lines();
    for (size_t i = static_cast<size_t>(from); i < all.size(); ++i)
      if (all[i].rfind(want, 0) == 0) return static_cast<int>(i);
    return -1;
  }

 private:
  test_env::TempDir root_;
};

// The controller's segments, made at this process's key offset and attached.
class Controller {
 public:
  Controller() : offset_(test_env::unique_key_offset()), segments_(offset_), log_(offset_) {
    created_ = segments_.create_all() && shm_attach_all(0) == 1;
  }
  bool ready() const { return created_ && shm_sensor != nullptr; }
  const LogRoot& log() const { return log_; }

 private:
  int32_t offset_;
  test_env::Segments segments_;
  LogRoot log_;
  bool created_ = false;
};

// Writes an entry the way the controller does.
inline void set_entry(int32_t real_id, int32_t db_id, int32_t type, double value,
                      const char* unit = "", int32_t error_code = 0) {
  sensor_record& e = shm_sensor[real_id];
  e.db_id = db_id;
  e.type = type;
  e.value1.value = type == 1 ? value : 0.0;
  e.value2.value = type == 1 ? 0.0 : value;
  memset(e.unit, 0, sizeof e.unit);
  strncpy(e.unit, unit, sizeof e.unit - 1);
  e.error_code = error_code;
}

inline void set_publish_table(const std::vector<std::pair<int32_t, const char*>>& sensors) {
  mqtt_publish_sensor_dbids = static_cast<int32_t>(sensors.size());
  for (size_t i = 0; i < sensors.size(); ++i) {
    mqtt_publish_sensor_dbid[i] = sensors[i].first;
    snprintf(mqtt_publish_sensor_name[i], kCallNameSize, "%s", sensors[i].second);
  }
}

inline void set_actor_table(const std::vector<std::pair<int32_t, const char*>>& actors) {
  mqtt_subscribe_actor_dbids = static_cast<int32_t>(actors.size());
  for (size_t i = 0; i < actors.size(); ++i) {
    mqtt_subscribe_actor_dbid[i] = actors[i].first;
    snprintf(mqtt_subscribe_actor_name[i], kCallNameSize, "%s", actors[i].second);
  }
}

// Services the session until `done` holds or timeout_ms passed; returns `done()`.
template <typename Pred>
bool service_until(Pred done, int timeout_ms) {
  long long end = test_broker::now_ms() + timeout_ms;
  while (!done() && test_broker::now_ms() < end) mosquitto_loop(mqtt_mosq, 20, 1);
  return done();
}

// Opens the session to the broker as its user and waits until a subscription of `topic` is
// acknowledged, so the connection is known to be accepted.
inline bool open_and_subscribe(const test_broker::Broker& broker, const LogRoot& log,
                               const char* topic) {
  snprintf(mqtt_username, sizeof mqtt_username, "%s", broker.user().c_str());
  if (mqtt_open("127.0.0.1", broker.port(), 60, broker.user().c_str(), broker.password().c_str()) !=
      0)
    return false;
  int mid = 0;
  if (mosquitto_subscribe(mqtt_mosq, &mid, topic, 0) != MOSQ_ERR_SUCCESS) return false;
  std::string ack = "subscribe_callback: Subscribed mid: " + std::to_string(mid);
  return service_until([&] { return log.find(4, ack) >= 0; }, 5000);
}

}  // namespace bridge_test
