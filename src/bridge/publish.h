// The publish cycle: every configured sensor whose value moved by at least the threshold since it
// was last published goes out as one JSON message on two retained QoS 0 topics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "shm/sensor_record.h"

struct mosquitto;

// Last published value by real id; SENSOR_NO_VALUE after every full configuration read.
// Written by mqtt_read_config (reset) and mqtt_publish_cycle (after an acknowledged publication).
extern double mqtt_old_sensordata[kSensorCount];
// 0 while the current publication waits for its acknowledgement. Written by mqtt_publish and
// publish_callback.
extern volatile int32_t mqtt_publish_flag;
// Publications that were not acknowledged since the process started. Written by
// mqtt_publish_cycle only.
extern uint32_t mqtt_publish_failures;

// Local time `when` as the payloads show it, "hh:mm:ss dd.mm.yyyy".
constexpr size_t kTimeSize = 32;
void mqtt_time_text(time_t when, char (&out)[kTimeSize]);

// Visits every configured sensor, publishes the changed ones and returns how many publications
// were acknowledged (0 when none is configured). Sensors are looked up through an index of the
// table taken at the start of the cycle (sensor_index_find), checked against the table as it is.
// Each entry is read once per visit (sensor_record_read); the decision and the payload come from
// that one copy. An unacknowledged publication logs its failure, shows "resetting connection" and
// runs mqtt_hooks.rebuild (the full configuration read); the cycle then goes on, against the
// tables as the read left them. With mqtt_heartbeat, a valid value that was last published at
// least that many seconds ago is published again although unchanged.
int32_t mqtt_publish_cycle();

// Publishes one value of sensor db_id (entry real_id) on "<user>/<db_id>" and "<user>/<name>" as
// the publish cycle does, with type and unit from one sensor_record_read of the entry (a real_id
// outside the attached table, or an entry that never held still, gives type "sensor" and an empty
// unit). Waits up to 31 polls of 100 ms for the acknowledgement, servicing the session during
// each poll; with mqtt_scan only until the acknowledgement comes (at most 3.1 s), and then
// handles what already waits on the socket. Returns 0 when acknowledged, -1 on timeout or, with
// mqtt_scan, at once when the session fails. (The cycle publishes the copy of the entry it
// already read.)
int32_t mqtt_publish(int32_t db_id, int32_t real_id, double value, const char* name);

// Capacity of a payload buffer: the longest payload and its NUL fit.
constexpr size_t kPayloadSize = 1024;

// The JSON payload of one publication, built from `entry` (a copy, never the shared table) and
// the value: call name (at most 39 characters used) and unit (at most 11) JSON-escaped, type
// "actor" for kEntryActor else "sensor", local time stamp. Always NUL-terminated within `cap`.
// Call name and unit are copied byte for byte, or with mqtt_utf8 converted from Latin-1 to UTF-8.
void mqtt_payload(const sensor_record& entry, double value, const char* name, char* out,
                  size_t cap);

// Acknowledges the publication in progress (mqtt_publish_flag = 1) when `mid` is one of its two
// messages; a callback of any other message only leaves its log line.
void publish_callback(struct mosquitto* mosq, void* userdata, int mid);
