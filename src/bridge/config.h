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

#include "bridge/options.h"
#include "bridge/scanner.h"

constexpr const char* kBrokerAccessFile = "/opt/korvan/k482916/brokerAccess.json";
constexpr const char* kBrokerSetupFile = "/opt/korvan/k482916/brokerSetup.json";

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

// Mode 1 (start-up read): reads only "loglevel" from brokerSetup.json, stores it in log_level
// (5 when it is 6 or more) and returns it; logs nothing. Mode 0 or any other (full read): copies
// reload_counter into mqtt_reload_seen (when shm_reload is attached), reads both files, fills
// every setting and both tables, resets mqtt_old_sensordata, rebuilds the broker session
// (mqtt_reset; with "command_qos" mqtt_reopen, and the session is serviced only once the tables
// stand), subscribes one action topic per actor (mqtt_subscribe_action, and
// mqtt_unsubscribe_removed for a persistent session), announces the session online
// (mqtt_announce_online) and the entries to Home Assistant when "discovery" is set
// (mqtt_discovery_publish), publishes the diagnostics message when "diagnostics" is set
// (mqtt_diagnostics_publish), services the session for 2000 ms and returns 5. File paths get the
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
