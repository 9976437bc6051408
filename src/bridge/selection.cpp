#include "bridge/selection.h"

#include <cstdio>
#include <cstring>

const selection kPublishSelection = {kSectionPub,
                                     "pub",
                                     "PUB",
                                     "sensor",
                                     "sensors to publish",
                                     "Zu publishende Sensoren",
                                     &mqtt_publish_sensor_dbids,
                                     mqtt_publish_sensor_dbid,
                                     mqtt_publish_sensor_name,
                                     nullptr};
const selection kSubscribeSelection = {kSectionSub,
                                       "sub",
                                       "SUB",
                                       "actor",
                                       "actors to subscribe",
                                       "Zu subscribende Aktoren",
                                       &mqtt_subscribe_actor_dbids,
                                       mqtt_subscribe_actor_dbid,
                                       mqtt_subscribe_actor_name,
                                       mqtt_subscribe_actor_topic};

namespace {

// A full table skips further entries. An action topic longer than 79 characters does not fit the
// topic buffer. Cut, it would be a topic that no one publishes commands on, and the message
// handler could then match a message on the cut topic.
int fate_of(const selection& table, selected_report* r) {
  if (r->index >= kTableSize) return kSelectedTableFull;
  if (table.topic == nullptr) return kSelectedStored;
  r->topic_length = action_topic(mqtt_username, r->entry.call_name, r->topic);
  return static_cast<size_t>(r->topic_length) >= kActionTopicSize ? kSelectedTopicTooLong
                                                                  : kSelectedStored;
}

}  // namespace

int32_t mqtt_walk_selection(const selection& table, const char* section, const call_table& calls,
                            selected_visitor visit, void* context) {
  *table.count = 0;
  int32_t full = 0;
  int pos = 0;
  selected_report r;
  while (scan_next_selected(section, &pos, &calls, &r.entry) == 1) {
    r.index = *table.count;
    r.topic[0] = '\0';
    r.topic_length = 0;
    r.fate = fate_of(table, &r);
    if (r.fate == kSelectedTableFull) full++;
    if (r.fate == kSelectedStored) {
      table.dbid[r.index] = r.entry.db_id;
      snprintf(table.name[r.index], kCallNameSize, "%s", r.entry.call_name);
      if (table.topic != nullptr) memcpy(table.topic[r.index], r.topic, kActionTopicSize);
      *table.count = r.index + 1;
    }
    if (visit != nullptr) visit(table, r, context);
  }
  return full;
}
