// The broker session: one libmosquitto client, created anew at every full configuration read and
// driven only by explicit mosquitto_loop calls on the daemon's one thread. Log lines with arguments
// are composed by log_appendf in 1024 bytes; longer ones are cut.
#include "bridge/session.h"

#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bridge/actor.h"
#include "bridge/config.h"
#include "bridge/publish.h"
#include "log/log.h"
#include "log/signal.h"
#include "support/paths.h"

struct mosquitto* mqtt_mosq = nullptr;
int32_t mqtt_session_lost = 0;

namespace {

constexpr int kServiceStepMs = 100;    // one mosquitto_loop call waits at most this long
constexpr int kServiceMaxPackets = 1;  // and handles at most this many packets
constexpr int kResetServiceMs = 2000;  // servicing after a reset
constexpr unsigned kClosePauseS = 1;   // pause after destroying the client

}  // namespace

// mosquitto_new refuses an empty or malformed UTF-8 id, and on that path closes file descriptor
// 0 as a side effect, so such a name must never reach it.
bool mqtt_client_id_acceptable(const char* username) {
  if (username == nullptr || username[0] == '\0') return false;
  size_t len = strnlen(username, kSettingSize);
  return mosquitto_validate_utf8(username, static_cast<int>(len)) == MOSQ_ERR_SUCCESS;
}

// libmosquitto 2.0 speaks MQTT 3.1.1 by default; the daemon speaks MQTT 3.1 ("MQIsdp", level 3).
struct mosquitto* mqtt_client_new(const char* username) {
  if (!mqtt_client_id_acceptable(username)) return nullptr;
  struct mosquitto* mosq = mosquitto_new(username, true, nullptr);
  if (mosq != nullptr) mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V31);
  return mosq;
}

// No CA directory, client certificate, key or password callback; no insecure mode is ever set.
int mqtt_client_tls(struct mosquitto* mosq, char* cafile, size_t cap) {
  path_with_root(kCaBundle, cafile, cap);
  return mosquitto_tls_set(mosq, cafile, nullptr, nullptr, nullptr, nullptr);
}

namespace {

// True when the session's socket holds data that has not been read yet.
bool data_waiting() {
  struct pollfd p = {mosquitto_socket(mqtt_mosq), POLLIN, 0};
  return p.fd >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Whole milliseconds from now to `end` on the monotonic clock; 0 or less once it has passed.
int ms_until(const struct timespec& end) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ns = (static_cast<long long>(end.tv_sec) - now.tv_sec) * 1000000000LL +
                       (end.tv_nsec - now.tv_nsec);
  return static_cast<int>(ns / 1000000LL);
}

}  // namespace

// Opens the session: creates the client, registers the callbacks, sets the credentials (and TLS
// on port 8883) and connects.
int mqtt_open(const char* host, int port, int keepalive, const char* username,
              const char* password) {
  if (host == nullptr) host = "";
  if (username == nullptr) username = "";
  if (password == nullptr) password = "";

  log_appendf(kLogInfo, "mqtt_open: Broker Address: \"%s\", Port: %ld, Keepalive: %ld", host,
              static_cast<long>(port), static_cast<long>(keepalive));
  log_appendf(kLogInfo, "           Username: \"%s\", Password: (censored, %ld characters)", username,
              static_cast<long>(strlen(password)));

  log_append(kLogDebug, "mqtt_open: mosquitto_lib_init()");
  mosquitto_lib_init();

  // A client left over from an open without a close would keep its socket for ever.
  if (mqtt_mosq != nullptr) mosquitto_destroy(mqtt_mosq);
  mqtt_mosq = nullptr;
  mqtt_mosq = mqtt_client_new(username);
  // mosquitto_new sets SIGPIPE to ignored; the daemon logs every signal it receives.
  linux_signal_install(SIGPIPE);
  if (mqtt_mosq == nullptr) {
    log_append(kLogWarning, "mqtt_open: Error: Out of memory");
    return kOpenNoClient;
  }

  log_append(kLogDebug, "mqtt_open: mosquitto_log_callback_set()");
  mosquitto_log_callback_set(mqtt_mosq, log_callback);
  log_append(kLogDebug, "mqtt_open: mosquitto_connect_callback_set()");
  mosquitto_connect_callback_set(mqtt_mosq, connect_callback);
  log_append(kLogDebug, "mqtt_open: mosquitto_message_callback_set()");
  mosquitto_message_callback_set(mqtt_mosq, msg_callback);
  log_append(kLogDebug, "mqtt_open: mosquitto_subscribe_callback_set()");
  mosquitto_subscribe_callback_set(mqtt_mosq, subscribe_callback);
  log_append(kLogDebug, "mqtt_open: mosquitto_publish_callback_set()");
  mosquitto_publish_callback_set(mqtt_mosq, publish_callback);

  log_append(kLogDebug, "mqtt_open: mosquitto_username_pw_set()");
  mosquitto_username_pw_set(mqtt_mosq, username, password);

  if (port == kTlsPort) {
    char cafile[kPathCapacity];
    log_append(kLogDebug, "mqtt_open: mosquitto_tls_set()");
    int tls_rc = mqtt_client_tls(mqtt_mosq, cafile, sizeof cafile);
    // A client whose CA file was refused connects without TLS, and the password would cross the
    // network in clear text. No connection is better.
    if (tls_rc != MOSQ_ERR_SUCCESS) {
      log_appendf(kLogWarning, "mqtt_open: mosquitto_tls_set() failed (%ld), CA file \"%s\"",
                  static_cast<long>(tls_rc), cafile);
      log_append(kLogWarning, "mqtt_open: Unable to connect");
      return kOpenConnectFailed;
    }
  }

  log_append(kLogDebug, "mqtt_open: mosquitto_connect()");
  int rc = mosquitto_connect(mqtt_mosq, host, port, keepalive);
  log_appendf(kLogDebug, "Connect Rueckwert: %ld", static_cast<long>(rc));
  if (rc != MOSQ_ERR_SUCCESS) {
    log_append(kLogWarning, "mqtt_open: Unable to connect");
    return kOpenConnectFailed;
  }
  log_append(kLogDebug, "Connect anscheinend OK...");
  return kOpenOk;
}

// Destroys the client without a DISCONNECT (a null handle is fine), cleans the library up and
// pauses one second. The handle is cleared so that the destroyed client can never be used.
void mqtt_close() {
  log_append(kLogDebug, "mqtt_close() begin ...");
  if (mqtt_mosq != nullptr) mosquitto_destroy(mqtt_mosq);
  mqtt_mosq = nullptr;
  mosquitto_lib_cleanup();
  log_append(kLogDebug, "mqtt_close() done");
  sleep(kClosePauseS);
}

// Replaces the session with a new one made from the current settings and services it for 2 s.
void mqtt_reset() {
  mqtt_session_lost = 0;
  mqtt_close();
  mqtt_open(mqtt_host, mqtt_port, mqtt_keepalive, mqtt_username, mqtt_password);
  mqtt_loop_wait(kResetServiceMs);
}

// Services the session in steps of at most 100 ms until `milliseconds` are used up (at least one
// step). Each step returns early when it handled something or when there is no connection.
void mqtt_loop_wait(int milliseconds) {
  int elapsed = 0;
  do {
    mosquitto_loop(mqtt_mosq, kServiceStepMs, kServiceMaxPackets);
    elapsed += kServiceStepMs;
  } while (elapsed < milliseconds);
}

// One service step of the main loop. libmosquitto reads one packet per mosquitto_loop call, so
// the step calls it again, without waiting, while the socket already holds data. Any result but
// success means the session is gone (or never came), and the next publish pass rebuilds it.
int mqtt_session_service() {
  int rc = mosquitto_loop(mqtt_mosq, kServiceStepMs, kServiceMaxPackets);
  for (int handled = 1; rc == MOSQ_ERR_SUCCESS && handled < kServiceMaxDrain && data_waiting();
       ++handled)
    rc = mosquitto_loop(mqtt_mosq, 0, kServiceMaxPackets);
  if (rc != MOSQ_ERR_SUCCESS) mqtt_session_lost = 1;
  return rc;
}

// Waits in mosquitto_loop until the deadline, one call per packet handled; a failed session is
// not serviced again (its calls would return at once), the rest of the time is slept instead.
void mqtt_session_service_for(int milliseconds) {
  struct timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += milliseconds / 1000;
  end.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  for (int left = ms_until(end); left > 0; left = ms_until(end)) {
    if (mosquitto_loop(mqtt_mosq, left, kServiceMaxPackets) != MOSQ_ERR_SUCCESS) {
      mqtt_session_lost = 1;
      break;
    }
  }
  // The part of a millisecond that mosquitto_loop cannot wait for, or the rest after a failure.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
  }
}

// The broker's answer to CONNECT: only a refusal leaves a line; the code itself is not logged.
void connect_callback(struct mosquitto*, void*, int result) {
  if (result != 0) log_append(kLogDebug, "connect_callback: Connect failed");
}

// The broker's answer to SUBSCRIBE: one line with the first granted QoS and one per further
// value. A SUBACK without values shows -1 in place of the first one.
void subscribe_callback(struct mosquitto*, void*, int mid, int qos_count, const int* granted_qos) {
  bool have_values = qos_count > 0 && granted_qos != nullptr;
  log_appendf(kLogDebug, "subscribe_callback: Subscribed mid: %d, qos_count: %d, granted_qos[0]:%d", mid,
              qos_count, have_values ? granted_qos[0] : -1);
  if (!have_values) return;
  for (int i = 1; i < qos_count; ++i) log_appendf(kLogDebug, "  granted_qos[%d]: %d", i, granted_qos[i]);
}

// Every message that libmosquitto hands over goes to the log at level 4, whatever its own level.
void log_callback(struct mosquitto*, void*, int, const char* text) {
  log_appendf(kLogDebug, "log_callback: %s", text != nullptr ? text : "");
}
