#include "bridge/library.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// MQTT 5 with its properties and mosquitto_int_option came with 1.6; MOSQ_OPT_TCP_NODELAY,
// mosquitto_validate_utf8 and the refusal of topics that are not UTF-8 with 2.0.
#if LIBMOSQUITTO_VERSION_NUMBER >= 1006000
#include <mqtt_protocol.h>
#endif
constexpr bool kHasNodelayOption = LIBMOSQUITTO_VERSION_NUMBER >= 2000000;
constexpr bool kHasUtf8Checks = LIBMOSQUITTO_VERSION_NUMBER >= 2000000;

namespace {

// MQTT 5 came with libmosquitto 1.6.
constexpr int kMqtt5Since = 1006000;
constexpr const char* kMqtt5SinceText = "1.6";

// The code point of the sequence at text[*i] (advancing *i past it), or -1 when the bytes there are
// no well-formed UTF-8 sequence of a code point that libmosquitto 2.0 allows.
int32_t next_code_point(const unsigned char* text, int length, int* i) {
  const unsigned char lead = text[*i];
  int more = 0;
  int32_t cp = lead;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    cp = lead & 0x07;
  } else if (lead >= 0x80) {
    return -1;  // a continuation byte, C0, C1 or F5..FF
  }
  if (more > length - *i - 1) return -1;
  for (int k = 1; k <= more; ++k) {
    if ((text[*i + k] & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (text[*i + k] & 0x3F);
  }
  *i += more + 1;
  static constexpr int32_t kLeast[] = {0, 0x80, 0x800, 0x10000};  // no overlong forms
  if (cp < kLeast[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return cp;
}

bool allowed_code_point(int32_t cp) {
  const bool control = cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F);
  const bool non_character = (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
  return !control && !non_character;
}

bool own_utf8_check(const char* text, int length) {
  if (text == nullptr || length < 0 || length > 65536) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (int i = 0; i < length;) {
    const int32_t cp = next_code_point(bytes, length, &i);
    if (cp < 0 || !allowed_code_point(cp)) return false;
  }
  return true;
}

// A topic that libmosquitto before 2.0 would send although a broker may drop the connection for
// it; 2.0 refuses it itself.
bool unsendable_topic(const char* topic) {
  return !kHasUtf8Checks && topic != nullptr &&
         !own_utf8_check(topic, static_cast<int>(strnlen(topic, 65537)));
}

void set_socket_nodelay(struct mosquitto* mosq) {
  const int fd = mosquitto_socket(mosq);
  const int on = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A client whose socket number refers to no open file after a failed connect would close that
// number again later: it gets a placeholder of its own (/dev/null, which reads as end of file,
// so the next service step ends the session as a lost connection).
void hold_closed_socket(struct mosquitto* mosq) {
  const int fd = mosquitto_socket(mosq);
  if (fd < 0 || fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
  const int placeholder = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (placeholder < 0 || placeholder == fd) return;
  dup3(placeholder, fd, O_CLOEXEC);
  close(placeholder);
}

int connect_v3(struct mosquitto* mosq, const char* host, int port, int keepalive, bool async) {
  return async ? mosquitto_connect_async(mosq, host, port, keepalive)
               : mosquitto_connect(mosq, host, port, keepalive);
}

// libmosquitto has no asynchronous connect with properties: this one waits for the TCP connection.
int connect_with_expiry(struct mosquitto* mosq, const char* host, int port, int keepalive,
                        uint32_t expiry_s) {
#if LIBMOSQUITTO_VERSION_NUMBER >= 1006000
  mosquitto_property* expiry = nullptr;
  mosquitto_property_add_int32(&expiry, MQTT_PROP_SESSION_EXPIRY_INTERVAL, expiry_s);
  const int rc = mosquitto_connect_bind_v5(mosq, host, port, keepalive, nullptr, expiry);
  mosquitto_property_free_all(&expiry);
  return rc;
#else
  (void)mosq, (void)host, (void)port, (void)keepalive, (void)expiry_s;
  return MOSQ_ERR_NOT_SUPPORTED;
#endif
}

}  // namespace

const char* mqtt_library_version() {
  static char text[40];
  int major = 0;
  int minor = 0;
  int revision = 0;
  mosquitto_lib_version(&major, &minor, &revision);
  snprintf(text, sizeof text, "%d.%d.%d", major, minor, revision);
  return text;
}

bool mqtt_library_speaks(int32_t level, char (&why)[kLibraryWhySize]) {
  if (level != kMqttProtocolV5 || LIBMOSQUITTO_VERSION_NUMBER >= kMqtt5Since) return true;
  snprintf(why, sizeof why, "needs libmosquitto %s or later (built with %d.%d.%d)", kMqtt5SinceText,
           LIBMOSQUITTO_MAJOR, LIBMOSQUITTO_MINOR, LIBMOSQUITTO_REVISION);
  return false;
}

bool mqtt_library_utf8_valid(const char* text, int length) {
#if LIBMOSQUITTO_VERSION_NUMBER >= 2000000
  return mosquitto_validate_utf8(text, length) == MOSQ_ERR_SUCCESS;
#else
  return own_utf8_check(text, length);
#endif
}

int mqtt_library_set_protocol(struct mosquitto* mosq, int32_t level) {
#if LIBMOSQUITTO_VERSION_NUMBER >= 1006000
  return mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, level);
#else
  int value = level;
  return mosquitto_opts_set(mosq, MOSQ_OPT_PROTOCOL_VERSION, &value);
#endif
}

int mqtt_library_connect(struct mosquitto* mosq, const char* host, int port, int keepalive,
                         const library_connect_options& options) {
#if LIBMOSQUITTO_VERSION_NUMBER >= 2000000
  if (options.nodelay) mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
#endif
  const int rc = options.session_expiry_s > 0
                     ? connect_with_expiry(mosq, host, port, keepalive, options.session_expiry_s)
                     : connect_v3(mosq, host, port, keepalive, options.async);
  if (!kHasNodelayOption && options.nodelay && rc == MOSQ_ERR_SUCCESS) set_socket_nodelay(mosq);
  if (rc != MOSQ_ERR_SUCCESS) hold_closed_socket(mosq);
  return rc;
}

int mqtt_library_publish(struct mosquitto* mosq, int* mid, const char* topic, int payloadlen,
                         const void* payload, int qos, bool retain) {
  if (unsendable_topic(topic)) return MOSQ_ERR_INVAL;
  return mosquitto_publish(mosq, mid, topic, payloadlen, payload, qos, retain);
}

int mqtt_library_subscribe(struct mosquitto* mosq, int* mid, const char* sub, int qos) {
  if (unsendable_topic(sub)) return MOSQ_ERR_INVAL;
  return mosquitto_subscribe(mosq, mid, sub, qos);
}

int mqtt_library_unsubscribe(struct mosquitto* mosq, int* mid, const char* sub) {
  if (unsendable_topic(sub)) return MOSQ_ERR_INVAL;
  return mosquitto_unsubscribe(mosq, mid, sub);
}
