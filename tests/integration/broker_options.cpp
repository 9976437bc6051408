// The broker options against a real mosquitto broker, one daemon run per broker set-up.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <mosquitto.h>

#include "support/controller.h"

namespace {

using test_support::Scenario;
using namespace std::chrono_literals;
const std::string kUser = Scenario::kUser;

// In the folder $0: CA "ca" with "server" (127.0.0.1) and "client", and the unknown "wrong".
constexpr const char* kPki = R"(set -e; cd "$0"
  k="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=k482916"
  for n in ca wrong; do openssl req -x509 $k -keyout $n.key -out $n.crt; done
  for n in server client; do openssl req -x509 $k -extensions v3_req -CA ca.crt -CAkey ca.key \
    -addext subjectAltName=IP:127.0.0.1 -keyout $n.key -out $n.crt; done; chmod 600 *.key)";

// The file text with `keys` after the legacy keys.
std::string with_keys(std::string json, const std::string& keys) {
  return json.insert(json.rfind('}'), "," + keys);
}

// MQTT 5 with availability: retained "online" after connect and subscription, "offline" and
// "online" across a reload, the will after kill -9; commands, SUBACKs and publications work.
TEST(BrokerOptions, AvailabilityUnderMqtt5) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  test_support::BridgeConfig cfg = s.config();
  cfg.name(1001, "kitchen").name(2001, "lamp").publish(1001).subscribe(2001);
  ASSERT_TRUE(c.write_broker_access(with_keys(cfg.access_json(), "\"protocol\":\"5\"")) &&
              c.write_broker_setup(with_keys(cfg.setup_json(), "\"availability\":\"on\"")) &&
              c.set(1001, "21.5") && c.set(2001, "0", {.type = 2}));
  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();
  // Before libmosquitto 1.6 the level is refused, and the same works under MQTT 3.1.
  EXPECT_EQ(s.log().contains("Config: \"protocol\" \"5\" needs libmosquitto 1.6 or later"),
            LIBMOSQUITTO_VERSION_NUMBER < 1006000);
  const std::string topic = kUser + "/availability";
  auto seen = s.subscribe(topic);
  ASSERT_TRUE(s.publish(kUser + "/lamp/action", "1.5"));
  EXPECT_TRUE(s.log().wait_for("Aktor mit DB_ID 2001 (Real_ID: 1) gesetzt auf 1.50", 5s));
  EXPECT_TRUE(
      s.log().wait_for("mqtt_publish: Rueckmeldung vom Callback", test_support::kCycleWait));
  EXPECT_TRUE(s.log().contains("subscribe_callback: Subscribed"));
  ASSERT_TRUE(c.reload() && seen->wait_for_line(topic + " 0 online", 20000)) << seen->output();
  d.kill();
  test_support::wait_until([&] { return seen->lines().size() >= 4; }, 5s);
  EXPECT_EQ(seen->lines(), (std::vector<std::string>{topic + " 1 online", topic + " 0 offline",
                                                     topic + " 0 online", topic + " 0 offline"}));
}

// A broker that requires client certificates, on a TLS port other than 8883: no certificate, an
// unknown one and a key readable by others get nothing through; the right one does.
TEST(BrokerOptions, ClientCertificateOnAnyPort) {
  test_support::TempDir pki;
  ASSERT_EQ(test_support::run_process({"/bin/sh", "-c", kPki, pki.path()}).status, 0);
  test_support::BrokerOptions o = Scenario::broker_options();
  o.tls_port = test_support::free_port();
  o.cafile = pki.path() + "/ca.crt";
  o.certfile = pki.path() + "/server.crt";
  o.keyfile = pki.path() + "/server.key";
  o.require_certificate = true;
  Scenario s(o, {});
  test_support::ToolController& c = s.controller();
  std::filesystem::copy(pki.path(), c.path("/certs"));
  test_support::BridgeConfig cfg = s.config();
  cfg.port = std::to_string(o.tls_port);
  ASSERT_TRUE(c.write_config(cfg.name(1001, "kitchen").publish(1001)) && c.set(1001, "21.5"));
  auto live = s.subscribe(kUser + "/#");
  s.start_daemon();
  // The retries read the files again; the second line after a change comes from the new ones.
  ASSERT_EQ(chmod(c.path("/certs/client.key").c_str(), 0604), 0);
  for (const auto& [cert, line] : std::vector<std::pair<std::string, std::string>>{
           {"", "Keine Verbindung zum Broker"},
           {"wrong", "Keine Verbindung zum Broker"},
           {"client", "client.key\" is readable by group or others (mode 604), not used"}}) {
    std::string keys = "\"tls\":\"on\",\"cafile\":\"/certs/ca.crt\"";
    if (!cert.empty())
      keys += ",\"certfile\":\"/certs/" + cert + ".crt\",\"keyfile\":\"/certs/" + cert + ".key\"";
    const size_t mark = s.log().mark();
    ASSERT_TRUE(c.write_broker_access(with_keys(cfg.access_json(), keys)));
    EXPECT_TRUE(s.log().wait_for(line, 90s, mark, 2)) << cert << s.diagnostics();
  }
  EXPECT_TRUE(live->lines().empty()) << live->output();
  ASSERT_EQ(chmod(c.path("/certs/client.key").c_str(), 0600), 0);
  EXPECT_TRUE(live->wait_for_line(kUser + "/kitchen ", 60000)) << s.diagnostics();
}

}  // namespace
