// mqtt_read_config in-process: configuration files below a temporary root, a real reload record,
// the real log file, and a broker address that refuses at once (or a real broker). Every full
// read costs about one second (the session close pause), so related cases share a test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bridge/client.h"
#include "bridge/config.h"
#include "bridge/options.h"
#include "bridge/parse.h"
#include "bridge/publish.h"
#include "log/log.h"
#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/broker.h"
#include "support/controller.h"
#include "support/paths.h"

namespace {

namespace fs = std::filesystem;

class ReadConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    const int32_t offset = test_support::unique_key_offset();
    paths_set(root_.path().c_str(), offset);
    fs::create_directories(root_.path() + "/opt/korvan/k482916");
    fs::create_directories(root_.path() + "/tmp");
    segments_ = std::make_unique<test_support::Segments>(offset);
    ASSERT_TRUE(segments_->create(kKeyReload, kSizeReload));
    ASSERT_EQ(shm_attach_all(kSelectReloadOnly), 1);
    log_init("k482916.log", 4, kDemonSlot, "config_test");
    closed_port_ = test_support::free_port();
  }
  void TearDown() override { paths_set("", 0); }

  std::string dir() const { return root_.path() + "/opt/korvan/k482916/"; }
  void write(const std::string& name, const std::string& content) {
    std::ofstream(dir() + name, std::ios::binary) << content;
  }
  // brokerAccess.json for the refusing address, with extra members appended.
  void write_access(const std::string& uuid, const std::string& password,
                    const std::string& extra = "") {
    write("brokerAccess.json", "{\"uuid\":\"" + uuid + "\",\"password\":\"" + password +
                                   "\",\"host\":\"127.0.0.1\",\"port\":\"" +
                                   std::to_string(closed_port_) + "\"" + extra + "}");
  }
  std::string log() const { return test_support::read_file(root_.path() + "/tmp/k482916.log"); }
  int count(const std::string& part) const {
    const std::string text = log();
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) n++;
    return n;
  }

  test_support::TempDir root_;
  std::unique_ptr<test_support::Segments> segments_;
  int closed_port_ = 0;
};

TEST_F(ReadConfig, LevelsIntervalsAndThresholds) {
  write_access("user", "secret");
  shm_reload->reload_counter = 7;

  write("brokerSetup.json",
        "{\"ACTIV\":\"1\",\"loglevel\":\"9\",\"interval\":\"4\",\"threshold\":\"0.05\"}");
  EXPECT_EQ(mqtt_read_config(kReadStartup), 5);
  EXPECT_EQ(log_level, 5);
  EXPECT_EQ(mqtt_read_config(kReadFull), 5);
  EXPECT_EQ(mqtt_reload_seen, 7);
  EXPECT_EQ(log_level, 9);
  EXPECT_EQ(mqtt_enabled, 1);
  EXPECT_EQ(mqtt_interval, 30);
  EXPECT_EQ(mqtt_threshold, 0.1);
  EXPECT_EQ(mqtt_port, closed_port_);
  EXPECT_EQ(mqtt_keepalive, 60);
  EXPECT_EQ(count("Global MQTT_k482916 Configuration read. Enabled: 1, Loglevel:9, Polling "
                  "Interval:30s, threshold:0.1000"),
            1);
  EXPECT_EQ(count("mqtt_broker:\"127.0.0.1\", port: " + std::to_string(closed_port_) +
                  ", Keepalive: 60, User:\"user\", Password: (censored, 6 characters)"),
            1);
  EXPECT_EQ(count("secret"), 0);
  EXPECT_EQ(count("[2](CALL not found)\n"), 1);
  EXPECT_EQ(count("[2](PUB not found)\n"), 1);
  EXPECT_EQ(count("[2](SUB not found)\n"), 1);
  EXPECT_EQ(count("[4]Zu publishende Sensoren insgesamt: 0\n"), 1);

  write("brokerSetup.json", "{\"loglevel\":\"260\",\"interval\":\"5\",\"threshold\":\"0.1\"}");
  EXPECT_EQ(mqtt_read_config(kReadStartup), 4);
  EXPECT_EQ(mqtt_read_config(kReadFull), 5);
  EXPECT_EQ(log_level, 4);
  EXPECT_EQ(mqtt_interval, 5);
  EXPECT_EQ(mqtt_threshold, 0.1);
  EXPECT_EQ(mqtt_enabled, 0);  // no "ACTIV": the error text reads as 0

  // Level 3 governs the rest of the read: its level-4 lines are no longer recorded.
  write("brokerSetup.json",
        "{\"ACTIV\":\"0\",\"loglevel\":\"3\",\"interval\":\"-10\",\"threshold\":\"2.5\"}");
  EXPECT_EQ(mqtt_read_config(kReadFull), 5);
  EXPECT_EQ(log_level, 3);
  EXPECT_EQ(mqtt_enabled, 0);
  EXPECT_EQ(mqtt_interval, 30);
  EXPECT_EQ(mqtt_threshold, 2.5);
  EXPECT_EQ(count("Callnames insgesamt: 0"), 2);
}

TEST_F(ReadConfig, TablesTopicsAndLogLines) {
  write_access("", "pw");  // empty user name: every action topic begins with a slash
  write(
      "brokerSetup.json",
      "{\n \"ACTIV\":\"1\",\n \"loglevel\":\"4\",\n \"interval\":\"60\",\n \"threshold\":\"0.5\",\n"
      " \"call\":{\"1001\":\"kitchen_temp\", \"2001\":\"garden_light\"},\n"
      " \"pub\":{\"1001\":\"on\", \"1002\":\"off\", \"1003\":\"on\"},\n"
      " \"sub\":{\"2001\":\"on\", \"2002\":\"on\"}\n}\n");
  for (double& v : mqtt_old_sensordata) v = 5.0;
  mqtt_publish_sensor_dbid[2] = 4242;  // beyond the new count: stays as it was

  EXPECT_EQ(mqtt_read_config(kReadFull), 5);
  ASSERT_EQ(mqtt_publish_sensor_dbids, 2);
  EXPECT_EQ(mqtt_publish_sensor_dbid[0], 1001);
  EXPECT_STREQ(mqtt_publish_sensor_name[0], "kitchen_temp");
  EXPECT_EQ(mqtt_publish_sensor_dbid[1], 1003);
  EXPECT_STREQ(mqtt_publish_sensor_name[1], "(undefined)");
  EXPECT_EQ(mqtt_publish_sensor_dbid[2], 4242);
  ASSERT_EQ(mqtt_subscribe_actor_dbids, 2);
  EXPECT_EQ(mqtt_subscribe_actor_dbid[1], 2002);
  EXPECT_STREQ(mqtt_subscribe_actor_name[0], "garden_light");
  EXPECT_STREQ(mqtt_username, "");
  for (double v : mqtt_old_sensordata) ASSERT_EQ(v, SENSOR_NO_VALUE);

  const std::string access = dir() + "brokerAccess.json";
  const auto bytes = std::to_string(fs::file_size(access));
  EXPECT_EQ(count("[4]Config-Datei \"" + access + "\" gelesen: " + bytes + " Bytes\n"), 1);
  EXPECT_EQ(count("[4]Callnames insgesamt: 2\n"), 1);
  EXPECT_EQ(count("[4]Zu publishender Sensor 0: 1001 (\"                1001\"), CallName: "
                  "\"kitchen_temp\"\n"),
            1);
  EXPECT_EQ(count("[4]Zu publishender Sensor 1: 1003 (\"                1003\"), CallName: "
                  "\"(undefined)\"\n"),
            1);
  EXPECT_EQ(count("[4]Zu publishende Sensoren insgesamt: 2\n"), 1);
  // The second number is the index of the call name (2, the number of names, when undefined).
  EXPECT_EQ(count("[4]Zu subscribender Aktor 0: 1 (\"                2001\") - Topic: "
                  "\"/garden_light/action\"\n"),
            1);
  EXPECT_EQ(count("[4]Zu subscribender Aktor 1: 2 (\"                2002\") - Topic: "
                  "\"/(undefined)/action\"\n"),
            1);
  EXPECT_EQ(count("[4]Zu subscribende Aktoren insgesamt: 2\n"), 1);
}

// A missing brokerSetup.json leaves the brokerAccess.json text in the buffer: the setup keys are
// looked up there.
TEST_F(ReadConfig, MissingSetupFileUsesTheAccessText) {
  write_access("user", "pw", ",\"interval\":\"45\"");
  EXPECT_EQ(mqtt_read_config(kReadStartup), 0);
  log_level = 4;  // as log_init would set it
  EXPECT_EQ(mqtt_read_config(kReadFull), 5);
  EXPECT_EQ(count("[4]Config-Datei \"" + dir() + "brokerSetup.json\" gelesen: -2 Bytes\n"), 1);
  EXPECT_EQ(log_level, 0);
  EXPECT_EQ(mqtt_enabled, 0);
  EXPECT_EQ(mqtt_interval, 45);
  EXPECT_EQ(mqtt_threshold, 0.1);
  EXPECT_EQ(mqtt_publish_sensor_dbids, 0);
  EXPECT_EQ(mqtt_subscribe_actor_dbids, 0);
  EXPECT_STREQ(mqtt_username, "user");
}

// A file over 16383 bytes, over 512 entries, long names and values, a topic over 79 characters.
TEST_F(ReadConfig, LimitsCutOrSkip) {
  const std::string user(60, 'u');
  write_access(user, std::string(100, 'p'));
  const std::string long_name(45, 'n');
  std::string calls = "\"9003\":\"s\",\"9002\":\"" + long_name + "\"";
  std::string pubs = "\"9002\":\"on\"";
  for (int i = 1; i < 600; i++) {
    calls += ",\"" + std::to_string(i) + "\":\"c" + std::to_string(i) + "\"";
    pubs += ",\"" + std::to_string(i) + "\":\"on\"";
  }
  std::string setup = "{\"loglevel\":\"4\",\"sub\":{\"9003\":\"on\",\"9002\":\"on\"},\"call\":{" +
                      calls + "},\"pub\":{" + pubs + "}}";
  ASSERT_LT(setup.size(), 16383u);
  setup += std::string(16383 - setup.size(), ' ') + "\"interval\":\"77\"";  // beyond the cut
  setup.resize(20000, ' ');
  write("brokerSetup.json", setup);
  log_max_filesize = 1 << 20;  // keep the 512 entry lines and what comes before them

  EXPECT_EQ(mqtt_read_config(kReadFull), 5);
  EXPECT_EQ(count("brokerSetup.json\" gelesen: 16383 Bytes"), 1);
  EXPECT_EQ(mqtt_interval, 30);
  EXPECT_EQ(std::string(mqtt_password), std::string(79, 'p'));
  EXPECT_EQ(count("User:\"" + user + "\", Password: (censored, 79 characters)"), 1);
  EXPECT_EQ(count("[4]Callnames insgesamt: 512\n"), 1);
  EXPECT_EQ(count("[2]More than 512 call names: 89 entries ignored\n"), 1);

  ASSERT_EQ(mqtt_publish_sensor_dbids, 512);
  EXPECT_EQ(std::string(mqtt_publish_sensor_name[0]), std::string(39, 'n'));
  EXPECT_STREQ(mqtt_publish_sensor_name[1], "c1");
  EXPECT_EQ(mqtt_publish_sensor_dbid[511], 511);
  EXPECT_STREQ(mqtt_publish_sensor_name[511], "(undefined)");  // id 511 is the 513th call entry
  EXPECT_EQ(count("[2]More than 512 sensors to publish: 88 entries ignored\n"), 1);

  // "<60 u>/s/action" fits in 79 characters; with the 39-character name it would be 107.
  ASSERT_EQ(mqtt_subscribe_actor_dbids, 1);
  EXPECT_EQ(mqtt_subscribe_actor_dbid[0], 9003);
  EXPECT_EQ(count("Topic: \"" + user + "/s/action\""), 1);
  EXPECT_EQ(count("[2]Actor 9002 (\"" + std::string(39, 'n') +
                  "\"): action topic of 107 characters too long, not subscribed\n"),
            1);
}

// The parse alone fills the settings, the opt-in settings and both tables, with the read's lines,
// and touches no session: no client, no line of one, no pause.
TEST_F(ReadConfig, ParseWithoutSession) {
  write_access("user", "pw", ",\"protocol\":\"3.1.1\",\"tls\":\"maybe\"");
  write(
      "brokerSetup.json",
      "{\"ACTIV\":\"1\",\"loglevel\":\"4\",\"interval\":\"10\",\"command_qos\":\"1\",\"heartbeat\":\"5\","
      "\"call\":{\"2001\":\"lamp\"},\"pub\":{\"1001\":\"on\"},\"sub\":{\"2001\":\"on\"}}");
  static std::string subscribed;
  mqtt_parse_settings();
  mqtt_parse_tables([](const char* topic) { subscribed += topic; });
  EXPECT_EQ(mqtt_mosq, nullptr);
  EXPECT_EQ(count("mqtt_open"), 0);
  EXPECT_EQ(mqtt_protocol, MQTT_PROTOCOL_V311);
  EXPECT_EQ(mqtt_tls, 0);
  EXPECT_EQ(mqtt_command_qos, 1);
  EXPECT_EQ(mqtt_heartbeat, 0);  // shorter than the interval
  EXPECT_EQ(subscribed, "user/lamp/action");
  EXPECT_STREQ(mqtt_subscribe_actor_topic[0], "user/lamp/action");
  EXPECT_EQ(mqtt_publish_sensor_dbid[0], 1001);
  EXPECT_EQ(count("[1]Config: unknown value \"maybe\" of \"tls\", using off\n"), 1);
  EXPECT_EQ(count("[1]Command options: QoS 1 (persistent session), retained: apply, numbers: any, "
                  "state: off\n"),
            1);
  EXPECT_EQ(count("[4]Zu subscribende Aktoren insgesamt: 1\n"), 1);
}

// The subscriptions reach a real broker: it sees one SUBSCRIBE per actor with the exact topics,
// and each acknowledgement is logged.
TEST_F(ReadConfig, SubscribesTheActionTopicsOnTheBroker) {
  test_support::Broker broker;
  ASSERT_TRUE(broker.running()) << broker.log();
  write("brokerAccess.json",
        "{\"uuid\":\"user\",\"password\":\"pass\",\"host\":\"127.0.0.1\","
        "\"port\":\"" +
            std::to_string(broker.port()) + "\"}");
  write(
      "brokerSetup.json",
      "{\"ACTIV\":\"1\",\"loglevel\":\"4\",\"call\":{\"2001\":\"garden_light\",\"2002\":\"pump\"},"
      "\"sub\":{\"2001\":\"on\",\"2002\":\"on\",\"2003\":\"off\"}}");
  EXPECT_EQ(mqtt_read_config(kReadFull), 5);
  const std::string seen = broker.log();
  EXPECT_NE(seen.find("\tuser/garden_light/action (QoS 0)"), std::string::npos) << seen;
  EXPECT_NE(seen.find("\tuser/pump/action (QoS 0)"), std::string::npos) << seen;
  EXPECT_EQ(count("subscribe_callback: Subscribed mid:"), 2) << log();
}

}  // namespace
