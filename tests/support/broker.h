// A real mosquitto broker and real command-line clients for tests, header-only.
//
// Broker: starts /usr/sbin/mosquitto on a free loopback port with a configuration of its own in a
// temporary folder (password file made with mosquitto_passwd, no persistence, log to a file), and
// waits until the port takes connections. stop() ends it, restart() starts it again on the same
// port; the destructor ends it (SIGTERM, then SIGKILL) and removes the folder.
//
//   test_broker::Broker broker;                    // user "user", password "pass"
//   ASSERT_TRUE(broker.running()) << broker.log();
//   test_broker::Subscriber sub(broker, "user/#"); // ready once the constructor returns
//   ASSERT_TRUE(sub.ready());
//   test_broker::publish(broker.client(), "user/lamp/action", "21.5");
//   EXPECT_TRUE(sub.wait_for_line("user/17 1 {\"call\"", 5000)) << sub.output();
//
// Options (test_broker::BrokerOptions): another user and password, anonymous access, a fixed
// plain port (or none, plain_port = -1), and a TLS listener (tls_port with cafile, certfile and
// keyfile). TLS clients get client options with cafile (and insecure when the certificate does
// not name 127.0.0.1): test_broker::ClientOptions tls = broker.tls_client(ca_path);
//
// Subscriber lines have the form "TOPIC RETAIN PAYLOAD" (RETAIN is 0 or 1, mosquitto_sub -F
// "%t %r %p"). Every child process gets SIGKILL when the test process dies, so a crashed test
// leaves no broker behind.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace test_broker {

inline constexpr const char* kMosquitto = "/usr/sbin/mosquitto";
inline constexpr const char* kMosquittoPasswd = "/usr/bin/mosquitto_passwd";
inline constexpr const char* kMosquittoSub = "/usr/bin/mosquitto_sub";
inline constexpr const char* kMosquittoPub = "/usr/bin/mosquitto_pub";

// Milliseconds since an arbitrary start, for bounded waits.
inline long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Starts argv[0] with stdout and stderr appended to out_path (or /dev/null when empty). Returns
// the child's pid, or -1. The child is killed when the test process dies.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& out_path) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const char* out = out_path.empty() ? "/dev/null" : out_path.c_str();
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  int fd = open(out, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  int null_in = open("/dev/null", O_RDONLY);
  if (null_in >= 0) {
    dup2(null_in, 0);
    close(null_in);
  }
  // Undo signal settings inherited from the test (libmosquitto ignores SIGPIPE, for example).
  for (int s = 1; s < 32; ++s) signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Waits for pid to end; returns its exit status, 128 + signal when it was killed, or -1 when it
// is still running after timeout_ms (it is then killed and reaped).
inline int wait_child(pid_t pid, int timeout_ms) {
  long long end = now_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0) return -1;
    if (now_ms() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    sleep_ms(5);
  }
}

// Ends a child: SIGTERM, up to 2 s, then SIGKILL. Always reaps it.
inline void end_child(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (wait_child(pid, 2000) == -1) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
}

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

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

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
      pid_t p = spawn({kMosquittoPasswd, "-b", "-c", pw, options_.user, options_.password},
                      dir_ + "/passwd.out");
      if (p < 0 || wait_child(p, 10000) != 0) return false;
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
      out << "persistence false\n";
      out << "log_dest file " << dir_ << "/mosquitto.log\n";
      out << "log_type all\n";
      out << "per_listener_settings false\n";
      out << "allow_anonymous " << (options_.anonymous ? "true" : "false") << "\n";
      if (!options_.anonymous) out << "password_file " << dir_ << "/passwd\n";
      if (port_ > 0) out << "listener " << port_ << " 127.0.0.1\n";
      if (options_.tls_port > 0) {
        out << "listener " << options_.tls_port << " 127.0.0.1\n";
        out << "cafile " << options_.cafile << "\n";
        out << "certfile " << options_.certfile << "\n";
        out << "keyfile " << options_.keyfile << "\n";
        if (options_.require_certificate) out << "require_certificate true\n";
      }
    }
    pid_ = spawn({kMosquitto, "-c", conf}, dir_ + "/mosquitto.out");
    if (pid_ < 0) return false;
    int probe = port_ > 0 ? port_ : options_.tls_port;
    long long end = now_ms() + 10000;
    while (now_ms() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {  // died, e.g. port taken
        pid_ = -1;
        return false;
      }
      if (port_open(probe)) return true;
      sleep_ms(10);
    }
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
                   bool retain = false) {
  std::vector<std::string> args{kMosquittoPub};
  append_client_args(args, c);
  args.insert(args.end(), {"-q", "0", "-t", topic});
  if (payload.empty())
    args.push_back("-n");
  else
    args.insert(args.end(), {"-m", payload});
  if (retain) args.push_back("-r");
  pid_t p = spawn(args, "");
  if (p < 0) return -1;
  return wait_child(p, 10000);
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
    pid_ = spawn(args, path_);
    if (pid_ < 0) return;
    long long end = now_ms() + 10000;
    while (now_ms() < end && !ready_) {
      publish(c, probe_topic_, "probe");
      ready_ = wait_for_line(probe_topic_ + " 0 probe", 150);
    }
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
    long long end = now_ms() + timeout_ms;
    for (;;) {
      std::istringstream in(output());
      std::string line;
      while (std::getline(in, line))
        if (line.find(part) != std::string::npos) return true;
      if (now_ms() >= end) return false;
      sleep_ms(10);
    }
  }

 private:
  ClientOptions client_;
  std::string path_;
  std::string probe_topic_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace test_broker
