// The diagnostics message: the counters of the publish cycle, the session and the actor commands,
// gathered into one retained JSON message.
#include "homeassistant/diagnostics.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "bridge/actor.h"
#include "bridge/client.h"
#include "bridge/json_text.h"
#include "bridge/library.h"
#include "bridge/options.h"
#include "bridge/publish.h"
#include "bridge/session.h"
#include "bridge/settings.h"
#include "bridge/topics.h"
#include "log/log.h"
#include "support/identity.h"
#include "support/monotonic.h"

namespace {

// Capacity of the message: its fixed text, two versions, eight numbers, two time stamps and the
// last error line JSON-escaped.
constexpr size_t kDiagnosticsPayloadSize = 1536;
constexpr size_t kJsonErrorSize = json_text_size(kLogLastErrorSize - 1);
static_assert(kDiagnosticsPayloadSize > kJsonErrorSize + 2 * kTimeSize + 8 * 12 + 400);

// The process's start, for the uptime: taken while the process initialises its static storage.
const int64_t started_s = monotonic_ms() / 1000;

int32_t last_cycle = 0;
uint32_t published_total = 0;
time_t last_publication = 0;  // wall-clock time of the last publication; 0 before the first

long uptime_seconds() {
  return static_cast<long>(monotonic_ms() / 1000 - started_s);
}

// The message, always terminated.
void diagnostics_payload(char (&out)[kDiagnosticsPayloadSize]) {
  char when[kTimeSize] = "";
  if (last_publication != 0) mqtt_time_text(last_publication, when);
  char error_json[kJsonErrorSize];
  json_text(log_last_error, kLogLastErrorSize - 1, true, error_json, sizeof error_json);
  snprintf(out, sizeof out,
           "{\"version\":\"%s\",\"library\":\"%s\",\"uptime\":%ld,\"published_last_cycle\":%ld,"
           "\"published_total\":%lu,\"failed_publications\":%lu,\"session_rebuilds\":%lu,"
           "\"commands_applied\":%lu,\"commands_refused\":%lu,\"last_publication\":\"%s\","
           "\"last_error\":\"%s\"}",
           kDemonVersion, mqtt_library_version(), uptime_seconds(), static_cast<long>(last_cycle),
           static_cast<unsigned long>(published_total),
           static_cast<unsigned long>(mqtt_publish_failures),
           static_cast<unsigned long>(mqtt_session_rebuilds),
           static_cast<unsigned long>(mqtt_commands_applied),
           static_cast<unsigned long>(mqtt_commands_refused), when, error_json);
}

}  // namespace

void mqtt_diagnostics_publish(int32_t published) {
  if (published >= 0) {
    last_cycle = published;
    published_total += static_cast<uint32_t>(published);
    if (published > 0) last_publication = time(nullptr);
  }
  if (mqtt_diagnostics == 0) return;
  char topic[kDiagnosticsTopicSize];
  diagnostics_topic(mqtt_username, topic);
  char payload[kDiagnosticsPayloadSize];
  diagnostics_payload(payload);
  const int rc = mqtt_publish_retained(topic, payload, 0);
  if (rc != MOSQ_ERR_SUCCESS) {
    log_appendf(kLogInfo, "diagnostics: \"%s\" not published: %s", topic, mosquitto_strerror(rc));
    return;
  }
  log_appendf(kLogDebug, "diagnostics: Topic: \"%s\", Data: \"%s\"", topic, payload);
}
