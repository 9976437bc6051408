// The publish cycle: every configured sensor whose value moved by at least the threshold since it
// was last published goes out as one JSON message on two retained QoS 0 topics.
#pragma once

#include <cstdint>

#include "bridge/config.h"

struct mosquitto;

// Last published value by real id; SENSOR_NO_VALUE after every full configuration read.
// Written by mqtt_read_config (reset) and mqtt_publish_cycle (after an acknowledged publication).
extern double mqtt_old_sensordata[kTableSize];
// 0 while the current publication waits for its acknowledgement. Written by mqtt_publish and
// publish_callback.
extern volatile int32_t mqtt_publish_flag;

// Visits every configured sensor, publishes the changed ones and returns how many publications
// were acknowledged (0 when none is configured). An unacknowledged publication logs its failure,
// shows "resetting connection" and runs the full configuration read; the cycle then goes on.
int32_t mqtt_publish_cycle();

// Publishes one value of sensor db_id (entry real_id) on "<user>/<db_id>" and "<user>/<name>" and
// waits up to 31 polls of 100 ms for the acknowledgement, servicing the session during each poll
// (mqtt_session_service_for). Returns 0 when acknowledged, -1 on timeout. The call name (at most 39
// characters are used) and the entry's unit (at most 11) are JSON-escaped in the payload. A real_id
// outside the attached table gives type "sensor" and an empty unit.
int32_t mqtt_publish(int32_t db_id, int32_t real_id, double value, const char* name);

void publish_callback(struct mosquitto* mosq, void* userdata, int mid);
