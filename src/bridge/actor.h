// Actor commands: numbers received on the action topics ("<user>/<call name>/action") are written
// into the command blocks of the matching actors' entries.
#pragma once

#include <cstddef>
#include <cstdint>

struct mosquitto;
struct mosquitto_message;

// Commands since the process started: messages that set at least one actor, and messages refused
// by the opt-in command rules (a retained replay, a payload that is no number). Written by
// msg_callback only.
extern uint32_t mqtt_commands_applied;
extern uint32_t mqtt_commands_refused;

// The message callback: sets every configured actor whose action topic (mqtt_subscribe_actor_topic)
// equals the message's topic to tavel_atof of the payload, with one log line per actor set. The
// payload is taken up to 1023 characters; a null message, topic or payload is harmless (an empty
// or missing payload sets nothing). A message that mqtt_hooks.take_message takes (Home
// Assistant's birth message) goes no further. The opt-in rules: with mqtt_command_retained a
// message delivered flagged retained is refused (level-3 line), with mqtt_command_numbers one
// whose payload is not is_decimal_number (level-2 line); with mqtt_command_state each actor set
// publishes its command text retained on its state topic.
void msg_callback(struct mosquitto* mosq, void* userdata, const struct mosquitto_message* message);
