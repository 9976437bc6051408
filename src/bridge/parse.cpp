#include "bridge/parse.h"

#include <cstdio>
#include <cstring>

#include "bridge/options.h"
#include "bridge/scanner.h"
#include "bridge/selection.h"
#include "bridge/settings.h"
#include "log/log.h"
#include "support/numbers.h"
#include "support/paths.h"
#include "support/readfile.h"

namespace {

constexpr int32_t kKeepalive = 60;        // seconds, not configurable
constexpr int32_t kMinInterval = 5;       // shorter intervals fall back to the default
constexpr int32_t kDefaultInterval = 30;  // seconds
constexpr double kMinThreshold = 0.1;
constexpr int kStartupMaxLevel = kLogEcho;  // the start-up read never sets a chattier level

// Working storage of the read; the read never runs twice at once (one thread, and no callback
// starts a read), so static buffers are safe. The "call" section is turned into call_names before
// the "pub" section is read, so one section buffer serves all three sections. The text of the
// last file read stays for the tables.
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

// The read's line of each selected entry, then the caller's `each_actor` for an actor entered in
// its table. An actor whose action topic is too long is left out entirely (no table entry, no
// subscription) with a level-2 line.
using actor_visitor = void (*)(const char* topic);

void read_selected(const selection& table, const selected_report& r, void* context) {
  const selected_entry& e = r.entry;
  if (r.fate == kSelectedTopicTooLong) {
    log_appendf(kLogWarning,
                "Actor %ld (\"%s\"): action topic of %d characters too long, not subscribed",
                static_cast<long>(e.db_id), e.call_name, r.topic_length);
    return;
  }
  if (r.fate != kSelectedStored) return;
  if (table.topic == nullptr) {
    log_appendf(kLogDebug, "Zu publishender Sensor %ld: %ld (\"%s\"), CallName: \"%s\"",
                static_cast<long>(r.index), static_cast<long>(e.db_id), e.id_field, e.call_name);
    return;
  }
  log_appendf(kLogDebug, "Zu subscribender Aktor %ld: %ld (\"%s\") - Topic: \"%s\"",
              static_cast<long>(r.index), static_cast<long>(e.call_index), e.id_field, r.topic);
  const actor_visitor each_actor = *static_cast<const actor_visitor*>(context);
  if (each_actor != nullptr) each_actor(r.topic);
}

// Rebuilds one table from its section of text (mqtt_walk_selection), with the read's lines.
void read_selection(const selection& table, actor_visitor each_actor) {
  int32_t ignored = 0;
  if (json_read_section(text, table.pattern, section, sizeof section) < 0) {
    *table.count = 0;
    log_appendf(kLogWarning, "(%s not found)", table.tag);
  } else {
    ignored = mqtt_walk_selection(table, section, call_names, read_selected, &each_actor);
  }
  if (ignored > 0) {
    log_appendf(kLogWarning, "More than %ld %s: %ld entries ignored", static_cast<long>(kTableSize),
                table.what, static_cast<long>(ignored));
  }
  log_appendf(kLogDebug, "%s insgesamt: %ld", table.total, static_cast<long>(*table.count));
}

}  // namespace

int mqtt_parse_log_level() {
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

void mqtt_parse_access(const char* access) {
  json_read_tag(access, "uuid", mqtt_username, sizeof mqtt_username);
  json_read_tag(access, "password", mqtt_password, sizeof mqtt_password);
  json_read_tag(access, "host", mqtt_host, sizeof mqtt_host);
  json_read_tag(access, "port", value, sizeof value);
  mqtt_port = atol32(value);
  mqtt_keepalive = kKeepalive;
}

void mqtt_parse_setup(const char* setup) {
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

// A key that is not found leaves the error text of the lookup in the setting, or 0 for numbers.
// The read never stops early.
void mqtt_parse_settings() {
  text[0] = '\0';
  read_file(kBrokerAccessFile);
  mqtt_parse_access(text);
  mqtt_parse_options(kAccessFile, text);
  read_file(kBrokerSetupFile);
  mqtt_parse_setup(text);
  mqtt_parse_options(kSetupFile, text);

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
}

void mqtt_parse_tables(void (*each_actor)(const char* topic)) {
  read_call_section();
  read_selection(kPublishSelection, nullptr);
  read_selection(kSubscribeSelection, each_actor);
}
