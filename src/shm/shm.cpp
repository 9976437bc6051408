// Attaching the controller's segments and reading the reload record.
#include "shm/shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <iterator>

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

constexpr size_t kSegmentCount = std::size(kSegments);

// Id of each attached segment, by its position in kSegments; -1 while not attached.
int attached_id[kSegmentCount] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
static_assert(kSegmentCount == 9);

// Position of `segment` in kSegments (keys are unique), or kSegmentCount for none.
size_t segment_index(const shm_segment& segment) {
  size_t i = 0;
  while (i < kSegmentCount && kSegments[i].key != segment.key) ++i;
  return i;
}

// One segment of the attach sequence: the segment, the two messages of its failures and the
// results that go with them.
struct segment_step {
  shm_segment segment;
  const char* shmget_message;
  int shmget_result;
  const char* shmat_message;
  int shmat_result;
};

constexpr segment_step kReloadStep = {
    kSegReload,
    "shmget f\xFC"
    "r SHM_Reload war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachReloadGetFailed, "Problem beim Zugriff auf RELOAD shared memory !",
    kAttachReloadAtFailed};

constexpr segment_step kSensordataStep = {
    kSegSensordata,
    "shmget f\xFC"
    "r SHM_Sensordata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed, "Problem beim Zugriff auf SENSORDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kSensordata2Step = {
    kSegSensordata2,
    "shmget f\xFC"
    "r SHM_Sensordata2 war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed, "Problem beim Zugriff auf SENSORDATA2 shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kMappingdataStep = {
    kSegMappingdata,
    "shmget f\xFC"
    "r SHM_Mappingdata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed, "Problem beim Zugriff auf MAPPINGDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kExternaldataStep = {
    kSegExternaldata,
    "shmget f\xFC"
    "r SHM_Externaldata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed, "Problem beim Zugriff auf EXTERNALDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kChipidStep = {
    kSegChipid,
    "shmget f\xFC"
    "r SHM_Chipid war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed, "Problem beim Zugriff auf CHIPIDDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kLedArrayStep = {
    kSegLedArray,
    "shmget f\xFC"
    "r SHM_LED-Array war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachArrayGetFailed, "Problem beim Zugriff auf LED-Array_data shared memory !",
    kAttachArrayAtFailed};

constexpr segment_step kRgbArrayStep = {
    kSegRgbArray,
    "shmget f\xFC"
    "r SHM_RGB-Array war erfolglos ! (shm_create nicht aufgerufen oder aelter als V 3.205 ?)",
    kAttachArrayGetFailed, "Problem beim Zugriff auf RGB-Array_data shared memory !",
    kAttachArrayAtFailed};

// Marker that shmat returns on failure.
void* const kShmatFailed = reinterpret_cast<void*>(-1);

// Gets and attaches one segment into `pointer`. Returns kAttachOk when attached; otherwise prints
// the step's message on stdout when `report` is set and returns the step's result. A failed
// attach leaves the pointer null, so no caller can ever dereference the failure marker.
template <typename T>
int attach_segment(const segment_step& step, T*& pointer, bool report) {
  int result = kAttachOk;
  pointer = static_cast<T*>(shm_attach_segment(step.segment, &result));
  if (result == kAttachOk) return kAttachOk;
  if (report) {
    std::printf("%s\n", result == kSegmentGetFailed ? step.shmget_message : step.shmat_message);
    std::fflush(stdout);
  }
  return result == kSegmentGetFailed ? step.shmget_result : step.shmat_result;
}

// Detaches one segment of the attach sequence and clears its pointer.
template <typename T>
void detach_segment(const shm_segment& segment, T*& pointer) {
  shm_detach_segment(segment, pointer);
  pointer = nullptr;
}

}  // namespace

// Attaches the segments the selector asks for, in the controller's order, stopping at the first
// failure with that step's result (and message). Earlier attachments stay.
int shm_attach_all(int selector, bool report) {
  int result = attach_segment(kReloadStep, shm_reload, report);
  if (result != kAttachOk) return result;
  if (selector == kSelectReloadOnly) return kAttachOk;

  if ((result = attach_segment(kSensordataStep, shm_sensor, report)) != kAttachOk) return result;
  if ((result = attach_segment(kSensordata2Step, shm_sensor2, report)) != kAttachOk) return result;
  if ((result = attach_segment(kMappingdataStep, shm_mapping, report)) != kAttachOk) return result;
  if ((result = attach_segment(kExternaldataStep, shm_external, report)) != kAttachOk)
    return result;
  if ((result = attach_segment(kChipidStep, shm_chipid, report)) != kAttachOk) return result;

  if (selector == kSelectLedArray) return attach_segment(kLedArrayStep, shm_ledarray, report);
  if (selector == kSelectRgbArray) return attach_segment(kRgbArrayStep, shm_rgbarray, report);
  return kAttachOk;
}

void shm_detach_all() {
  detach_segment(kSegReload, shm_reload);
  detach_segment(kSegSensordata, shm_sensor);
  detach_segment(kSegSensordata2, shm_sensor2);
  detach_segment(kSegMappingdata, shm_mapping);
  detach_segment(kSegExternaldata, shm_external);
  detach_segment(kSegChipid, shm_chipid);
  detach_segment(kSegLedArray, shm_ledarray);
  detach_segment(kSegRgbArray, shm_rgbarray);
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
  if (i < kSegmentCount) attached_id[i] = id;
  *result = kAttachOk;
  return address;
}

void shm_detach_segment(const shm_segment& segment, void* address) {
  if (address == nullptr) return;
  shmdt(address);
  const size_t i = segment_index(segment);
  if (i < kSegmentCount) attached_id[i] = -1;
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
