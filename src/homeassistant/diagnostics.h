// The bridge's health on the broker (mqtt_diagnostics): after every publish cycle and every
// full configuration read (which opens a new session), one retained QoS 0 JSON message on
// "<uuid>/diagnostics", so that the state of the bridge can be seen without the controller.
#pragma once

#include <cstddef>
#include <cstdint>

// Counts a publish cycle with `published` acknowledged publications (the last cycle's figure, the
// total, and the time of the last publication when there was one), then publishes the message
// when mqtt_diagnostics is set: {"version", "library" (the libmosquitto the process runs on),
// "uptime" (seconds since the process started),
// "published_last_cycle", "published_total", "failed_publications", "session_rebuilds",
// "commands_applied", "commands_refused", "last_publication" (local time, "" before the first),
// "last_error" (the last level-2 log line, converted from Latin-1 to UTF-8)}. A negative
// `published` counts nothing: the call after a full configuration read. Publishes without waiting
// for anything; a refusal (no connection) leaves a level-3 line.
void mqtt_diagnostics_publish(int32_t published);
