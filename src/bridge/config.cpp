#include "bridge/config.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstring>

#include "bridge/discovery.h"
#include "bridge/publish.h"
#include "bridge/scanner.h"
#include "bridge/session.h"
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
char mqtt_discovery[kSettingSize] = "";

int32_t mqtt_protocol = MQTT_PROTOCOL_V31;
char mqtt_cafile[kPathSettingSize] = "";
char mqtt_certfile[kPathSettingSize] = "";
char mqtt_keyfile[kPathSettingSize] = "";
int32_t mqtt_tls = 0;
int32_t mqtt_availability = 0;

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

// Broker options found by the current full read; the line that shows them is written only when
// at least one is present, so a configuration without them logs what it always did.
int32_t options_found = 0;

// Looks an optional key of the broker options up in `from` into value and returns the lookup's
// result: -1 when the key is absent; a key without a proper quoted value leaves its error text.
int read_option(const char* from, const char* key) {
  const int result = json_read_key(from, key, value, sizeof value);
  if (result != -1) options_found++;
  return result;
}

void log_unknown_value(const char* key, const char* fallback) {
  log_appendf(kLogEssential, "Config: unknown value \"%s\" of \"%s\", using %s", value, key,
              fallback);
}

// "on" gives 1; a missing key, "off" or an unknown value 0.
int32_t read_switch(const char* from, const char* key) {
  if (read_option(from, key) == -1) return 0;
  if (strcmp(value, "on") == 0) return 1;
  if (strcmp(value, "off") != 0) log_unknown_value(key, "off");
  return 0;
}

// The path of `key`, or "" when it is missing, has no proper value or is too long for the setting
// (a cut path would name another file).
void read_path(const char* from, const char* key, char (&setting)[kPathSettingSize]) {
  setting[0] = '\0';
  const int result = read_option(from, key);
  if (result == -1) return;
  if (result < 0) {
    log_unknown_value(key, "none");
    return;
  }
  if (static_cast<size_t>(result) >= sizeof setting) {
    log_appendf(kLogEssential, "Config: \"%s\" longer than %ld characters, not used", key,
                static_cast<long>(sizeof setting - 1));
    return;
  }
  snprintf(setting, sizeof setting, "%s", value);
}

struct protocol_name {
  const char* text;
  int32_t level;
};
constexpr protocol_name kProtocols[] = {
    {"3.1", MQTT_PROTOCOL_V31}, {"3.1.1", MQTT_PROTOCOL_V311}, {"5", MQTT_PROTOCOL_V5}};

}  // namespace

void mqtt_access_options(const char* access) {
  options_found = 0;
  mqtt_protocol = MQTT_PROTOCOL_V31;
  if (read_option(access, "protocol") != -1) {
    bool known = false;
    for (const protocol_name& p : kProtocols) {
      if (strcmp(value, p.text) == 0) {
        mqtt_protocol = p.level;
        known = true;
        break;
      }
    }
    if (!known) log_unknown_value("protocol", kProtocols[0].text);
  }
  read_path(access, "cafile", mqtt_cafile);
  read_path(access, "certfile", mqtt_certfile);
  read_path(access, "keyfile", mqtt_keyfile);
  // A certificate without its key (or the reverse) cannot be used; neither is.
  if ((mqtt_certfile[0] == '\0') != (mqtt_keyfile[0] == '\0')) {
    log_append(kLogEssential, "Config: \"certfile\" and \"keyfile\" go together, neither used");
    mqtt_certfile[0] = '\0';
    mqtt_keyfile[0] = '\0';
  }
  mqtt_tls = read_switch(access, "tls");
}

void mqtt_setup_options(const char* setup) {
  mqtt_availability = read_switch(setup, "availability");
  // Not counted among the broker options: a missing key (or one without a proper value) leaves
  // discovery off.
  if (json_read_key(setup, "discovery", mqtt_discovery, sizeof mqtt_discovery) < 0)
    mqtt_discovery[0] = '\0';
}

const char* mqtt_protocol_text(int32_t level) {
  for (const protocol_name& p : kProtocols) {
    if (p.level == level) return p.text;
  }
  return "?";
}

namespace {

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

// One of the two selection tables and the words that tell them apart in the log.
struct selection {
  const char* pattern;  // kSectionPub or kSectionSub
  const char* tag;      // "PUB" or "SUB", for the missing-section line
  const char* what;     // "sensors to publish" or "actors to subscribe"
  const char* total;    // the total line's words
  int32_t* count;
  int32_t* dbid;
  char (*name)[kCallNameSize];
  bool subscribe;  // actors: each gets its action topic, is logged with it and subscribed
};

const selection kPublishSelection = {kSectionPub,
                                     "PUB",
                                     "sensors to publish",
                                     "Zu publishende Sensoren",
                                     &mqtt_publish_sensor_dbids,
                                     mqtt_publish_sensor_dbid,
                                     mqtt_publish_sensor_name,
                                     false};
const selection kSubscribeSelection = {kSectionSub,
                                       "SUB",
                                       "actors to subscribe",
                                       "Zu subscribende Aktoren",
                                       &mqtt_subscribe_actor_dbids,
                                       mqtt_subscribe_actor_dbid,
                                       mqtt_subscribe_actor_name,
                                       true};

// Rebuilds one table from its section of text; for the subscribe table, subscribes each actor's
// action topic. An actor whose action topic is too long (see mqtt_entry_fate) is left out
// entirely (no table entry, no subscription) with a level-2 line.
void read_selection(const selection& table) {
  *table.count = 0;
  int32_t ignored = 0;
  if (json_read_section(text, table.pattern, section, sizeof section) < 0) {
    log_appendf(kLogWarning, "(%s not found)", table.tag);
  } else {
    int pos = 0;
    selected_entry e;
    char topic[kActionTopicSize];
    int len = 0;
    while (scan_next_selected(section, &pos, &call_names, &e) == 1) {
      const int32_t k = *table.count;
      const int fate = mqtt_entry_fate(k, table.subscribe, e, topic, &len);
      if (fate == kEntryTableFull) {
        ignored++;
        continue;
      }
      if (fate == kEntryTopicTooLong) {
        log_appendf(kLogWarning,
                    "Actor %ld (\"%s\"): action topic of %d characters too long, not subscribed",
                    static_cast<long>(e.db_id), e.call_name, len);
        continue;
      }
      table.dbid[k] = e.db_id;
      snprintf(table.name[k], kCallNameSize, "%s", e.call_name);
      if (table.subscribe) {
        log_appendf(kLogDebug, "Zu subscribender Aktor %ld: %ld (\"%s\") - Topic: \"%s\"",
                    static_cast<long>(k), static_cast<long>(e.call_index), e.id_field, topic);
        // The message id and the result are not used: a failed subscription (no connection) is
        // repaired by the next full read, which the session loss starts.
        int mid = 0;
        if (mqtt_mosq != nullptr) mosquitto_subscribe(mqtt_mosq, &mid, topic, 0);
      } else {
        log_appendf(kLogDebug, "Zu publishender Sensor %ld: %ld (\"%s\"), CallName: \"%s\"",
                    static_cast<long>(k), static_cast<long>(e.db_id), e.id_field, e.call_name);
      }
      *table.count = k + 1;
    }
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

// A full table skips further entries. An action topic longer than 79 characters does not fit the
// topic buffer. Cut, it would be a topic that no one publishes commands on, and the message
// handler, which composes the topic the same way, could then match a message on the cut topic.
int mqtt_entry_fate(int32_t stored, bool actor, const selected_entry& e,
                    char (&topic)[kActionTopicSize], int* topic_len) {
  if (stored >= kTableSize) return kEntryTableFull;
  if (!actor) return kEntryTaken;
  *topic_len = action_topic(mqtt_username, e.call_name, topic);
  return static_cast<size_t>(*topic_len) >= kActionTopicSize ? kEntryTopicTooLong : kEntryTaken;
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
  if (options_found > 0) {
    log_appendf(kLogEssential, "Broker options: protocol %s, TLS: %s, cafile:\"%s\", certfile:\"%s\", keyfile:\"%s\", availability: %s",
                mqtt_protocol_text(mqtt_protocol), mqtt_tls_on(mqtt_port) ? "on" : "off",
                mqtt_cafile, mqtt_certfile, mqtt_keyfile, mqtt_availability != 0 ? "on" : "off");
  }
  // clang-format on

  // The session is rebuilt whether or not the bridge is enabled and whatever the outcome.
  mqtt_reset();

  read_call_section();
  read_selection(kPublishSelection);
  for (double& old : mqtt_old_sensordata) old = SENSOR_NO_VALUE;
  read_selection(kSubscribeSelection);
  // The broker handles a connection's packets in order: once "online" is out, so are the
  // subscriptions.
  mqtt_announce_online();
  mqtt_discovery_publish();

  mqtt_loop_wait(kServiceMs);
  return 5;
}
