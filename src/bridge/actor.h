// Actor commands: numbers received on the action topics ("<user>/<call name>/action") are written
// into the command blocks of the matching actors' entries.
#pragma once

#include <cstdint>

struct mosquitto;

// Commands since the process started: messages that set at least one actor, and messages refused
// by the opt-in command rules (a retained replay, a payload that is no number). Written by
// msg_callback only.
extern uint32_t mqtt_commands_applied;
extern uint32_t mqtt_commands_refused;
struct mosquitto_message;

// The message callback: sets every configured actor whose action topic equals the message's topic
// to tavel_atof of the payload, with one log line per actor set. The payload is taken up to 1023
// characters; an action topic longer than 79 characters matches no message; a null message,
// topic or payload is harmless (an empty or missing payload sets nothing).
void msg_callback(struct mosquitto* mosq, void* userdata, const struct mosquitto_message* message);
