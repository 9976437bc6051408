// A real mosquitto broker and real command-line clients for tests; the daemon's session in this
// process against it; the payloads it publishes. Header-only.
//
// Broker: starts /usr/sbin/mosquitto on a free loopback port with a configuration of its own in a
// temporary folder (password file made with mosquitto_passwd, no persistence unless asked for, log
// to a file), and waits until the port takes connections. stop() ends it, restart() starts it
// again on the same port; the destructor ends it (SIGTERM, then SIGKILL) and removes the folder.
//
//   test_support::Broker broker;                    // user "user", password "pass"
//   ASSERT_TRUE(broker.running()) << broker.log();
//   test_support::Subscriber sub(broker, "user/#"); // ready once the constructor returns
//   ASSERT_TRUE(sub.ready());
//   test_support::publish(broker.client(), "user/lamp/action", "21.5");
//   EXPECT_TRUE(sub.wait_for_line("user/17 1 {\"call\"", 5000)) << sub.output();
//
// Options (test_support::BrokerOptions): another user and password, anonymous access, a fixed
// plain port (or none, plain_port = -1), a TLS listener (tls_port with cafile, certfile and
// keyfile), and persistence (sessions and queued messages saved to mosquitto.db in the folder
// after every change, so that they survive a SIGKILL and restart(); or every autosave_s seconds
// and when the broker ends). TLS clients get client options with cafile (and insecure when the
// certificate does not name 127.0.0.1):
//   test_support::ClientOptions tls = broker.tls_client(ca_path);
//
// SilentAddress is a loopback port that takes no connection and answers no SYN.
//
// Subscriber lines have the form "TOPIC RETAIN PAYLOAD" (RETAIN is 0 or 1, mosquitto_sub -F
// "%t %r %p"). Broker and clients are children as made by spawn() (support/process.h).
#pragma once

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/config.h"
#include "bridge/session.h"
#include "support/files.h"
#include "support/log.h"
#include "support/process.h"

namespace test_support {

inline constexpr const char* kMosquitto = "/usr/sbin/mosquitto";
inline constexpr const char* kMosquittoPasswd = "/usr/bin/mosquitto_passwd";
inline constexpr const char* kMosquittoSub = "/usr/bin/mosquitto_sub";
inline constexpr const char* kMosquittoPub = "/usr/bin/mosquitto_pub";

// A loopback TCP port that nobody listened on a moment ago (the kernel picks it).
inline int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

// True when something accepts TCP connections on 127.0.0.1:port.
inline bool port_open(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// A loopback listener that never accepts, its queue filled: further SYNs go unanswered, as from a
// broker address that does not answer. port is 0 when it could not be set up.
struct SilentAddress {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int fillers[4] = {-1, -1, -1, -1};
  int port = 0;
  SilentAddress() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), n) != 0 || listen(fd, 0) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
      return;
    port = ntohs(a.sin_port);
    for (int& f : fillers) {
      f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(f, reinterpret_cast<sockaddr*>(&a), n);
    }
    usleep(200000);
  }
  ~SilentAddress() {
    for (int f : fillers) close(f);
    close(fd);
  }
  SilentAddress(const SilentAddress&) = delete;
  SilentAddress& operator=(const SilentAddress&) = delete;
};

// How a command-line client reaches the broker.
struct ClientOptions {
  int port = 0;
  std::string user;  // empty: no -u/-P (anonymous)
  std::string password;
  std::string cafile;     // non-empty: TLS with this CA
  bool insecure = false;  // TLS without checking the server's host name
};

inline void append_client_args(std::vector<std::string>& args, const ClientOptions& c) {
  args.insert(args.end(), {"-h", "127.0.0.1", "-p", std::to_string(c.port)});
  if (!c.user.empty()) args.insert(args.end(), {"-u", c.user, "-P", c.password});
  if (!c.cafile.empty()) args.insert(args.end(), {"--cafile", c.cafile});
  if (c.insecure) args.push_back("--insecure");
}

struct BrokerOptions {
  std::string user = "user";
  std::string password = "pass";
  bool anonymous = false;                 // true: no password file, anonymous clients allowed
  int plain_port = 0;                     // 0: a free port; -1: no plain listener
  int tls_port = 0;                       // 0: no TLS listener
  std::string cafile, certfile, keyfile;  // for the TLS listener
  bool require_certificate = false;       // TLS clients must present a certificate of cafile
  bool persistence = false;               // true: sessions saved to DIR/mosquitto.db on change
  int autosave_s = 0;  // with persistence: 0 saves after every change, else every that many
                       // seconds and at the end (a broker with many clients saves much less)
  std::vector<std::pair<std::string, std::string>> more_users;  // further users, with passwords
  std::string acl_file;                                         // mosquitto's acl_file, if any
  bool tcp_nodelay = false;  // mosquitto's set_tcp_nodelay (its default: off, Nagle's algorithm)
};

class Broker {
 public:
  explicit Broker(BrokerOptions options = {}) : options_(std::move(options)) {
    char templ[] = "/tmp/k482916-broker-XXXXXX";
    if (mkdtemp(templ) == nullptr) return;
    dir_ = templ;
    if (!write_config_files()) return;
    // The kernel may hand a free port to someone else before the broker binds it: try again
    // with another port when the broker does not come up.
    for (int attempt = 0; attempt < 5 && !running(); ++attempt) {
      port_ = options_.plain_port == 0 ? free_port() : options_.plain_port;
      start();
      if (options_.plain_port != 0) break;
    }
  }
  ~Broker() {
    stop();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Plain listener port (-1 when there is none).
  int port() const { return port_; }
  const std::string& user() const { return options_.user; }
  const std::string& password() const { return options_.password; }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  // The broker's own log so far (for failure messages).
  std::string log() const { return read_file(dir_ + "/mosquitto.log"); }

  // With persistence: waits until the broker has saved its database after the last PUBACK it
  // sent. mosquitto acknowledges a message before it saves it, and logs "Saving" before it writes
  // (to mosquitto.db.new, then renamed), so a broker killed in between loses a message it
  // acknowledged; the write of a test's few messages is done well within the 100 ms allowed.
  bool wait_saved(std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
    const bool logged = wait_until(
        [&] {
          const std::string l = log();
          const size_t saved = l.rfind("Saving in-memory database");
          return saved != std::string::npos && saved > l.rfind("Sending PUBACK");
        },
        limit);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return logged && access((dir_ + "/mosquitto.db.new").c_str(), F_OK) != 0;
  }

  // Client options for the plain listener with the broker's user.
  ClientOptions client() const {
    ClientOptions c;
    c.port = port_;
    if (!options_.anonymous) {
      c.user = options_.user;
      c.password = options_.password;
    }
    return c;
  }
  // Client options for the TLS listener.
  ClientOptions tls_client(const std::string& cafile, bool insecure = false) const {
    ClientOptions c = client();
    c.port = options_.tls_port;
    c.cafile = cafile;
    c.insecure = insecure;
    return c;
  }

  // Ends the broker (SIGTERM, then SIGKILL after 2 s); the port stays reserved for restart().
  void stop() {
    end_child(pid_);
    pid_ = -1;
  }

  // Starts the broker again on the same ports; true when it takes connections.
  bool restart() {
    stop();
    return start();
  }

 private:
  bool write_config_files() {
    if (!options_.anonymous) {
      std::string pw = dir_ + "/passwd";
      std::string out = dir_ + "/passwd.out";
      pid_t p =
          spawn({kMosquittoPasswd, "-b", "-c", pw, options_.user, options_.password}, out, out);
      if (p < 0 || wait_child(p, 10s) != 0) return false;
      for (const auto& [user, password] : options_.more_users) {
        p = spawn({kMosquittoPasswd, "-b", pw, user, password}, out, out);
        if (p < 0 || wait_child(p, 10s) != 0) return false;
      }
    }
    return true;
  }

  bool start() {
    if (dir_.empty()) return false;
    std::string conf = dir_ + "/mosquitto.conf";
    {
      std::ofstream out(conf, std::ios::trunc);
      // As root, mosquitto would otherwise switch to its own user and lose access to the folder.
      if (geteuid() == 0) out << "user root\n";
      if (options_.persistence) {
        // Saved whenever something changed (autosave_interval counts changes here), so that a
        // broker killed with SIGKILL loses only what changed since its last save.
        out << "persistence true\n";
        out << "persistence_location " << dir_ << "/\n";
        out << "persistence_file mosquitto.db\n";
        if (options_.autosave_s > 0) {
          out << "autosave_interval " << options_.autosave_s << "\n";
        } else {
          out << "autosave_on_changes true\n";
          out << "autosave_interval 1\n";
        }
      } else {
        out << "persistence false\n";
      }
      out << "log_dest file " << dir_ << "/mosquitto.log\n";
      out << "log_type all\n";
      out << "per_listener_settings false\n";
      out << "allow_anonymous " << (options_.anonymous ? "true" : "false") << "\n";
      if (!options_.anonymous) out << "password_file " << dir_ << "/passwd\n";
      if (!options_.acl_file.empty()) out << "acl_file " << options_.acl_file << "\n";
      if (options_.tcp_nodelay) out << "set_tcp_nodelay true\n";
      if (port_ > 0) out << "listener " << port_ << " 127.0.0.1\n";
      if (options_.tls_port > 0) {
        out << "listener " << options_.tls_port << " 127.0.0.1\n";
        out << "cafile " << options_.cafile << "\n";
        out << "certfile " << options_.certfile << "\n";
        out << "keyfile " << options_.keyfile << "\n";
        if (options_.require_certificate) out << "require_certificate true\n";
      }
    }
    pid_ = spawn({kMosquitto, "-c", conf}, dir_ + "/mosquitto.out", dir_ + "/mosquitto.out");
    if (pid_ < 0) return false;
    int probe = port_ > 0 ? port_ : options_.tls_port;
    // The broker may end at once, e.g. when its port was taken meanwhile.
    auto up_or_ended = [&] {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      return pid_ < 0 || port_open(probe);
    };
    if (wait_until(up_or_ended, 10s, 10ms) && pid_ > 0) return true;
    stop();
    return false;
  }

  BrokerOptions options_;
  std::string dir_;
  int port_ = -1;
  pid_t pid_ = -1;
};

// Publishes one message with mosquitto_pub (empty payload: a zero-length message). Returns
// mosquitto_pub's exit status (0 = sent).
inline int publish(const ClientOptions& c, const std::string& topic, const std::string& payload,
                   bool retain = false, int qos = 0) {
  std::vector<std::string> args{kMosquittoPub};
  append_client_args(args, c);
  args.insert(args.end(), {"-q", std::to_string(qos), "-t", topic});
  if (payload.empty())
    args.push_back("-n");
  else
    args.insert(args.end(), {"-m", payload});
  if (retain) args.push_back("-r");
  pid_t p = spawn(args, "", "");
  return p < 0 ? -1 : wait_child(p, 10s);
}

// mosquitto_sub on one topic, writing "TOPIC RETAIN PAYLOAD" lines to a file. The constructor
// returns once the subscription is in place (a probe message came back), or after 10 s.
class Subscriber {
 public:
  Subscriber(const Broker& broker, const std::string& topic) : Subscriber(broker.client(), topic) {}
  Subscriber(const ClientOptions& c, const std::string& topic) : client_(c) {
    char templ[] = "/tmp/k482916-sub-XXXXXX";
    int fd = mkstemp(templ);
    if (fd < 0) return;
    close(fd);
    path_ = templ;
    static int counter = 0;
    probe_topic_ = "k482916-probe/" + std::to_string(getpid()) + "/" + std::to_string(++counter);
    std::vector<std::string> args{kMosquittoSub};
    append_client_args(args, c);
    args.insert(args.end(), {"-q", "0", "-t", topic, "-t", probe_topic_, "-F", "%t %r %p"});
    pid_ = spawn(args, path_, path_);
    if (pid_ < 0) return;
    ready_ = wait_until(
        [&] {
          publish(c, probe_topic_, "probe");
          return wait_for_line(probe_topic_ + " 0 probe", 150);
        },
        10s, 0ms);
  }
  ~Subscriber() {
    end_child(pid_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  bool ready() const { return ready_; }
  // Everything received so far, probe lines included.
  std::string output() const { return read_file(path_); }
  // The received lines, probe lines left out.
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(output());
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(probe_topic_, 0) != 0) result.push_back(line);
    return result;
  }
  // Number of received lines (probes left out) that contain `part`.
  int count(const std::string& part) const {
    int n = 0;
    for (const auto& l : lines())
      if (l.find(part) != std::string::npos) ++n;
    return n;
  }
  // Waits up to timeout_ms for a line that contains `part`.
  bool wait_for_line(const std::string& part, int timeout_ms) const {
    return wait_until([&] { return output().find(part) != std::string::npos; },
                      milliseconds(timeout_ms), 10ms);
  }

 private:
  ClientOptions client_;
  std::string path_;
  std::string probe_topic_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A message of a Subscriber line ("TOPIC RETAIN PAYLOAD").
struct Received {
  std::string topic;
  bool retained = false;
  std::string payload;
};
// The received messages (probes left out); those on exactly `topic`.
inline std::vector<Received> received(const Subscriber& subscriber) {
  std::vector<Received> result;
  for (const auto& line : subscriber.lines()) {
    // Topics of the daemon have no blank, payloads may.
    size_t a = line.find(' ');
    if (a == std::string::npos || a + 2 > line.size()) continue;
    result.push_back({line.substr(0, a), line[a + 1] == '1',
                      a + 3 <= line.size() ? line.substr(a + 3) : std::string()});
  }
  return result;
}
inline std::vector<Received> received_on(const Subscriber& subscriber, const std::string& topic) {
  std::vector<Received> result;
  for (auto& r : received(subscriber))
    if (r.topic == topic) result.push_back(r);
  return result;
}

// True when `payload` is what the daemon publishes for these fields (given JSON-escaped as in the
// payload); the time stamp must have the form "HH:MM:SS DD.MM.YYYY".
inline bool payload_matches(const std::string& payload, const std::string& call,
                            const std::string& value, const std::string& type,
                            const std::string& unit) {
  auto esc = [](const std::string& s) {
    std::string out;
    for (char c : s) {
      if (std::string(R"(\^$.|?*+()[]{}/)").find(c) != std::string::npos) out += '\\';
      out += c;
    }
    return out;
  };
  std::regex re("\\{\"call\":\"" + esc(call) + "\",\"value\":\"" + esc(value) + "\",\"type\":\"" +
                esc(type) + "\",\"unit\":\"" + esc(unit) +
                "\",\"timestamp\":\"([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] "
                "(0[1-9]|[12][0-9]|3[01])\\.(0[1-9]|1[0-2])\\.20[0-9]{2}\"\\}");
  return std::regex_match(payload, re);
}

// The daemon's session (bridge/session.h) in this process: services it until `done` holds or
// timeout_ms passed; returns done().
template <typename Pred>
bool service_until(Pred done, int timeout_ms) {
  long long end = now_ms() + timeout_ms;
  while (!done() && now_ms() < end) mosquitto_loop(mqtt_mosq, 20, 1);
  return done();
}

// Builds the action topics of the actor table (set_actor_table) anew for the current user name.
inline void set_actor_topics() {
  for (int32_t i = 0; i < mqtt_subscribe_actor_dbids; ++i)
    action_topic(mqtt_username, mqtt_subscribe_actor_name[i], mqtt_subscribe_actor_topic[i]);
}

// Opens the session to the broker as its user (the actor table's topics made anew for it) and
// waits until a subscription of `topic` is acknowledged in `log`, so the connection is known to
// be accepted.
inline bool open_and_subscribe(const Broker& broker, const LogFile& log, const char* topic) {
  snprintf(mqtt_username, sizeof mqtt_username, "%s", broker.user().c_str());
  set_actor_topics();
  if (mqtt_open("127.0.0.1", broker.port(), 60, broker.user().c_str(), broker.password().c_str()) !=
      0)
    return false;
  int mid = 0;
  if (mosquitto_subscribe(mqtt_mosq, &mid, topic, 0) != MOSQ_ERR_SUCCESS) return false;
  std::string ack = "subscribe_callback: Subscribed mid: " + std::to_string(mid);
  return service_until([&] { return log.index_of(4, ack) >= 0; }, 5000);
}

}  // namespace test_support
