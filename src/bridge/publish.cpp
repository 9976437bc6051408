// The publish cycle: reads the configured sensors from SHM_Sensordata and publishes every value
// that moved by at least the threshold, as one JSON payload on two retained QoS 0 topics.
#include "bridge/publish.h"

#include <mosquitto.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bridge/backoff.h"
#include "bridge/client.h"
#include "bridge/hooks.h"
#include "bridge/json_text.h"
#include "bridge/library.h"
#include "bridge/options.h"
#include "bridge/settings.h"
#include "bridge/topics.h"
#include "log/log.h"
#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/monotonic.h"

double mqtt_old_sensordata[kSensorCount];
volatile int32_t mqtt_publish_flag = 0;
uint32_t mqtt_publish_failures = 0;

namespace {

constexpr size_t kEscapedNameSize = json_text_size(kCallNameChars);
constexpr size_t kEscapedUnitSize = json_text_size(kUnitChars);
// Fixed text of the payload, both escaped names, a value of up to 312 characters ("%1.2f" of the
// largest double), type word and time stamp, rounded up (kPayloadSize).
static_assert(kPayloadSize > 64 + kEscapedNameSize + kEscapedUnitSize + 320 + kTimeSize);

constexpr int kAckPolls = 31;  // 31 polls of 100 ms: 3.1 s
constexpr int kAckPollMs = 100;
constexpr long kAckTimeoutS = 3;  // the figure shown in the log line

// Message ids of the two messages of the publication in progress (libmosquitto never gives 0).
// Only their callbacks acknowledge it: the session also publishes other messages (availability,
// discovery, command echoes), and their callbacks must not pass for this publication's.
int awaited_mid[2] = {0, 0};

// The entries of the table by DB id, taken anew at the start of every cycle.
sensor_index entries;

// Until the first full configuration read, no value has been published.
struct OldValuesInit {
  OldValuesInit() {
    for (double& v : mqtt_old_sensordata) v = SENSOR_NO_VALUE;
  }
} old_values_init;

// Monotonic seconds of the last acknowledged publication by real id, for the heartbeat.
int64_t last_sent[kSensorCount];

// With a heartbeat: the value of real_id was published and that was mqtt_heartbeat seconds ago or
// more, so it goes out again although it did not move.
bool heartbeat_due(int32_t real_id) {
  return mqtt_heartbeat > 0 && mqtt_old_sensordata[real_id] > SENSOR_NO_VALUE &&
         monotonic_ms() / 1000 - last_sent[real_id] >= mqtt_heartbeat;
}

bool publication_acknowledged(struct mosquitto*) {
  return mqtt_publish_flag != 0;
}

// Waits for the acknowledgement of the publication just sent. Without a scan period: 31 polls,
// each servicing the session for its whole 100 ms, so the pacing on the wire stays one
// publication per 100 ms at least. With one (mqtt_scan): only until the acknowledgement comes (at
// most the same 3.1 s), then whatever else already waits on the socket (commands) is handled, so
// that a burst goes out back to back and commands are still taken between its publications.
bool wait_acknowledged() {
  if (mqtt_scan > 0) {
    mqtt_service(mqtt_mosq, kAckPolls * kAckPollMs, kServiceUntil | kServiceDrain,
                 publication_acknowledged);
    return mqtt_publish_flag != 0;
  }
  for (int poll = 0; poll < kAckPolls; ++poll) {
    mqtt_service(mqtt_mosq, kAckPollMs, kServiceFullTime);
    if (mqtt_publish_flag != 0) return true;
  }
  return false;
}

// An entry in error, of a type without a publishable value, or at or below the no-value marker.
void log_no_valid_value(int32_t db_id, double value, int32_t error_code) {
  log_appendf(kLogDebug,
              "Sensor mit DB_ID %ld: Aktueller Wert: %1.2f (Errorcode %ld) - no publishing",
              static_cast<long>(db_id), value, static_cast<long>(error_code));
}

// Publishes the payload of `entry` (a copy) on both topics and waits for the acknowledgement.
// Without a network thread libmosquitto calls the publish callback of a QoS 0 message from inside
// mosquitto_publish when it could hand the message to the socket. The wait services the session,
// so actor commands that arrive meanwhile are applied at once (msg_callback writes only command
// blocks and the log, nothing this cycle reads).
int32_t publish_entry(int32_t db_id, const sensor_record& entry, double value, const char* name) {
  if (name == nullptr) name = "";
  char topic_id[kTopicIdSize];
  char topic_name[kTopicNameSize];
  publish_topic_id(mqtt_username, db_id, topic_id);
  publish_topic_name(mqtt_username, name, topic_name);

  char payload[kPayloadSize];
  mqtt_payload(entry, value, name, payload, sizeof payload);

  log_appendf(kLogDebug, "mqtt_publish: Topic: \"%s\", Data: \"%s\", Timeout: %ld s", topic_id,
              payload, kAckTimeoutS);

  mqtt_publish_flag = 0;
  awaited_mid[0] = awaited_mid[1] = 0;
  const int len = static_cast<int>(strlen(payload));
  // libmosquitto stores the id before it sends, so a callback from inside the call finds it.
  mqtt_library_publish(mqtt_mosq, &awaited_mid[0], topic_id, len, payload, 0, true);
  mqtt_library_publish(mqtt_mosq, &awaited_mid[1], topic_name, len, payload, 0, true);

  if (wait_acknowledged()) {
    log_appendf(kLogDebug, "mqtt_publish: Rueckmeldung vom Callback: %ld",
                static_cast<long>(mqtt_publish_flag));
    return 0;
  }
  log_append(kLogInfo, "mqtt_publish: Timeout reached, data not published");
  return -1;
}

// Reads the entry of sensor db_id once into `entry` and its publishable value into `value`; false,
// with the line that says why, while the entry is being written, in error, of a type without a
// publishable value, or at or below the no-value marker.
bool valid_value(int32_t db_id, int32_t real_id, sensor_record* entry, double* value) {
  if (!sensor_record_read(real_id, entry)) {
    log_appendf(kLogDebug, "Sensor mit DB_ID %ld: Eintrag wird gerade geschrieben - no publishing",
                static_cast<long>(db_id));
    return false;
  }
  if (entry->error_code != 0) {
    log_no_valid_value(db_id, SENSOR_NO_VALUE, entry->error_code);
    return false;
  }
  if (!sensor_publish_value(*entry, value)) {
    log_no_valid_value(db_id, SENSOR_NO_VALUE, 0);
    return false;
  }
  if (*value <= SENSOR_NO_VALUE) {
    log_no_valid_value(db_id, *value, 0);
    return false;
  }
  return true;
}

}  // namespace

void mqtt_time_text(time_t when, char (&out)[kTimeSize]) {
  struct tm tm_then;
  log_local_time(when, &tm_then);
  snprintf(out, sizeof out, "%02d:%02d:%02d %02d.%02d.%04d", tm_then.tm_hour, tm_then.tm_min,
           tm_then.tm_sec, tm_then.tm_mday, tm_then.tm_mon + 1, tm_then.tm_year + 1900);
}

// Walks the publish table (its count read anew before every step, because a failed publication
// re-reads the configuration in the middle of the cycle) and returns the number of acknowledged
// publications.
int32_t mqtt_publish_cycle() {
  if (mqtt_publish_sensor_dbids <= 0) {
    log_append(kLogDebug, "Keine Daten zum Publishing konfiguriert");
    return 0;
  }
  int32_t published = 0;
  // One pass over the table instead of a search of it for each sensor: those searches were most
  // of what a cycle of unchanged sensors cost.
  sensor_index_build(&entries);
  // With backoff a failed session ends the cycle: nothing is sent until the next session.
  for (int32_t i = 0; i < mqtt_publish_sensor_dbids && i < kTableSize && mqtt_session_ready();
       ++i) {
    const int32_t db_id = mqtt_publish_sensor_dbid[i];
    const long d = static_cast<long>(db_id);

    const int32_t real_id = sensor_index_find(entries, db_id);
    if (real_id < 0) {
      log_appendf(kLogDebug, "Konnte keine Real_ID fuer Sensor mit DB_ID %ld finden !", d);
      continue;
    }
    sensor_record entry;
    double value = 0.0;
    if (!valid_value(db_id, real_id, &entry, &value)) continue;
    const double diff = std::fabs(value - mqtt_old_sensordata[real_id]);
    // Written this way round so that a change that is not a number is never published.
    if (!(diff >= mqtt_threshold) && !heartbeat_due(real_id)) {
      log_appendf(kLogDebug,
                  "Sensor mit DB_ID %ld: Aktueller Wert: %1.2f (Differenz: %1.2f) - no publishing",
                  d, value, diff);
      continue;
    }
    log_appendf(
        kLogDebug,
        "Sensor mit DB_ID %ld: Aktueller Wert: %1.2f (Differenz: %1.2f) ... wir publishen !", d,
        value, diff);
    if (publish_entry(db_id, entry, value, mqtt_publish_sensor_name[i]) == 0) {
      mqtt_old_sensordata[real_id] = value;
      last_sent[real_id] = monotonic_ms() / 1000;
      ++published;
      continue;
    }
    ++mqtt_publish_failures;
    log_append(kLogInfo, "publishing fehlgeschlagen. Verbindung wird getrennt und neu aufgebaut.");
    demonstatus_text("resetting connection");
    if (mqtt_hooks.rebuild != nullptr) mqtt_hooks.rebuild();
  }
  return published;
}

// One read of the entry, then the publication of the cycle's own (publish_entry).
int32_t mqtt_publish(int32_t db_id, int32_t real_id, double value, const char* name) {
  sensor_record entry;
  sensor_record_read(real_id, &entry);
  return publish_entry(db_id, entry, value, name);
}

void mqtt_payload(const sensor_record& entry, double value, const char* name, char* out,
                  size_t cap) {
  char stamp[kTimeSize];
  mqtt_time_text(time(nullptr), stamp);
  char call[kEscapedNameSize];
  char unit[kEscapedUnitSize];
  json_text(name, kCallNameChars, mqtt_utf8 != 0, call, sizeof call);
  json_text(entry.unit, kUnitChars, mqtt_utf8 != 0, unit, sizeof unit);
  const char* type_word = entry.type == kEntryActor ? "actor" : "sensor";
  snprintf(
      out, cap,
      "{\"call\":\"%s\",\"value\":\"%1.2f\",\"type\":\"%s\",\"unit\":\"%s\",\"timestamp\":\"%s\"}",
      call, value, type_word, unit, stamp);
}

// libmosquitto's report that a message left: acknowledges the publication in progress when the
// message is one of its two.
void publish_callback(struct mosquitto*, void*, int mid) {
  char line[64];
  snprintf(line, sizeof line, "publish_callback: Published (mid: %d)", mid);
  if (mid != 0 && (mid == awaited_mid[0] || mid == awaited_mid[1])) mqtt_publish_flag = 1;
  log_append(kLogDebug, line);
}
