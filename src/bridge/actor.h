// Actor commands: numbers received on the action topics ("<user>/<call name>/action") are written
// into the command blocks of the matching actors' entries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/config.h"

struct mosquitto;
struct mosquitto_message;

// Commands since the process started: messages that set at least one actor, and messages refused
// by the opt-in command rules (a retained replay, a payload that is no number). Written by
// msg_callback only.
extern uint32_t mqtt_commands_applied;
extern uint32_t mqtt_commands_refused;

// "<user>/<call name>/state", where "command_state" confirms a command: a whole user name and call
// name always fit.
constexpr size_t kStateTopicSize = kSettingSize + kCallNameSize + 8;
void state_topic(const char* user, const char* name, char (&out)[kStateTopicSize]);

// The message callback: sets every configured actor whose action topic equals the message's topic
// to tavel_atof of the payload, with one log line per actor set. The payload is taken up to 1023
// characters; an action topic longer than 79 characters matches no message; a null message,
// topic or payload is harmless (an empty or missing payload sets nothing). The opt-in rules:
// "command_retained":"ignore" refuses a message delivered flagged retained (level-3 line),
// "command_numbers":"strict" one whose payload is not is_decimal_number (level-2 line); with
// "command_state":"on" each actor set publishes its command text retained on its state topic.
void msg_callback(struct mosquitto* mosq, void* userdata, const struct mosquitto_message* message);
