#include "bridge/client.h"

#include <mosquitto.h>
#include <poll.h>

#include <cstdint>
#include <cstring>

#include "bridge/backoff.h"
#include "bridge/library.h"
#include "support/monotonic.h"

struct mosquitto* mqtt_mosq = nullptr;
int32_t mqtt_session_lost = 0;

namespace {

// True when the client's socket holds data that has not been read yet.
bool data_waiting(struct mosquitto* mosq) {
  struct pollfd p = {mosquitto_socket(mosq), POLLIN, 0};
  return p.fd >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

// libmosquitto reads one packet per mosquitto_loop call and returns as soon as it handled one, so
// `done` is looked at after every packet.
int mqtt_service(struct mosquitto* mosq, int milliseconds, unsigned how,
                 bool (*done)(struct mosquitto*)) {
  const int64_t end = monotonic_ms() + milliseconds;
  int rc = MOSQ_ERR_SUCCESS;
  int handled = 0;
  if ((how & kServiceOnce) != 0) {
    rc = mosquitto_loop(mosq, milliseconds, 1);
    handled = 1;
  } else {
    for (int64_t left = end - monotonic_ms(); left > 0 && !(done != nullptr && done(mosq));
         left = end - monotonic_ms()) {
      rc = mosquitto_loop(mosq, static_cast<int>(left), 1);
      if (rc != MOSQ_ERR_SUCCESS) break;
    }
  }
  if ((how & kServiceDrain) != 0) {
    for (; rc == MOSQ_ERR_SUCCESS && handled < kServiceMaxDrain && data_waiting(mosq); ++handled)
      rc = mosquitto_loop(mosq, 0, 1);
  }
  if (mosq == mqtt_mosq && (rc != MOSQ_ERR_SUCCESS || mqtt_attempt_overdue())) {
    mqtt_session_lost = 1;
    mqtt_attempt_failed();
  }
  if ((how & kServiceFullTime) != 0) sleep_until_ms(end);
  return rc;
}

void mqtt_loop_wait(int milliseconds) {
  int elapsed = 0;
  do {
    mqtt_service(mqtt_mosq, kServiceStepMs, kServiceOnce);
    elapsed += kServiceStepMs;
  } while (elapsed < milliseconds);
}

int mqtt_publish_retained(const char* topic, const char* payload, int qos) {
  if (mqtt_mosq == nullptr) return MOSQ_ERR_NO_CONN;
  return mqtt_library_publish(mqtt_mosq, nullptr, topic, static_cast<int>(strlen(payload)), payload,
                              qos, true);
}
