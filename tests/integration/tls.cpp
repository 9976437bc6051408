// The broker connection over TLS. The daemon switches TLS on only for port 8883, so each test
// moves its process into a network namespace of its own (root only) where 8883 is free; the broker
// and the daemon, both children of the test, share it. Certificates are made at test time in a
// temporary folder: a CA and a server certificate for "localhost" and 127.0.0.1, and a second,
// unrelated CA.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/controller.h"
#include "support/netns.h"

namespace {

using test_support::field_text;
using test_support::LogFile;
using test_support::Scenario;
using namespace std::chrono_literals;

const std::string kUser = Scenario::kUser;
constexpr int kTlsPort = 8883;
constexpr const char* kOpenssl = "/usr/bin/openssl";

// Runs openssl with `args`; adds a test failure with its output when it fails.
bool openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kOpenssl};
  argv.insert(argv.end(), args.begin(), args.end());
  test_support::ProcessResult r = test_support::run_process(argv, {}, 30s);
  if (r.status == 0) return true;
  std::string line;
  for (const auto& a : argv) line += a + " ";
  ADD_FAILURE() << line << "\nstatus " << r.status << "\n" << r.out << r.err;
  return false;
}

// Two unrelated CAs and a server certificate of the first one, in a temporary folder. EC keys
// keep the generation quick.
class TestPki {
 public:
  TestPki() {
    const std::string cnf = path("openssl.cnf");
    ok_ = test_support::write_file(cnf,
                                   "[req]\n"
                                   "distinguished_name = dn\n"
                                   "prompt = no\n"
                                   "[dn]\n"
                                   "CN = unused\n"
                                   "[ca]\n"
                                   "basicConstraints = critical,CA:TRUE\n"
                                   "keyUsage = critical,keyCertSign,cRLSign\n"
                                   "subjectKeyIdentifier = hash\n"
                                   "[server]\n"
                                   "basicConstraints = CA:FALSE\n"
                                   "keyUsage = critical,digitalSignature,keyEncipherment\n"
                                   "extendedKeyUsage = serverAuth\n"
                                   "subjectAltName = DNS:localhost,IP:127.0.0.1\n"
                                   "authorityKeyIdentifier = keyid\n") &&
          make_ca("ca", "/O=k482916 test/CN=k482916 test CA") &&
          make_ca("other-ca", "/O=k482916 test/CN=k482916 unrelated CA") &&
          openssl({"req", "-new", "-config", cnf, "-newkey", "ec", "-pkeyopt",
                   "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", path("server.key"), "-out",
                   path("server.csr"), "-subj", "/CN=localhost"}) &&
          openssl({"x509", "-req", "-in", path("server.csr"), "-CA", ca(), "-CAkey", path("ca.key"),
                   "-CAcreateserial", "-days", "2", "-extfile", cnf, "-extensions", "server",
                   "-out", server_cert()});
  }

  bool ok() const { return ok_; }
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
  std::string ca() const { return path("ca.crt"); }
  std::string other_ca() const { return path("other-ca.crt"); }
  std::string server_cert() const { return path("server.crt"); }
  std::string server_key() const { return path("server.key"); }

 private:
  bool make_ca(const std::string& name, const std::string& subject) {
    return openssl({"req", "-x509", "-config", path("openssl.cnf"), "-extensions", "ca", "-newkey",
                    "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    path(name + ".key"), "-out", path(name + ".crt"), "-days", "2", "-subj",
                    subject});
  }

  test_support::TempDir dir_;
  bool ok_ = false;
};

// Writes the controller's CA bundle from the given certificate files, in this order.
bool write_ca_bundle(const test_support::ToolController& c, const std::vector<std::string>& certs) {
  const std::string bundle = c.path("/etc/ssl/certs/ca-certificates.crt");
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(bundle).parent_path(), ec);
  std::string text;
  for (const auto& cert : certs) text += test_support::read_file(cert);
  return !ec && !text.empty() && test_support::write_file(bundle, text);
}

// A broker with only a TLS listener on 8883 and a controller; the private network must be entered
// before.
std::unique_ptr<Scenario> tls_scenario(const TestPki& pki) {
  test_support::BrokerOptions o = Scenario::broker_options();
  o.plain_port = -1;
  o.tls_port = kTlsPort;
  o.cafile = pki.ca();
  o.certfile = pki.server_cert();
  o.keyfile = pki.server_key();
  return std::make_unique<Scenario>(o, test_support::ToolController::Options{});
}

// One sensor (1001 "kitchen") to publish and one actor (2001 "lamp") to command, reaching the
// broker by `host` on port 8883.
test_support::BridgeConfig tls_config(const Scenario& s, const std::string& host) {
  test_support::BridgeConfig cfg = s.config();
  cfg.host = host;
  cfg.port = std::to_string(kTlsPort);
  cfg.name(1001, "kitchen").name(2001, "lamp").publish(1001).subscribe(2001);
  return cfg;
}

// Sends an actor command through the TLS listener, checked against the right CA.
bool send_command(Scenario& s, const TestPki& pki, const std::string& payload) {
  return test_support::publish(s.broker().tls_client(pki.ca()), kUser + "/lamp/action", payload) ==
         0;
}

TEST(Tls, RightCaPublishesAndTakesCommands) {
  if (std::string why = test_support::enter_private_network(); !why.empty())
    GTEST_SKIP() << "no network namespace of our own (needs root): " << why;
  TestPki pki;
  ASSERT_TRUE(pki.ok());
  auto scenario = tls_scenario(pki);
  Scenario& s = *scenario;
  ASSERT_TRUE(s.broker().running()) << s.broker().log();
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();

  // A bundle with several certificates, as on a real system: the right CA is not the first.
  ASSERT_TRUE(write_ca_bundle(c, {pki.other_ca(), pki.ca()}));
  ASSERT_TRUE(c.write_config(tls_config(s, "localhost")));
  ASSERT_TRUE(c.set(1001, "21.5", {.unit = "C"}));
  ASSERT_TRUE(c.set(2001, "0", {.type = 2}));

  test_support::Subscriber live(s.broker().tls_client(pki.ca()), kUser + "/+");
  ASSERT_TRUE(live.ready()) << s.broker().log();

  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();
  EXPECT_TRUE(log.contains("mqtt_open: Broker Address: \"localhost\", Port: 8883, Keepalive: 60"))
      << d.diagnostics();
  // TLS is set up between the credentials and the connect.
  std::string text = log.text();
  size_t credentials = text.find("mqtt_open: mosquitto_username_pw_set()");
  size_t tls = text.find("mqtt_open: mosquitto_tls_set()");
  size_t connect = text.find("mqtt_open: mosquitto_connect()");
  ASSERT_NE(tls, std::string::npos) << d.diagnostics();
  EXPECT_LT(credentials, tls);
  EXPECT_LT(tls, connect);
  EXPECT_FALSE(log.contains("Unable to connect")) << d.diagnostics();
  ASSERT_TRUE(log.contains("subscribe_callback: Subscribed")) << s.diagnostics();

  // An actor command over TLS reaches the command block.
  size_t mark = log.mark();
  time_t before = time(nullptr);
  ASSERT_TRUE(send_command(s, pki, "1.5"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 1) gesetzt auf 1.50",
                           test_support::kQuickWait, mark))
      << s.diagnostics();
  auto actor = c.entry_by_db_id(2001);
  ASSERT_TRUE(actor);
  EXPECT_EQ(actor->command.value, 1.5);
  EXPECT_EQ(actor->command.value_x100, 150);
  EXPECT_EQ(field_text(actor->command.text), "1.50");
  EXPECT_GE(actor->command.timestamp, before);

  // The first cycle publishes the sensor on both topics.
  ASSERT_TRUE(live.wait_for_line(kUser + "/kitchen ", 20000)) << s.diagnostics();
  ASSERT_TRUE(live.wait_for_line(kUser + "/1001 ", 5000)) << s.diagnostics();
  for (const std::string& topic : {kUser + "/1001", kUser + "/kitchen"}) {
    auto got = test_support::received_on(live, topic);
    ASSERT_EQ(got.size(), 1u) << topic;
    EXPECT_TRUE(test_support::payload_matches(got[0].payload, "kitchen", "21.50", "sensor", "C"))
        << got[0].payload;
    EXPECT_FALSE(got[0].retained);
  }
  EXPECT_TRUE(c.wait_status(
      [](const status_entry& e) { return field_text(e.status_text) == "OK: 1 sensors published"; },
      5s))
      << c.describe_status();
  EXPECT_FALSE(log.contains("Keine Verbindung zum Broker")) << d.diagnostics();
  EXPECT_TRUE(d.running());
}

TEST(Tls, WrongCaConnectsNeverAndKeepsRetrying) {
  if (std::string why = test_support::enter_private_network(); !why.empty())
    GTEST_SKIP() << "no network namespace of our own (needs root): " << why;
  TestPki pki;
  ASSERT_TRUE(pki.ok());
  auto scenario = tls_scenario(pki);
  Scenario& s = *scenario;
  ASSERT_TRUE(s.broker().running()) << s.broker().log();
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();

  // The bundle holds only a CA that did not sign the broker's certificate.
  ASSERT_TRUE(write_ca_bundle(c, {pki.other_ca()}));
  ASSERT_TRUE(c.write_config(tls_config(s, "127.0.0.1")));
  ASSERT_TRUE(c.set(1001, "21.5", {.unit = "C"}));
  ASSERT_TRUE(c.set(2001, "0", {.type = 2}));

  test_support::Subscriber live(s.broker().tls_client(pki.ca()), kUser + "/+");
  ASSERT_TRUE(live.ready()) << s.broker().log();

  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();
  EXPECT_TRUE(log.contains("mqtt_open: mosquitto_tls_set()")) << d.diagnostics();
  ASSERT_TRUE(send_command(s, pki, "1"));

  // The session never comes up; each publish pass rebuilds it from the files, for ever.
  const std::string retry = "Keine Verbindung zum Broker. Verbindung wird neu aufgebaut.";
  ASSERT_TRUE(log.wait_for(retry, 2 * test_support::kCycleWait + test_support::kReadWait, 0, 2))
      << s.diagnostics();
  for (const auto& line : log.find(retry)) EXPECT_EQ(line.level, 3);
  EXPECT_GE(log.count("mqtt_open: mosquitto_tls_set()"), 3);
  EXPECT_TRUE(log.contains("mqtt_publish: Timeout reached, data not published"));
  EXPECT_FALSE(log.contains("subscribe_callback: ")) << d.diagnostics();
  EXPECT_FALSE(log.contains("publish_callback: Published")) << d.diagnostics();
  EXPECT_FALSE(log.contains("gesetzt auf")) << d.diagnostics();
  EXPECT_TRUE(live.lines().empty()) << live.output();
  auto actor = c.entry_by_db_id(2001);
  ASSERT_TRUE(actor);
  EXPECT_EQ(actor->command.value, 0.0);
  EXPECT_EQ(actor->command.timestamp, 0);
  ASSERT_TRUE(d.running()) << d.diagnostics();

  // Once the right CA is in the bundle, the next attempt connects without a reload.
  ASSERT_TRUE(write_ca_bundle(c, {pki.ca()}));
  size_t mark = log.mark();
  ASSERT_TRUE(live.wait_for_line(kUser + "/kitchen ", 60000)) << s.diagnostics();
  EXPECT_TRUE(log.contains("subscribe_callback: Subscribed", mark)) << log.text(mark);
  mark = log.mark();
  ASSERT_TRUE(send_command(s, pki, "2"));
  EXPECT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 1) gesetzt auf 2.00",
                           test_support::kQuickWait, mark))
      << s.diagnostics();
  EXPECT_TRUE(d.running());
}

}  // namespace
