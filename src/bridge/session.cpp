// The broker session: one libmosquitto client, created anew at every full configuration read and
// driven only by explicit mosquitto_loop calls on the daemon's one thread. Log lines with arguments
// are composed by log_appendf in 1024 bytes; longer ones are cut.
#include "bridge/session.h"

#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

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

static_assert(kAvailabilityTopicSize ==
              kSettingSize + std::char_traits<char>::length(kAvailabilitySuffix));

// Availability of the open session: its topic ("" when the session has none), whether the broker
// accepted the connection, and whether "online" is due once it does. Reset by every mqtt_open.
char session_availability[kAvailabilityTopicSize] = "";
bool session_accepted = false;
bool online_due = false;

// Publishes a retained availability message of the session; the result is not examined (a lost
// connection is noticed by the session service).
void publish_availability(struct mosquitto* mosq, const char* payload) {
  mosquitto_publish(mosq, nullptr, session_availability, static_cast<int>(strlen(payload)), payload,
                    0, true);
}

// A key file with a pass phrase has nobody to type it: the key is refused instead of asking.
int no_passphrase(char*, int, int, void*) {
  return 0;
}

// The TLS set-up of mqtt_open. Returns false after logging why when the client must not connect.
bool set_tls() {
  char cafile[kPathCapacity];
  char certfile[kPathCapacity];
  char keyfile[kPathCapacity];
  path_with_root(mqtt_cafile[0] != '\0' ? mqtt_cafile : kCaBundle, cafile, sizeof cafile);
  const bool with_cert = mqtt_certfile[0] != '\0' && mqtt_keyfile[0] != '\0';
  if (with_cert) {
    path_with_root(mqtt_certfile, certfile, sizeof certfile);
    path_with_root(mqtt_keyfile, keyfile, sizeof keyfile);
    struct stat st;
    if (stat(keyfile, &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
      log_appendf(kLogWarning,
                  "mqtt_open: key file \"%s\" is readable by group or others (mode %03o), not used",
                  keyfile, static_cast<unsigned>(st.st_mode & 0777));
      return false;
    }
  }
  log_append(kLogDebug, "mqtt_open: mosquitto_tls_set()");
  int tls_rc =
      mosquitto_tls_set(mqtt_mosq, cafile, nullptr, with_cert ? certfile : nullptr,
                        with_cert ? keyfile : nullptr, with_cert ? no_passphrase : nullptr);
  // A client whose CA file was refused connects without TLS, and the password would cross the
  // network in clear text. No connection is better.
  if (tls_rc != MOSQ_ERR_SUCCESS) {
    log_appendf(kLogWarning, "mqtt_open: mosquitto_tls_set() failed (%ld), CA file \"%s\"",
                static_cast<long>(tls_rc), cafile);
    if (with_cert) {
      log_appendf(kLogWarning, "mqtt_open: certificate \"%s\", key file \"%s\"", certfile, keyfile);
    }
    return false;
  }
  return true;
}

// True when libmosquitto would accept `username` as a client id. mosquitto_new refuses an empty
// or malformed UTF-8 id, and on that path closes file descriptor 0 as a side effect, so such a
// name must never reach it.
bool client_id_acceptable(const char* username) {
  if (username == nullptr || username[0] == '\0') return false;
  size_t len = strnlen(username, kSettingSize);
  return mosquitto_validate_utf8(username, static_cast<int>(len)) == MOSQ_ERR_SUCCESS;
}

}  // namespace

void availability_topic(const char* user, char (&out)[kAvailabilityTopicSize]) {
  snprintf(out, sizeof out, "%s%s", user, kAvailabilitySuffix);
}

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

  session_availability[0] = '\0';
  session_accepted = false;
  online_due = false;

  // A client left over from an open without a close would keep its socket for ever.
  if (mqtt_mosq != nullptr) mosquitto_destroy(mqtt_mosq);
  mqtt_mosq = nullptr;
  if (client_id_acceptable(username)) {
    mqtt_mosq = mosquitto_new(username, true, nullptr);
    // mosquitto_new sets SIGPIPE to ignored; the daemon logs every signal it receives.
    linux_signal_install(SIGPIPE);
  }
  if (mqtt_mosq == nullptr) {
    log_append(kLogWarning, "mqtt_open: Error: Out of memory");
    return kOpenNoClient;
  }
  // libmosquitto 2.0 speaks MQTT 3.1.1 by default; the daemon speaks MQTT 3.1 ("MQIsdp", level 3)
  // unless the configuration asks for 3.1.1 or 5. The callbacks are the same for every level.
  mosquitto_int_option(mqtt_mosq, MOSQ_OPT_PROTOCOL_VERSION, mqtt_protocol);

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

  if (mqtt_availability != 0) {
    char topic[kAvailabilityTopicSize];
    availability_topic(username, topic);
    log_append(kLogDebug, "mqtt_open: mosquitto_will_set()");
    const int will_rc =
        mosquitto_will_set(mqtt_mosq, topic, static_cast<int>(strlen(kAvailabilityOffline)),
                           kAvailabilityOffline, 0, true);
    // A user name that is no valid topic (with + or #) gets no will and no availability messages.
    if (will_rc == MOSQ_ERR_SUCCESS) {
      snprintf(session_availability, sizeof session_availability, "%s", topic);
    } else {
      log_appendf(kLogWarning, "mqtt_open: mosquitto_will_set() failed (%ld), topic \"%s\"",
                  static_cast<long>(will_rc), topic);
    }
  }

  if ((port == kTlsPort || mqtt_tls != 0) && !set_tls()) {
    log_append(kLogWarning, "mqtt_open: Unable to connect");
    return kOpenConnectFailed;
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
  // A deliberate end: "offline" is said here, and the DISCONNECT makes the broker drop the will.
  if (mqtt_mosq != nullptr && session_availability[0] != '\0' && session_accepted) {
    publish_availability(mqtt_mosq, kAvailabilityOffline);
    mosquitto_disconnect(mqtt_mosq);
  }
  session_availability[0] = '\0';
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

void mqtt_announce_online() {
  online_due = session_availability[0] != '\0';
  if (online_due && session_accepted) publish_availability(mqtt_mosq, kAvailabilityOnline);
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

// One service step of the main loop. Any result but success means the session is gone (or never
// came), and the next publish pass rebuilds it.
int mqtt_session_service() {
  int rc = mosquitto_loop(mqtt_mosq, kServiceStepMs, kServiceMaxPackets);
  if (rc != MOSQ_ERR_SUCCESS) mqtt_session_lost = 1;
  return rc;
}

// The broker's answer to CONNECT: only a refusal leaves a line; the code itself is not logged.
// An acceptance that comes after the subscriptions were made announces the session online.
void connect_callback(struct mosquitto* mosq, void*, int result) {
  if (result != 0) {
    log_append(kLogDebug, "connect_callback: Connect failed");
    return;
  }
  session_accepted = true;
  if (online_due) publish_availability(mosq, kAvailabilityOnline);
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
