// Fuzz target for msg_callback: arbitrary topics and payloads against a fixed set of actors in a
// sensor table of 512 entries. Input: the topic up to the first newline, the payload after it.
// An input whose first byte is '!' (then dropped) runs with a user name long enough that some
// action topics do not fit their 80 bytes (those actors are left out, as the read leaves them out).
#include <fcntl.h>
#include <mosquitto.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bridge/actor.h"
#include "bridge/config.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"

namespace {

sensor_record table[kSensorCount];

struct actor {
  int32_t db_id;
  const char* name;
};
constexpr actor kActors[] = {
    {2001, "lamp"},
    {2002, "lamp"},
    {2001, "door"},
    {4242, "ghost"},  // in no entry
    {2002, "a-call-name-of-exactly-39-characters-xy"},
    {1005, "(undefined)"},
};

// The actor table as the read fills it for the current user name.
void set_actors() {
  mqtt_subscribe_actor_dbids = 0;
  for (const actor& a : kActors) {
    const int32_t i = mqtt_subscribe_actor_dbids;
    if (static_cast<size_t>(action_topic(mqtt_username, a.name, mqtt_subscribe_actor_topic[i])) >=
        kActionTopicSize)
      continue;
    mqtt_subscribe_actor_dbid[i] = a.db_id;
    snprintf(mqtt_subscribe_actor_name[i], kCallNameSize, "%s", a.name);
    ++mqtt_subscribe_actor_dbids;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every log line goes to stdout while log_init has not run; keep the fuzzer's output readable.
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);

  for (int32_t i = 0; i < kSensorCount; ++i) table[i].db_id = 1000 + i;
  table[7].db_id = 2001;
  table[8].db_id = 2002;
  table[300].db_id = 2002;  // a DB id held twice resolves to the lower real id
  shm_sensor = table;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool long_user = size > 0 && data[0] == '!';
  if (long_user) {
    ++data;
    --size;
  }
  snprintf(mqtt_username, sizeof mqtt_username, "%s",
           long_user ? "0123456789abcdef0123456789abcdef0123456789abcdef" : "user");
  set_actors();

  const uint8_t* newline = static_cast<const uint8_t*>(memchr(data, '\n', size));
  size_t topic_len = newline != nullptr ? static_cast<size_t>(newline - data) : size;
  std::vector<char> topic(data, data + topic_len);
  topic.push_back('\0');
  size_t payload_start = newline != nullptr ? topic_len + 1 : size;
  // Exactly the payload's bytes and the NUL that libmosquitto always appends.
  std::vector<char> payload(data + payload_start, data + size);
  payload.push_back('\0');

  mosquitto_message message{};
  message.topic = topic.data();
  message.payload = payload.size() > 1 ? payload.data() : nullptr;
  message.payloadlen = static_cast<int>(payload.size() - 1);
  msg_callback(nullptr, nullptr, &message);
  return 0;
}
