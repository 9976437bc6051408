// Actor commands: numbers received on the action topics ("<user>/<call name>/action") are written
// into the command blocks of the matching actors' entries.
#pragma once

#include <cstddef>

struct mosquitto;
struct mosquitto_message;

// Capacity of an action topic: at most 79 characters.
constexpr size_t kActionTopicSize = 80;

// Writes the action topic "<user>/<name>/action" of an actor into out (at most 39 characters of
// name are used) and returns the length of the whole topic. A length of kActionTopicSize or more
// means out holds a cut topic that must not be used: it could equal another actor's real topic.
int action_topic(const char* user, const char* name, char (&out)[kActionTopicSize]);

// The message callback: sets every configured actor whose action topic equals the message's topic
// to tavel_atof of the payload, with one log line per actor set. The payload is taken up to 1023
// characters; an action topic longer than 79 characters matches no message; a null message,
// topic or payload is harmless (an empty or missing payload sets nothing).
void msg_callback(struct mosquitto* mosq, void* userdata, const struct mosquitto_message* message);
