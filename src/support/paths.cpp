#include "support/paths.h"

#include <cstdio>
#include <cstdlib>

#include "support/numbers.h"

namespace {

// Prefix of every fixed absolute path; empty on a controller.
char root_prefix[kPathCapacity];
// Added to every System V key; 0 on a controller.
int32_t key_offset = 0;

}  // namespace

// Takes K482916_ROOT and K482916_SHM_KEY_OFFSET from the environment; unset variables give the
// controller's own paths and keys. An offset that is not a decimal number counts as 0.
void paths_init() {
  const char* root = getenv("K482916_ROOT");
  const char* offset = getenv("K482916_SHM_KEY_OFFSET");
  paths_set(root, offset != nullptr ? atol32(offset) : 0);
}

// Stores the prefix (cut to kPathCapacity - 1 characters; null means none) and the key offset.
void paths_set(const char* root, int32_t offset) {
  snprintf(root_prefix, sizeof root_prefix, "%s", root != nullptr ? root : "");
  key_offset = offset;
}

// Prefix and path into out, always terminated; -1 tells the caller the path was cut.
// Uses only snprintf on static data, so the log module may call it from a signal handler.
int path_with_root(const char* absolute, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  int n = snprintf(out, cap, "%s%s", root_prefix, absolute != nullptr ? absolute : "");
  if (n < 0 || static_cast<size_t>(n) >= cap) return -1;
  return 0;
}

// The offset is added modulo 2^32, as a key is only a 32-bit pattern to shmget.
int32_t shm_key(int32_t key) {
  return static_cast<int32_t>(static_cast<uint32_t>(key) + static_cast<uint32_t>(key_offset));
}
