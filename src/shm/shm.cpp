// Attaching the controller's segments and reading the reload record.
#include "shm/shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>

#include "support/paths.h"

reload_record* shm_reload = nullptr;
sensor_record* shm_sensor = nullptr;
void* shm_sensor2 = nullptr;
void* shm_mapping = nullptr;
void* shm_external = nullptr;
void* shm_chipid = nullptr;
void* shm_ledarray = nullptr;
void* shm_rgbarray = nullptr;

namespace {

// Id and address of each attached segment, by its position in kSegments; -1 and null while it is
// not attached.
int attached_id[kSegmentCount];
void* attached_address[kSegmentCount];
struct AttachedInit {
  AttachedInit() {
    for (int& id : attached_id) id = -1;
  }
} attached_init;

// Position of `segment` in kSegments (keys are unique), or kSegmentCount for none.
size_t segment_index(const shm_segment& segment) {
  size_t i = 0;
  while (i < kSegmentCount && kSegments[i].key != segment.key) ++i;
  return i;
}

// True when shm_attach_all attaches the segments of `group` for `selector`.
bool selected(shm_group group, int selector) {
  switch (group) {
    case shm_group::reload:
      return true;
    case shm_group::table:
      return selector != kSelectReloadOnly;
    case shm_group::led_array:
      return selector == kSelectLedArray;
    case shm_group::rgb_array:
      return selector == kSelectRgbArray;
    case shm_group::status:
      return false;
  }
  return false;
}

// Marker that shmat returns on failure.
void* const kShmatFailed = reinterpret_cast<void*>(-1);

}  // namespace

// Attaches the segments the selector asks for, in the controller's order, each into its pointer
// (null when it fails, so no caller can ever dereference the failure marker), stopping at the
// first failure with that segment's result (and message). Earlier attachments stay.
int shm_attach_all(int selector, bool report) {
  for (const shm_segment& segment : kSegments) {
    if (!selected(segment.group, selector)) continue;
    int result = kAttachOk;
    segment.store(shm_attach_segment(segment, &result));
    if (result == kAttachOk) continue;
    const bool get_failed = result == kSegmentGetFailed;
    if (report) {
      std::printf("%s\n", get_failed ? segment.shmget_message : segment.shmat_message);
      std::fflush(stdout);
    }
    return get_failed ? segment.shmget_result : segment.shmat_result;
  }
  return kAttachOk;
}

void shm_detach_all() {
  for (size_t i = 0; i < kSegmentCount; ++i) {
    if (kSegments[i].store == nullptr) continue;
    shm_detach_segment(kSegments[i], attached_address[i]);
    kSegments[i].store(nullptr);
  }
}

// The address from shmat is examined before it is returned: the failure marker never leaves here.
void* shm_attach_segment(const shm_segment& segment, int* result) {
  int id = shmget(shm_key(segment.key), segment.size, kShmFlags);
  if (id < 0) {
    *result = kSegmentGetFailed;
    return nullptr;
  }
  void* address = shmat(id, nullptr, 0);
  if (address == kShmatFailed) {
    *result = kSegmentAtFailed;
    return nullptr;
  }
  const size_t i = segment_index(segment);
  if (i < kSegmentCount) {
    attached_id[i] = id;
    attached_address[i] = address;
  }
  *result = kAttachOk;
  return address;
}

void shm_detach_segment(const shm_segment& segment, void* address) {
  if (address == nullptr) return;
  shmdt(address);
  const size_t i = segment_index(segment);
  if (i < kSegmentCount) {
    attached_id[i] = -1;
    attached_address[i] = nullptr;
  }
}

// When the controller removes a segment, the system marks it for removal and frees its key while
// this process still has it attached; a segment made anew under the key gets another id. So a
// segment is live while its key still leads to the id attached and it is not marked for removal.
const char* shm_stale_segment() {
  for (size_t i = 0; i < kSegmentCount; ++i) {
    if (attached_id[i] < 0) continue;
    struct shmid_ds info;
    if (shmget(shm_key(kSegments[i].key), 0, 0) != attached_id[i] ||
        shmctl(attached_id[i], IPC_STAT, &info) != 0 || (info.shm_perm.mode & SHM_DEST) != 0)
      return kSegments[i].name;
  }
  return nullptr;
}

// Other processes change these words at any time: read through volatile so that every call loads
// the current value from the segment instead of one the compiler kept from an earlier read.
int32_t reload_startup_lock() {
  return static_cast<volatile const reload_record*>(shm_reload)->startup_lock;
}

int32_t reload_counter() {
  return static_cast<volatile const reload_record*>(shm_reload)->reload_counter;
}
