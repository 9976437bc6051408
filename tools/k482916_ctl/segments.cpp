// Creating, removing and attaching the controller's segments; the reload record's two words.
#include <errno.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "support/paths.h"

namespace {

// Removes the segment with this id; used to undo a half-finished create.
void remove_id(int id) {
  shmctl(id, IPC_RMID, nullptr);
}

}  // namespace

// Checks all keys first so that an existing controller (or another simulator on the same key
// offset) is never disturbed; then creates them with IPC_EXCL, which also catches a race.
int ctl_create(bool locked) {
  for (const shm_segment& s : kSegments) {
    if (shmget(shm_key(s.key), 0, 0) >= 0) {
      std::fprintf(stderr,
                   "k482916_ctl: segment %s (key %d) exists already; run 'k482916_ctl remove' "
                   "first\n",
                   s.name, shm_key(s.key));
      return kExitFailure;
    }
  }
  int ids[kSegmentCount];
  for (size_t i = 0; i < kSegmentCount; ++i) {
    const shm_segment& s = kSegments[i];
    ids[i] = shmget(shm_key(s.key), s.size, IPC_CREAT | IPC_EXCL | kShmFlags);
    if (ids[i] < 0) {
      std::fprintf(stderr, "k482916_ctl: cannot create %s (key %d, %zu bytes): %s\n", s.name,
                   shm_key(s.key), s.size, strerror(errno));
      for (size_t j = 0; j < i; ++j) remove_id(ids[j]);
      return kExitFailure;
    }
  }
  reload_record* reload = ctl_reload_record();
  if (reload == nullptr) {
    for (int id : ids) remove_id(id);
    return kExitFailure;
  }
  static_cast<volatile reload_record*>(reload)->startup_lock = locked ? 0 : 1;
  std::printf("created %zu segments at key offset %d, start-up lock %s\n", kSegmentCount,
              shm_key(0), locked ? "held" : "released");
  return kExitOk;
}

int ctl_remove() {
  int removed = 0;
  int result = kExitOk;
  for (const shm_segment& s : kSegments) {
    int id = shmget(shm_key(s.key), 0, 0);
    if (id < 0) continue;
    if (shmctl(id, IPC_RMID, nullptr) != 0) {
      std::fprintf(stderr, "k482916_ctl: cannot remove %s (key %d): %s\n", s.name, shm_key(s.key),
                   strerror(errno));
      result = kExitFailure;
      continue;
    }
    ++removed;
  }
  std::printf("removed %d segments\n", removed);
  return result;
}

int ctl_set_lock(int32_t value) {
  reload_record* reload = ctl_reload_record();
  if (reload == nullptr) return kExitFailure;
  static_cast<volatile reload_record*>(reload)->startup_lock = value;
  std::printf("startup_lock = %d\n", value);
  return kExitOk;
}

// Wraps like the controller's 32-bit counter; computed unsigned so the wrap is defined.
int ctl_reload() {
  reload_record* reload = ctl_reload_record();
  if (reload == nullptr) return kExitFailure;
  volatile reload_record* r = reload;
  int32_t next = static_cast<int32_t>(static_cast<uint32_t>(r->reload_counter) + 1u);
  r->reload_counter = next;
  std::printf("reload_counter = %d\n", next);
  return kExitOk;
}

// A segment that is missing or smaller than `size` is reported as missing, as the daemon would
// find it.
bool ctl_attach(const shm_segment& segment, void** out) {
  *out = nullptr;
  int id = shmget(shm_key(segment.key), segment.size, kShmFlags);
  if (id < 0) {
    std::fprintf(stderr,
                 "k482916_ctl: %s (key %d) is missing or too small (%s); run 'k482916_ctl "
                 "create' first\n",
                 segment.name, shm_key(segment.key), strerror(errno));
    return false;
  }
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    std::fprintf(stderr, "k482916_ctl: cannot attach %s (key %d): %s\n", segment.name,
                 shm_key(segment.key), strerror(errno));
    return false;
  }
  *out = address;
  return true;
}

sensor_record* ctl_sensor_table() {
  void* p = nullptr;
  return ctl_attach(kSegSensordata, &p) ? static_cast<sensor_record*>(p) : nullptr;
}

reload_record* ctl_reload_record() {
  void* p = nullptr;
  return ctl_attach(kSegReload, &p) ? static_cast<reload_record*>(p) : nullptr;
}

status_entry* ctl_status_table() {
  void* p = nullptr;
  return ctl_attach(kSegDemonstatus, &p) ? static_cast<status_entry*>(p) : nullptr;
}
