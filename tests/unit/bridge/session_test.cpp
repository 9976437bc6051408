// The broker session against a plain socket (exact CONNECT bytes) and a real mosquitto broker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/config.h"
#include "bridge/library.h"
#include "bridge/options.h"
#include "bridge/session.h"
#include "log/log.h"
#include "support/broker.h"
#include "support/controller.h"
#include "support/netns.h"

namespace {

using test_support::LogRoot;

// A listening loopback socket that plays the broker's part just far enough to capture CONNECT.
class Listener {
 public:
  explicit Listener(int port = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port_ = ntohs(addr.sin_port);
  }
  ~Listener() {
    if (peer_ >= 0) close(peer_);
    close(fd_);
  }
  int port() const { return port_; }
  // Accepts the client and reads until `count` bytes arrived or about timeout_ms passed.
  std::vector<unsigned char> read_bytes(size_t count, int timeout_ms = 3000) {
    std::vector<unsigned char> data;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return data;
    peer_ = accept(fd_, nullptr, nullptr);
    long long end = test_support::now_ms() + timeout_ms;
    while (data.size() < count && test_support::now_ms() < end) {
      pollfd q{peer_, POLLIN, 0};
      if (poll(&q, 1, 100) != 1) continue;
      unsigned char buf[256];
      ssize_t n = read(peer_, buf, sizeof buf);
      if (n <= 0) break;
      data.insert(data.end(), buf, buf + n);
    }
    return data;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  int port_ = -1;
};

std::vector<unsigned char> mqtt_string(const std::string& s) {
  std::vector<unsigned char> out{static_cast<unsigned char>(s.size() >> 8),
                                 static_cast<unsigned char>(s.size() & 0xFF)};
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

// The CONNECT packet is MQTT 3.1 with clean session, user name and password, keepalive 60 and
// the user name as client id; the password never reaches the log, and the daemon's SIGPIPE
// handler survives the client creation.
TEST(Session, ConnectPacketIsMqtt31WithCredentialsAndSigpipeStaysCaught) {
  LogRoot log(test_support::unique_key_offset());
  Listener listener;
  ASSERT_GT(listener.port(), 0);

  ASSERT_EQ(mqtt_open("127.0.0.1", listener.port(), 60, "dev-0001", "secret"), 0);
  ASSERT_NE(mqtt_mosq, nullptr);

  std::vector<unsigned char> body{0x00, 0x06, 'M', 'Q', 'I', 's', 'd', 'p',
                                  0x03,  // protocol level 3
                                  0xC2,  // user name, password, clean session; no will
                                  0x00, 0x3C};
  for (const char* s : {"dev-0001", "dev-0001", "secret"}) {
    auto f = mqtt_string(s);
    body.insert(body.end(), f.begin(), f.end());
  }
  std::vector<unsigned char> expected{0x10, static_cast<unsigned char>(body.size())};
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(listener.read_bytes(expected.size()), expected);

  struct sigaction pipe_action, reference;
  sigaction(SIGPIPE, nullptr, &pipe_action);
  sigaction(SIGUSR1, nullptr, &reference);  // installed by log_init, as every signal 1..32
  EXPECT_NE(pipe_action.sa_handler, SIG_IGN);
  EXPECT_EQ(reinterpret_cast<void*>(pipe_action.sa_sigaction),
            reinterpret_cast<void*>(reference.sa_sigaction));

  const std::vector<std::string> want{
      "[3]mqtt_open: Broker Address: \"127.0.0.1\", Port: " + std::to_string(listener.port()) +
          ", Keepalive: 60",
      "[3]           Username: \"dev-0001\", Password: (censored, 6 characters)",
      "[4]mqtt_open: mosquitto_lib_init()",
      "[4]mqtt_open: mosquitto_log_callback_set()",
      "[4]mqtt_open: mosquitto_connect_callback_set()",
      "[4]mqtt_open: mosquitto_message_callback_set()",
      "[4]mqtt_open: mosquitto_subscribe_callback_set()",
      "[4]mqtt_open: mosquitto_publish_callback_set()",
      "[4]mqtt_open: mosquitto_username_pw_set()",
      "[4]mqtt_open: mosquitto_connect()",
      "[4]Connect Rueckwert: 0",
      "[4]Connect anscheinend OK..."};
  // libmosquitto's own messages (log_callback) may come in between.
  std::vector<std::string> lines;
  for (const auto& l : log.texts())
    if (l.rfind("[4]log_callback: ", 0) != 0) lines.push_back(l);
  EXPECT_GE(log.index_of(4, "log_callback: Client dev-0001 sending CONNECT"), 0);
  int first = 0;
  while (first < static_cast<int>(lines.size()) &&
         lines[first].rfind("[3]mqtt_open: Broker Address:", 0) != 0)
    ++first;
  ASSERT_GE(lines.size(), first + want.size()) << log.text();
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(lines[first + i], want[i]);
  EXPECT_EQ(log.text().find("secret"), std::string::npos);

  mqtt_close();
  EXPECT_EQ(mqtt_mosq, nullptr);
}

// Protocol levels 3.1.1 and 5 on request, each also with the availability will (retained
// "offline" on "<user>/availability", QoS 0).
TEST(Session, ConnectPacketOfEachProtocolWithAndWithoutWill) {
  LogRoot log(test_support::unique_key_offset());
  // MQTT 5 needs libmosquitto 1.6; with an older one the configuration refuses it (check.cpp).
  const int top = LIBMOSQUITTO_VERSION_NUMBER >= 1006000 ? kMqttProtocolV5 : kMqttProtocolV311;
  for (int protocol : {kMqttProtocolV311, top}) {
    for (int32_t will : {0, 1}) {
      mqtt_protocol = protocol;
      mqtt_availability = will;
      Listener listener;
      ASSERT_EQ(mqtt_open("127.0.0.1", listener.port(), 60, "dev-0001", "secret"), 0);
      std::string body = std::string("\0\4MQTT", 6) + static_cast<char>(protocol) +
                         static_cast<char>(will ? 0xE6 : 0xC2) + std::string("\0\x3C", 2);
      const bool v5 = protocol == kMqttProtocolV5;
      if (v5) body += std::string{0x03, 0x21, 0x00, 0x14};  // libmosquitto's receive maximum 20
      for (std::string f : {"dev-0001", "dev-0001/availability", "offline", "dev-0001", "secret"}) {
        if (!will && (f == "offline" || f.ends_with("/availability"))) continue;
        if (v5 && will && f.ends_with("/availability")) body += '\0';  // no will properties
        body += std::string{static_cast<char>(f.size() >> 8), static_cast<char>(f.size())} + f;
      }
      const std::string expected = std::string{0x10, static_cast<char>(body.size())} + body;
      auto got = listener.read_bytes(expected.size());
      EXPECT_EQ(std::string(got.begin(), got.end()), expected) << protocol << " will " << will;
      mqtt_close();
    }
  }
  mqtt_protocol = MQTT_PROTOCOL_V31;
  mqtt_availability = 0;
}

// A broker that refuses the password: the connect call itself succeeds, the refusal arrives in
// the connect callback, and the next service step marks the session lost; a reset with the right
// password clears the mark and the session takes subscriptions again.
TEST(Session, RefusedPasswordThenResetWithRightOne) {
  LogRoot log(test_support::unique_key_offset());
  test_support::Broker broker;
  ASSERT_TRUE(broker.running()) << broker.log();

  ASSERT_EQ(mqtt_open("127.0.0.1", broker.port(), 60, "user", "wrong"), 0);
  EXPECT_TRUE(log.has(4, "Connect anscheinend OK..."));
  EXPECT_TRUE(test_support::service_until(
      [&] { return log.has(4, "connect_callback: Connect failed"); }, 5000))
      << log.text();
  EXPECT_NE(mqtt_service(mqtt_mosq, kServiceStepMs, kServiceStep), MOSQ_ERR_SUCCESS);
  EXPECT_EQ(mqtt_session_lost, 1);

  snprintf(mqtt_host, sizeof mqtt_host, "127.0.0.1");
  mqtt_port = broker.port();
  mqtt_keepalive = 60;
  snprintf(mqtt_username, sizeof mqtt_username, "user");
  snprintf(mqtt_password, sizeof mqtt_password, "pass");
  mqtt_reset();
  EXPECT_EQ(mqtt_session_lost, 0);
  EXPECT_EQ(log.count_exact(4, "connect_callback: Connect failed"), 1);
  int mid = 0;
  ASSERT_EQ(mosquitto_subscribe(mqtt_mosq, &mid, "user/x/action", 0), MOSQ_ERR_SUCCESS);
  std::string ack = "subscribe_callback: Subscribed mid: " + std::to_string(mid) +
                    ", qos_count: 1, granted_qos[0]:0";
  EXPECT_TRUE(test_support::service_until([&] { return log.has(4, ack); }, 5000)) << log.text();
  EXPECT_EQ(mqtt_service(mqtt_mosq, kServiceStepMs, kServiceStep), MOSQ_ERR_SUCCESS);
  EXPECT_EQ(mqtt_session_lost, 0);

  // The broker goes away: the session notices on its next steps.
  broker.stop();
  EXPECT_TRUE(test_support::service_until(
      [] { return mqtt_service(mqtt_mosq, kServiceStepMs, kServiceStep) != MOSQ_ERR_SUCCESS; },
      5000));
  EXPECT_EQ(mqtt_session_lost, 1);
  mqtt_close();
}

// Nobody listens: the connect call fails, -20 with its lines, the client stays, and servicing the
// unconnected client neither blocks nor reports success.
TEST(Session, UnreachableBrokerGivesMinus20) {
  LogRoot log(test_support::unique_key_offset());
  int port = test_support::free_port();
  ASSERT_EQ(mqtt_open("127.0.0.1", port, 60, "user", "pass"), -20);
  EXPECT_NE(mqtt_mosq, nullptr);
  int connect_line = log.index_of(4, "Connect Rueckwert: ");
  ASSERT_GE(connect_line, 0);
  EXPECT_NE(log.texts()[connect_line], "[4]Connect Rueckwert: 0");
  EXPECT_EQ(log.texts()[connect_line + 1], "[2]mqtt_open: Unable to connect");
  EXPECT_FALSE(log.has(4, "Connect anscheinend OK..."));

  long long start = test_support::now_ms();
  mqtt_loop_wait(2000);
  EXPECT_LT(test_support::now_ms() - start, 1500);
  EXPECT_EQ(mqtt_session_lost, 1);  // every service notices a failed session
  EXPECT_NE(mqtt_service(mqtt_mosq, kServiceStepMs, kServiceStep), MOSQ_ERR_SUCCESS);
  EXPECT_EQ(mqtt_session_lost, 1);
  mqtt_close();
}

// User names that libmosquitto cannot take as client id give -10 without a client; the
// library's failure path (which closes descriptor 0) is never entered. Closing without a client
// still logs both lines.
TEST(Session, UnusableUserNameGivesMinus10WithoutClient) {
  LogRoot log(test_support::unique_key_offset());
  ASSERT_NE(fcntl(0, F_GETFD), -1);
  for (const char* name : {"",
                           "\xFC"
                           "ber"}) {
    EXPECT_EQ(mqtt_open("127.0.0.1", 1883, 60, name, "pass"), -10) << name;
    EXPECT_EQ(mqtt_mosq, nullptr);
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "descriptor 0 was closed";
  }
  EXPECT_EQ(log.count_exact(2, "mqtt_open: Error: Out of memory"), 2);
  EXPECT_FALSE(log.has(4, "mqtt_open: mosquitto_connect()"));

  mqtt_loop_wait(300);  // a null client is harmless
  EXPECT_NE(mqtt_service(mqtt_mosq, kServiceStepMs, kServiceStep), MOSQ_ERR_SUCCESS);
  mqtt_close();
  EXPECT_TRUE(log.has(4, "mqtt_close() begin ..."));
  EXPECT_TRUE(log.has(4, "mqtt_close() done"));
}

// Client ids and topics are taken as libmosquitto 2.0 takes them, with or without its check.
TEST(Session, Utf8AsMqttAllowsIt) {
  const std::string valid[] = {"", "\xC3\xBC", "\xC2\xA0\xF0\x9F\x98\x80", std::string(65536, 'a')};
  // Latin-1, cut sequences, overlong forms, a surrogate, above U+10FFFF, non-characters, control
  // characters, NUL, too long.
  const std::string nul("a\0b", 3), too_long(65537, 'a');
  const std::string invalid[] = {"\xFC",         "a\xC3",
                                 "\xE2\x82",     "\xC0\x80",
                                 "\xE0\x80\x80", "\xF0\x80\x80\x80",
                                 "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                 "\xEF\xBF\xBF", "\xEF\xB7\x90",
                                 "a\x01",        "\x7F",
                                 "\xC2\x9F",     nul,
                                 too_long};
  for (const std::string& t : valid)
    EXPECT_TRUE(mqtt_library_utf8_valid(t.data(), static_cast<int>(t.size()))) << t;
  for (const std::string& t : invalid)
    EXPECT_FALSE(mqtt_library_utf8_valid(t.data(), static_cast<int>(t.size()))) << t;
}

// Port 8883 connects with TLS, checking the server against the CA bundle below the root. Without
// a usable bundle there is no connection at all: libmosquitto would otherwise send CONNECT, and
// the password in it, in clear text to the TLS port.
TEST(Session, TlsPortUsesCaBundleAndNeverFallsBackToClearText) {
  if (!test_support::enter_private_network().empty())
    GTEST_SKIP() << "no private network namespace (needs root)";
  LogRoot log(test_support::unique_key_offset());

  {
    Listener listener(kTlsPort);
    ASSERT_EQ(listener.port(), kTlsPort);
    EXPECT_EQ(mqtt_open("127.0.0.1", kTlsPort, 60, "user", "secret"), -20);
    EXPECT_TRUE(listener.read_bytes(1, 500).empty()) << "bytes reached the TLS port";
    std::string want_prefix = "mqtt_open: mosquitto_tls_set() failed (";
    int at = log.index_of(2, want_prefix);
    ASSERT_GE(at, 0) << log.text();
    EXPECT_NE(log.texts()[at].find(log.root() + "/etc/ssl/certs/ca-certificates.crt"),
              std::string::npos);
    EXPECT_EQ(log.texts()[at + 1], "[2]mqtt_open: Unable to connect");
    EXPECT_FALSE(log.has(4, "mqtt_open: mosquitto_connect()"));
    mqtt_close();
  }

  std::filesystem::create_directories(log.root() + "/etc/ssl/certs");
  std::filesystem::copy_file("/etc/ssl/certs/ca-certificates.crt",
                             log.root() + "/etc/ssl/certs/ca-certificates.crt");
  Listener listener(kTlsPort);
  EXPECT_EQ(mqtt_open("127.0.0.1", kTlsPort, 60, "user", "secret"), 0);
  auto hello = listener.read_bytes(3);
  ASSERT_GE(hello.size(), 3u);
  EXPECT_EQ(hello[0], 0x16);  // TLS handshake record, not an MQTT CONNECT (0x10)
  EXPECT_EQ(hello[1], 0x03);
  EXPECT_TRUE(log.has(4, "mqtt_open: mosquitto_tls_set()"));
  mqtt_close();
}

// The daemon refuses a client key by the rule --check reports with: group-writable is used,
// group- or world-readable is not (and nothing is sent then). A key the TLS set-up cannot load
// fails the connect; the client closes no descriptor of anyone else's afterwards.
TEST(Session, ExposedKeyFileIsNotUsed) {
  LogRoot log(test_support::unique_key_offset());
  test_support::write_file(log.root() + "/c.key", "x");
  std::filesystem::create_directories(log.root() + "/etc/ssl/certs");
  test_support::write_file(log.root() + "/etc/ssl/certs/ca-certificates.crt", "x");
  Listener listener;
  mqtt_tls = 1;
  snprintf(mqtt_certfile, sizeof mqtt_certfile, "/c.key");
  snprintf(mqtt_keyfile, sizeof mqtt_keyfile, "/c.key");
  for (const auto& [mode, refused] : {std::pair{0600, false}, {0620, false}, {0640, true}}) {
    chmod((log.root() + "/c.key").c_str(), mode);
    const size_t mark = log.texts().size();
    EXPECT_EQ(mqtt_open("127.0.0.1", listener.port(), 60, "user", "pw"), -20);
    const auto lines = log.texts();
    const bool said = std::any_of(lines.begin() + mark, lines.end(), [](const std::string& l) {
      return l.find("is readable by group or others") != std::string::npos;
    });
    EXPECT_EQ(said, refused) << std::oct << mode;
    const int other = open("/dev/null", O_RDONLY);
    mqtt_close();
    EXPECT_NE(fcntl(other, F_GETFD), -1) << "a descriptor was closed by the client";
    close(other);
  }
  mqtt_tls = 0;
  mqtt_certfile[0] = mqtt_keyfile[0] = '\0';
}

// SUBACKs with three values and with none.
TEST(Session, SubscribeCallbackLines) {
  LogRoot log(test_support::unique_key_offset());
  const int three[] = {0, 1, 128};
  subscribe_callback(nullptr, nullptr, 7, 3, three);
  subscribe_callback(nullptr, nullptr, 8, 0, nullptr);
  auto lines = log.texts();
  int at = log.index_of(4, "subscribe_callback: Subscribed mid: 7");
  ASSERT_GE(at, 0);
  EXPECT_EQ(lines[at], "[4]subscribe_callback: Subscribed mid: 7, qos_count: 3, granted_qos[0]:0");
  EXPECT_EQ(lines[at + 1], "[4]  granted_qos[1]: 1");
  EXPECT_EQ(lines[at + 2], "[4]  granted_qos[2]: 128");
  EXPECT_EQ(lines[at + 3],
            "[4]subscribe_callback: Subscribed mid: 8, qos_count: 0, granted_qos[0]:-1");
}

}  // namespace
