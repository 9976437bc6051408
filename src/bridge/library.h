// The libmosquitto this daemon was built against and what it can carry. The controller carries a
// library of the 1.4 series, a development machine 2.0; this is the one place that decides from
// LIBMOSQUITTO_VERSION_NUMBER which calls exist. Each routine gives the same result on every
// library unless its comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

struct mosquitto;

// MQTT protocol levels as CONNECT carries them (libmosquitto's MQTT_PROTOCOL_V31, _V311, _V5).
constexpr int32_t kMqttProtocolV31 = 3;
constexpr int32_t kMqttProtocolV311 = 4;
constexpr int32_t kMqttProtocolV5 = 5;

// "major.minor.revision" of the libmosquitto the process runs on (mosquitto_lib_version), which
// may be newer than the one it was built against. Static storage.
const char* mqtt_library_version();

// Capacity of the reason mqtt_library_speaks writes.
constexpr size_t kLibraryWhySize = 64;

// True when this build can speak MQTT protocol `level`. False for MQTT 5 before libmosquitto 1.6,
// with `why` = "needs libmosquitto 1.6 or later (built with 1.4.15)".
bool mqtt_library_speaks(int32_t level, char (&why)[kLibraryWhySize]);

// True when text[0..length) is UTF-8 as MQTT allows it in a client id or a topic: well-formed, no
// U+0000, no other control character (U+0001..U+001F, U+007F..U+009F), no non-character, at most
// 65536 bytes. These are the rules of mosquitto_validate_utf8 of libmosquitto 2.0, which is used
// where the library has it.
bool mqtt_library_utf8_valid(const char* text, int length);

// Sets the MQTT protocol level of a new client (mosquitto_int_option, mosquitto_opts_set before
// 1.6). Returns libmosquitto's result.
int mqtt_library_set_protocol(struct mosquitto* mosq, int32_t level);

// How mqtt_library_connect connects.
struct library_connect_options {
  bool async = false;             // do not wait for the TCP connection (mosquitto_connect_async)
  bool nodelay = false;           // Nagle's algorithm off on the client's socket
  uint32_t session_expiry_s = 0;  // > 0: MQTT 5 session expiry interval (needs 1.6; always waits
                                  // for the TCP connection)
};

// Connects `mosq` (mosquitto_connect, mosquitto_connect_async or mosquitto_connect_bind_v5).
// Before 2.0, TCP_NODELAY is set on the socket once the call made it. A failed connect never
// leaves the client holding the number of a socket it closed: libmosquitto before 2.0 does so when
// the TLS set-up fails and would later close that number again, whoever owns it by then. Returns
// libmosquitto's result.
int mqtt_library_connect(struct mosquitto* mosq, const char* host, int port, int keepalive,
                         const library_connect_options& options);

// mosquitto_publish, mosquitto_subscribe and mosquitto_unsubscribe with libmosquitto 2.0's
// refusal of a topic that is not UTF-8 (mqtt_library_utf8_valid): before 2.0 the library sends
// it, and a broker that checks drops the whole connection. Such a topic gives
// MOSQ_ERR_MALFORMED_UTF8 on 2.0 and MOSQ_ERR_INVAL before, with nothing sent and `mid` untouched.
int mqtt_library_publish(struct mosquitto* mosq, int* mid, const char* topic, int payloadlen,
                         const void* payload, int qos, bool retain);
int mqtt_library_subscribe(struct mosquitto* mosq, int* mid, const char* sub, int qos);
int mqtt_library_unsubscribe(struct mosquitto* mosq, int* mid, const char* sub);
