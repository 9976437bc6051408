#include "bridge/subscriptions.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstring>

#include "bridge/client.h"
#include "bridge/library.h"
#include "bridge/options.h"
#include "bridge/settings.h"
#include "bridge/topics.h"
#include "log/log.h"

namespace {

// The actors that the last full read subscribed, with the session they were subscribed in. One
// thread, and only the full read calls here, so static storage is safe.
struct subscribed_table {
  bool persistent;
  char user[kSettingSize];
  int32_t count;
  char name[kTableSize][kCallNameSize];
};
subscribed_table subscribed;

bool in_table(const char* name) {
  for (int32_t i = 0; i < mqtt_subscribe_actor_dbids && i < kTableSize; ++i) {
    if (strcmp(mqtt_subscribe_actor_name[i], name) == 0) return true;
  }
  return false;
}

// An earlier read subscribed this name's topic more than once if it held the name twice: it is
// unsubscribed once, at its first place.
bool earlier_in_subscribed(int32_t k) {
  for (int32_t j = 0; j < k; ++j) {
    if (strcmp(subscribed.name[j], subscribed.name[k]) == 0) return true;
  }
  return false;
}

}  // namespace

void mqtt_subscribe_action(const char* topic) {
  int mid = 0;
  if (mqtt_mosq != nullptr) mqtt_library_subscribe(mqtt_mosq, &mid, topic, mqtt_command_qos);
}

void mqtt_unsubscribe_removed() {
  const bool persistent = mqtt_session_persistent();
  const bool same_session =
      persistent && subscribed.persistent && strcmp(subscribed.user, mqtt_username) == 0;
  for (int32_t k = 0; same_session && k < subscribed.count; ++k) {
    if (in_table(subscribed.name[k]) || earlier_in_subscribed(k)) continue;
    char topic[kActionTopicSize];
    action_topic(mqtt_username, subscribed.name[k], topic);
    log_appendf(kLogInfo, "Actor \"%s\" no longer configured: \"%s\" unsubscribed",
                subscribed.name[k], topic);
    int mid = 0;
    if (mqtt_mosq != nullptr) mqtt_library_unsubscribe(mqtt_mosq, &mid, topic);
  }
  subscribed.persistent = persistent;
  snprintf(subscribed.user, sizeof subscribed.user, "%s", mqtt_username);
  subscribed.count = 0;
  for (int32_t i = 0; i < mqtt_subscribe_actor_dbids && i < kTableSize; ++i)
    memcpy(subscribed.name[subscribed.count++], mqtt_subscribe_actor_name[i], kCallNameSize);
}
