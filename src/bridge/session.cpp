// The broker session: one libmosquitto client, created anew at every full configuration read and
// driven only by explicit mosquitto_loop calls on the daemon's one thread. Log lines with arguments
// are composed by log_appendf in 1024 bytes; longer ones are cut.
#include "bridge/session.h"

#include <mosquitto.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "bridge/actor.h"
#include "bridge/backoff.h"
#include "bridge/library.h"
#include "bridge/options.h"
#include "bridge/publish.h"
#include "bridge/settings.h"
#include "bridge/tls.h"
#include "bridge/topics.h"
#include "log/log.h"
#include "log/signal.h"
#include "support/paths.h"

uint32_t mqtt_session_rebuilds = 0;

namespace {

constexpr unsigned kClosePauseS = 1;  // pause after destroying the client

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

}  // namespace

// mosquitto_new refuses an empty or malformed UTF-8 id, and on that path closes file descriptor
// 0 as a side effect, so such a name must never reach it.
bool mqtt_client_id_acceptable(const char* username) {
  if (username == nullptr || username[0] == '\0') return false;
  size_t len = strnlen(username, kSettingSize);
  return mqtt_library_utf8_valid(username, static_cast<int>(len));
}

// libmosquitto 2.0 speaks MQTT 3.1.1 by default; the daemon speaks MQTT 3.1 ("MQIsdp", level 3)
// unless the configuration asks for 3.1.1 or 5. The callbacks are the same for every level.
struct mosquitto* mqtt_client_new(const char* username) {
  if (!mqtt_client_id_acceptable(username)) return nullptr;
  // With a persistent session the broker keeps the subscriptions and the commands it accepted
  // meanwhile while the daemon is away: clean session off, under MQTT 5 clean start off.
  const bool clean_session = !mqtt_session_persistent();
  struct mosquitto* mosq = mosquitto_new(username, clean_session, nullptr);
  if (mosq == nullptr) return nullptr;
  mqtt_library_set_protocol(mosq, mqtt_protocol);
  return mosq;
}

// MQTT 5 ends a session with its connection unless CONNECT asks for an expiry.
int mqtt_client_connect(struct mosquitto* mosq, const char* host, int port, int keepalive,
                        bool async) {
  library_connect_options options;
  options.async = async;
  // A command's acknowledgement and its state echo are small packets written back to back: with
  // Nagle's algorithm the echo would wait for the broker's delayed ACK of the first, about 40 ms.
  options.nodelay = mqtt_session_persistent() || mqtt_command_state != 0;
  if (mqtt_session_persistent() && mqtt_protocol == kMqttProtocolV5)
    options.session_expiry_s = kSessionExpiryS;
  return mqtt_library_connect(mosq, host, port, keepalive, options);
}

namespace {

// The TLS set-up of mqtt_open. Returns false after logging why when the client must not connect.
bool set_tls() {
  tls_files files;
  mqtt_tls_files(&files);
  char why[kPathCapacity + 64];
  if (mqtt_key_exposed(files, why, sizeof why)) {
    log_appendf(kLogWarning, "mqtt_open: %s, not used", why);
    return false;
  }
  log_append(kLogDebug, "mqtt_open: mosquitto_tls_set()");
  const int tls_rc = mqtt_client_tls(mqtt_mosq, files);
  // A client whose CA file was refused connects without TLS, and the password would cross the
  // network in clear text. No connection is better.
  if (tls_rc != MOSQ_ERR_SUCCESS) {
    log_appendf(kLogWarning, "mqtt_open: mosquitto_tls_set() failed (%ld), CA file \"%s\"",
                static_cast<long>(tls_rc), files.cafile);
    if (files.with_cert) {
      log_appendf(kLogWarning, "mqtt_open: certificate \"%s\", key file \"%s\"", files.certfile,
                  files.keyfile);
    }
    return false;
  }
  return true;
}

// Replaces mqtt_mosq with a new client for `username`; false, with the level-2 line, when none
// could be made.
bool create_client(const char* username) {
  // A client left over from an open without a close would keep its socket for ever.
  if (mqtt_mosq != nullptr) mosquitto_destroy(mqtt_mosq);
  mqtt_mosq = nullptr;
  mqtt_mosq = mqtt_client_new(username);
  // mosquitto_new sets SIGPIPE to ignored; the daemon logs every signal it receives.
  linux_signal_install(SIGPIPE);
  if (mqtt_mosq != nullptr) return true;
  log_append(kLogWarning, "mqtt_open: Error: Out of memory");
  return false;
}

// The five callbacks, each registration after the line that names it.
void register_callbacks() {
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
}

// The availability will "offline" on "<user>/availability". A user name that is no valid topic
// (with + or #) gets no will and no availability messages.
void set_availability_will(const char* username) {
  char topic[kAvailabilityTopicSize];
  availability_topic(username, topic);
  log_append(kLogDebug, "mqtt_open: mosquitto_will_set()");
  const int will_rc =
      mosquitto_will_set(mqtt_mosq, topic, static_cast<int>(strlen(kAvailabilityOffline)),
                         kAvailabilityOffline, 0, true);
  if (will_rc == MOSQ_ERR_SUCCESS) {
    snprintf(session_availability, sizeof session_availability, "%s", topic);
  } else {
    log_appendf(kLogWarning, "mqtt_open: mosquitto_will_set() failed (%ld), topic \"%s\"",
                static_cast<long>(will_rc), topic);
  }
}

// The connect call and its lines; the broker's answer comes later, in connect_callback.
int connect_client(const char* host, int port, int keepalive) {
  log_append(kLogDebug, "mqtt_open: mosquitto_connect()");
  // With backoff the connect call does not wait for the TCP connection, so that an address that
  // does not answer costs the bounded attempt, not the system's connect time-out of minutes.
  char address[kAddressSize];
  const char* target = mqtt_attempt_address(host, mqtt_tls_on(port), address);
  if (target != host) log_appendf(kLogDebug, "mqtt_open: address %s of \"%s\"", target, host);
  int rc = mqtt_client_connect(mqtt_mosq, target, port, keepalive, mqtt_backoff > 0);
  log_appendf(kLogDebug, "Connect Rueckwert: %ld", static_cast<long>(rc));
  if (rc != MOSQ_ERR_SUCCESS) {
    log_append(kLogWarning, "mqtt_open: Unable to connect");
    return kOpenConnectFailed;
  }
  log_append(kLogDebug, "Connect anscheinend OK...");
  return kOpenOk;
}

}  // namespace

// Opens the session: creates the client, registers the callbacks, sets the credentials (and the
// will and TLS when configured) and connects.
int mqtt_open(const char* host, int port, int keepalive, const char* username,
              const char* password) {
  if (host == nullptr) host = "";
  if (username == nullptr) username = "";
  if (password == nullptr) password = "";

  log_appendf(kLogInfo, "mqtt_open: Broker Address: \"%s\", Port: %ld, Keepalive: %ld", host,
              static_cast<long>(port), static_cast<long>(keepalive));
  log_appendf(kLogInfo, "           Username: \"%s\", Password: (censored, %ld characters)",
              username, static_cast<long>(strlen(password)));

  log_append(kLogDebug, "mqtt_open: mosquitto_lib_init()");
  mosquitto_lib_init();
  mqtt_attempt_started();

  session_availability[0] = '\0';
  session_accepted = false;
  online_due = false;
  if (!create_client(username)) {
    mqtt_attempt_failed();
    return kOpenNoClient;
  }
  register_callbacks();

  log_append(kLogDebug, "mqtt_open: mosquitto_username_pw_set()");
  mosquitto_username_pw_set(mqtt_mosq, username, password);
  if (mqtt_availability != 0) set_availability_will(username);

  int rc = kOpenConnectFailed;
  if (mqtt_tls_on(port) && !set_tls())
    log_append(kLogWarning, "mqtt_open: Unable to connect");
  else
    rc = connect_client(host, port, keepalive);
  if (rc != kOpenOk) mqtt_attempt_failed();
  return rc;
}

// Destroys the client (a null handle is fine), cleans the library up and pauses one second. The
// handle is cleared so that the destroyed client can never be used.
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

// Replaces the session with a new one made from the current settings; services nothing yet.
void mqtt_reopen() {
  static bool opened_before = false;
  if (opened_before) ++mqtt_session_rebuilds;
  opened_before = true;
  mqtt_session_lost = 0;
  mqtt_close();
  mqtt_open(mqtt_host, mqtt_port, mqtt_keepalive, mqtt_username, mqtt_password);
}

// A new session, serviced for 2 s.
void mqtt_reset() {
  mqtt_reopen();
  mqtt_loop_wait(kResetServiceMs);
}

void mqtt_announce_online() {
  online_due = session_availability[0] != '\0';
  if (online_due && session_accepted) publish_availability(mqtt_mosq, kAvailabilityOnline);
}

// The broker's answer to CONNECT: only a refusal leaves a line; the code itself is not logged.
// An acceptance that comes after the subscriptions were made announces the session online.
void connect_callback(struct mosquitto* mosq, void*, int result) {
  if (result != 0) {
    log_append(kLogDebug, "connect_callback: Connect failed");
    mqtt_attempt_failed();
    return;
  }
  mqtt_attempt_accepted();
  session_accepted = true;
  if (online_due) publish_availability(mosq, kAvailabilityOnline);
}

// The broker's answer to SUBSCRIBE: one line with the first granted QoS and one per further
// value. A SUBACK without values shows -1 in place of the first one.
void subscribe_callback(struct mosquitto*, void*, int mid, int qos_count, const int* granted_qos) {
  bool have_values = qos_count > 0 && granted_qos != nullptr;
  log_appendf(kLogDebug, "subscribe_callback: Subscribed mid: %d, qos_count: %d, granted_qos[0]:%d",
              mid, qos_count, have_values ? granted_qos[0] : -1);
  if (!have_values) return;
  for (int i = 1; i < qos_count; ++i)
    log_appendf(kLogDebug, "  granted_qos[%d]: %d", i, granted_qos[i]);
}

// Every message that libmosquitto hands over goes to the log at level 4, whatever its own level.
void log_callback(struct mosquitto*, void*, int, const char* text) {
  log_appendf(kLogDebug, "log_callback: %s", text != nullptr ? text : "");
}
