// The bridge configuration read, mqtt_read_config: the files parsed into the settings and tables
// (bridge/parse.h), then applied to a new broker session. Every full read replaces them whole.
#pragma once

#include "bridge/settings.h"

// Mode of mqtt_read_config.
constexpr int kReadFull = 0;
constexpr int kReadStartup = 1;

// Mode 1 (start-up read): mqtt_parse_log_level; returns the log level. Mode 0 or any other (full
// read): copies reload_counter into mqtt_reload_seen (when shm_reload is attached), parses the
// settings (mqtt_parse_settings), rebuilds the broker session (mqtt_reset; for a persistent
// session mqtt_reopen, which services the session only once the tables stand), parses the tables
// subscribing each actor (mqtt_parse_tables, mqtt_subscribe_action), resets mqtt_old_sensordata,
// unsubscribes the actors a persistent session no longer needs (mqtt_unsubscribe_removed),
// announces the session online (mqtt_announce_online), runs mqtt_hooks.announce (Home
// Assistant's announcements and diagnostics), services the session for 2000 ms and returns 5.
int mqtt_read_config(int mode);
