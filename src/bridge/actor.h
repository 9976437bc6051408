// Actor commands: numbers received on the action topics ("<user>/<call name>/action") are written
// into the command blocks of the matching actors' entries.
#pragma once

struct mosquitto;
struct mosquitto_message;

// The message callback: sets every configured actor whose action topic equals the message's topic
// to tavel_atof of the payload, with one log line per actor set. The payload is taken up to 1023
// characters; an action topic longer than 79 characters matches no message; a null message,
// topic or payload is harmless (an empty or missing payload sets nothing).
void msg_callback(struct mosquitto* mosq, void* userdata, const struct mosquitto_message* message);
