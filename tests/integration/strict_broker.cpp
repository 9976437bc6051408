// The protocol key against aedes, a broker that holds to MQTT 3.1's limit of 23 characters for
// client ids (tests/support/aedes_broker.js, installed by scripts/aedes.sh).
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::Scenario;
using namespace std::chrono_literals;
const std::string kUser = Scenario::kUser;
const std::string kModules = K482916_SOURCE_DIR "/build-node/node_modules";

struct Child {
  pid_t pid;
  ~Child() { test_support::end_child(pid); }
};

// The 36-character uuid as client id: refused under 3.1 (CONNACK 2), nothing published; with
// "protocol":"3.1.1" read on the next retry the session is accepted and the value comes through.
TEST(StrictBroker, LongUuidNeedsMqtt311) {
  if (access("/usr/bin/node", X_OK) != 0 || !std::filesystem::exists(kModules + "/aedes"))
    GTEST_SKIP() << "needs /usr/bin/node and aedes in " << kModules << ": run scripts/deps.sh";
  test_support::TempDir dir;
  const std::string out = dir.path() + "/aedes.out";
  const int port = test_support::free_port();
  Child broker{
      test_support::spawn({"/usr/bin/node", K482916_SOURCE_DIR "/tests/support/aedes_broker.js",
                           std::to_string(port), kModules},
                          out, out)};
  auto said = [&](const std::string& part) {
    return test_support::wait_until(
        [&] { return test_support::read_file(out).find(part) != std::string::npos; }, 10s);
  };
  ASSERT_TRUE(said("listening")) << test_support::read_file(out);
  test_support::ClientOptions anyone;
  anyone.port = port;
  test_support::Subscriber live(anyone, kUser + "/#");
  ASSERT_TRUE(live.ready()) << test_support::read_file(out);

  test_support::ToolController c;
  test_support::BridgeConfig cfg;
  cfg.uuid = kUser;
  cfg.password = Scenario::kPassword;
  cfg.port = std::to_string(port);
  ASSERT_TRUE(c.write_config(cfg.name(1001, "kitchen").publish(1001)) && c.set(1001, "21.5"));
  test_support::Daemon d(c);
  EXPECT_TRUE(c.log().wait_for("[4]connect_callback: Connect failed", test_support::kStartupWait));
  EXPECT_TRUE(c.log().wait_for("Keine Verbindung zum Broker", test_support::kCycleWait))
      << d.diagnostics();
  EXPECT_TRUE(said("refused: identifier rejected")) << test_support::read_file(out);
  EXPECT_TRUE(live.lines().empty()) << live.output();

  std::string access = cfg.access_json();
  ASSERT_TRUE(c.write_broker_access(access.insert(access.rfind('}'), ",\"protocol\":\"3.1.1\"")));
  EXPECT_TRUE(
      live.wait_for_line(kUser + "/kitchen 0 {\"call\":\"kitchen\",\"value\":\"21.5", 60000))
      << d.diagnostics() << test_support::read_file(out);
  EXPECT_TRUE(said("connected " + kUser + " 4")) << test_support::read_file(out);
}

}  // namespace
