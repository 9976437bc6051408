// The broker session: the daemon's one libmosquitto client, opened, destroyed and serviced on the
// daemon's only thread (no network thread is ever started).
#pragma once

#include <cstddef>
#include <cstdint>

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

// Results of mqtt_open.
constexpr int kOpenOk = 0;
constexpr int kOpenNoClient = -10;       // no client could be created
constexpr int kOpenConnectFailed = -20;  // the connect call failed; the client stays

// Creates the client (MQTT 3.1, clean session, client id = user name), registers the five
// callbacks, sets user name and password, TLS with the CA bundle on port 8883, and connects.
// Returns kOpenOk when the connect call succeeded, kOpenNoClient when no client could be created
// (also for an empty or non-UTF-8 user name), kOpenConnectFailed when the connect call failed. On
// port 8883 a CA bundle that libmosquitto refuses also gives kOpenConnectFailed, without any
// connection attempt: the client would otherwise connect in clear text.
int mqtt_open(const char* host, int port, int keepalive, const char* username,
              const char* password);

// True when libmosquitto would accept `username` as a client id: not empty, valid UTF-8.
bool mqtt_client_id_acceptable(const char* username);

// Creates the client of one session: client id = user name, clean session, MQTT 3.1
// ("MQIsdp", level 3). Returns null, without calling libmosquitto, for an empty or non-UTF-8 user
// name (mosquitto_new would refuse it and close file descriptor 0), and null when libmosquitto
// cannot create it. The caller owns the client (mosquitto_destroy). Note that mosquitto_new sets
// SIGPIPE to ignored.
struct mosquitto* mqtt_client_new(const char* username);

// Switches TLS on for mosq with the CA bundle (root prefix added; its path is written into
// cafile, capacity cap), host-name checking on. Returns libmosquitto's result; anything but
// MOSQ_ERR_SUCCESS means the bundle was refused and the client must not connect.
int mqtt_client_tls(struct mosquitto* mosq, char* cafile, size_t cap);

// Destroys the client without a DISCONNECT (a null handle is fine), sets mqtt_mosq to null,
// cleans the library up and sleeps 1 second.
void mqtt_close();

// mqtt_close, mqtt_open with the current settings, mqtt_loop_wait(2000); clears mqtt_session_lost.
void mqtt_reset();

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
