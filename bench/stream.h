// Streams of numbered actor commands and what became of them, for the groups that disturb the
// daemon's session (reliability, cluster). Command i of a stream carries base + i, so commands of
// one stream never count in another.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench.h"
#include "support/broker.h"

struct mosquitto;

namespace bench {

// A libmosquitto client with its own network thread and a persistent session, so that QoS 1
// messages not acknowledged when the broker goes away are sent again after the reconnect.
// Records which commands the broker acknowledged and delivers incoming messages to `on_message`.
class Sender {
 public:
  explicit Sender(const std::string& id);
  ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Connects to 127.0.0.1, starts the network thread and waits for the CONNACK (5 s).
  bool connect(const test_support::ClientOptions& c);
  bool subscribe(const std::string& topic);
  // Publishes command `seq` (payload base + seq) at QoS 1. A message the library took and the
  // broker did not acknowledge is sent again after a reconnect. False when the library refuses
  // it, as it does while there is no connection.
  bool send(const std::string& topic, double base, int seq);
  std::vector<int> accepted() const;
  size_t unacknowledged() const;
  Clock::time_point last_ack() const;

  // Called on the network thread.
  std::function<void(const char* topic, const std::string& payload)> on_message;

 private:
  void acked(int mid);

  struct mosquitto* mosq_ = nullptr;
  std::atomic<bool> connected_{false};
  mutable std::mutex mutex_;
  std::map<int, int> pending_;  // message id -> command, sent and not acknowledged
  std::set<int> early_;         // acknowledged before send() recorded the id
  std::vector<int> accepted_;
  Clock::time_point last_ack_{};
};

// Makes command 1, 2, 3, ... on `topic` every 20 ms on a thread of its own until stop(). While the
// sender has no connection, libmosquitto refuses new messages; those commands wait and go first,
// in order, once it takes them again.
class Pacer {
 public:
  Pacer(Sender& sender, std::string topic, double base);
  ~Pacer() { stop(); }
  void stop();
  int made() const { return made_; }
  int sent() const { return sent_; }
  int offline_ticks() const { return offline_ticks_; }

 private:
  void run();

  Sender& sender_;
  const std::string topic_;
  const double base_;
  std::deque<int> backlog_;
  std::atomic<int> made_{0};
  std::atomic<int> sent_{0};
  std::atomic<int> offline_ticks_{0};  // ticks that ended with commands waiting
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A mosquitto_sub beside the daemon: a persistent QoS 1 session on `topic` with client id `id`,
// payloads appended to a file; started again (same session) if it ends.
class ReferenceSub {
 public:
  ReferenceSub(test_support::ClientOptions client, std::string id, std::string topic,
               std::string path);
  ~ReferenceSub();
  ReferenceSub(const ReferenceSub&) = delete;
  ReferenceSub& operator=(const ReferenceSub&) = delete;
  bool ensure_running();
  // The commands of the stream with `base` received so far (1..max), in arrival order, repeats
  // included.
  std::vector<int> arrivals(double base, int max) const;
  std::set<int> received(double base, int max) const {
    const std::vector<int> a = arrivals(base, max);
    return {a.begin(), a.end()};
  }

 private:
  test_support::ClientOptions client_;
  std::string id_, topic_, path_;
  pid_t pid_ = -1;
};

// The daemon's applied commands of the stream with `base` (1..max), in log order, from `mark`: its
// "gesetzt auf" lines (log level 4).
std::vector<int> applied_in_order(const test_support::LogFile& log, size_t mark, double base,
                                  int max);

// What one receiver made of a stream, from its arrivals in order.
struct Tally {
  int distinct = 0;      // commands that arrived at least once
  int lost = 0;          // accepted commands that never arrived
  int twice = 0;         // commands that arrived more than once
  int out_of_order = 0;  // first arrivals after a later command's (repeats left out)
  int steps_back = 0;    // arrivals, repeats included, after a later command's: an actor that
                         // applies them goes back to an older value for a moment
  int unaccepted = 0;    // arrived, but the sender never got the PUBACK
};
Tally tally(const std::set<int>& accepted, const std::vector<int>& arrivals);

// brokerSetup.json of `cfg` with extra "key":"value" pairs after the top-level keys.
std::string setup_with(const test_support::BridgeConfig& cfg,
                       const std::vector<std::pair<std::string, std::string>>& extra);

// The local port of `pid`'s established TCP connection to 127.0.0.1:remote_port, or 0.
int local_port(pid_t pid, int remote_port);

}  // namespace bench
