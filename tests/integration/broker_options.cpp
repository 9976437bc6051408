// The broker options against real brokers (mosquitto, aedes), one daemon run per broker set-up.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "integration/harness/harness.h"

namespace {

using harness::Scenario;
using namespace std::chrono_literals;
const std::string kUser = Scenario::kUser;
const std::string kHere = std::filesystem::path(__FILE__).parent_path();

// Certificates in the folder $0: CAs "ca" and "other", "server" (127.0.0.1) and "client" of ca,
// "wrong" of other.
constexpr const char* kPki = R"(set -e; cd "$0"
  k="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=k482916"
  for n in ca other; do openssl req -x509 $k -keyout $n.key -out $n.crt; done
  for c in server:ca client:ca wrong:other; do openssl req -x509 $k -extensions v3_req -addext \
    subjectAltName=IP:127.0.0.1 -CA ${c#*:}.crt -CAkey ${c#*:}.key -keyout ${c%:*}.key \
    -out ${c%:*}.crt; done; chmod 600 *.key)";

// The file text with `keys` after the legacy keys.
std::string with_keys(std::string json, const std::string& keys) {
  return json.insert(json.rfind('}'), "," + keys);
}

// A broker that requires client certificates, on a TLS port other than 8883: no certificate, a
// wrong one and a key readable by others get nothing through; the right one does.
TEST(BrokerOptions, ClientCertificateOnAnyPort) {
  test_env::TempDir pki;
  ASSERT_EQ(harness::run_process({"/bin/sh", "-c", kPki, pki.path()}).status, 0);
  test_broker::BrokerOptions o = Scenario::broker_options();
  o.tls_port = test_broker::free_port();
  o.cafile = pki.path() + "/ca.crt";
  o.certfile = pki.path() + "/server.crt";
  o.keyfile = pki.path() + "/server.key";
  o.require_certificate = true;
  Scenario s(o, {});
  harness::Controller& c = s.controller();
  std::filesystem::copy(pki.path(), c.path("/certs"));
  harness::BridgeConfig cfg = s.config();
  cfg.port = std::to_string(o.tls_port);
  cfg.name(1001, "kitchen").name(2001, "lamp").publish(1001).subscribe(2001);
  ASSERT_TRUE(c.write_config(cfg) && c.set(1001, "21.5") && c.set(2001, "0", {.type = 2}));
  auto live = s.subscribe(kUser + "/#");
  s.start_daemon();
  // Each configuration is read again by the retries; two lines after the change prove its turn.
  const auto refused = [&](const std::string& cert, const std::string& line) {
    const size_t mark = s.log().mark();
    std::string keys = "\"protocol\":\"5\",\"tls\":\"on\",\"cafile\":\"/certs/ca.crt\"";
    if (!cert.empty())
      keys += ",\"certfile\":\"/certs/" + cert + ".crt\",\"keyfile\":\"/certs/" + cert + ".key\"";
    return c.write_broker_access(with_keys(cfg.access_json(), keys)) &&
           s.log().wait_for(line, 90s, mark, 2);
  };
  EXPECT_TRUE(refused("", "Keine Verbindung zum Broker")) << s.diagnostics();
  EXPECT_TRUE(refused("wrong", "Keine Verbindung zum Broker")) << s.diagnostics();
  std::filesystem::permissions(c.path("/certs/client.key"), std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  EXPECT_TRUE(
      refused("client", "client.key\" is readable by group or others (mode 604), not used"));
  EXPECT_TRUE(live->lines().empty()) << live->output();
  std::filesystem::permissions(c.path("/certs/client.key"), std::filesystem::perms::others_read,
                               std::filesystem::perm_options::remove);
  EXPECT_TRUE(live->wait_for_line(kUser + "/kitchen ", 60000)) << s.diagnostics();
  ASSERT_TRUE(s.publish(kUser + "/lamp/action", "1.5"));
  EXPECT_TRUE(s.log().wait_for("Aktor mit DB_ID 2001 (Real_ID: 1) gesetzt auf 1.50", 5s));
  EXPECT_TRUE(s.log().contains("subscribe_callback: Subscribed"));
}

// aedes holds to MQTT 3.1's 23-character client ids: it refuses the 36-character uuid under 3.1
// (the fallback of an unknown "protocol") and takes it under 3.1.1, where commands, SUBACKs,
// publications and availability work: retained "online", "offline" and "online" across a reload,
// the will "offline" after kill -9.
TEST(BrokerOptions, AvailabilityUnder311OnAStrictBroker) {
  if (access("/usr/bin/node", X_OK) != 0) GTEST_SKIP() << "node is missing: no aedes broker";
  const std::string aedes = harness::build_dir() + "/aedes";
  ASSERT_EQ(harness::run_process({kHere + "/../../scripts/aedes.sh", aedes}, {}, 300s).status, 0);
  test_broker::ClientOptions anyone;
  anyone.port = test_broker::free_port();
  const std::string js = "const {Aedes} = await import('" + aedes +
                         "/node_modules/aedes/aedes.js');"
                         "(await import('node:net')).createServer((await Aedes.createBroker())"
                         ".handle).listen(" +
                         std::to_string(anyone.port) + ", '127.0.0.1');";
  struct Child {
    pid_t pid;
    ~Child() { test_broker::end_child(pid); }
  } broker{test_broker::spawn({"/usr/bin/node", "--input-type=module", "-e", js}, "")};
  ASSERT_TRUE(harness::wait_until([&] { return test_broker::port_open(anyone.port); }, 20s));
  harness::Controller c;
  harness::BridgeConfig cfg;
  cfg.uuid = kUser;
  cfg.port = std::to_string(anyone.port);
  cfg.name(1001, "kitchen").name(2001, "lamp").publish(1001).subscribe(2001);
  ASSERT_TRUE(c.write_broker_setup(with_keys(cfg.setup_json(), "\"availability\":\"on\"")) &&
              c.set(1001, "21.5") && c.set(2001, "0", {.type = 2}) &&
              c.write_broker_access(with_keys(cfg.access_json(), "\"protocol\":\"4\"")));
  harness::Daemon d(c);
  ASSERT_TRUE(d.wait_main_loop()) << d.diagnostics();
  EXPECT_TRUE(c.log().contains("[1]Config: unknown value \"4\" of \"protocol\", using 3.1"));
  EXPECT_TRUE(c.log().contains("connect_callback: Connect failed")) << d.diagnostics();
  // The retries after the refusal read the files again.
  ASSERT_TRUE(c.write_broker_access(with_keys(cfg.access_json(), "\"protocol\":\"3.1.1\"")));
  ASSERT_TRUE(c.log().wait_for("subscribe_callback: Subscribed", 2 * harness::kReadWait))
      << d.diagnostics();
  const std::string topic = kUser + "/availability";
  test_broker::Subscriber seen(anyone, topic);
  ASSERT_EQ(test_broker::publish(anyone, kUser + "/lamp/action", "2"), 0);
  EXPECT_TRUE(c.log().wait_for("Aktor mit DB_ID 2001 (Real_ID: 1) gesetzt auf 2.00", 5s));
  EXPECT_TRUE(c.log().wait_for("mqtt_publish: Rueckmeldung vom Callback", harness::kCycleWait));
  ASSERT_TRUE(c.reload() && seen.wait_for_line(topic + " 0 online", 20000)) << seen.output();
  d.kill();
  harness::wait_until([&] { return seen.lines().size() >= 4; }, 5s);
  EXPECT_EQ(seen.lines(), (std::vector<std::string>{topic + " 1 online", topic + " 0 offline",
                                                    topic + " 0 online", topic + " 0 offline"}));
}

}  // namespace
