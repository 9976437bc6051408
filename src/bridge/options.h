// The opt-in keys of the two configuration files. Each is switched on by a key of its own and
// looked up as "key":"value" (json_read_key), written after the legacy keys; a missing key keeps
// the default, so a file without them gives the daemon it always was. An unknown value logs one
// level-1 line and keeps the default. The settings below are written by the full configuration
// read only (mqtt_access_options, mqtt_setup_options).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/scanner.h"

constexpr size_t kPathSettingSize = 128;  // file paths: at most 127 characters, longer is refused

// brokerAccess.json; used by mqtt_open, mqtt_close and the TLS set-up.
extern int32_t mqtt_protocol;  // "protocol" 3.1, 3.1.1 or 5: libmosquitto's MQTT_PROTOCOL_V31
                               // (default), MQTT_PROTOCOL_V311 or MQTT_PROTOCOL_V5
extern char mqtt_cafile[kPathSettingSize];    // "cafile": CA file instead of the bundle; "" none
extern char mqtt_certfile[kPathSettingSize];  // "certfile": client certificate; "" none
extern char mqtt_keyfile[kPathSettingSize];   // "keyfile": its private key; "" none
extern int32_t mqtt_tls;  // "tls" "on": 1 = TLS on any port (port 8883 always has TLS)

// brokerSetup.json.
extern int32_t mqtt_availability;          // "availability" "on": 1 = will and online/offline
                                           // messages on "<uuid>/availability"
extern char mqtt_discovery[kSettingSize];  // "discovery": discovery prefix; empty = off

// brokerSetup.json, the actor commands; used by the session, the subscriptions and msg_callback.
extern int32_t mqtt_command_qos;       // "command_qos" "1" or "2": the action topics' QoS and a
                                       // persistent session; 0 (default) = QoS 0, clean session
extern int32_t mqtt_command_retained;  // "command_retained" "ignore": 1 = a message delivered
                                       // flagged retained is not applied; 0 = "apply" (default)
extern int32_t mqtt_command_numbers;   // "command_numbers" "strict": 1 = only a payload that is
                                       // wholly a decimal number is applied; 0 = "any" (default)
extern int32_t mqtt_command_state;     // "command_state" "on": 1 = the command text written is
                                       // published, retained, on "<uuid>/<call name>/state"

// brokerSetup.json, Home Assistant's statistics and the bridge's health; used by the publish
// cycle, discovery and the diagnostics message.
extern int32_t mqtt_heartbeat;    // "heartbeat": seconds (at least the interval) after which an
                                  // unchanged valid value is published again; 0 (default) = off
extern int32_t mqtt_diagnostics;  // "diagnostics" "on": 1 = the retained health message on
                                  // "<uuid>/diagnostics"
extern int32_t mqtt_utf8;         // "utf8" "on": 1 = the payload's call and unit are UTF-8
extern int32_t mqtt_classes;      // "classes" "on": 1 = announcements carry classes and origin
                                  // and are repeated when Home Assistant comes online

// brokerSetup.json, the publish cycle's period; used by the main loop and mqtt_publish.
constexpr int32_t kScanMaxS = 3600;
extern int32_t mqtt_scan;  // "scan" "1".."3600": a publish cycle every that many seconds, each
                           // publication waiting only until it is acknowledged; 0 (default) = a
                           // cycle per interval, publications paced by 100 ms polls

// The options of brokerAccess.json in `access` ("protocol", "cafile", "certfile", "keyfile",
// "tls") and of brokerSetup.json in `setup` ("availability", "discovery", the command options).
// Absent keys give the defaults (MQTT 3.1, no files, TLS by port only, availability and discovery
// off, commands as always); an unknown or unusable value logs one level-1 line and gives the
// default. mqtt_access_options comes first.
void mqtt_access_options(const char* access);
void mqtt_setup_options(const char* setup);

// The seconds of a "scan" or "heartbeat" value: whole seconds up to `max` written as plain
// digits; 0 for any other text (also "" and a number over `max`).
int32_t mqtt_whole_seconds(const char* text, int32_t max);

// The level-1 lines that show the command options ("Command options: ..."), the Home Assistant
// options ("Home Assistant options: ...") and the broker options ("Broker options: ..."), each
// written only when the files hold at least one of its keys (discovery does not count), and
// "Scan: a publish cycle every %ld s" when "scan" is set, so a configuration without them logs
// what it always did.
// REQUIRES: mqtt_port read.
void mqtt_log_options();

// "3.1", "3.1.1" or "5" for a protocol level of mqtt_protocol; "?" for any other.
const char* mqtt_protocol_text(int32_t level);
