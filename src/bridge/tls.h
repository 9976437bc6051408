// TLS of a broker session: which files it uses, and the one rule for a client key that is no
// longer secret (when TLS is on: mqtt_tls_on, bridge/options.h). The daemon's session, "--check"
// and "--check --connect" all decide with these routines, so they can never disagree about a
// configuration.
#pragma once

#include <cstddef>

#include "support/paths.h"

struct mosquitto;

// The files of a TLS session, root prefix added: the CA file (mqtt_cafile, else the CA bundle)
// and, when both mqtt_certfile and mqtt_keyfile are set, the client certificate and key with the
// key file's permission bits (0 when it cannot be examined).
struct tls_files {
  char cafile[kPathCapacity];
  char certfile[kPathCapacity];
  char keyfile[kPathCapacity];
  bool with_cert;
  unsigned key_mode;
};
void mqtt_tls_files(tls_files* files);

// The one rule for a client key: a key file readable by group or others is exposed and is never
// used (writable but not readable by them is accepted: the key stays secret). Returns true for
// such a key and writes why into `why` (cut to cap - 1): key file "<path>" is readable by group
// or others (mode 644). Returns false, leaving `why` alone, when there is no client key or it is
// secret.
bool mqtt_key_exposed(const tls_files& files, char* why, size_t cap);

// Result of mqtt_client_tls for an exposed key (mqtt_key_exposed): such a key is not used.
constexpr int kTlsKeyExposed = -1;

// Switches TLS on for mosq with `files`, host-name checking on, no insecure mode. Returns
// libmosquitto's result, or kTlsKeyExposed without calling it; anything but MOSQ_ERR_SUCCESS means
// the client must not connect (it would otherwise connect in clear text or spread a key that is
// no longer secret).
int mqtt_client_tls(struct mosquitto* mosq, const tls_files& files);
