// Actor commands: from the broker into the command block, and the message handling itself.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <cstring>
#include <ctime>
#include <string>

#include "bridge/actor.h"
#include "bridge/config.h"
#include "bridge/session.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/broker.h"
#include "support/controller.h"

namespace {

using test_support::set_actor_table;
using test_support::set_entry;

// Delivers a message the way libmosquitto does: the payload followed by a NUL byte.
void deliver(const char* topic, const std::string& payload) {
  std::string buffer = payload;  // c_str() supplies the trailing NUL
  mosquitto_message m{};
  m.topic = const_cast<char*>(topic);
  m.payload = buffer.empty() ? nullptr : buffer.data();
  m.payloadlen = static_cast<int>(payload.size());
  msg_callback(nullptr, nullptr, &m);
}

// A command published on the broker reaches the actor's command block; an empty message, a
// topic in other letter case and a topic without "/action" set nothing.
TEST(Actor, CommandFromBroker) {
  test_support::InProcessController controller;
  ASSERT_TRUE(controller.ready());
  const auto& log = controller.log();
  test_support::Broker broker;
  ASSERT_TRUE(broker.running()) << broker.log();
  set_entry(3, 2001, 2, 0.0);
  set_actor_table({{2001, "lamp"}});
  ASSERT_TRUE(test_support::open_and_subscribe(broker, log, "user/#")) << log.text();

  const value_block& command = shm_sensor[3].command;
  int32_t before = static_cast<int32_t>(time(nullptr));
  ASSERT_EQ(test_support::publish(broker.client(), "user/lamp/action", "21.5"), 0);
  ASSERT_TRUE(test_support::service_until([&] { return command.timestamp != 0; }, 5000))
      << log.text();
  EXPECT_EQ(command.value, 21.5);
  EXPECT_EQ(command.value_x100, 2150);
  EXPECT_STREQ(command.text, "21.50");
  EXPECT_GE(command.timestamp, before);
  EXPECT_LE(command.timestamp, static_cast<int32_t>(time(nullptr)));
  EXPECT_TRUE(log.has(4, "msg_callback: Topic: \"user/lamp/action\", Data: \"21.5\""));
  EXPECT_TRUE(log.has(4, "Aktor mit DB_ID 2001 (Real_ID: 3) gesetzt auf 21.50"));

  ASSERT_EQ(test_support::publish(broker.client(), "user/lamp/action", ""), 0);
  ASSERT_EQ(test_support::publish(broker.client(), "user/Lamp/action", "5"), 0);
  ASSERT_EQ(test_support::publish(broker.client(), "user/lamp", "6"), 0);
  ASSERT_TRUE(test_support::service_until(
      [&] { return log.index_of(4, "msg_callback: Topic: \"user/lamp\"") >= 0; }, 5000))
      << log.text();
  EXPECT_TRUE(log.has(4, "msg_callback: user/lamp/action (null)"));
  EXPECT_TRUE(log.has(4, "msg_callback: Topic: \"user/Lamp/action\", Data: \"5\""));
  EXPECT_EQ(command.value, 21.5);
  EXPECT_EQ(log.count_exact(4, "Aktor mit DB_ID 2001 (Real_ID: 3) gesetzt auf 21.50"), 1);
  EXPECT_EQ(log.index_of(4, "Aktor mit DB_ID 2001 (Real_ID: 3) gesetzt auf 5"), -1);
  EXPECT_EQ(log.index_of(4, "Aktor mit DB_ID 2001 (Real_ID: 3) gesetzt auf 6"), -1);
  mqtt_close();
}

// Every matching actor is set, each with its own line; unknown DB ids are skipped silently;
// without actors the message is dropped with its line; oversized payloads and topics stay
// inside their buffers.
TEST(Actor, MessageHandling) {
  test_support::InProcessController controller;
  ASSERT_TRUE(controller.ready());
  const auto& log = controller.log();
  snprintf(mqtt_username, sizeof mqtt_username, "user");
  set_entry(1, 3001, 2, 0.0);
  set_entry(2, 3002, 2, 0.0);

  set_actor_table({});
  deliver("user/door/action", "1");
  EXPECT_TRUE(log.has(4, "no Actors configured for subscriptions... Data trashed."));
  EXPECT_EQ(shm_sensor[1].command.timestamp, 0);

  // Two actors with one call name, one configured twice, one not in the table.
  set_actor_table({{3001, "door"}, {3002, "door"}, {3001, "door"}, {3999, "door"}});
  deliver("user/door/action", "-1.25");
  EXPECT_EQ(shm_sensor[1].command.value, -1.25);
  EXPECT_EQ(shm_sensor[1].command.value_x100, -125);
  EXPECT_EQ(shm_sensor[2].command.value, -1.25);
  EXPECT_EQ(log.count_exact(4, "Aktor mit DB_ID 3001 (Real_ID: 1) gesetzt auf -1.25"), 2);
  EXPECT_EQ(log.count_exact(4, "Aktor mit DB_ID 3002 (Real_ID: 2) gesetzt auf -1.25"), 1);
  EXPECT_EQ(log.index_of(4, "Aktor mit DB_ID 3999"), -1);

  // Empty payload, also with a payload pointer but length 0, and a null payload pointer.
  mosquitto_message m{};
  m.topic = const_cast<char*>("user/door/action");
  m.payload = nullptr;
  m.payloadlen = 4;
  msg_callback(nullptr, nullptr, &m);
  deliver("user/door/action", "");
  EXPECT_EQ(log.count_exact(4, "msg_callback: user/door/action (null)"), 2);
  EXPECT_EQ(shm_sensor[1].command.value, -1.25);

  // A 2000-byte payload: taken up to 1023 characters; the log line is cut, not overrun.
  std::string big(2000, '7');
  deliver("user/door/action", big);
  EXPECT_EQ(shm_sensor[1].command.value, 2147483647.0);  // 1023 digits saturate
  int at = log.index_of(4, "msg_callback: Topic: \"user/door/action\", Data: \"7777");
  ASSERT_GE(at, 0);
  EXPECT_EQ(log.texts()[at].size(), 3u + 1023u);

  // User and call name too long for an 80-byte action topic: the cut topic matches nothing,
  // not even a message on exactly that cut text.
  std::string user(60, 'u');
  snprintf(mqtt_username, sizeof mqtt_username, "%s", user.c_str());
  set_actor_table({{3002, "a-call-name-of-thirty-characters"}});
  std::string cut = (user + "/a-call-name-of-thirty-characters/action").substr(0, 79);
  double last = shm_sensor[2].command.value;
  deliver(cut.c_str(), "42");
  EXPECT_EQ(shm_sensor[2].command.value, last);
}

}  // namespace
