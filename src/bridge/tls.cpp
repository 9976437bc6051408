#include "bridge/tls.h"

#include <mosquitto.h>
#include <sys/stat.h>

#include <cstdio>

#include "bridge/options.h"

namespace {

// A key file with a pass phrase has nobody to type it: the key is refused instead of asking.
int no_passphrase(char*, int, int, void*) {
  return 0;
}

}  // namespace

void mqtt_tls_files(tls_files* files) {
  path_with_root(mqtt_cafile[0] != '\0' ? mqtt_cafile : kCaBundle, files->cafile,
                 sizeof files->cafile);
  files->with_cert = mqtt_certfile[0] != '\0' && mqtt_keyfile[0] != '\0';
  files->certfile[0] = '\0';
  files->keyfile[0] = '\0';
  files->key_mode = 0;
  if (!files->with_cert) return;
  path_with_root(mqtt_certfile, files->certfile, sizeof files->certfile);
  path_with_root(mqtt_keyfile, files->keyfile, sizeof files->keyfile);
  struct stat st;
  if (stat(files->keyfile, &st) == 0) files->key_mode = st.st_mode & 0777;
}

// Reading is what spreads a key; the daemon has used group-writable keys all along, and refusing
// them now would cut working controllers off their broker.
bool mqtt_key_exposed(const tls_files& files, char* why, size_t cap) {
  if (!files.with_cert || (files.key_mode & (S_IRGRP | S_IROTH)) == 0) return false;
  snprintf(why, cap, "key file \"%s\" is readable by group or others (mode %03o)", files.keyfile,
           files.key_mode);
  return true;
}

// No CA directory and no insecure mode is ever set; a key with a pass phrase is refused rather
// than asked for.
int mqtt_client_tls(struct mosquitto* mosq, const tls_files& files) {
  char why[kPathCapacity + 64];
  if (mqtt_key_exposed(files, why, sizeof why)) return kTlsKeyExposed;
  const bool cert = files.with_cert;
  return mosquitto_tls_set(mosq, files.cafile, nullptr, cert ? files.certfile : nullptr,
                           cert ? files.keyfile : nullptr, cert ? no_passphrase : nullptr);
}
