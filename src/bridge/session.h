// The broker session: the daemon's one libmosquitto client, opened, destroyed and serviced on the
// daemon's only thread (no network thread is ever started).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/config.h"
#include "bridge/tls.h"

struct mosquitto;

// The client handle; null before the first mqtt_open, after a failed client creation and after
// mqtt_close (so a destroyed client is never used). Written by mqtt_open and mqtt_close.
extern struct mosquitto* mqtt_mosq;

// Non-zero once a service step saw the session fail (no client, no connection, connection lost,
// TLS or keepalive failure). Written by the service routines below; cleared by mqtt_reopen.
extern int32_t mqtt_session_lost;

// Sessions replaced by a new one (mqtt_reopen after the first) since the process started: every
// reload, reconnection and reset after a failed publication. Written by mqtt_reopen only.
extern uint32_t mqtt_session_rebuilds;

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

// How long an MQTT 5 broker keeps a persistent session ("command_qos") after its connection ended:
// two days, so that commands sent during a day's outage are still applied when the daemon is
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
// "command_qos"), protocol level
// mqtt_protocol (MQTT 3.1, "MQIsdp" level 3, unless configured otherwise). Returns null, without
// calling libmosquitto, for an empty or non-UTF-8 user name (mosquitto_new would refuse it and
// close file descriptor 0), and null when libmosquitto cannot create it. The caller owns the client
// (mosquitto_destroy). Note that mosquitto_new sets SIGPIPE to ignored.
struct mosquitto* mqtt_client_new(const char* username);

// Connects `mosq` as the daemon's session connects: mosquitto_connect (or, with `async`,
// mosquitto_connect_async); for a persistent session ("command_qos") under MQTT 5 with the session
// expiry kSessionExpiryS, since an MQTT 5 broker would otherwise end the session with the
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

// Use for a retained message that nothing waits for (announcements, the diagnostics message, a
// command's state): hands `payload` to the session at `qos`, retained, without servicing it.
// Returns libmosquitto's result, MOSQ_ERR_NO_CONN when there is no client.
int mqtt_publish_retained(const char* topic, const char* payload, int qos);

// For a session opened with availability: publishes "online" now if the broker has accepted the
// connection, else as soon as it does. Called after the subscriptions; without availability it
// does nothing.
void mqtt_announce_online();

// The ways to service the session, each for one need. libmosquitto's callbacks run inside them.

// Use when the configuration read (or a reset) gives a new session its time: one
// mosquitto_loop(mqtt_mosq, 100 ms, 1 packet) per started 100 ms of `milliseconds` (at least
// one); each returns early when it handled something or when there is no connection, so the
// whole wait is short without a broker. Results are not examined.
void mqtt_loop_wait(int milliseconds);

// Most packets one service step handles, so that a flood of messages cannot hold up the main loop.
constexpr int kServiceMaxDrain = 100;

// Use once per pass of the main loop: one mosquitto_loop(mqtt_mosq, 100, 1), which waits up to
// 100 ms for traffic, then further calls without waiting while data is already waiting on the
// socket, up to kServiceMaxDrain packets in all. Returns at the first result other than success
// and sets mqtt_session_lost then. Returns libmosquitto's last result.
int mqtt_session_service();

// Use between publications sent back to back: handles the packets already waiting on the
// socket, up to kServiceMaxDrain, without waiting for more (nothing when none waits). Sets
// mqtt_session_lost at a result other than success and returns libmosquitto's last result.
int mqtt_session_drain();

// Use when the daemon must wait a fixed time without going deaf (the polls of a publication's
// acknowledgement, the pause after a publish cycle): services the session for exactly
// `milliseconds` (monotonic clock), every packet handled as it arrives. After a result other than
// success it sets mqtt_session_lost and sleeps out the rest of the time. A signal does not
// shorten it.
void mqtt_session_service_for(int milliseconds);

// Use when waiting for something the broker or the socket gives (queued messages written out, a
// broker's answer): services `mosq` until done(mosq) holds, libmosquitto reports a result other
// than success, or `milliseconds` have passed (done is looked at first; null never holds).
// Returns libmosquitto's last result (success when done or when the time is up); a failure of
// mqtt_mosq sets mqtt_session_lost.
int mqtt_service_until(struct mosquitto* mosq, int milliseconds, bool (*done)(struct mosquitto*));

void connect_callback(struct mosquitto* mosq, void* userdata, int result);
// A SUBACK without granted QoS values (count 0) shows -1 in place of granted_qos[0].
void subscribe_callback(struct mosquitto* mosq, void* userdata, int mid, int qos_count,
                        const int* granted_qos);
void log_callback(struct mosquitto* mosq, void* userdata, int level, const char* text);
