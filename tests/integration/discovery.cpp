// Home Assistant discovery through a real broker, in one daemon run: nothing without the key; then
// the retained announcements, a command on an announced topic, a reload that clears removed ones.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <tuple>

#include "support/controller.h"

namespace {

const std::string kUser = test_support::Scenario::kUser;
const std::string kPrefix = "homeassistant";
using test_support::received_on;

// Empty when payload is valid UTF-8 JSON equal to the JSON text `want`, else what was received.
std::string json_mismatch(const test_support::ToolController& c, const std::string& payload,
                          const std::string& want) {
  test_support::write_file(c.root() + "/payload.json", payload);
  auto r = test_support::run_process({"/usr/bin/python3", "-c",
                                      "import json,sys\ngot = json.load(open(sys.argv[1], 'rb'))\n"
                                      "if got != json.loads(sys.argv[2]): print(got)",
                                      c.root() + "/payload.json", want});
  return r.status == 0 ? r.out : r.err;
}

std::string topic(const char* component, int32_t db_id) {
  return kPrefix + "/" + component + "/" + kUser + "/" + std::to_string(db_id) + "/config";
}

TEST(Discovery, AnnouncesAndClearsOnlyWithTheKey) {
  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  // Latin-1 call names and unit; "rel\hum" needs an escape. 2001 is published and subscribed.
  test_support::BridgeConfig cfg = s.config();
  cfg.name(1001, "k\374che").name(1002, "rel\\hum").name(2001, "lamp").name(2002, "dimmer");
  cfg.name(2003, "t\374r").publish(1001).publish(1002).publish(2001);
  cfg.subscribe(2001).subscribe(2002).subscribe(2003);
  ASSERT_TRUE(c.write_config(cfg));
  ASSERT_TRUE(c.set(1001, "21.5", {.unit = "\260C"}) && c.set(1002, "40", {.unit = "%"}));
  for (int32_t id : {2001, 2002, 2003}) ASSERT_TRUE(c.set(id, "1", {.type = 2}));

  // Without the key the daemon publishes on its own topics only.
  auto all = s.subscribe("#");
  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(all->wait_for_line(kUser + "/2001 ", 30000)) << s.diagnostics();
  for (const auto& r : test_support::received(*all)) EXPECT_EQ(r.topic.rfind(kUser + "/", 0), 0u);

  // The key, then a reload: every entry announced, retained.
  auto with_key = [&] {
    return "{\"discovery\":\"" + kPrefix + "\"," + cfg.setup_json().substr(1);
  };
  size_t mark = s.log().mark();
  ASSERT_TRUE(c.write_broker_setup(with_key()) && c.reload());
  ASSERT_TRUE(s.log().wait_for("discovery: 3 sensors and 2 actors announced, 0 cleared",
                               test_support::kReadWait, mark))
      << d.diagnostics();
  const std::string tail = "\"encoding\":\"latin-1\",\"device\":{\"identifiers\":[\"" + kUser +
                           "\"],\"name\":\"mqtt_k482916_demon\",\"sw_version\":\"3.219\"}}";
  const std::string value = "\"value_template\":\"{{ value_json.value | float }}\",";
  auto sensor = [&](const std::string& n, const std::string& name, const std::string& unit) {
    return "{\"name\":\"" + name + "\",\"unique_id\":\"" + kUser + "_" + n +
           "\",\"state_topic\":\"" + kUser + "/" + n + "\"," + value + unit + tail;
  };
  auto number = [&](const std::string& n, const std::string& name, const std::string& state) {
    return "{\"name\":\"" + name + "\",\"unique_id\":\"" + kUser + "_" + n +
           "_action\",\"command_topic\":\"" + kUser + "/" + name + "/action\"," + state +
           "\"min\":-21474836,\"max\":21474836,\"step\":0.01," + tail;
  };
  const std::pair<std::string, std::string> announced[] = {
      {topic("sensor", 1001),
       sensor("1001", "k\\u00fcche", "\"unit_of_measurement\":\"\\u00b0C\",")},
      {topic("sensor", 1002), sensor("1002", "rel\\\\hum", "\"unit_of_measurement\":\"%\",")},
      {topic("sensor", 2001), sensor("2001", "lamp", "")},
      {topic("number", 2001),
       number("2001", "lamp", "\"state_topic\":\"" + kUser + "/2001\"," + value)},
      {topic("number", 2002), number("2002", "dimmer", "")}};
  // Once the broker has handled the last one, a new subscriber gets them all as retained.
  ASSERT_TRUE(all->wait_for_line(topic("number", 2002), 10000)) << all->output();
  auto ha = s.subscribe(kPrefix + "/#");
  ASSERT_TRUE(ha->wait_for_line(topic("number", 2002), 10000)) << ha->output();
  EXPECT_EQ(test_support::received(*ha).size(), std::size(announced)) << ha->output();
  for (const auto& [t, want] : announced) {
    auto got = test_support::received_on(*ha, t);
    ASSERT_EQ(got.size(), 1u) << t << "\n" << ha->output();
    EXPECT_TRUE(got[0].retained) << t;
    EXPECT_EQ(json_mismatch(c, got[0].payload, want), "") << t << "\n" << got[0].payload;
  }

  // A command on the announced command topic reaches the actor's command block.
  ASSERT_TRUE(s.publish(kUser + "/dimmer/action", "12.25"));
  ASSERT_TRUE(test_support::wait_until(
      [&] { return c.entry_by_db_id(2002)->command.value == 12.25; }, test_support::kQuickWait));

  // A reload without 1002 and 2002 clears their topics (an empty retained message); with
  // availability on, the announcements name its topic.
  cfg.pub = {{"1001", "on"}, {"2001", "on"}};
  cfg.sub = {{"2001", "on"}};
  mark = s.log().mark();
  ASSERT_TRUE(c.write_broker_setup("{\"availability\":\"on\"," + with_key().substr(1)) &&
              c.reload());
  ASSERT_TRUE(s.log().wait_for("discovery: 2 sensors and 1 actors announced, 2 cleared",
                               test_support::kReadWait, mark))
      << d.diagnostics();
  for (const std::string& t : {topic("sensor", 1002), topic("number", 2002)}) {
    auto cleared = [&] { return test_support::received_on(*ha, t).back().payload.empty(); };
    EXPECT_TRUE(test_support::wait_until(cleared, test_support::kQuickWait)) << t << "\n"
                                                                             << ha->output();
  }
  const std::string availability = "\"availability_topic\":\"" + kUser + "/availability\"";
  EXPECT_NE(test_support::received_on(*ha, topic("sensor", 1001)).back().payload.find(availability),
            std::string::npos);
}

// The Home Assistant keys in one daemon run: classes from the unit, UTF-8 payloads, heartbeat and
// expire_after, the diagnostics message and entities, the re-announcement on the birth message.
TEST(Discovery, StatisticsAndHealthWithTheirKeys) {
  test_support::Scenario s;
  test_support::ToolController& c = s.controller();
  test_support::BridgeConfig cfg = s.config();
  cfg.interval = "5";
  // DB id, unit, the class keys its announcement must carry.
  const std::tuple<int32_t, std::string, std::string> units[] = {
      {1001, "\260C", R"("device_class":"temperature","state_class":"measurement")"},
      {1002, "kWh", R"("device_class":"energy","state_class":"total_increasing")"},
      {1003, "%", R"("state_class":"measurement","expire_after")"},
      {1004, "furlong", R"("state_class":"measurement","expire_after")"},
      {1005, "", R"(float }}","state_class":"measurement")"}};
  for (const auto& [id, unit, want] : units) {
    cfg.name(id, "s" + std::to_string(id)).publish(id);
    ASSERT_TRUE(c.set(id, "21.5", {.unit = unit}));
  }
  cfg.name(2001, "lamp").subscribe(2001);
  ASSERT_TRUE(c.set(2001, "0", {.type = 2, .unit = "\260C"}));
  const std::string keys = R"({"discovery":"homeassistant","classes":"on","heartbeat":"5",)"
                           R"("diagnostics":"on","utf8":"on","command_numbers":"strict",)";
  ASSERT_TRUE(c.write_broker_access(cfg.access_json()) &&
              c.write_broker_setup(keys + cfg.setup_json().substr(1)));
  auto all = s.subscribe("#");
  s.start_daemon();
  ASSERT_TRUE(s.log().wait_for("discovery: 5 sensors and 1 actors announced, 0 cleared",
                               test_support::kStartupWait))
      << s.diagnostics();
  ASSERT_TRUE(all->wait_for_line(kUser + "/1001 0 ", 15000)) << all->output();
  for (const auto& [id, unit, want] : units) {
    auto got = test_support::received_on(*all, topic("sensor", id));
    ASSERT_EQ(got.size(), 1u) << id;
    for (const std::string& part : {want, std::string("\"expire_after\":15,"),
                                    std::string("\"origin\":{\"name\":\"mqtt_k482916_demon\"")})
      EXPECT_NE(got[0].payload.find(part), std::string::npos) << part << "\n" << got[0].payload;
    EXPECT_EQ(got[0].payload.find("encoding"), std::string::npos) << got[0].payload;
    EXPECT_EQ(got[0].payload.find("device_class") != std::string::npos, id <= 1002) << id;
  }
  EXPECT_NE(test_support::received_on(*all, topic("number", 2001))[0].payload.find(
                "\"unit_of_measurement\":\"\u00b0C\",\"device_class\":\"temperature\""),
            std::string::npos);
  EXPECT_NE(received_on(*all, kPrefix + "/sensor/" + kUser + "/diag_uptime/config")
                .at(0)
                .payload.find("\"entity_category\":\"diagnostic\""),
            std::string::npos);
  // The unit in UTF-8; then the heartbeat publishes the unchanged value again.
  EXPECT_NE(received_on(*all, kUser + "/1001")[0].payload.find("\"unit\":\"\xc2\xb0"
                                                               "C\""),
            std::string::npos);
  EXPECT_TRUE(test_support::wait_until(
      [&] { return received_on(*all, kUser + "/1001").size() >= 2; }, std::chrono::seconds(15)))
      << all->output();

  // A refused command and a reload (a session rebuild) show in the diagnostics message, with the
  // library the daemon runs on (the one it was built against).
  const std::string library = "\"library\":\"" + std::to_string(LIBMOSQUITTO_MAJOR) + "." +
                              std::to_string(LIBMOSQUITTO_MINOR) + "." +
                              std::to_string(LIBMOSQUITTO_REVISION) + "\",";
  ASSERT_TRUE(s.publish(kUser + "/lamp/action", "ON") && c.reload());
  auto diagnosed = [&] {
    const auto got = received_on(*all, kUser + "/diagnostics");
    const std::string& p = got.empty() ? std::string() : got.back().payload;
    return p.find(R"("session_rebuilds":1,"commands_applied":0,"commands_refused":1,)") !=
               std::string::npos &&
           p.find(library) != std::string::npos &&
           p.find(R"("published_total":0,)") == std::string::npos &&
           p.find(R"("last_publication":"",)") == std::string::npos;
  };
  EXPECT_TRUE(test_support::wait_until(diagnosed, test_support::kReadWait)) << all->output();

  // Home Assistant's birth message brings every announcement again.
  size_t mark = s.log().mark();
  ASSERT_TRUE(s.publish(kPrefix + "/status", "online"));
  EXPECT_TRUE(s.log().wait_for("discovery: 5 sensors and 1 actors announced, 0 cleared",
                               test_support::kReadWait, mark))
      << s.diagnostics();
}

}  // namespace
