// The broker session: the daemon's one libmosquitto client (bridge/client.h) opened, replaced and
// closed, and the callbacks it registers: its own three (connect, subscribe, log), the publish
// cycle's publish_callback and the actor commands' msg_callback.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/client.h"

// Sessions replaced by a new one (mqtt_reopen after the first) since the process started: every
// reload, reconnection and reset after a failed publication. Written by mqtt_reopen only.
extern uint32_t mqtt_session_rebuilds;

// Availability (mqtt_availability): the broker holds "offline" as the session's will on
// "<uuid>/availability"; the daemon publishes "online" there once the session is up and
// subscribed, and "offline" before it closes the session. All retained, QoS 0. A process that is
// killed leaves the message to the will.
constexpr const char* kAvailabilityOnline = "online";
constexpr const char* kAvailabilityOffline = "offline";

// How long an MQTT 5 broker keeps a persistent session (mqtt_command_qos) after its connection
// ended: two days, so that commands sent during a day's outage are still applied when the daemon is
// back. MQTT 3.1 and 3.1.1 sessions last as long as the broker keeps them.
constexpr uint32_t kSessionExpiryS = 2 * 24 * 3600;

// Results of mqtt_open.
constexpr int kOpenOk = 0;
constexpr int kOpenNoClient = -10;       // no client could be created
constexpr int kOpenConnectFailed = -20;  // the connect call failed; the client stays

// Creates the client (mqtt_client_new), registers the five callbacks, sets user name and
// password, the availability will when mqtt_availability is set, TLS when mqtt_tls_on(port)
// (tls.h), and connects. Returns kOpenOk when the connect call succeeded, kOpenNoClient when no
// client could be created (also for an empty or non-UTF-8 user name), kOpenConnectFailed when the
// connect call failed. With TLS, a CA file, certificate or key that libmosquitto refuses, and an
// exposed key file (mqtt_key_exposed), also give kOpenConnectFailed without any connection
// attempt: the client would otherwise connect in clear text or spread a key that is no longer
// secret.
int mqtt_open(const char* host, int port, int keepalive, const char* username,
              const char* password);

// True when libmosquitto would accept `username` as a client id: not empty, valid UTF-8.
bool mqtt_client_id_acceptable(const char* username);

// Creates the client of one session: client id = user name, clean session (persistent with
// mqtt_command_qos), protocol level mqtt_protocol (MQTT 3.1, "MQIsdp" level 3, unless configured
// otherwise). Returns null, without
// calling libmosquitto, for an empty or non-UTF-8 user name (mosquitto_new would refuse it and
// close file descriptor 0), and null when libmosquitto cannot create it. The caller owns the client
// (mosquitto_destroy). Note that mosquitto_new sets SIGPIPE to ignored.
struct mosquitto* mqtt_client_new(const char* username);

// Connects `mosq` as the daemon's session connects: mosquitto_connect (or, with `async`,
// mosquitto_connect_async); for a persistent session (mqtt_command_qos) under MQTT 5 with the
// session expiry kSessionExpiryS, since an MQTT 5 broker would otherwise end the session with the
// connection (that connect always waits for the TCP connection). Returns libmosquitto's result.
int mqtt_client_connect(struct mosquitto* mosq, const char* host, int port, int keepalive,
                        bool async);

// Destroys the client (a null handle is fine), sets mqtt_mosq to null, cleans the library up and
// sleeps 1 second. No DISCONNECT is sent, except that a session with availability that the broker
// accepted first publishes "offline" and disconnects, so that the broker drops the will.
void mqtt_close();

// mqtt_close, then mqtt_open with the current settings; clears mqtt_session_lost. Services
// nothing, so no message of the broker is handled before the caller is ready for it.
void mqtt_reopen();

// How long a new session is serviced before the daemon goes on (its CONNACK, and with a
// persistent session the commands the broker kept).
constexpr int kResetServiceMs = 2000;

// mqtt_reopen, then mqtt_loop_wait(kResetServiceMs).
void mqtt_reset();

// For a session opened with availability: publishes "online" now if the broker has accepted the
// connection, else as soon as it does. Called after the subscriptions; without availability it
// does nothing.
void mqtt_announce_online();

void connect_callback(struct mosquitto* mosq, void* userdata, int result);
// A SUBACK without granted QoS values (count 0) shows -1 in place of granted_qos[0].
void subscribe_callback(struct mosquitto* mosq, void* userdata, int mid, int qos_count,
                        const int* granted_qos);
void log_callback(struct mosquitto* mosq, void* userdata, int level, const char* text);
