// The publish cycle against a real broker and real segments.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "bridge/config.h"
#include "bridge/publish.h"
#include "bridge/session.h"
#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/broker.h"
#include "support/controller.h"

namespace {

using test_support::set_entry;
using test_support::set_publish_table;

const char* const kStamp = R"("timestamp":"\d\d:\d\d:\d\d \d\d\.\d\d\.\d{4}"\})";

std::string payload_pattern(const std::string& call, const std::string& value,
                            const std::string& type, const std::string& unit) {
  return R"(\{"call":")" + call + R"(","value":")" + value + R"(","type":")" + type +
         R"(","unit":")" + unit + "\"," + kStamp;
}

// True when some received line is "TOPIC RETAIN PAYLOAD" with a payload matching `pattern`.
bool received(const test_support::Subscriber& sub, const std::string& topic, int retain,
              const std::string& pattern) {
  std::regex re(pattern);
  std::string head = topic + " " + std::to_string(retain) + " ";
  for (const auto& line : sub.lines())
    if (line.rfind(head, 0) == 0 && std::regex_match(line.substr(head.size()), re)) return true;
  return false;
}

// One broker for the whole road of a sensor value: first cycle, types, units, escaping, skipped
// entries with their lines, the threshold, and the retained copies that a late subscriber gets.
TEST(Publish, CycleAgainstBroker) {
  test_support::InProcessController controller;
  ASSERT_TRUE(controller.ready());
  const auto& log = controller.log();
  test_support::Broker broker;
  ASSERT_TRUE(broker.running()) << broker.log();
  ASSERT_TRUE(test_support::open_and_subscribe(broker, log, "user/none")) << log.text();
  test_support::Subscriber live(broker, "user/#");
  ASSERT_TRUE(live.ready());

  set_entry(0, 17, 1, 21.5, "C");
  set_entry(1, 18, 2, 1.0, "");
  set_entry(2, 19, 4, -0.004, "%");
  set_entry(3, 20, 1, 5.0, "C", 3);              // in error
  set_entry(4, 21, 1, SENSOR_NO_VALUE, "C");     // at the marker
  set_entry(5, 23, 1, 7.0, "a\"b\\\t\x01\xB0");  // unit to escape
  set_entry(6, 24, 3, 9.0, "");                  // type without a value for the bridge
  set_entry(7, 25, 1, std::nan(""), "");         // not a number
  set_publish_table({{17, "temp"},
                     {18, "lamp"},
                     {19, "hum"},
                     {20, "err"},
                     {21, "mark"},
                     {22, "gone"},
                     {23, "q\"x"},
                     {24, "odd"},
                     {25, "nan"}});
  mqtt_threshold = 0.1;

  EXPECT_EQ(mqtt_publish_cycle(), 4);
  EXPECT_EQ(mqtt_old_sensordata[0], 21.5);
  EXPECT_EQ(mqtt_old_sensordata[2], -0.004);
  EXPECT_EQ(mqtt_old_sensordata[3], SENSOR_NO_VALUE);
  EXPECT_EQ(mqtt_old_sensordata[7], SENSOR_NO_VALUE);

  EXPECT_TRUE(
      log.has(4, "Sensor mit DB_ID 20: Aktueller Wert: -2048000.00 (Errorcode 3) - no publishing"));
  EXPECT_TRUE(
      log.has(4, "Sensor mit DB_ID 21: Aktueller Wert: -2048000.00 (Errorcode 0) - no publishing"));
  EXPECT_TRUE(log.has(4, "Konnte keine Real_ID fuer Sensor mit DB_ID 22 finden !"));
  EXPECT_TRUE(
      log.has(4, "Sensor mit DB_ID 24: Aktueller Wert: -2048000.00 (Errorcode 0) - no publishing"));
  EXPECT_GE(log.index_of(4, "Sensor mit DB_ID 25: Aktueller Wert: nan (Differenz: nan) - no"), 0)
      << log.text();

  // A publication leaves its lines in this order, the two callbacks from inside the publish calls.
  int at = log.index_of(4,
                        "Sensor mit DB_ID 17: Aktueller Wert: 21.50 (Differenz: 2048021.50) ... "
                        "wir publishen !");
  ASSERT_GE(at, 0) << log.text();
  auto lines = log.texts();
  EXPECT_EQ(
      lines[at + 1].rfind("[4]mqtt_publish: Topic: \"user/17\", Data: \"{\"call\":\"temp\"", 0),
      0u);
  EXPECT_NE(lines[at + 1].find("\", Timeout: 3 s"), std::string::npos);
  int cb = log.index_of(4, "publish_callback: Published (mid: ", at);
  int cb2 = log.index_of(4, "publish_callback: Published (mid: ", cb + 1);
  int ack = log.index_of(4, "mqtt_publish: Rueckmeldung vom Callback: 1", at);
  EXPECT_LT(cb, cb2);
  EXPECT_LT(cb2, ack);
  EXPECT_LT(ack, log.index_of(4, "Sensor mit DB_ID 18:", at));

  ASSERT_TRUE(live.wait_for_line("user/q\"x ", 5000)) << live.output();
  EXPECT_TRUE(received(live, "user/17", 0, payload_pattern("temp", "21\\.50", "sensor", "C")))
      << live.output();
  EXPECT_TRUE(received(live, "user/temp", 0, payload_pattern("temp", "21\\.50", "sensor", "C")));
  EXPECT_TRUE(received(live, "user/18", 0, payload_pattern("lamp", "1\\.00", "actor", "")));
  EXPECT_TRUE(received(live, "user/hum", 0, payload_pattern("hum", "-0\\.00", "sensor", "%")));
  EXPECT_TRUE(
      received(live, "user/23", 0,
               payload_pattern(R"(q\\"x)", "7\\.00", "sensor", R"(a\\"b\\\\\\t\\u0001\xB0)")))
      << live.output();
  EXPECT_EQ(live.count("user/20 "), 0);
  EXPECT_EQ(live.count("user/22 "), 0);
  EXPECT_EQ(live.count("user/24 "), 0);

  // Threshold 0.1 from 20.0: 20.05 stays unpublished and leaves the old value, 20.1 goes out.
  set_entry(0, 17, 1, 20.0, "C");
  EXPECT_EQ(mqtt_publish_cycle(), 1);
  set_entry(0, 17, 1, 20.05, "C");
  EXPECT_EQ(mqtt_publish_cycle(), 0);
  EXPECT_EQ(mqtt_old_sensordata[0], 20.0);
  EXPECT_TRUE(
      log.has(4, "Sensor mit DB_ID 17: Aktueller Wert: 20.05 (Differenz: 0.05) - no publishing"));
  set_entry(0, 17, 1, 20.1, "C");
  EXPECT_EQ(mqtt_publish_cycle(), 1);
  EXPECT_EQ(mqtt_old_sensordata[0], 20.1);

  // A subscriber that comes later gets the last value of every topic, marked retained.
  test_support::Subscriber late(broker, "user/#");
  ASSERT_TRUE(late.ready());
  ASSERT_TRUE(late.wait_for_line("user/temp 1 ", 3000));
  EXPECT_TRUE(received(late, "user/17", 1, payload_pattern("temp", "20\\.10", "sensor", "C")))
      << late.output();
  EXPECT_TRUE(received(late, "user/temp", 1, payload_pattern("temp", "20\\.10", "sensor", "C")));

  // The entry that held sensor 17 now holds another sensor: 17 is found at its new place, then
  // at a lower entry that holds it as well, and not at all once it is gone.
  set_entry(0, 30, 1, 99.0, "C");
  set_entry(9, 17, 1, 33.0, "C");
  EXPECT_EQ(mqtt_publish_cycle(), 1);
  EXPECT_EQ(mqtt_old_sensordata[9], 33.0);
  set_entry(8, 17, 1, 44.0, "C");
  EXPECT_EQ(mqtt_publish_cycle(), 1);
  EXPECT_EQ(mqtt_old_sensordata[8], 44.0);
  set_entry(8, 32, 1, 33.0, "C");
  set_entry(9, 31, 1, 33.0, "C");
  EXPECT_EQ(mqtt_publish_cycle(), 0);
  EXPECT_TRUE(log.has(4, "Konnte keine Real_ID fuer Sensor mit DB_ID 17 finden !"));
  mqtt_close();
}

// Without a session nothing acknowledges: the publication gives up after 31 polls of 100 ms.
// Without an attached table no entry is read. With nothing configured the cycle says so.
TEST(Publish, NoSessionNoTableNoSensors) {
  test_support::LogRoot log(test_support::unique_key_offset());
  shm_sensor = nullptr;  // as before the segments are attached
  mqtt_close();          // no client
  snprintf(mqtt_username, sizeof mqtt_username, "user");

  long long start = test_support::now_ms();
  EXPECT_EQ(mqtt_publish(17, 0, 1.0, "temp"), -1);
  EXPECT_GE(test_support::now_ms() - start, 3000);
  EXPECT_TRUE(log.has(3, "mqtt_publish: Timeout reached, data not published"));
  EXPECT_FALSE(log.has(4, "mqtt_publish: Rueckmeldung vom Callback: 1"));

  set_publish_table({{17, "temp"}});
  EXPECT_EQ(mqtt_publish_cycle(), 0);
  EXPECT_TRUE(log.has(4, "Konnte keine Real_ID fuer Sensor mit DB_ID 17 finden !"));

  set_publish_table({});
  EXPECT_EQ(mqtt_publish_cycle(), 0);
  EXPECT_TRUE(log.has(4, "Keine Daten zum Publishing konfiguriert"));
}

// An unacknowledged publication rebuilds the session from the configuration files and the cycle
// goes on with the next sensor over the new session, against the tables just read; the last
// values start again from the marker.
TEST(Publish, FailedPublicationResetsAndCycleGoesOn) {
  test_support::InProcessController controller;
  ASSERT_TRUE(controller.ready());
  const auto& log = controller.log();
  ASSERT_EQ(demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 0), 0);
  test_support::Broker broker;
  ASSERT_TRUE(broker.running()) << broker.log();

  std::string dir = log.root() + "/opt/korvan/k482916";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/brokerAccess.json")
      << "{\"uuid\":\"user\",\"password\":\"pass\",\"host\":\"127.0.0.1\",\"port\":\""
      << broker.port() << "\"}";
  std::ofstream(dir + "/brokerSetup.json")
      << "{\"ACTIV\":\"1\",\"loglevel\":\"4\",\"interval\":\"5\",\"threshold\":\"0.1\",\n"
         "\"call\":{\"17\":\"temp\",\"18\":\"hum\"},\n\"pub\":{\"17\":\"on\",\"18\":\"on\"},\n"
         "\"sub\":{}}";

  set_entry(0, 17, 1, 21.5, "C");
  set_entry(1, 18, 4, 55.0, "%");
  set_publish_table({{17, "temp"}, {18, "hum"}});
  mqtt_close();  // no client: the first publication cannot be acknowledged
  test_support::Subscriber live(broker, "user/#");
  ASSERT_TRUE(live.ready());

  EXPECT_EQ(mqtt_publish_cycle(), 1);
  EXPECT_TRUE(log.has(3, "mqtt_publish: Timeout reached, data not published"));
  EXPECT_TRUE(log.has(3, "publishing fehlgeschlagen. Verbindung wird getrennt und neu aufgebaut."));
  EXPECT_STREQ(demonstatus_entry()->status_text, "resetting connection");
  EXPECT_EQ(mqtt_old_sensordata[0], SENSOR_NO_VALUE);
  EXPECT_EQ(mqtt_old_sensordata[1], 55.0);
  EXPECT_TRUE(live.wait_for_line("user/hum 0 ", 3000)) << live.output();
  EXPECT_EQ(live.count("user/temp "), 0);

  // The next cycle publishes the sensor that failed; the other one has not changed.
  EXPECT_EQ(mqtt_publish_cycle(), 1);
  EXPECT_EQ(mqtt_old_sensordata[0], 21.5);
  EXPECT_TRUE(live.wait_for_line("user/temp 0 ", 3000)) << live.output();
  mqtt_close();
}

}  // namespace
