// Publishing through a real broker: payloads and topics of the three entry types, entries that
// must not go out, the threshold, and the result in the status entry. One daemon run covers three
// publish cycles. With "scan": a change on the broker within about a second, a burst back to back.
#include <sys/shm.h>

#include <ctime>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "shm/shm.h"
#include "support/controller.h"

namespace {

using test_support::field_text;
using test_support::LogFile;
using test_support::Received;
using test_support::Scenario;
using namespace std::chrono_literals;

const std::string kUser = Scenario::kUser;

std::string topic(const std::string& last) {
  return kUser + "/" + last;
}

// What one publication must look like on both of its topics.
struct Expected {
  int32_t db_id;
  std::string call_topic;  // last level of the topic by call name
  std::string call;        // "call" of the payload (JSON-escaped)
  std::string value;
  std::string type;
  std::string unit;  // "unit" of the payload (JSON-escaped)
};

std::string describe(const std::vector<Received>& messages) {
  std::string s;
  for (const auto& m : messages)
    s += "  " + m.topic + " retain=" + (m.retained ? "1" : "0") + " " + m.payload + "\n";
  return s;
}

// Exactly one message on each topic of `e`, with the expected payload and retain flag.
void expect_published(const test_support::Subscriber& sub, const Expected& e, bool retained) {
  for (const std::string& t : {topic(std::to_string(e.db_id)), topic(e.call_topic)}) {
    SCOPED_TRACE(t);
    auto got = test_support::received_on(sub, t);
    ASSERT_EQ(got.size(), 1u) << describe(test_support::received(sub));
    EXPECT_TRUE(test_support::payload_matches(got[0].payload, e.call, e.value, e.type, e.unit))
        << got[0].payload;
    EXPECT_EQ(got[0].retained, retained);
  }
}

bool status_is(const test_support::ToolController& c, const std::string& text,
               std::chrono::milliseconds timeout = test_support::kCycleWait) {
  return c.wait_status([&](const status_entry& s) { return field_text(s.status_text) == text; },
                       timeout);
}

TEST(Publish, PayloadsTopicsThresholdAndSkippedEntries) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();

  test_support::BridgeConfig cfg = s.config();
  cfg.name(1001, "temp_living")
      .name(1002, "lamp_hall")
      .name(1003, "meter")
      .name(1004, "broken")
      .name(1005, "nodata")
      .name(1007, "ghost")
      .name(1009, "roof\\temp");
  for (int32_t id : {1001, 1002, 1003, 1004, 1005, 1007, 1008, 1009}) cfg.publish(id);
  ASSERT_TRUE(c.write_config(cfg));

  ASSERT_TRUE(c.set(1001, "20.0",
                    {.type = 1,
                     .unit = "\xB0"
                             "C"}));
  ASSERT_TRUE(c.set(1002, "1", {.type = 2}));
  ASSERT_TRUE(c.set(1003, "-0.004", {.type = 4, .unit = "kWh"}));
  ASSERT_TRUE(c.set(1004, "5.5", {.type = 1, .unit = "C", .error = 7}));
  ASSERT_TRUE(c.set(1005, "-2048000", {.type = 1}));
  // 1007 is in no entry.
  ASSERT_TRUE(c.set(1008, "7", {.type = 1, .unit = "%"}));
  ASSERT_TRUE(c.set(1009, "3.14159", {.type = 1, .unit = "\"in"}));

  auto live = s.subscribe(kUser + "/#");
  test_support::Daemon& d = s.start_daemon();

  // First cycle: every valid entry goes out, the others leave their reasons in the log.
  ASSERT_TRUE(status_is(c, "OK: 5 sensors published",
                        test_support::kStartupWait + test_support::kCycleWait))
      << s.diagnostics();
  const std::vector<Expected> first = {
      {1001, "temp_living", "temp_living", "20.00", "sensor",
       "\xB0"
       "C"},
      {1002, "lamp_hall", "lamp_hall", "1.00", "actor", ""},
      {1003, "meter", "meter", "-0.00", "sensor", "kWh"},
      {1008, "(undefined)", "(undefined)", "7.00", "sensor", "%"},
      {1009, "roof\\temp", "roof\\\\temp", "3.14", "sensor", "\\\"in"},
  };
  ASSERT_TRUE(test_support::wait_until([&] { return live->lines().size() >= 10; }, 5s))
      << describe(test_support::received(*live));
  for (const auto& e : first) {
    SCOPED_TRACE(e.db_id);
    expect_published(*live, e, false);
  }
  EXPECT_EQ(test_support::received(*live).size(), 10u) << describe(test_support::received(*live));
  EXPECT_EQ(log.count("Sensor mit DB_ID 1004: Aktueller Wert: -2048000.00 (Errorcode 7) - no "
                      "publishing"),
            1)
      << d.diagnostics();
  EXPECT_EQ(log.count("Sensor mit DB_ID 1005: Aktueller Wert: -2048000.00 (Errorcode 0) - no "
                      "publishing"),
            1);
  EXPECT_EQ(log.count("Konnte keine Real_ID fuer Sensor mit DB_ID 1007 finden !"), 1);

  // A late subscriber gets every publication as a retained message.
  {
    auto late = s.subscribe(kUser + "/#");
    ASSERT_TRUE(test_support::wait_until([&] { return late->lines().size() >= 10; }, 5s))
        << describe(test_support::received(*late));
    for (const auto& e : first) {
      SCOPED_TRACE(e.db_id);
      expect_published(*late, e, true);
    }
  }

  // The log of one publication, in its order.
  {
    // libmosquitto's own messages (log_callback) come in between; they are left out here.
    std::vector<std::string> lines;
    for (auto& l : log.lines())
      if (l.find("]log_callback: ") == std::string::npos) lines.push_back(l);
    auto at = [&](const std::string& part, size_t from) {
      for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(part) != std::string::npos) return i;
      return lines.size();
    };
    size_t decide =
        at("Sensor mit DB_ID 1001: Aktueller Wert: 20.00 (Differenz: 2048020.00) ... "
           "wir publishen !",
           0);
    ASSERT_LT(decide, lines.size()) << d.diagnostics();
    EXPECT_NE(lines[decide + 1].find("[4]mqtt_publish: Topic: \"" + topic("1001") +
                                     "\", Data: \"{\"call\":\"temp_living\",\"value\":\"20.00\""),
              std::string::npos)
        << lines[decide + 1];
    EXPECT_NE(lines[decide + 1].find("\", Timeout: 3 s"), std::string::npos) << lines[decide + 1];
    EXPECT_NE(lines[decide + 2].find("[4]publish_callback: Published (mid: "), std::string::npos);
    EXPECT_NE(lines[decide + 3].find("[4]publish_callback: Published (mid: "), std::string::npos);
    EXPECT_NE(lines[decide + 4].find("[4]mqtt_publish: Rueckmeldung vom Callback: 1"),
              std::string::npos)
        << lines[decide + 4];
  }

  // Second cycle: 20.0 -> 20.05 stays below the threshold of 0.1; nothing else moved.
  size_t mark = log.mark();
  ASSERT_TRUE(c.set(1001, "20.05",
                    {.type = 1,
                     .unit = "\xB0"
                             "C"}));
  ASSERT_TRUE(
      log.wait_for("Sensor mit DB_ID 1001: Aktueller Wert: 20.05 (Differenz: 0.05) - no "
                   "publishing",
                   test_support::kCycleWait, mark))
      << d.diagnostics();
  ASSERT_TRUE(status_is(c, "OK: 0 sensors published")) << s.diagnostics();
  EXPECT_TRUE(
      log.contains("Sensor mit DB_ID 1002: Aktueller Wert: 1.00 (Differenz: 0.00) - no "
                   "publishing",
                   mark));
  EXPECT_FALSE(log.contains("mqtt_publish:", mark)) << log.text(mark);

  // Third cycle: 20.1 is 0.1 away from the last published 20.0 (not from 20.05) and goes out;
  // the entry whose error has cleared goes out as well.
  mark = log.mark();
  ASSERT_TRUE(c.set(1001, "20.1",
                    {.type = 1,
                     .unit = "\xB0"
                             "C"}));
  ASSERT_TRUE(c.set(1004, "5.5", {.type = 1, .unit = "C", .error = 0}));
  ASSERT_TRUE(status_is(c, "OK: 2 sensors published")) << s.diagnostics();
  EXPECT_TRUE(
      log.contains("Sensor mit DB_ID 1001: Aktueller Wert: 20.10 (Differenz: 0.10) ... wir "
                   "publishen !",
                   mark))
      << log.text(mark);
  ASSERT_TRUE(test_support::wait_until([&] { return live->lines().size() >= 14; }, 5s))
      << describe(test_support::received(*live));
  auto on_1001 = test_support::received_on(*live, topic("1001"));
  ASSERT_EQ(on_1001.size(), 2u) << describe(test_support::received(*live));
  EXPECT_TRUE(test_support::payload_matches(on_1001[1].payload, "temp_living", "20.10", "sensor",
                                            "\xB0"
                                            "C"))
      << on_1001[1].payload;
  auto on_broken = test_support::received_on(*live, topic("broken"));
  ASSERT_EQ(on_broken.size(), 1u) << describe(test_support::received(*live));
  EXPECT_TRUE(test_support::payload_matches(on_broken[0].payload, "broken", "5.50", "sensor", "C"))
      << on_broken[0].payload;
  EXPECT_EQ(test_support::received(*live).size(), 14u) << describe(test_support::received(*live));
  // Nothing was ever published for the marker value or the missing entry.
  EXPECT_TRUE(test_support::received_on(*live, topic("nodata")).empty());
  EXPECT_TRUE(test_support::received_on(*live, topic("ghost")).empty());
  EXPECT_TRUE(d.running());
}

// 150 sensors, "scan":"1": one change arrives within about a second of its write, and a change
// of all of them (300 publications, 15 s at the 100 ms pacing) arrives in well under a second.
TEST(Publish, ScanPublishesAChangeWithinASecondAndABurstBackToBack) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  test_support::BridgeConfig cfg = s.config();
  for (int32_t id = 1001; id <= 1150; ++id) cfg.name(id, "s" + std::to_string(id)).publish(id);
  std::string setup = cfg.setup_json();
  ASSERT_TRUE(c.write_broker_access(cfg.access_json()) &&
              c.write_broker_setup(setup.insert(setup.rfind('}'), R"(,"scan":"1")")) &&
              c.ctl_ok({"populate", "150"}));
  void* at = shmat(shmget(kKeySensordata + c.key_offset(), kSizeSensordata, 0), nullptr, 0);
  ASSERT_NE(at, reinterpret_cast<void*>(-1));
  sensor_record* table = static_cast<sensor_record*>(at);  // populated at real ids 0..149
  auto live = s.subscribe(kUser + "/+");
  s.start_daemon();
  ASSERT_TRUE(status_is(c, "OK: 150 sensors published", test_support::kStartupWait))
      << s.diagnostics();

  // Writes `text` into the first n sensors: seconds to the first of their 2 n publications, and
  // from the first to the last.
  auto change = [&](int32_t n, const std::string& text) {
    for (sensor_record* e = table; e < table + n; ++e)
      value_block_write(e->type == kEntrySensor ? &e->value1 : &e->value2, std::stod(text), 0);
    const auto start = std::chrono::steady_clock::now();
    auto first = start;
    const std::string part = "\"value\":\"" + text + "\"";
    test_support::wait_until(
        [&] {
          const int got = live->count(part);
          if (got > 0 && first == start) first = std::chrono::steady_clock::now();
          return got >= 2 * n;
        },
        10s, 2ms);
    EXPECT_EQ(live->count(part), 2 * n) << part;
    const std::chrono::duration<double> wait = first - start,
                                        burst = std::chrono::steady_clock::now() - first;
    return std::pair{wait.count(), burst.count()};
  };
  EXPECT_LT(change(1, "777.25").first, 1.3) << s.diagnostics();
  // Right after a cycle, so that all of them change before the next one reads them.
  ASSERT_TRUE(status_is(c, "OK: 0 sensors published", 3s)) << s.diagnostics();
  const auto [wait, burst] = change(150, "888.50");
  EXPECT_LT(wait, 1.3);
  EXPECT_LT(burst, 0.5) << s.diagnostics();
  shmdt(at);
}

}  // namespace
