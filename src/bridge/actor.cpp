// Actor commands: a number received on an action topic becomes the command of every configured
// actor with that topic, written into its entry for the controller's other processes. Log lines
// are composed by log_appendf in 1024 bytes; longer ones are cut.
#include "bridge/actor.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstring>

#include "bridge/client.h"
#include "bridge/hooks.h"
#include "bridge/options.h"
#include "bridge/settings.h"
#include "bridge/topics.h"
#include "log/log.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/numbers.h"

uint32_t mqtt_commands_applied = 0;
uint32_t mqtt_commands_refused = 0;

namespace {

constexpr size_t kPayloadCopySize = 1024;  // payloads are taken up to 1023 characters

// Publishes, retained, the command text written for actor `name`, at the command QoS: the
// confirmation that the controller got it (mqtt_command_state).
void publish_state(const char* name, double value) {
  char topic[kStateTopicSize];
  state_topic(mqtt_username, name, topic);
  char text[sizeof(value_block::text)];
  value_text(value, text);
  const int rc = mqtt_publish_retained(topic, text, mqtt_command_qos);
  if (rc != MOSQ_ERR_SUCCESS)
    log_appendf(kLogInfo, "msg_callback: state \"%s\" not published: %s", topic,
                mosquitto_strerror(rc));
}

// The opt-in command rules: a retained replay (mqtt_command_retained) and a payload that is not a
// decimal number (mqtt_command_numbers) are refused, with their line. Returns true when refused.
bool refused(const struct mosquitto_message& message, const char* topic, const char* payload) {
  if (mqtt_command_retained != 0 && message.retain) {
    log_appendf(kLogInfo, "msg_callback: Topic: \"%s\": retained message not applied", topic);
    return true;
  }
  if (mqtt_command_numbers != 0 && !is_decimal_number(payload)) {
    log_appendf(kLogWarning,
                "msg_callback: Topic: \"%s\", Data: \"%.40s\": not a number, nothing written",
                topic, payload);
    return true;
  }
  return false;
}

// Sets every configured actor whose action topic is `topic` to tavel_atof of the payload.
// Returns true when at least one was set.
bool apply_command(const char* topic, const char* payload) {
  bool applied = false;
  for (int32_t i = 0; i < mqtt_subscribe_actor_dbids && i < kTableSize; ++i) {
    if (strcmp(mqtt_subscribe_actor_topic[i], topic) != 0) continue;
    const int32_t db_id = mqtt_subscribe_actor_dbid[i];

    const double value = tavel_atof(payload);
    const int32_t real_id = find_sensor_real_id(db_id);
    if (real_id == -1) continue;
    set_actor_command(real_id, value);
    log_appendf(kLogDebug, "Aktor mit DB_ID %ld (Real_ID: %ld) gesetzt auf %1.2f",
                static_cast<long>(db_id), static_cast<long>(real_id), value);
    if (mqtt_command_state != 0) publish_state(mqtt_subscribe_actor_name[i], value);
    applied = true;
  }
  return applied;
}

}  // namespace

// Handles one delivered message. The payload is copied (bounded by its length and by the copy's
// size, so a missing terminator or a huge payload cannot be overrun) before it is logged and
// converted.
void msg_callback(struct mosquitto*, void*, const struct mosquitto_message* message) {
  if (message == nullptr) return;
  const char* topic = message->topic != nullptr ? message->topic : "";
  if (message->payloadlen <= 0 || message->payload == nullptr) {
    log_appendf(kLogDebug, "msg_callback: %s (null)", topic);
    return;
  }

  char payload[kPayloadCopySize];
  size_t len = static_cast<size_t>(message->payloadlen);
  if (len > sizeof payload - 1) len = sizeof payload - 1;
  memcpy(payload, message->payload, len);
  payload[len] = '\0';

  log_appendf(kLogDebug, "msg_callback: Topic: \"%s\", Data: \"%s\"", topic, payload);
  if (mqtt_hooks.take_message != nullptr &&
      mqtt_hooks.take_message(topic, payload, message->retain))
    return;

  if (mqtt_subscribe_actor_dbids <= 0) {
    log_append(kLogDebug, "no Actors configured for subscriptions... Data trashed.");
    return;
  }
  if (refused(*message, topic, payload)) {
    ++mqtt_commands_refused;
    return;
  }
  if (apply_command(topic, payload)) ++mqtt_commands_applied;
}
