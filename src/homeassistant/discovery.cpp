// Home Assistant MQTT discovery: one retained announcement per published sensor and subscribed
// actor after every full configuration read, and an empty retained message on the topic of every
// entry that is no longer announced.
#include "homeassistant/discovery.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstring>

#include "bridge/client.h"
#include "bridge/json_text.h"
#include "bridge/library.h"
#include "bridge/options.h"
#include "bridge/settings.h"
#include "bridge/topics.h"
#include "homeassistant/units.h"
#include "log/log.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/identity.h"

namespace {

constexpr const char* kSensorComponent = "sensor";
constexpr const char* kActorComponent = "number";
// The number out of the daemon's payload, where the value is a string ("21.50").
constexpr const char* kValueTemplate = "{{ value_json.value | float }}";
// The controller's texts (units such as "\xb0C", call names) are Latin-1, and so are the bytes of
// the daemon's payloads; Home Assistant decodes them with this codec.
constexpr const char* kPayloadEncoding = "latin-1";
// The range of an actor command: the command block keeps value * 100 in an int32.
constexpr long kActorMin = -21474836;
constexpr long kActorMax = 21474836;

// Writing out what the socket did not take at once takes at most this long.
constexpr int kDrainMs = 2000;

constexpr size_t kJsonNameSize = json_text_size(kCallNameChars);
constexpr size_t kJsonUnitSize = json_text_size(kUnitChars);
constexpr size_t kJsonUserSize = json_text_size(kSettingSize - 1);
constexpr size_t kJsonTopicSize = json_text_size(kStateTopicSize - 1);  // the longest topic here
static_assert(kStateTopicSize >= kActionTopicSize && kStateTopicSize >= kTopicIdSize &&
              kStateTopicSize >= kAvailabilityTopicSize &&
              kStateTopicSize >= kDiagnosticsTopicSize);
constexpr size_t kDevicePartSize = 2 * kJsonUserSize + 240;
constexpr size_t kExtraPartSize = kJsonUnitSize + 32 + 64 + 64 + 48;
constexpr size_t kObjectIdSize = 16;  // a DB id or a diagnostic entity's name

// DB ids announced under one component.
struct id_list {
  int32_t count;
  int32_t dbid[kTableSize];
};

// Where and what one call announced.
struct announcement {
  char prefix[kSettingSize];
  char node[kSettingSize];
  id_list sensors;
  id_list actors;
  bool diagnostics;  // the diagnostic entities too
};

// The diagnostic entities of the bridge itself (mqtt_diagnostics), all read from the diagnostics
// message: object id, name, value key, unit and device class (or null), state class (or null).
struct diagnostic_entity {
  const char* object;
  const char* name;
  const char* key;
  const char* unit;
  const char* device_class;
  const char* state_class;
};
constexpr diagnostic_entity kDiagnosticEntities[] = {
    {"diag_uptime", "Uptime", "uptime", "s", "duration", kMeasurement},
    {"diag_published", "Sensors published", "published_total", nullptr, nullptr, kTotalIncreasing},
    {"diag_failed", "Failed publications", "failed_publications", nullptr, nullptr,
     kTotalIncreasing},
    {"diag_rebuilds", "Session rebuilds", "session_rebuilds", nullptr, nullptr, kTotalIncreasing},
    {"diag_error", "Last error", "last_error", nullptr, nullptr, nullptr},
};

// Home Assistant's birth message: "online" on "<prefix>/status" when it (re)starts.
constexpr const char* kBirthPayload = "online";

// Set by msg_callback when the birth message arrived; the main loop then announces again.
bool repeat_due = false;

// The last complete announcement (empty at start) and the one being made. One thread, and no
// callback announces, so static storage is safe.
announcement announced;
announcement current;
// The entries of the table by DB id, taken once per announcement for the units of its entries.
sensor_index entries;

bool contains(const int32_t* ids, int32_t count, int32_t dbid) {
  for (int32_t k = 0; k < count && k < kTableSize; ++k) {
    if (ids[k] == dbid) return true;
  }
  return false;
}

bool contains(const id_list& list, int32_t dbid) {
  return contains(list.dbid, list.count, dbid);
}

// True when libmosquitto accepts text as the topic (or topic prefix) of a publication: valid
// UTF-8, no wildcard.
bool valid_topic(const char* text) {
  return mqtt_library_utf8_valid(text, static_cast<int>(strlen(text))) &&
         mosquitto_pub_topic_check(text) == MOSQ_ERR_SUCCESS;
}

void node_id(const char* user, char (&out)[kSettingSize]) {
  size_t n = 0;
  for (; n < sizeof out - 1 && user[n] != '\0'; ++n) {
    const char c = user[n];
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '-';
    out[n] = allowed ? c : '_';
  }
  out[n] = '\0';
}

void topic_of(const announcement& a, const char* component, int32_t dbid,
              char (&out)[kDiscoveryTopicSize]) {
  char object[kObjectIdSize];
  snprintf(object, sizeof object, "%ld", static_cast<long>(dbid));
  discovery_topic(a.prefix, component, a.node, object, out);
}

void topic_of(const announcement& a, const char* object, char (&out)[kDiscoveryTopicSize]) {
  discovery_topic(a.prefix, kSensorComponent, a.node, object, out);
}

// A topic as the text of a JSON string.
void topic_json(const char* topic, char (&out)[kJsonTopicSize]) {
  json_text(topic, kStateTopicSize - 1, false, out, sizeof out);
}

// The topic on which the values of DB id `dbid` are published, as JSON text.
void value_topic_json(int32_t dbid, char (&out)[kJsonTopicSize]) {
  char topic[kTopicIdSize];
  publish_topic_id(mqtt_username, dbid, topic);
  topic_json(topic, out);
}

// Publishes one retained QoS 0 message without waiting for anything; an empty payload clears the
// topic. Returns false, with a level-2 line, when libmosquitto refuses it (no connection).
bool send(const char* topic, const char* payload) {
  const int len = static_cast<int>(strlen(payload));
  const int rc = mqtt_publish_retained(topic, payload, 0);
  if (rc != MOSQ_ERR_SUCCESS) {
    log_appendf(kLogWarning, "discovery: \"%s\" not published: %s", topic, mosquitto_strerror(rc));
    return false;
  }
  log_appendf(kLogDebug, "discovery: Topic: \"%s\", %d bytes", topic, len);
  return true;
}

// With mqtt_classes: the class keys of a sensor (every one gets a state class; a known unit its
// device class) or of a number entity (its unit and, where the number component has it, its
// device class). With mqtt_heartbeat, a sensor's announcement also says how long its value lasts: a
// valid value goes out at least every heartbeat plus one cycle, so twice that is missed only when
// the value is in error or the bridge has stopped. Units are given as UTF-8.
void extra_part(const char* unit_json, bool number, char (&out)[kExtraPartSize]) {
  const unit_classes* row = mqtt_classes != 0 ? unit_classes_of(unit_json) : nullptr;
  const char* device_class =
      row != nullptr && (!number || row->number) ? row->device_class : nullptr;
  char unit_part[kJsonUnitSize + 32] = "";
  if (mqtt_classes != 0 && number && unit_json[0] != '\0')
    snprintf(unit_part, sizeof unit_part, "\"unit_of_measurement\":\"%s\",", unit_json);
  char class_part[64] = "";
  if (device_class != nullptr)
    snprintf(class_part, sizeof class_part, "\"device_class\":\"%s\",", device_class);
  char state_part[64] = "";
  if (mqtt_classes != 0 && !number)
    snprintf(state_part, sizeof state_part, "\"state_class\":\"%s\",",
             row != nullptr ? row->state_class : kMeasurement);
  char expire_part[48] = "";
  if (mqtt_heartbeat > 0 && !number)
    snprintf(expire_part, sizeof expire_part, "\"expire_after\":%lld,", mqtt_expire_after_s());
  snprintf(out, sizeof out, "%s%s%s%s", unit_part, class_part, state_part, expire_part);
}

// The "encoding" key: Latin-1 payloads need it, UTF-8 ones (mqtt_utf8) are Home Assistant's
// default.
void encoding_part(char (&out)[32]) {
  out[0] = '\0';
  if (mqtt_utf8 == 0) snprintf(out, sizeof out, "\"encoding\":\"%s\",", kPayloadEncoding);
}

// The unit of DB id `dbid` as its entry holds it now, read once as the publish cycle reads it,
// as UTF-8 JSON text; "" for a missing entry or one without a unit.
void unit_json_of(int32_t dbid, char (&out)[kJsonUnitSize]) {
  sensor_record entry;
  sensor_record_read(sensor_index_find(entries, dbid), &entry);
  char unit[kUnitChars + 1];
  memcpy(unit, entry.unit, kUnitChars);
  unit[kUnitChars] = '\0';
  json_text(unit, kUnitChars, true, out, sizeof out);
}

// The part that every announcement of this device shares: the device block, with the user name
// (uuid) as its identifier, and with availability on the topic whose "online" and "offline" are
// Home Assistant's default payloads.
void device_part(const char* user_json, char (&out)[kDevicePartSize]) {
  // With mqtt_classes also the origin block, whose absence current Home Assistant versions log.
  char origin[96] = "";
  if (mqtt_classes != 0)
    snprintf(origin, sizeof origin, "\"origin\":{\"name\":\"%s\",\"sw_version\":\"%s\"},",
             kDemonName, kDemonVersion);
  const int n =
      snprintf(out, sizeof out,
               "%s\"device\":{\"identifiers\":[\"%s\"],\"name\":\"%s\",\"sw_version\":\"%s\"}",
               origin, user_json, kDemonName, kDemonVersion);
  if (mqtt_availability != 0 && n > 0 && static_cast<size_t>(n) < sizeof out) {
    char topic[kAvailabilityTopicSize];
    availability_topic(mqtt_username, topic);
    char json[kJsonTopicSize];
    topic_json(topic, json);
    snprintf(out + n, sizeof out - n, ",\"availability_topic\":\"%s\"", json);
  }
}

// The announcement of a published sensor. Returns the length of the whole payload; a length of
// kDiscoveryPayloadSize or more means out holds a cut text that must not be used.
int sensor_payload(int32_t dbid, const char* name, const char* device,
                   char (&out)[kDiscoveryPayloadSize]) {
  char name_json[kJsonNameSize];
  json_text(name, kCallNameChars, true, name_json, sizeof name_json);
  char unit_json[kJsonUnitSize];
  unit_json_of(dbid, unit_json);
  char unit_part[kJsonUnitSize + 32] = "";
  if (unit_json[0] != '\0')
    snprintf(unit_part, sizeof unit_part, "\"unit_of_measurement\":\"%s\",", unit_json);
  char extra[kExtraPartSize];
  extra_part(unit_json, false, extra);
  char encoding[32];
  encoding_part(encoding);
  char state_json[kJsonTopicSize];
  value_topic_json(dbid, state_json);
  return snprintf(out, sizeof out,
                  "{\"name\":\"%s\",\"unique_id\":\"%s_%ld\",\"state_topic\":\"%s\","
                  "\"value_template\":\"%s\",%s%s%s%s}",
                  name_json, current.node, static_cast<long>(dbid), state_json, kValueTemplate,
                  unit_part, extra, encoding, device);
}

// The announcement of a subscribed actor, with its state when the actor is published too.
// Returns the length as sensor_payload does.
int actor_payload(int32_t dbid, const char* name, const char* action, const char* device,
                  char (&out)[kDiscoveryPayloadSize]) {
  char name_json[kJsonNameSize];
  json_text(name, kCallNameChars, true, name_json, sizeof name_json);
  char action_json[kJsonTopicSize];
  topic_json(action, action_json);
  char state_part[kJsonTopicSize + 96] = "";
  char state_json[kJsonTopicSize];
  if (contains(mqtt_publish_sensor_dbid, mqtt_publish_sensor_dbids, dbid)) {
    value_topic_json(dbid, state_json);
    snprintf(state_part, sizeof state_part, "\"state_topic\":\"%s\",\"value_template\":\"%s\",",
             state_json, kValueTemplate);
  } else if (mqtt_command_state != 0) {
    // What the controller received, not an optimistic guess: the plain command text.
    char state[kStateTopicSize];
    state_topic(mqtt_username, name, state);
    topic_json(state, state_json);
    snprintf(state_part, sizeof state_part, "\"state_topic\":\"%s\",", state_json);
  }
  char unit_json[kJsonUnitSize];
  unit_json_of(dbid, unit_json);
  char extra[kExtraPartSize];
  extra_part(unit_json, true, extra);
  char encoding[32];
  encoding_part(encoding);
  return snprintf(out, sizeof out,
                  "{\"name\":\"%s\",\"unique_id\":\"%s_%ld_action\",\"command_topic\":\"%s\",%s"
                  "\"min\":%ld,\"max\":%ld,\"step\":0.01,%s%s%s}",
                  name_json, current.node, static_cast<long>(dbid), action_json, state_part,
                  kActorMin, kActorMax, extra, encoding, device);
}

// The announcement of one diagnostic entity, a sensor of the same device whose state is a field
// of the diagnostics message. Returns the length as sensor_payload does.
int diagnostic_payload(const diagnostic_entity& e, const char* device,
                       char (&out)[kDiscoveryPayloadSize]) {
  char classes[160] = "";
  if (e.unit != nullptr)
    snprintf(classes, sizeof classes, "\"unit_of_measurement\":\"%s\",\"device_class\":\"%s\",",
             e.unit, e.device_class);
  char state[48] = "";
  if (e.state_class != nullptr)
    snprintf(state, sizeof state, "\"state_class\":\"%s\",", e.state_class);
  char topic[kDiagnosticsTopicSize];
  diagnostics_topic(mqtt_username, topic);
  char topic_text[kJsonTopicSize];
  topic_json(topic, topic_text);
  return snprintf(out, sizeof out,
                  "{\"name\":\"%s\",\"unique_id\":\"%s_%s\",\"state_topic\":\"%s\","
                  "\"value_template\":\"{{ value_json.%s }}\",\"entity_category\":\"diagnostic\","
                  "%s%s%s}",
                  e.name, current.node, e.object, topic_text, e.key, classes, state, device);
}

// With mqtt_diagnostics, announces the diagnostic entities and records that in current. Returns
// false when a publication failed.
bool announce_diagnostics(const char* device) {
  if (mqtt_diagnostics == 0) return true;
  char topic[kDiscoveryTopicSize];
  char payload[kDiscoveryPayloadSize];
  for (const diagnostic_entity& e : kDiagnosticEntities) {
    const int n = diagnostic_payload(e, device, payload);
    if (n < 0 || static_cast<size_t>(n) >= sizeof payload) continue;
    topic_of(current, e.object, topic);
    if (!send(topic, payload)) return false;
  }
  current.diagnostics = true;
  return true;
}

// Announces every entry of both tables under current.prefix and records it in current. A DB id
// listed twice is announced once. Returns false when a publication failed; the rest is skipped.
bool announce_all() {
  char user_json[kJsonUserSize];
  json_text(mqtt_username, kSettingSize - 1, false, user_json, sizeof user_json);
  char device[kDevicePartSize];
  device_part(user_json, device);
  char topic[kDiscoveryTopicSize];
  char payload[kDiscoveryPayloadSize];

  for (int32_t i = 0; i < mqtt_publish_sensor_dbids && i < kTableSize; ++i) {
    const int32_t dbid = mqtt_publish_sensor_dbid[i];
    if (contains(current.sensors, dbid)) continue;
    const int n = sensor_payload(dbid, mqtt_publish_sensor_name[i], device, payload);
    if (n < 0 || static_cast<size_t>(n) >= sizeof payload) {
      log_appendf(kLogWarning, "discovery: sensor %ld: announcement too long, left out",
                  static_cast<long>(dbid));
      continue;
    }
    topic_of(current, kSensorComponent, dbid, topic);
    if (!send(topic, payload)) return false;
    current.sensors.dbid[current.sensors.count++] = dbid;
  }

  for (int32_t i = 0; i < mqtt_subscribe_actor_dbids && i < kTableSize; ++i) {
    const int32_t dbid = mqtt_subscribe_actor_dbid[i];
    if (contains(current.actors, dbid)) continue;
    // The configuration read has left out every actor whose action topic does not fit.
    const char* action = mqtt_subscribe_actor_topic[i];
    // A topic that is not valid UTF-8 or holds a wildcard was refused at subscription: commands
    // sent there would never arrive.
    if (!valid_topic(action)) {
      log_appendf(kLogWarning, "discovery: actor %ld: action topic \"%s\" not valid, left out",
                  static_cast<long>(dbid), action);
      continue;
    }
    const int n = actor_payload(dbid, mqtt_subscribe_actor_name[i], action, device, payload);
    if (n < 0 || static_cast<size_t>(n) >= sizeof payload) {
      log_appendf(kLogWarning, "discovery: actor %ld: announcement too long, left out",
                  static_cast<long>(dbid));
      continue;
    }
    topic_of(current, kActorComponent, dbid, topic);
    if (!send(topic, payload)) return false;
    current.actors.dbid[current.actors.count++] = dbid;
  }
  return announce_diagnostics(device);
}

// Clears every topic of the last complete announcement that current does not replace. Counts the
// cleared topics in *cleared; returns false when a publication failed.
bool clear_removed(int32_t* cleared) {
  const bool same_place =
      strcmp(announced.prefix, current.prefix) == 0 && strcmp(announced.node, current.node) == 0;
  const struct {
    const char* component;
    const id_list& before;
    const id_list& now;
  } kinds[] = {{kSensorComponent, announced.sensors, current.sensors},
               {kActorComponent, announced.actors, current.actors}};
  char topic[kDiscoveryTopicSize];
  for (const auto& kind : kinds) {
    for (int32_t k = 0; k < kind.before.count && k < kTableSize; ++k) {
      const int32_t dbid = kind.before.dbid[k];
      if (same_place && contains(kind.now, dbid)) continue;
      topic_of(announced, kind.component, dbid, topic);
      if (!send(topic, "")) return false;
      ++*cleared;
    }
  }
  if (!announced.diagnostics || (same_place && current.diagnostics)) return true;
  for (const diagnostic_entity& e : kDiagnosticEntities) {
    topic_of(announced, e.object, topic);
    if (!send(topic, "")) return false;
    ++*cleared;
  }
  return true;
}

// New announcements go out before the old ones are cleared. The record of the last complete
// announcement is replaced only when every publication went out, so entries that a failed call
// could not clear are cleared by the next one.
void announce(bool on) {
  memset(&current, 0, sizeof current);
  sensor_index_build(&entries);
  if (on) {
    snprintf(current.prefix, sizeof current.prefix, "%s", mqtt_discovery);
    node_id(mqtt_username, current.node);
  }
  int32_t cleared = 0;
  const bool complete = (!on || announce_all()) && clear_removed(&cleared);
  if (complete) memcpy(&announced, &current, sizeof announced);
  // What the socket did not take at once is written now (bounded), so that every announcement has
  // left when the configuration read returns; this costs only the time the writing takes.
  mqtt_service(mqtt_mosq, kDrainMs, kServiceUntil, [](struct mosquitto* mosq) {
    return mosq == nullptr || !mosquitto_want_write(mosq);
  });
  log_appendf(kLogInfo, "discovery: %ld sensors and %ld actors announced, %ld cleared%s",
              static_cast<long>(current.sensors.count), static_cast<long>(current.actors.count),
              static_cast<long>(cleared), complete ? "" : ", incomplete");
}

}  // namespace

void mqtt_discovery_publish() {
  bool on = mqtt_discovery[0] != '\0';
  if (on && !valid_topic(mqtt_discovery)) {
    log_appendf(kLogWarning, "discovery: prefix \"%s\" is not a valid topic, discovery off",
                mqtt_discovery);
    on = false;
  }
  repeat_due = false;
  if (!on && announced.sensors.count == 0 && announced.actors.count == 0 && !announced.diagnostics)
    return;
  // Home Assistant says "online" there when it starts; it may have lost every entity then.
  if (on && mqtt_classes != 0 && mqtt_mosq != nullptr) {
    char topic[kDiscoveryStatusTopicSize];
    discovery_status_topic(mqtt_discovery, topic);
    mosquitto_subscribe(mqtt_mosq, nullptr, topic, 0);
  }
  announce(on);
}

// A retained "online" is an old birth message the broker kept, not a restart.
bool mqtt_discovery_message(const char* topic, const char* payload, bool retained) {
  if (mqtt_discovery[0] == '\0' || mqtt_classes == 0 || topic == nullptr) return false;
  char status[kDiscoveryStatusTopicSize];
  discovery_status_topic(mqtt_discovery, status);
  if (strcmp(topic, status) != 0) return false;
  if (!retained && payload != nullptr && strcmp(payload, kBirthPayload) == 0) repeat_due = true;
  return true;
}

void mqtt_discovery_repeat() {
  if (!repeat_due) return;
  repeat_due = false;
  log_append(kLogInfo, "discovery: Home Assistant is online, announcing again");
  if (valid_topic(mqtt_discovery)) announce(true);
}
