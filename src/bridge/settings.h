// The bridge configuration as the full read leaves it: the settings of brokerAccess.json and
// brokerSetup.json and the publish and subscribe tables. Written by the full configuration read
// only (mqtt_parse_settings, mqtt_parse_tables), which replaces them whole; read by the session,
// the publish cycle, the actor commands and the main loop. The opt-in settings are in options.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/scanner.h"
#include "bridge/topics.h"

constexpr const char* kBrokerAccessFile = "/opt/korvan/k482916/brokerAccess.json";
constexpr const char* kBrokerSetupFile = "/opt/korvan/k482916/brokerSetup.json";

extern int32_t mqtt_enabled;              // "ACTIV": non-zero = bridge on
extern char mqtt_host[kSettingSize];      // "host"
extern int32_t mqtt_port;                 // "port"
extern int32_t mqtt_keepalive;            // always 60
extern char mqtt_username[kSettingSize];  // "uuid": user name, client id and topic prefix
extern char mqtt_password[kSettingSize];  // "password": never logged
extern int32_t mqtt_interval;             // "interval" in seconds, 5 or more (initially 30)
extern double mqtt_threshold;             // "threshold", 0.1 or more
extern int32_t mqtt_reload_seen;  // reload_counter seen by the last full read (initially -1)

// Publish table: sensors of the "pub" section with their call names.
extern int32_t mqtt_publish_sensor_dbids;
extern int32_t mqtt_publish_sensor_dbid[kTableSize];
extern char mqtt_publish_sensor_name[kTableSize][kCallNameSize];

// Subscribe table: actors of the "sub" section with their call names and their action topics,
// built once by the read (an actor whose topic would not fit is not in the table).
extern int32_t mqtt_subscribe_actor_dbids;
extern int32_t mqtt_subscribe_actor_dbid[kTableSize];
extern char mqtt_subscribe_actor_name[kTableSize][kCallNameSize];
extern char mqtt_subscribe_actor_topic[kTableSize][kActionTopicSize];
