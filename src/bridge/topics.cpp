#include "bridge/topics.h"

#include <cstdio>

static_assert(kDiscoveryTopicSize >=
              2 * (kSettingSize - 1) + sizeof("/number//") - 1 + 14 + sizeof("/config"));

void publish_topic_id(const char* user, int32_t db_id, char (&out)[kTopicIdSize]) {
  snprintf(out, sizeof out, "%s/%ld", user, static_cast<long>(db_id));
}

void publish_topic_name(const char* user, const char* name, char (&out)[kTopicNameSize]) {
  snprintf(out, sizeof out, "%s/%.*s", user, static_cast<int>(kCallNameChars), name);
}

// The whole topic is measured, so the caller can tell a cut one.
int action_topic(const char* user, const char* name, char (&out)[kActionTopicSize]) {
  const int n =
      snprintf(out, sizeof out, "%s/%.*s/action", user, static_cast<int>(kCallNameChars), name);
  return n < 0 ? static_cast<int>(sizeof out) : n;
}

void state_topic(const char* user, const char* name, char (&out)[kStateTopicSize]) {
  snprintf(out, sizeof out, "%s/%.*s/state", user, static_cast<int>(kCallNameChars), name);
}

void availability_topic(const char* user, char (&out)[kAvailabilityTopicSize]) {
  snprintf(out, sizeof out, "%s/availability", user);
}

void diagnostics_topic(const char* user, char (&out)[kDiagnosticsTopicSize]) {
  snprintf(out, sizeof out, "%s/diagnostics", user);
}

void discovery_topic(const char* prefix, const char* component, const char* node,
                     const char* object, char (&out)[kDiscoveryTopicSize]) {
  snprintf(out, sizeof out, "%s/%s/%s/%s/config", prefix, component, node, object);
}

void discovery_status_topic(const char* prefix, char (&out)[kDiscoveryStatusTopicSize]) {
  snprintf(out, sizeof out, "%s/status", prefix);
}
