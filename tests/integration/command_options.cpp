// The opt-in command keys against a real mosquitto: a persistent session that keeps the commands
// the broker accepted across a reload and a broker kill, the retained and strict-number rules, the
// state echo, the unsubscription of a removed actor; and the shipped ACL isolating controllers.
#include <signal.h>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::Scenario;
using namespace std::chrono_literals;
const std::string kUser = Scenario::kUser;
const std::string kAction = kUser + "/lamp/action";

std::string with_keys(std::string json, const std::string& keys) {
  return json.insert(json.rfind('}'), "," + keys);
}

TEST(CommandOptions, NoneLostNoneMisreadEachConfirmed) {
  test_support::BrokerOptions o = Scenario::broker_options();
  o.persistence = true;
  Scenario s(o, {});
  test_support::ToolController& c = s.controller();
  test_support::BridgeConfig cfg = s.config();
  cfg.name(2001, "lamp").subscribe(2001);
  const std::string keys =
      R"("command_qos":"1","command_retained":"ignore","command_numbers":"strict","command_state":"on")";
  ASSERT_TRUE(c.write_broker_access(cfg.access_json()) &&
              c.write_broker_setup(with_keys(cfg.setup_json(), keys)) &&
              c.set(2001, "0", {.type = 2}) && s.publish(kAction, "7", true, 1));
  auto state = s.subscribe(kUser + "/lamp/state");
  s.start_daemon();
  ASSERT_TRUE(s.log().wait_for("retained message not applied", test_support::kStartupWait))
      << s.diagnostics();
  ASSERT_TRUE(s.publish(kAction, "ON", false, 1) && s.publish(kAction, "21.5", false, 1));
  EXPECT_TRUE(state->wait_for_line(kUser + "/lamp/state 0 21.50", 5000)) << state->output();
  EXPECT_TRUE(s.log().contains("Data: \"ON\": not a number, nothing written"));

  // Commands sent while the session is down (a reload's rebuild, a broker killed and restarted
  // from its saved sessions) are applied when it is back, in order.
  size_t mark = s.log().mark();
  ASSERT_TRUE(c.reload() && s.log().wait_for("mqtt_close() done", test_support::kReadWait, mark));
  for (const char* v : {"1", "2", "3"}) ASSERT_TRUE(s.publish(kAction, v, false, 1));
  ASSERT_TRUE(s.broker().wait_saved());
  ASSERT_EQ(kill(s.broker().pid(), SIGKILL), 0);
  ASSERT_TRUE(s.broker().restart()) << s.broker().log();
  for (const char* v : {"4", "5"}) ASSERT_TRUE(s.publish(kAction, v, false, 1));
  ASSERT_TRUE(s.log().wait_for("gesetzt auf 5.00", 60s, mark)) << s.diagnostics();
  std::string order;
  for (const auto& l : s.log().find("gesetzt auf ", mark))
    order += l.text.substr(l.text.size() - 4, 1);
  EXPECT_EQ(order, "12345") << s.diagnostics();

  // A reload without the actor unsubscribes it, so the broker stops keeping commands for it.
  cfg.sub.clear();
  mark = s.log().mark();
  ASSERT_TRUE(c.write_broker_setup(with_keys(cfg.setup_json(), keys)) && c.reload());
  EXPECT_TRUE(
      s.log().wait_for("Actor \"lamp\" no longer configured: \"" + kAction + "\" unsubscribed",
                       test_support::kReadWait, mark));
}

// The shipped ACL: a second controller's credentials neither command the first one's actors nor
// read its values; a dashboard user does both.
TEST(CommandOptions, AclIsolatesControllers) {
  test_support::TempDir dir;
  const std::string acl = dir.path() + "/acl";
  test_support::write_file(acl, test_support::read_file(std::string(K482916_SOURCE_DIR) +
                                                        "/dist/mosquitto.acl.example") +
                                    "pattern readwrite k482916-probe/#\n");  // the test's probes
  test_support::BrokerOptions o = Scenario::broker_options();
  o.acl_file = acl;
  o.more_users = {{"other-controller", "pw2"}, {"dashboard", "pw3"}};
  Scenario s(o, {});
  test_support::BridgeConfig cfg = s.config();
  ASSERT_TRUE(s.controller().write_config(
                  cfg.name(1001, "t").name(2001, "lamp").publish(1001).subscribe(2001)) &&
              s.controller().set(1001, "21.5") && s.controller().set(2001, "0", {.type = 2}));
  s.start_daemon();
  auto client = [&](const char* user, const char* pw) {
    test_support::ClientOptions c = s.broker().client();
    c.user = user;
    c.password = pw;
    return c;
  };
  test_support::Subscriber dashboard(client("dashboard", "pw3"), kUser + "/#");
  ASSERT_TRUE(dashboard.wait_for_line(kUser + "/1001 ", 30000)) << s.diagnostics();
  test_support::Subscriber other(client("other-controller", "pw2"), kUser + "/#");
  ASSERT_TRUE(other.ready());
  ASSERT_EQ(test_support::publish(client("other-controller", "pw2"), kAction, "1.5"), 0);
  ASSERT_EQ(test_support::publish(client("dashboard", "pw3"), kAction, "2.5"), 0);
  EXPECT_TRUE(s.log().wait_for("gesetzt auf 2.50", test_support::kQuickWait)) << s.diagnostics();
  EXPECT_FALSE(s.log().contains("gesetzt auf 1.50"));
  EXPECT_EQ(other.output().find(kUser), std::string::npos) << other.output();
}

}  // namespace
