// The bridge switched off and on again by a reload, and brokers that refuse or are not there.
#include <thread>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::field_text;
using test_support::LogFile;
using test_support::Scenario;
using namespace std::chrono_literals;

const std::string kUser = Scenario::kUser;

bool disabled(const status_entry& e) {
  return field_text(e.status_text) == "sleeping" && field_text(e.state_text) == "disabled" &&
         e.state == 2;
}

// With "ACTIV" 0 the daemon idles one second per pass: no countdown, no publication, no broker
// servicing. A reload with "ACTIV" 1 brings everything back.
TEST(Bridge, DisabledBridgeIdlesUntilAReloadSwitchesItOn) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();
  test_support::BridgeConfig cfg = s.config();
  cfg.activ = "0";
  cfg.name(1001, "temp").name(2001, "lamp").publish(1001).subscribe(2001);
  ASSERT_TRUE(c.write_config(cfg));
  ASSERT_TRUE(c.set(1001, "12.5", {.type = 1, .unit = "C"}));
  ASSERT_TRUE(c.set(2001, "0", {.type = 2}));
  auto live = s.subscribe(kUser + "/#");

  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(c.wait_status(disabled, test_support::kStartupWait)) << s.diagnostics();
  EXPECT_TRUE(log.contains("Global MQTT_k482916 Configuration read. Enabled: 0,"));
  int32_t counter = c.status()->counter;
  size_t mark = log.mark();
  // A command is not taken while the session is not serviced.
  ASSERT_TRUE(s.publish(kUser + "/lamp/action", "9"));
  // Longer than the 5-s countdown of an enabled bridge.
  bool stayed = test_support::wait_until([&] { return !disabled(*c.status()); }, 6500ms);
  EXPECT_FALSE(stayed) << s.diagnostics();
  int32_t passes = c.status()->counter - counter;
  EXPECT_GE(passes, 4) << s.diagnostics();
  EXPECT_LE(passes, 9) << "passes must sleep one second";
  EXPECT_FALSE(log.contains("mqtt_publish:", mark)) << log.text(mark);
  EXPECT_FALSE(log.contains("msg_callback:", mark)) << log.text(mark);
  EXPECT_TRUE(test_support::received_on(*live, kUser + "/1001").empty());
  EXPECT_TRUE(test_support::received_on(*live, kUser + "/temp").empty());

  cfg.activ = "1";
  ASSERT_TRUE(c.write_config(cfg));
  mark = log.mark();
  ASSERT_TRUE(c.reload());
  ASSERT_TRUE(
      log.wait_for("Global MQTT_k482916 Configuration re-read.", test_support::kReadWait, mark))
      << d.diagnostics();
  EXPECT_TRUE(log.contains("Enabled: 1,", mark));
  ASSERT_TRUE(c.wait_status(
      [](const status_entry& e) { return field_text(e.status_text) == "OK: 1 sensors published"; },
      test_support::kCycleWait))
      << s.diagnostics();
  ASSERT_TRUE(test_support::wait_until(
      [&] { return !test_support::received_on(*live, kUser + "/temp").empty(); }, 5s));
  for (const std::string& t : {kUser + "/1001", kUser + "/temp"}) {
    auto got = test_support::received_on(*live, t);
    ASSERT_EQ(got.size(), 1u) << t;
    EXPECT_TRUE(test_support::payload_matches(got[0].payload, "temp", "12.50", "sensor", "C"))
        << got[0].payload;
  }
  mark = log.mark();
  ASSERT_TRUE(s.publish(kUser + "/lamp/action", "9"));
  EXPECT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 1) gesetzt auf 9.00",
                           test_support::kQuickWait, mark))
      << d.diagnostics();
}

// A broker that refuses the password acknowledges the connection with an error; the daemon logs
// it and keeps running.
TEST(Bridge, BrokerRejectsThePassword) {
  Scenario s;
  test_support::BridgeConfig cfg = s.config();
  cfg.password = "wrong";
  ASSERT_TRUE(s.controller().write_config(cfg));
  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(s.log().wait_for("connect_callback: Connect failed", test_support::kStartupWait))
      << s.diagnostics();
  auto lines = s.log().lines();
  size_t ok = lines.size(), failed = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (ok == lines.size() && lines[i].find("[4]Connect anscheinend OK...") != std::string::npos)
      ok = i;
    if (failed == lines.size() &&
        lines[i].find("[4]connect_callback: Connect failed") != std::string::npos)
      failed = i;
  }
  EXPECT_LT(ok, failed) << s.diagnostics();
  EXPECT_FALSE(s.log().contains("subscribe_callback:"));
  EXPECT_TRUE(d.wait_main_loop()) << s.diagnostics();
  EXPECT_TRUE(d.running());
}

// Nobody listens on the port: the connect call fails at once.
TEST(Bridge, UnreachableBroker) {
  Scenario s;
  test_support::BridgeConfig cfg = s.config();
  cfg.port = std::to_string(test_support::free_port());
  ASSERT_TRUE(s.controller().write_config(cfg));
  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(s.log().wait_for("mqtt_open: Unable to connect", test_support::kStartupWait))
      << s.diagnostics();
  auto failed = s.log().find("mqtt_open: Unable to connect");
  ASSERT_FALSE(failed.empty());
  EXPECT_EQ(failed[0].level, 2);
  auto code = s.log().find("Connect Rueckwert: ");
  ASSERT_FALSE(code.empty());
  EXPECT_NE(code[0].text, "Connect Rueckwert: 0");
  EXPECT_FALSE(s.log().contains("Connect anscheinend OK..."));
  EXPECT_TRUE(d.wait_main_loop()) << s.diagnostics();
  EXPECT_TRUE(d.running());
}

}  // namespace
