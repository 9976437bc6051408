#include "bridge/options.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/config.h"
#include "bridge/library.h"
#include "bridge/tls.h"
#include "log/log.h"

int32_t mqtt_protocol = MQTT_PROTOCOL_V31;
char mqtt_cafile[kPathSettingSize] = "";
char mqtt_certfile[kPathSettingSize] = "";
char mqtt_keyfile[kPathSettingSize] = "";
int32_t mqtt_tls = 0;
int32_t mqtt_availability = 0;
char mqtt_discovery[kSettingSize] = "";
int32_t mqtt_command_qos = 0;
int32_t mqtt_command_retained = 0;
int32_t mqtt_command_numbers = 0;
int32_t mqtt_command_state = 0;
int32_t mqtt_heartbeat = 0;
int32_t mqtt_diagnostics = 0;
int32_t mqtt_utf8 = 0;
int32_t mqtt_classes = 0;
int32_t mqtt_scan = 0;

namespace {

// An option's value, held as the configuration read holds any value.
char value[kValueSize];

// Broker options found by the current full read; the line that shows them is written only when
// at least one is present, so a configuration without them logs what it always did.
int32_t options_found = 0;

// Command options found by the current full read, for their own line in the same way.
int32_t commands_found = 0;

// Looks an optional key up in `from` into value, counts it in *found when present and returns the
// lookup's result: -1 when the key is absent; a key without a proper quoted value leaves its error
// text.
int read_option(const char* from, const char* key, int32_t* found = &options_found) {
  const int result = json_read_key(from, key, value, sizeof value);
  if (result != -1) ++*found;
  return result;
}

void log_unknown_value(const char* key, const char* fallback) {
  log_appendf(kLogEssential, "Config: unknown value \"%s\" of \"%s\", using %s", value, key,
              fallback);
}

// The position of the value of `key` among `words`; words[0] is the default, given for a missing
// key without a line and for an unknown value with one.
template <size_t N>
int32_t read_word(const char* from, const char* key, const char* const (&words)[N],
                  int32_t* found = &options_found) {
  if (read_option(from, key, found) == -1) return 0;
  for (size_t i = 0; i < N; ++i) {
    if (strcmp(value, words[i]) == 0) return static_cast<int32_t>(i);
  }
  log_unknown_value(key, words[0]);
  return 0;
}

constexpr const char* kOffOn[] = {"off", "on"};

// "on" gives 1; a missing key, "off" or an unknown value 0.
int32_t read_switch(const char* from, const char* key, int32_t* found = &options_found) {
  return read_word(from, key, kOffOn, found);
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
    {"3.1", kMqttProtocolV31}, {"3.1.1", kMqttProtocolV311}, {"5", kMqttProtocolV5}};

// The command options; each word list starts with its default.
void read_command_options(const char* setup) {
  static constexpr const char* kQos[] = {"0", "1", "2"};
  static constexpr const char* kRetained[] = {"apply", "ignore"};
  static constexpr const char* kNumbers[] = {"any", "strict"};
  commands_found = 0;
  mqtt_command_qos = read_word(setup, "command_qos", kQos, &commands_found);
  mqtt_command_retained = read_word(setup, "command_retained", kRetained, &commands_found);
  mqtt_command_numbers = read_word(setup, "command_numbers", kNumbers, &commands_found);
  mqtt_command_state = read_switch(setup, "command_state", &commands_found);
}

// The Home Assistant options, found by the current full read, for their own line.
int32_t health_found = 0;

// "heartbeat": whole seconds, at least the interval (a shorter one would publish every value in
// every cycle); anything else is refused with a level-1 line and leaves it off.
int32_t read_heartbeat(const char* setup) {
  if (read_option(setup, "heartbeat", &health_found) == -1) return 0;
  const int32_t seconds = mqtt_whole_seconds(value, 999999999);  // nine digits at most
  if (seconds >= mqtt_interval) return seconds;
  log_appendf(kLogEssential,
              "Config: \"heartbeat\" \"%s\" is no number of seconds of at least the interval "
              "(%ld), heartbeat off",
              value, static_cast<long>(mqtt_interval));
  return 0;
}

// The Home Assistant options. REQUIRES: mqtt_interval read.
void read_health_options(const char* setup) {
  health_found = 0;
  mqtt_heartbeat = read_heartbeat(setup);
  mqtt_diagnostics = read_switch(setup, "diagnostics", &health_found);
  mqtt_utf8 = read_switch(setup, "utf8", &health_found);
  mqtt_classes = read_switch(setup, "classes", &health_found);
}

// "scan": the seconds, or the default 0 with a level-1 line for a value that is not 1..3600.
void read_scan(const char* setup) {
  mqtt_scan = 0;
  if (json_read_key(setup, "scan", value, sizeof value) == -1) return;
  mqtt_scan = mqtt_whole_seconds(value, kScanMaxS);
  if (mqtt_scan == 0) log_unknown_value("scan", "the interval");
}

}  // namespace

int32_t mqtt_whole_seconds(const char* text, int32_t max) {
  int64_t seconds = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    seconds = seconds * 10 + (*c - '0');
    if (seconds > max) return 0;
  }
  return static_cast<int32_t>(seconds);
}

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
    // A level that the built libmosquitto cannot speak is refused like an unknown one.
    char why[kLibraryWhySize];
    if (known && !mqtt_library_carries("protocol", value, why)) {
      log_appendf(kLogEssential, "Config: \"protocol\" \"%s\" %s, using %s", value, why,
                  kProtocols[0].text);
      mqtt_protocol = kProtocols[0].level;
    }
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
  read_command_options(setup);
  read_health_options(setup);
  read_scan(setup);
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

void mqtt_log_options() {
  if (commands_found > 0) {
    log_appendf(
        kLogEssential, "Command options: QoS %ld%s, retained: %s, numbers: %s, state: %s",
        static_cast<long>(mqtt_command_qos), mqtt_command_qos > 0 ? " (persistent session)" : "",
        mqtt_command_retained != 0 ? "ignore" : "apply",
        mqtt_command_numbers != 0 ? "strict" : "any", mqtt_command_state != 0 ? "on" : "off");
  }
  if (health_found > 0) {
    log_appendf(kLogEssential,
                "Home Assistant options: heartbeat: %ld s, diagnostics: %s, utf8: %s, classes: %s",
                static_cast<long>(mqtt_heartbeat), mqtt_diagnostics != 0 ? "on" : "off",
                mqtt_utf8 != 0 ? "on" : "off", mqtt_classes != 0 ? "on" : "off");
  }
  if (mqtt_scan > 0)
    log_appendf(kLogEssential, "Scan: a publish cycle every %ld s", static_cast<long>(mqtt_scan));
  if (options_found == 0) return;
  // clang-format off
    log_appendf(kLogEssential, "Broker options: protocol %s, TLS: %s, cafile:\"%s\", certfile:\"%s\", keyfile:\"%s\", availability: %s",
                mqtt_protocol_text(mqtt_protocol), mqtt_tls_on(mqtt_port) ? "on" : "off",
                mqtt_cafile, mqtt_certfile, mqtt_keyfile, mqtt_availability != 0 ? "on" : "off");
  // clang-format on
}
