// The bridge configuration: settings and the publish and subscribe tables, read from
// brokerAccess.json and brokerSetup.json by mqtt_read_config. Every full read replaces them whole.
//
// The configuration read, the broker session and the publish cycle call one another on purpose:
// a full read rebuilds the session (mqtt_reset) and subscribes the actors; the publish cycle,
// when a publication is not acknowledged, runs a full read in the middle of the cycle, which
// rebuilds the session from the files as they are now. No other path closes the loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/scanner.h"

constexpr const char* kBrokerAccessFile = "/opt/korvan/k482916/brokerAccess.json";
constexpr const char* kBrokerSetupFile = "/opt/korvan/k482916/brokerSetup.json";

constexpr size_t kSettingSize = 80;  // text settings: at most 79 characters

// Mode of mqtt_read_config.
constexpr int kReadFull = 0;
constexpr int kReadStartup = 1;

// Settings, written by the full read only.
extern int32_t mqtt_enabled;              // "ACTIV": non-zero = bridge on
extern char mqtt_host[kSettingSize];      // "host"
extern int32_t mqtt_port;                 // "port"
extern int32_t mqtt_keepalive;            // always 60
extern char mqtt_username[kSettingSize];  // "uuid": user name, client id and topic prefix
extern char mqtt_password[kSettingSize];  // "password": never logged
extern int32_t mqtt_interval;             // "interval" in seconds, 5 or more (initially 30)
extern double mqtt_threshold;             // "threshold", 0.1 or more
extern int32_t mqtt_reload_seen;  // reload_counter seen by the last full read (initially -1)
extern char mqtt_discovery[kSettingSize];  // "discovery": discovery prefix; empty = off

// Broker options, each switched on by a key of its own and looked up as "key":"value" after the
// legacy keys (see json_read_key); a missing key keeps the default, so a file without them gives
// the session it always had. An unknown value logs one level-1 line and keeps the default.
// Written by the full read only; used by mqtt_open and mqtt_close.
constexpr size_t kPathSettingSize = 128;  // file paths: at most 127 characters, longer is refused
extern int32_t mqtt_protocol;  // "protocol" 3.1, 3.1.1 or 5: libmosquitto's MQTT_PROTOCOL_V31
                               // (default), MQTT_PROTOCOL_V311 or MQTT_PROTOCOL_V5
extern char mqtt_cafile[kPathSettingSize];    // "cafile": CA file instead of the bundle; "" none
extern char mqtt_certfile[kPathSettingSize];  // "certfile": client certificate; "" none
extern char mqtt_keyfile[kPathSettingSize];   // "keyfile": its private key; "" none
extern int32_t mqtt_tls;           // "tls" "on": 1 = TLS on any port (port 8883 always has TLS)
extern int32_t mqtt_availability;  // "availability" "on" (brokerSetup.json): 1 = will and
                                   // online/offline messages on "<uuid>/availability"

// Publish table: sensors of the "pub" section with their call names. Written by the full read.
extern int32_t mqtt_publish_sensor_dbids;
extern int32_t mqtt_publish_sensor_dbid[kTableSize];
extern char mqtt_publish_sensor_name[kTableSize][kCallNameSize];

// Subscribe table: actors of the "sub" section with their call names. Written by the full read.
extern int32_t mqtt_subscribe_actor_dbids;
extern int32_t mqtt_subscribe_actor_dbid[kTableSize];
extern char mqtt_subscribe_actor_name[kTableSize][kCallNameSize];

// Capacity of an action topic: at most 79 characters.
constexpr size_t kActionTopicSize = 80;

// Writes the action topic "<user>/<name>/action" of an actor into out (at most 39 characters of
// name are used) and returns the length of the whole topic. A length of kActionTopicSize or more
// means out holds a cut topic that must not be used: it could equal another actor's real topic.
int action_topic(const char* user, const char* name, char (&out)[kActionTopicSize]);

// The settings of brokerAccess.json in `text`, taken as every full read takes them: uuid,
// password and host as looked up (a key that is not found leaves its error text), port (0 when
// not found), keepalive 60. Writes those settings only and logs nothing.
void mqtt_access_settings(const char* text);

// The settings of brokerSetup.json in `text`, taken as every full read takes them: enabled, log
// level (low 8 bits, into log_level), interval (below 5: 30), threshold (below 0.1, or not a
// number: 0.1). Writes those settings only and logs nothing.
void mqtt_setup_settings(const char* text);

// The broker options of brokerAccess.json in `access` ("protocol", "cafile", "certfile",
// "keyfile", "tls", each looked up as "key": with json_read_key) and of brokerSetup.json in `setup`
// ("availability"). Absent keys give the defaults (MQTT 3.1, no files, TLS by port only,
// availability off); an unknown or unusable value logs one level-1 line and gives the default.
void mqtt_access_options(const char* access);
void mqtt_setup_options(const char* setup);

// "3.1", "3.1.1" or "5" for a protocol level of mqtt_protocol; "?" for any other.
const char* mqtt_protocol_text(int32_t level);

// What the full read does with a selected entry of the "pub" or "sub" section.
constexpr int kEntryTaken = 0;
constexpr int kEntryTableFull = 1;     // its table holds kTableSize entries already
constexpr int kEntryTopicTooLong = 2;  // an actor whose action topic exceeds 79 characters

// The fate of the selected entry `e` when its table holds `stored` entries. For an actor, topic
// receives the action topic made with mqtt_username (cut when too long) and *topic_len its whole
// length; for a sensor both are left alone. Logs nothing.
int mqtt_entry_fate(int32_t stored, bool actor, const selected_entry& e,
                    char (&topic)[kActionTopicSize], int* topic_len);

// Mode 1 (start-up read): reads only "loglevel" from brokerSetup.json, stores it in log_level
// (5 when it is 6 or more) and returns it; logs nothing. Mode 0 or any other (full read): copies
// reload_counter into mqtt_reload_seen (when shm_reload is attached), reads both files, fills
// every setting and both tables, resets mqtt_old_sensordata, rebuilds the broker session
// (mqtt_reset), subscribes one action topic per actor, announces the session online
// (mqtt_announce_online) and the entries to Home Assistant when "discovery" is set
// (mqtt_discovery_publish), services the session for 2000 ms and returns 5. File paths get the
// root prefix.
//
// Limits of the file format, enforced by cutting or skipping, never by writing past storage:
// a file is read up to 16383 bytes, a section up to 8183 characters; text settings keep 79
// characters, numeric values 9999, call names 39; of a section entry's key only the 20
// characters nearest the colon count; call names, sensors and actors beyond the 512th entry are
// left out (one level-2 line says how many); an actor whose action topic would exceed 79
// characters is left out (not entered, not subscribed) with a level-2 line; a path of the broker
// options over 127 characters is not used, with a level-1 line.
int mqtt_read_config(int mode);
