// The broker test of the configuration check: one session opened with the daemon's own client
// set-up, the broker's answer (or why none came) told in words.
#include <mosquitto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bridge/client.h"
#include "bridge/options.h"
#include "bridge/session.h"
#include "bridge/settings.h"
#include "bridge/tls.h"
#include "check/check.h"
#include "support/paths.h"

namespace {

constexpr size_t kTlsErrorSize = 160;

// What the broker or libmosquitto said; written by the callbacks below.
int connack = -1;  // the CONNACK code, -1 until it comes
bool host_name_mismatch = false;
char tls_error[kTlsErrorSize];  // libmosquitto's last error line

// Reasons of a refusing CONNACK, by code.
constexpr const char* kRefusals[] = {
    "accepted",           "protocol version",          "identifier rejected",
    "server unavailable", "bad user name or password", "not authorised"};

void on_connect(struct mosquitto*, void*, int result) {
  connack = result;
}

// libmosquitto tells a TLS failure only through its log: a host-name mismatch has a line of its
// own before the certificate failure that every verification error gives.
void on_log(struct mosquitto*, void*, int level, const char* line) {
  if (line == nullptr || level != MOSQ_LOG_ERR) return;
  if (strstr(line, "host name verification failed") != nullptr) host_name_mismatch = true;
  snprintf(tls_error, sizeof tls_error, "%s", line);
}

// One line for the outcome: the broker's answer if one came, else the failure that ended the
// attempt (rc with its errno), else the time-out.
void print_outcome(int rc, int error_number, const char* cafile) {
  if (connack == 0) {
    printf("broker: connected to %s port %ld as \"%s\"\n", mqtt_host, static_cast<long>(mqtt_port),
           mqtt_username);
  } else if (connack > 0) {
    const int n = static_cast<int>(sizeof kRefusals / sizeof kRefusals[0]);
    printf("broker: refused: %s (CONNACK %d)\n",
           connack < n ? kRefusals[connack] : "unknown reason", connack);
  } else if (rc == MOSQ_ERR_EAI) {
    printf("broker: host not found: %s\n", mqtt_host);
  } else if (rc == MOSQ_ERR_TLS && host_name_mismatch) {
    printf("broker: TLS failure: host name mismatch, the certificate does not name %s\n",
           mqtt_host);
  } else if (rc == MOSQ_ERR_TLS && strstr(tls_error, "certificate verify failed") != nullptr) {
    printf("broker: TLS failure: certificate not trusted by the CA file %s\n", cafile);
  } else if (rc == MOSQ_ERR_TLS && tls_error[0] == '\0') {
    // libmosquitto 1.4 logs no reason for a failed handshake.
    printf("broker: TLS failure: certificate not trusted by the CA file %s, or not for %s\n",
           cafile, mqtt_host);
  } else if (rc == MOSQ_ERR_TLS) {
    printf("broker: TLS failure: %s\n", tls_error);
  } else if (rc == MOSQ_ERR_ERRNO && error_number == ECONNREFUSED) {
    printf("broker: connection refused by %s port %ld\n", mqtt_host, static_cast<long>(mqtt_port));
  } else if (rc == MOSQ_ERR_ERRNO) {
    printf("broker: connection failed: %s\n", strerror(error_number));
  } else if (rc == MOSQ_ERR_SUCCESS) {
    printf("broker: time-out, no answer within %d s\n", kConnectWaitSeconds);
  } else {
    printf("broker: connection failed: %s\n", mosquitto_strerror(rc));
  }
}

}  // namespace

// The connect call does not wait for the TCP connection: a host that never answers then costs
// the bounded wait below, not the system's connect time-out of minutes.
bool check_connect() {
  mosquitto_lib_init();
  struct mosquitto* mosq = mqtt_client_new(mqtt_username);
  if (mosq == nullptr) {
    printf("broker: no client could be made for the uuid\n");
    mosquitto_lib_cleanup();
    return false;
  }
  mosquitto_connect_callback_set(mosq, on_connect);
  mosquitto_log_callback_set(mosq, on_log);
  mosquitto_username_pw_set(mosq, mqtt_username, mqtt_password);

  tls_files files;
  mqtt_tls_files(&files);
  const char* cafile = files.cafile;
  if (mqtt_tls_on(mqtt_port) && mqtt_client_tls(mosq, files) != MOSQ_ERR_SUCCESS) {
    printf("broker: not tried, the TLS files (CA file %s) were refused\n", cafile);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return false;
  }

  int rc = mqtt_client_connect(mosq, mqtt_host, mqtt_port, mqtt_keepalive, true);
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mqtt_service(mosq, kConnectWaitSeconds * 1000, kServiceUntil,
                      [](struct mosquitto*) { return connack >= 0; });
  }
  // errno as the last libmosquitto call left it: the reason of a failed connection.
  const int error_number = errno;
  print_outcome(rc, error_number, cafile);

  // A persistent session may hand over the commands the broker kept for the
  // daemon right after CONNACK: nothing more is read, so none is acknowledged and lost here; the
  // broker keeps them for the daemon's next connection.
  if (connack == 0) {
    mosquitto_disconnect(mosq);
    if (!mqtt_session_persistent()) mqtt_service(mosq, kServiceStepMs, kServiceOnce);
  }
  mosquitto_destroy(mosq);
  mosquitto_lib_cleanup();
  return connack == 0;
}
