#include "bridge/config.h"

#include <cstdio>
#include <cstring>

#include "bridge/diagnostics.h"
#include "bridge/discovery.h"
#include "bridge/publish.h"
#include "bridge/scanner.h"
#include "bridge/selection.h"
#include "bridge/session.h"
#include "bridge/subscriptions.h"
#include "log/log.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/numbers.h"
#include "support/paths.h"
#include "support/readfile.h"

int32_t mqtt_enabled = 0;
char mqtt_host[kSettingSize] = "";
int32_t mqtt_port = 0;
int32_t mqtt_keepalive = 0;
char mqtt_username[kSettingSize] = "";
char mqtt_password[kSettingSize] = "";
int32_t mqtt_interval = 30;
double mqtt_threshold = 0.0;
int32_t mqtt_reload_seen = -1;

int32_t mqtt_publish_sensor_dbids = 0;
int32_t mqtt_publish_sensor_dbid[kTableSize];
char mqtt_publish_sensor_name[kTableSize][kCallNameSize];

int32_t mqtt_subscribe_actor_dbids = 0;
int32_t mqtt_subscribe_actor_dbid[kTableSize];
char mqtt_subscribe_actor_name[kTableSize][kCallNameSize];

namespace {

constexpr int32_t kKeepalive = 60;        // seconds, not configurable
constexpr int32_t kMinInterval = 5;       // shorter intervals fall back to the default
constexpr int32_t kDefaultInterval = 30;  // seconds
constexpr double kMinThreshold = 0.1;
constexpr int kStartupMaxLevel = kLogEcho;  // the start-up read never sets a chattier level
constexpr int kServiceMs = 2000;            // servicing after the subscriptions

// Working storage of the read; the read never runs twice at once (one thread, and no callback
// starts a read), so static buffers are safe. The "call" section is turned into call_names before
// the "pub" section is read, so one section buffer serves all three sections.
char text[kConfigTextSize];
char value[kValueSize];
char section[kSectionSize];
call_table call_names;

// Low 8 bits of atol of the text, as the 8-bit log level stores them.
int level_of(const char* text_value) {
  return static_cast<int>(static_cast<uint32_t>(atol32(text_value)) & 0xFFu);
}

// Reads one configuration file (with the root prefix) into text and logs its byte count (-2 when
// it cannot be opened; text then keeps what it held).
void read_file(const char* absolute) {
  char path[kPathCapacity];
  path_with_root(absolute, path, sizeof path);
  const int32_t bytes = readfileinstring(path, text, sizeof text);
  log_appendf(kLogDebug, "Config-Datei \"%s\" gelesen: %ld Bytes", path, static_cast<long>(bytes));
}

// Fills call_names from the "call" section of text and logs how many there are.
void read_call_section() {
  call_names.count = 0;
  if (json_read_section(text, kSectionCall, section, sizeof section) < 0) {
    log_append(kLogWarning, "(CALL not found)");
  } else {
    const int32_t found = scan_call_section(section, &call_names);
    if (found > call_names.count) {
      log_appendf(kLogWarning, "More than %ld call names: %ld entries ignored",
                  static_cast<long>(kTableSize), static_cast<long>(found - call_names.count));
    }
  }
  log_appendf(kLogDebug, "Callnames insgesamt: %ld", static_cast<long>(call_names.count));
}

// The read's part of each selected entry: its log line and, for an actor, the subscription. An
// actor whose action topic is too long is left out entirely (no table entry, no subscription)
// with a level-2 line.
void log_selected(const selection& table, const selected_report& r, void*) {
  const selected_entry& e = r.entry;
  if (r.fate == kSelectedTopicTooLong) {
    log_appendf(kLogWarning,
                "Actor %ld (\"%s\"): action topic of %d characters too long, not subscribed",
                static_cast<long>(e.db_id), e.call_name, r.topic_length);
    return;
  }
  if (r.fate != kSelectedStored) return;
  if (!table.actor) {
    log_appendf(kLogDebug, "Zu publishender Sensor %ld: %ld (\"%s\"), CallName: \"%s\"",
                static_cast<long>(r.index), static_cast<long>(e.db_id), e.id_field, e.call_name);
    return;
  }
  log_appendf(kLogDebug, "Zu subscribender Aktor %ld: %ld (\"%s\") - Topic: \"%s\"",
              static_cast<long>(r.index), static_cast<long>(e.call_index), e.id_field, r.topic);
  mqtt_subscribe_action(r.topic);
}

// Rebuilds one table from its section of text (mqtt_walk_selection), with the read's lines.
void read_selection(const selection& table) {
  int32_t ignored = 0;
  if (json_read_section(text, table.pattern, section, sizeof section) < 0) {
    *table.count = 0;
    log_appendf(kLogWarning, "(%s not found)", table.tag);
  } else {
    ignored = mqtt_walk_selection(table, section, call_names, log_selected, nullptr);
  }
  if (ignored > 0) {
    log_appendf(kLogWarning, "More than %ld %s: %ld entries ignored", static_cast<long>(kTableSize),
                table.what, static_cast<long>(ignored));
  }
  log_appendf(kLogDebug, "%s insgesamt: %ld", table.total, static_cast<long>(*table.count));
}

// The start-up read: only "loglevel" of brokerSetup.json, nothing logged (the log is not ready).
int read_startup() {
  char path[kPathCapacity];
  path_with_root(kBrokerSetupFile, path, sizeof path);
  text[0] = '\0';
  readfileinstring(path, text, sizeof text);
  json_read_tag(text, "loglevel", value, sizeof value);
  int level = level_of(value);
  if (level > kStartupMaxLevel) level = kStartupMaxLevel;
  log_level = static_cast<uint8_t>(level);
  return level;
}

}  // namespace

// The whole topic is measured, so the caller can tell a cut one.
int action_topic(const char* user, const char* name, char (&out)[kActionTopicSize]) {
  const int n =
      snprintf(out, sizeof out, "%s/%.*s/action", user, static_cast<int>(kCallNameSize - 1), name);
  return n < 0 ? static_cast<int>(sizeof out) : n;
}

void mqtt_access_settings(const char* access) {
  json_read_tag(access, "uuid", mqtt_username, sizeof mqtt_username);
  json_read_tag(access, "password", mqtt_password, sizeof mqtt_password);
  json_read_tag(access, "host", mqtt_host, sizeof mqtt_host);
  json_read_tag(access, "port", value, sizeof value);
  mqtt_port = atol32(value);
  mqtt_keepalive = kKeepalive;
}

void mqtt_setup_settings(const char* setup) {
  json_read_tag(setup, "ACTIV", value, sizeof value);
  mqtt_enabled = atol32(value);
  json_read_tag(setup, "loglevel", value, sizeof value);
  log_level = static_cast<uint8_t>(level_of(value));
  json_read_tag(setup, "interval", value, sizeof value);
  const int32_t interval = atol32(value);
  mqtt_interval = interval >= kMinInterval ? interval : kDefaultInterval;
  json_read_tag(setup, "threshold", value, sizeof value);
  const double threshold = tavel_atof(value);
  // Written so that a NaN (from a number text of over 300 integer digits) also falls back to the
  // minimum: with a NaN threshold no change would ever be published.
  mqtt_threshold = threshold >= kMinThreshold ? threshold : kMinThreshold;
}

// A missing brokerSetup.json leaves the text of brokerAccess.json in the buffer, so the setup keys
// and sections are then looked up there (and normally not found). A key that is not found leaves
// the error text of the lookup in the setting, or 0 for numbers. The read never stops early.
int mqtt_read_config(int mode) {
  if (mode == kReadStartup) return read_startup();

  if (shm_reload != nullptr) mqtt_reload_seen = reload_counter();

  text[0] = '\0';
  read_file(kBrokerAccessFile);
  mqtt_access_settings(text);
  mqtt_access_options(text);
  read_file(kBrokerSetupFile);
  mqtt_setup_settings(text);
  mqtt_setup_options(text);

  // clang-format off
  log_appendf(kLogEssential, "Global MQTT_k482916 Configuration read. Enabled: %ld, Loglevel:%d, Polling Interval:%lds, threshold:%1.4f",
              static_cast<long>(mqtt_enabled), static_cast<int>(log_level),
              static_cast<long>(mqtt_interval), mqtt_threshold);
  // The password itself is never logged, only its length.
  log_appendf(kLogEssential, "mqtt_broker:\"%s\", port: %ld, Keepalive: %ld, User:\"%s\", Password: (censored, %ld characters)",
              mqtt_host, static_cast<long>(mqtt_port), static_cast<long>(mqtt_keepalive),
              mqtt_username, static_cast<long>(strlen(mqtt_password)));
  // clang-format on
  mqtt_log_options();

  // The session is rebuilt whether or not the bridge is enabled and whatever the outcome. A
  // persistent session gets its messages only once the tables stand: the broker hands over the
  // commands it kept at once, and they must find their actors.
  const bool persistent = mqtt_command_qos > 0;
  if (persistent)
    mqtt_reopen();
  else
    mqtt_reset();

  read_call_section();
  read_selection(kPublishSelection);
  for (double& old : mqtt_old_sensordata) old = SENSOR_NO_VALUE;
  read_selection(kSubscribeSelection);
  mqtt_unsubscribe_removed();
  if (persistent) mqtt_loop_wait(kResetServiceMs);
  // The broker handles a connection's packets in order: once "online" is out, so are the
  // subscriptions.
  mqtt_announce_online();
  mqtt_discovery_publish();
  mqtt_diagnostics_publish(-1);

  mqtt_loop_wait(kServiceMs);
  return 5;
}
