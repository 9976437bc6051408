#include "support/paths.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Prefix of every fixed absolute path; empty on a controller.
char root_prefix[kPathCapacity];
// Added to every System V key; 0 on a controller.
int32_t key_offset = 0;

}  // namespace

// Takes K482916_ROOT and K482916_SHM_KEY_OFFSET from the environment; unset variables give the
// controller's own paths and keys.
int paths_init() {
  paths_set(nullptr, 0);
  const char* root = getenv("K482916_ROOT");
  const char* offset = getenv("K482916_SHM_KEY_OFFSET");
  if (root != nullptr && root[0] != '\0' &&
      (root[0] != '/' || strnlen(root, kPathCapacity) >= kPathCapacity)) {
    fprintf(stderr,
            "K482916_ROOT \"%.100s\" refused: not an absolute path of at most %zu characters\n",
            root, kPathCapacity - 1);
    return -1;
  }
  uint32_t value = 0;
  if (offset != nullptr && offset[0] != '\0') {
    const char* end = offset + strlen(offset);
    auto [last, error] = std::from_chars(offset, end, value);
    if (error != std::errc() || last != end || value > static_cast<uint32_t>(kMaxKeyOffset)) {
      fprintf(stderr,
              "K482916_SHM_KEY_OFFSET \"%.100s\" refused: not a decimal number from 0 to %ld\n",
              offset, static_cast<long>(kMaxKeyOffset));
      return -1;
    }
  }
  paths_set(root, static_cast<int32_t>(value));
  return 0;
}

// Stores the prefix (cut to kPathCapacity - 1 characters; null means none) and the key offset.
void paths_set(const char* root, int32_t offset) {
  snprintf(root_prefix, sizeof root_prefix, "%s", root != nullptr ? root : "");
  key_offset = offset;
}

// Prefix and path into out, always terminated; -1 tells the caller the path was cut.
// Uses only snprintf on static data.
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
