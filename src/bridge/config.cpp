#include "bridge/config.h"

#include "bridge/client.h"
#include "bridge/hooks.h"
#include "bridge/options.h"
#include "bridge/parse.h"
#include "bridge/publish.h"
#include "bridge/session.h"
#include "bridge/subscriptions.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"

namespace {

constexpr int kServiceMs = 2000;  // servicing after the subscriptions
constexpr int kFullReadResult = 5;

}  // namespace

// The session is rebuilt whether or not the bridge is enabled and whatever the outcome. A
// persistent session gets its messages only once the tables stand: the broker hands over the
// commands it kept at once, and they must find their actors.
int mqtt_read_config(int mode) {
  if (mode == kReadStartup) return mqtt_parse_log_level();

  if (shm_reload != nullptr) mqtt_reload_seen = reload_counter();
  mqtt_parse_settings();

  const bool persistent = mqtt_session_persistent();
  if (persistent)
    mqtt_reopen();
  else
    mqtt_reset();

  mqtt_parse_tables(mqtt_subscribe_action);
  for (double& old : mqtt_old_sensordata) old = SENSOR_NO_VALUE;
  mqtt_unsubscribe_removed();
  if (persistent) mqtt_loop_wait(kResetServiceMs);
  // The broker handles a connection's packets in order: once "online" is out, so are the
  // subscriptions.
  mqtt_announce_online();
  if (mqtt_hooks.announce != nullptr) mqtt_hooks.announce();

  mqtt_loop_wait(kServiceMs);
  return kFullReadResult;
}
