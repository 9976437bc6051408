// Home Assistant MQTT discovery, switched on by a discovery prefix (mqtt_discovery). Every
// full configuration read announces each published sensor and each subscribed actor with one
// retained QoS 0 message on "<prefix>/<component>/<node id>/<object id>/config", so that they
// appear in Home Assistant without configuration there, and clears (empty retained message) the
// announcements of entries that the read removed.
#pragma once

#include <cstddef>

// One announcement. An actor's, the longest, needs at most about 2100 bytes (every character of
// call name and user name escaped); a message that does not fit is left out with a level-2 line.
constexpr size_t kDiscoveryPayloadSize = 2560;

// Announces the entries of the publish and subscribe tables under mqtt_discovery and clears the
// announcements of the previous call that these do not replace (entries removed, another prefix or
// user name, or discovery switched off). Publishes without waiting for acknowledgements, then
// services the session until libmosquitto has written every message (at most 2 s).
// The node id is the user name (uuid) with every character that Home Assistant does not allow in
// ids (anything but A-Z, a-z, 0-9, '_' and '-') replaced by '_'; the object id is the DB id.
// Sensors: component "sensor", unit from the entry in SHM_Sensordata as it is now. Actors:
// component "number" with their action topic as command topic; an actor whose action topic is not
// a valid topic (it is then not subscribed either) is left out with a level-2 line. Call names
// and units are converted from Latin-1 to UTF-8. When a publication fails (no connection) the rest
// is skipped and the next call clears against the previous complete announcement again.
// Does nothing, and logs nothing, while mqtt_discovery is empty and nothing has been announced.
// With mqtt_classes every sensor announcement carries a state class and, where its unit names
// one, a device class (homeassistant/units.h); number entities their unit and device class; each
// announcement the origin block; and "<prefix>/status" is subscribed for Home Assistant's birth
// message. With mqtt_heartbeat sensor announcements carry expire_after (mqtt_expire_after_s),
// with mqtt_utf8 no "encoding", with mqtt_diagnostics a few diagnostic entities of the same
// device are announced.
void mqtt_discovery_publish();

// The bridge's mqtt_hooks.take_message: true when `topic` is "<prefix>/status" under discovery
// with mqtt_classes (the message is then consumed); a message "online" there that is not a
// retained one makes the next mqtt_discovery_repeat announce again.
bool mqtt_discovery_message(const char* topic, const char* payload, bool retained);

// Called once per pass of the main loop: when Home Assistant came online since the last
// announcement, announces every entry again (clearing nothing new), with its level-3 lines.
void mqtt_discovery_repeat();
