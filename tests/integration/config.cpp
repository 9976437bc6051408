// The configuration read as the running daemon does it: at start-up and at every reload that the
// controller asks for, with the values and tables it reports in its log. One daemon run goes
// through four configurations.
#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::LogFile;
using test_support::LogLine;
using test_support::Scenario;

const std::string kUser = Scenario::kUser;

// The 20-character id field of the table lines: the key text right-aligned.
std::string id_field(const std::string& key) {
  return std::string(20 - key.size(), ' ') + key;
}

// Exactly one line from `from` on contains `part`; returns it.
LogLine one_line(const LogFile& log, const std::string& part, size_t from) {
  auto found = log.find(part, from);
  EXPECT_EQ(found.size(), 1u) << part << "\n" << log.text(from);
  return found.empty() ? LogLine{} : found[0];
}

// The first line from `from` on that contains `part`.
LogLine first_line(const LogFile& log, const std::string& part, size_t from) {
  auto found = log.find(part, from);
  EXPECT_FALSE(found.empty()) << part << "\n" << log.text(from);
  return found.empty() ? LogLine{} : found[0];
}

// Asks for a reload and waits until it is done; returns the mark taken before.
size_t reload(const Scenario& s, test_support::ToolController& c) {
  size_t mark = s.log().mark();
  EXPECT_TRUE(c.reload());
  EXPECT_TRUE(
      s.log().wait_for("Global MQTT_k482916 Configuration re-read.", test_support::kReadWait, mark))
      << s.log().text(mark);
  return mark;
}

TEST(Config, StartupAndReloadsReadEverySetting) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();
  const std::string port = std::to_string(s.broker().port());

  // Start: "host" occurs first as part of the longer key "xhost", whose value is the one used
  // (the real "host" key names a host that does not exist). Log level 9 is cut to 5 by the
  // start-up read only; interval 4 and threshold 0.05 are raised to their floors. Call name
  // 1001 is given twice (the first counts), 1002 is selected with "On" and 1004 with "1" (both
  // ignored), 1003 and actor 2001 have no call name.
  const std::string access = "{\"uuid\":\"" + kUser + "\",\"password\":\"" + Scenario::kPassword +
                             "\",\"xhost\":\"127.0.0.1\",\"port\":\"" + port +
                             "\",\"host\":\"nohost.invalid\"}";
  ASSERT_TRUE(c.write_broker_access(access));
  test_support::BridgeConfig a = s.config();
  a.loglevel = "9";
  a.interval = "4";
  a.threshold = "0.05";
  a.name(1001, "kitchen").name(1002, "garden").name(1001, "dup");
  a.publish(1001).publish(1002, "On").publish(1003).publish(1004, "1");
  a.subscribe(2001);
  ASSERT_TRUE(c.write_broker_setup(a.setup_json()));

  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();
  EXPECT_TRUE(
      log.contains("----------   mqtt_k482916_demon V 3.219 started (debuglevel=5)   "
                   "----------"))
      << d.diagnostics();
  EXPECT_TRUE(log.contains("Config-Datei \"" + c.root() +
                           "/opt/korvan/k482916/brokerAccess.json\" gelesen: " +
                           std::to_string(access.size()) + " Bytes"))
      << d.diagnostics();
  EXPECT_TRUE(log.contains("Config-Datei \"" + c.root() +
                           "/opt/korvan/k482916/brokerSetup.json\" gelesen: " +
                           std::to_string(a.setup_json().size()) + " Bytes"));
  LogLine read = one_line(log, "Global MQTT_k482916 Configuration read.", 0);
  EXPECT_EQ(read.level, 1);
  EXPECT_EQ(read.text,
            "Global MQTT_k482916 Configuration read. Enabled: 1, Loglevel:9, Polling "
            "Interval:30s, threshold:0.1000");
  EXPECT_EQ(one_line(log, "mqtt_broker:", 0).text, "mqtt_broker:\"127.0.0.1\", port: " + port +
                                                       ", Keepalive: 60, User:\"" + kUser +
                                                       "\", Password: (censored, 9 characters)");
  EXPECT_FALSE(log.contains(Scenario::kPassword)) << "password in the log";
  EXPECT_TRUE(log.contains("Callnames insgesamt: 3"));
  EXPECT_TRUE(log.contains("Zu publishender Sensor 0: 1001 (\"" + id_field("1001") +
                           "\"), CallName: \"kitchen\""))
      << d.diagnostics();
  EXPECT_TRUE(log.contains("Zu publishender Sensor 1: 1003 (\"" + id_field("1003") +
                           "\"), CallName: \"(undefined)\""));
  EXPECT_TRUE(log.contains("Zu publishende Sensoren insgesamt: 2"));
  EXPECT_TRUE(log.contains("Zu subscribender Aktor 0: 3 (\"" + id_field("2001") +
                           "\") - Topic: \"" + kUser + "/(undefined)/action\""));
  // The undefined name is really subscribed, over the connection to "127.0.0.1".
  size_t mark = log.mark();
  ASSERT_TRUE(s.publish(kUser + "/(undefined)/action", "5"));
  EXPECT_TRUE(log.wait_for("msg_callback: Topic: \"" + kUser + "/(undefined)/action\", Data: \"5\"",
                           test_support::kQuickWait, mark))
      << d.diagnostics();

  // Reload 1: log level 260 keeps its low 8 bits (4), interval -10 falls back to 30, threshold
  // 2.5 is taken; no "pub" section, an empty "sub" section.
  test_support::BridgeConfig b = s.config();
  b.loglevel = "260";
  b.interval = "-10";
  b.threshold = "2.5";
  b.name(1001, "kitchen").subscribe(2001, "off");
  b.with_pub = false;
  ASSERT_TRUE(c.write_config(b));
  mark = reload(s, c);
  EXPECT_EQ(one_line(log, "Global MQTT_k482916 Configuration read.", mark).text,
            "Global MQTT_k482916 Configuration read. Enabled: 1, Loglevel:4, Polling "
            "Interval:30s, threshold:2.5000");
  EXPECT_EQ(one_line(log, "(PUB not found)", mark).level, 2);
  EXPECT_TRUE(log.contains("Zu publishende Sensoren insgesamt: 0", mark));
  EXPECT_TRUE(log.contains("Zu subscribende Aktoren insgesamt: 0", mark));
  EXPECT_FALSE(log.contains("(SUB not found)", mark));
  EXPECT_EQ(one_line(log, "Global MQTT_k482916 Configuration re-read.", mark).level, 1);
  EXPECT_FALSE(log.contains("Zu publishender Sensor ", mark)) << log.text(mark);

  // Reload 2: the call name "threshold" stands before the "threshold" key, so the lookup starts
  // there and takes the next quoted text, "1002". Interval 5 is the smallest taken as it is.
  // No "sub" section.
  ASSERT_TRUE(
      c.write_broker_setup("{\"ACTIV\":\"1\",\"loglevel\":\"4\",\"interval\":\"5\",\n"
                           "\"call\":{\"1001\":\"threshold\",\"1002\":\"7.5\"},\n"
                           "\"threshold\":\"2.5\",\n"
                           "\"pub\":{\"1001\":\"on\"}}\n"));
  mark = reload(s, c);
  EXPECT_EQ(one_line(log, "Global MQTT_k482916 Configuration read.", mark).text,
            "Global MQTT_k482916 Configuration read. Enabled: 1, Loglevel:4, Polling "
            "Interval:5s, threshold:1002.0000");
  EXPECT_EQ(one_line(log, "(SUB not found)", mark).level, 2);
  EXPECT_TRUE(log.contains(
      "Zu publishender Sensor 0: 1001 (\"" + id_field("1001") + "\"), CallName: \"threshold\"",
      mark));

  // Reload 3: an empty user name makes every topic begin with a slash; no client can be made
  // for it. No "call" section. (Without a client the daemon soon reads its configuration again
  // to reconnect, so lines may repeat.)
  test_support::BridgeConfig e = s.config();
  e.uuid = "";
  e.subscribe(2001);
  e.with_call = false;
  ASSERT_TRUE(c.write_config(e));
  mark = reload(s, c);
  EXPECT_EQ(first_line(log, "(CALL not found)", mark).level, 2);
  EXPECT_TRUE(log.contains("User:\"\"", mark));
  EXPECT_EQ(first_line(log, "mqtt_open: Error: Out of memory", mark).level, 2);
  EXPECT_TRUE(log.contains(
      "Zu subscribender Aktor 0: 0 (\"" + id_field("2001") + "\") - Topic: \"/(undefined)/action\"",
      mark))
      << log.text(mark);
  EXPECT_TRUE(d.running());
}

}  // namespace
