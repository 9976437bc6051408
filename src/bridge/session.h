// The broker session: the daemon's one libmosquitto client, opened, destroyed and serviced on the
// daemon's only thread (no network thread is ever started).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/config.h"

struct mosquitto;

constexpr int kTlsPort = 8883;  // exactly this port switches TLS on
constexpr const char* kCaBundle = "/etc/ssl/certs/ca-certificates.crt";

// The client handle; null before the first mqtt_open, after a failed client creation and after
// mqtt_close (so a destroyed client is never used). Written by mqtt_open and mqtt_close.
extern struct mosquitto* mqtt_mosq;

// Non-zero once mqtt_session_service saw the session fail (no client, no connection, connection
// lost, TLS or keepalive failure). Written by mqtt_session_service; cleared by mqtt_reset.
extern int32_t mqtt_session_lost;

// Availability ("availability" "on"): the broker holds "offline" as the session's will on
// "<uuid>/availability"; the daemon publishes "online" there once the session is up and
// subscribed, and "offline" before it closes the session. All retained, QoS 0. A process that is
// killed leaves the message to the will.
constexpr const char* kAvailabilityOnline = "online";
constexpr const char* kAvailabilityOffline = "offline";
constexpr const char* kAvailabilitySuffix = "/availability";
constexpr size_t kAvailabilityTopicSize = kSettingSize + 13;  // a whole uuid always fits

// Writes "<user>/availability" into out. REQUIRES: user has at most kSettingSize - 1 characters.
void availability_topic(const char* user, char (&out)[kAvailabilityTopicSize]);

// Results of mqtt_open.
constexpr int kOpenOk = 0;
constexpr int kOpenNoClient = -10;       // no client could be created
constexpr int kOpenConnectFailed = -20;  // the connect call failed; the client stays

// Creates the client (protocol mqtt_protocol, by default MQTT 3.1; clean session, client id = user
// name), registers the five callbacks, sets user name and password, the availability will when
// mqtt_availability is set, TLS on port 8883 or when mqtt_tls is set, and connects. TLS checks
// the server against mqtt_cafile (or the CA bundle) and host name, and presents mqtt_certfile and
// mqtt_keyfile when both are set; every path gets the root prefix.
// Returns kOpenOk when the connect call succeeded, kOpenNoClient when no client could be created
// (also for an empty or non-UTF-8 user name), kOpenConnectFailed when the connect call failed.
// With TLS, a CA file, certificate or key that libmosquitto refuses, and a key file readable by
// group or others, also give kOpenConnectFailed without any connection attempt: the client would
// otherwise connect in clear text or spread a key that is no longer secret.
int mqtt_open(const char* host, int port, int keepalive, const char* username,
              const char* password);

// Destroys the client without a DISCONNECT (a null handle is fine), sets mqtt_mosq to null,
// cleans the library up and sleeps 1 second. A session with availability that the broker accepted
// first publishes "offline" and disconnects.
void mqtt_close();

// mqtt_close, mqtt_open with the current settings, mqtt_loop_wait(2000); clears mqtt_session_lost.
void mqtt_reset();

// For a session opened with availability: publishes "online" now if the broker has accepted the
// connection, else as soon as it does. Called after the subscriptions; without availability it
// does nothing.
void mqtt_announce_online();

// Calls mosquitto_loop(mqtt_mosq, 100 ms, 1 packet) once per started 100 ms of `milliseconds`
// (at least once); results are not examined.
void mqtt_loop_wait(int milliseconds);

// The main loop's service call: one mosquitto_loop(mqtt_mosq, 100, 1). Sets mqtt_session_lost
// when it does not return success. Returns libmosquitto's result.
int mqtt_session_service();

void connect_callback(struct mosquitto* mosq, void* userdata, int result);
// A SUBACK without granted QoS values (count 0) shows -1 in place of granted_qos[0].
void subscribe_callback(struct mosquitto* mosq, void* userdata, int mid, int qos_count,
                        const int* granted_qos);
void log_callback(struct mosquitto* mosq, void* userdata, int level, const char* text);
