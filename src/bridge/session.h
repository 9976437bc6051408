// The broker session: the daemon's one libmosquitto client, opened, destroyed and serviced on the
// daemon's only thread (no network thread is ever started).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/config.h"
#include "support/paths.h"

struct mosquitto;

constexpr int kTlsPort = 8883;  // exactly this port switches TLS on
constexpr const char* kCaBundle = "/etc/ssl/certs/ca-certificates.crt";

// The client handle; null before the first mqtt_open, after a failed client creation and after
// mqtt_close (so a destroyed client is never used). Written by mqtt_open and mqtt_close.
extern struct mosquitto* mqtt_mosq;

// Non-zero once a service step saw the session fail (no client, no connection, connection lost,
// TLS or keepalive failure). Written by mqtt_session_service and mqtt_session_service_for;
// cleared by mqtt_reset.
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

// True when libmosquitto would accept `username` as a client id: not empty, valid UTF-8.
bool mqtt_client_id_acceptable(const char* username);

// Creates the client of one session: client id = user name, clean session, protocol level
// mqtt_protocol (MQTT 3.1, "MQIsdp" level 3, unless configured otherwise). Returns null, without
// calling libmosquitto, for an empty or non-UTF-8 user name (mosquitto_new would refuse it and
// close file descriptor 0), and null when libmosquitto cannot create it. The caller owns the client
// (mosquitto_destroy). Note that mosquitto_new sets SIGPIPE to ignored.
struct mosquitto* mqtt_client_new(const char* username);

// True when a session on `port` uses TLS: port 8883 always, any port when mqtt_tls is set.
bool mqtt_tls_on(int port);

// The files of a TLS session, root prefix added: the CA file (mqtt_cafile, else the CA bundle)
// and, when both mqtt_certfile and mqtt_keyfile are set, the client certificate and key with the
// key file's permission bits (0 when it cannot be examined).
struct tls_files {
  char cafile[kPathCapacity];
  char certfile[kPathCapacity];
  char keyfile[kPathCapacity];
  bool with_cert;
  unsigned key_mode;
};
void mqtt_tls_files(tls_files* files);

// Result of mqtt_client_tls for a key file readable by group or others: such a key is not used.
constexpr int kTlsKeyExposed = -1;

// Switches TLS on for mosq with `files`, host-name checking on, no insecure mode. Returns
// libmosquitto's result, or kTlsKeyExposed without calling it; anything but MOSQ_ERR_SUCCESS means
// the client must not connect (it would otherwise connect in clear text or spread a key that is
// no longer secret).
int mqtt_client_tls(struct mosquitto* mosq, const tls_files& files);

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

// Most packets one service step handles, so that a flood of messages cannot hold up the main loop.
constexpr int kServiceMaxDrain = 100;

// The main loop's service step: one mosquitto_loop(mqtt_mosq, 100, 1), which waits up to 100 ms
// for traffic, then further calls without waiting while data is already waiting on the socket, up
// to kServiceMaxDrain packets in all. Returns at the first result other than success and sets
// mqtt_session_lost then. Returns libmosquitto's last result.
int mqtt_session_service();

// Services the session for exactly `milliseconds` (monotonic clock): every packet that arrives in
// that time is handled at once, and the call returns only when the time is up, however early the
// traffic came. After a result other than success (no client, connection lost, ...) it sets
// mqtt_session_lost and sleeps out the rest of the time. A signal does not shorten it.
void mqtt_session_service_for(int milliseconds);

void connect_callback(struct mosquitto* mosq, void* userdata, int result);
// A SUBACK without granted QoS values (count 0) shows -1 in place of granted_qos[0].
void subscribe_callback(struct mosquitto* mosq, void* userdata, int mid, int qos_count,
                        const int* granted_qos);
void log_callback(struct mosquitto* mosq, void* userdata, int level, const char* text);
