// Every topic the daemon publishes on or subscribes to, each built by one routine here from the
// user name (uuid) and the names it is given. Each routine writes into a caller's buffer of its
// own capacity, always terminated; a whole user name (at most kSettingSize - 1 characters) and a
// whole call name always fit, except where a routine says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/scanner.h"

// "<user>/<DB id>" and "<user>/<call name>": the two topics of a sensor's publication. Of the
// call name at most kCallNameChars characters are used.
constexpr size_t kTopicIdSize = kSettingSize + 16;
constexpr size_t kTopicNameSize = kSettingSize + kCallNameSize + 8;
void publish_topic_id(const char* user, int32_t db_id, char (&out)[kTopicIdSize]);
void publish_topic_name(const char* user, const char* name, char (&out)[kTopicNameSize]);

// "<user>/<call name>/action", an actor's commands: at most 79 characters. At most kCallNameChars
// characters of the name are used. Returns the length of the whole topic; a length of
// kActionTopicSize or more means out holds a cut topic that must not be used (it could equal
// another actor's real topic).
constexpr size_t kActionTopicSize = 80;
int action_topic(const char* user, const char* name, char (&out)[kActionTopicSize]);

// "<user>/<call name>/state", where a command is confirmed (mqtt_command_state).
constexpr size_t kStateTopicSize = kSettingSize + kCallNameSize + 8;
void state_topic(const char* user, const char* name, char (&out)[kStateTopicSize]);

// "<user>/availability", the session's "online" and "offline" (and its will).
constexpr size_t kAvailabilityTopicSize = kSettingSize + 13;
void availability_topic(const char* user, char (&out)[kAvailabilityTopicSize]);

// "<user>/diagnostics", the bridge's health message.
constexpr size_t kDiagnosticsTopicSize = kSettingSize + 12;
void diagnostics_topic(const char* user, char (&out)[kDiagnosticsTopicSize]);

// "<prefix>/<component>/<node id>/<object id>/config", a Home Assistant announcement. Prefix and
// node id have at most kSettingSize - 1 characters each, the component at most 8, the object id
// at most 14 (a DB id has at most 11).
constexpr size_t kDiscoveryTopicSize = 192;
void discovery_topic(const char* prefix, const char* component, const char* node,
                     const char* object, char (&out)[kDiscoveryTopicSize]);

// "<prefix>/status", where Home Assistant says "online" when it starts.
constexpr size_t kDiscoveryStatusTopicSize = kSettingSize + 8;
void discovery_status_topic(const char* prefix, char (&out)[kDiscoveryStatusTopicSize]);
