// The read of the two configuration files into the settings (settings.h), the opt-in settings
// (options.h) and the publish and subscribe tables, with the lines the full read logs about them.
// Nothing here touches the broker session: the full read (mqtt_read_config) rebuilds the session
// between the settings and the tables, and subscribes each actor as its table entry is made.
//
// Limits of the file format, enforced by cutting or skipping, never by writing past storage: a
// file is read up to 16383 bytes, a section up to 8183 characters; text settings keep 79
// characters, numeric values 9999, call names 39; of a section entry's key only the 20
// characters nearest the colon count; call names, sensors and actors beyond the 512th entry are
// left out (one level-2 line says how many); an actor whose action topic would exceed 79
// characters is left out (not entered, not subscribed) with a level-2 line; a path of the broker
// options over 127 characters is not used, with a level-1 line. File paths get the root prefix.
#pragma once

// The start-up read: only "loglevel" of brokerSetup.json, stored in log_level (5 when it is 6 or
// more) and returned. Logs nothing (the log is not ready).
int mqtt_parse_log_level();

// The legacy keys of brokerAccess.json in `text`, as every full read takes them: uuid, password
// and host as looked up (a key that is not found leaves its error text), port (0 when not found),
// keepalive 60. Writes those settings only and logs nothing.
void mqtt_parse_access(const char* text);

// The legacy keys of brokerSetup.json in `text`: enabled, log level (low 8 bits, into log_level),
// interval (below 5: 30), threshold (below 0.1, or not a number: 0.1). Writes those settings only
// and logs nothing.
void mqtt_parse_setup(const char* text);

// The first half of the full read: reads brokerAccess.json and brokerSetup.json (a line with each
// one's byte count), parses their legacy keys and opt-in keys, and logs the two level-1 lines of
// the settings and the opt-in summary lines (mqtt_log_options). A missing brokerSetup.json leaves
// the text of brokerAccess.json in the buffer, so the setup keys are then looked up there.
void mqtt_parse_settings();

// The second half: the "call", "pub" and "sub" sections of the text the first half left, into
// the call names and both tables, with their lines. `each_actor` (may be null) is called with an
// actor's action topic right after the line that enters it in its table.
// REQUIRES: mqtt_parse_settings has run.
void mqtt_parse_tables(void (*each_actor)(const char* topic));
