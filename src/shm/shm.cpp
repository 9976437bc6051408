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
    kAttachReloadGetFailed,
    "Problem beim Zugriff auf RELOAD shared memory !",
    kAttachReloadAtFailed};

constexpr segment_step kSensordataStep = {
    kSegSensordata,
    "shmget f\xFC"
    "r SHM_Sensordata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf SENSORDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kSensordata2Step = {
    kSegSensordata2,
    "shmget f\xFC"
    "r SHM_Sensordata2 war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf SENSORDATA2 shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kMappingdataStep = {
    kSegMappingdata,
    "shmget f\xFC"
    "r SHM_Mappingdata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf MAPPINGDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kExternaldataStep = {
    kSegExternaldata,
    "shmget f\xFC"
    "r SHM_Externaldata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf EXTERNALDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kChipidStep = {
    kSegChipid,
    "shmget f\xFC"
    "r SHM_Chipid war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf CHIPIDDATA shared memory !",
    kAttachTableAtFailed};

constexpr segment_step kLedArrayStep = {
    kSegLedArray,
    "shmget f\xFC"
    "r SHM_LED-Array war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachArrayGetFailed,
    "Problem beim Zugriff auf LED-Array_data shared memory !",
    kAttachArrayAtFailed};

constexpr segment_step kRgbArrayStep = {
    kSegRgbArray,
    "shmget f\xFC"
    "r SHM_RGB-Array war erfolglos ! (shm_create nicht aufgerufen oder aelter als V 3.205 ?)",
    kAttachArrayGetFailed,
    "Problem beim Zugriff auf RGB-Array_data shared memory !",
    kAttachArrayAtFailed};

// Marker that shmat returns on failure.
void* const kShmatFailed = reinterpret_cast<void*>(-1);

// Gets and attaches one segment into `pointer`. Returns kAttachOk when attached; otherwise prints the
// step's message on stdout and returns the step's result. The address from shmat is stored before
// it is examined; a failed one is replaced by null at once, so no caller can ever dereference the
// failure marker.
template <typename T>
int attach_segment(const segment_step& step, T*& pointer) {
  int id = shmget(shm_key(step.segment.key), step.segment.size, kShmFlags);
  if (id < 0) {
    std::printf("%s\n", step.shmget_message);
    std::fflush(stdout);
    return step.shmget_result;
  }
  pointer = static_cast<T*>(shmat(id, nullptr, 0));
  if (static_cast<void*>(pointer) == kShmatFailed) {
    pointer = nullptr;
    std::printf("%s\n", step.shmat_message);
    std::fflush(stdout);
    return step.shmat_result;
  }
  return kAttachOk;
}

}  // namespace

// Attaches the segments the selector asks for, in the controller's order, stopping at the first
// failure with that step's message and result. Earlier attachments stay.
int shm_attach_all(int selector) {
  int result = attach_segment(kReloadStep, shm_reload);
  if (result != kAttachOk) return result;
  if (selector == kSelectReloadOnly) return kAttachOk;

  if ((result = attach_segment(kSensordataStep, shm_sensor)) != kAttachOk) return result;
  if ((result = attach_segment(kSensordata2Step, shm_sensor2)) != kAttachOk) return result;
  if ((result = attach_segment(kMappingdataStep, shm_mapping)) != kAttachOk) return result;
  if ((result = attach_segment(kExternaldataStep, shm_external)) != kAttachOk) return result;
  if ((result = attach_segment(kChipidStep, shm_chipid)) != kAttachOk) return result;

  if (selector == kSelectLedArray) return attach_segment(kLedArrayStep, shm_ledarray);
  if (selector == kSelectRgbArray) return attach_segment(kRgbArrayStep, shm_rgbarray);
  return kAttachOk;
}

// Other processes change these words at any time: read through volatile so that every call loads
// the current value from the segment instead of one the compiler kept from an earlier read.
int32_t reload_startup_lock() {
  return static_cast<volatile const reload_record*>(shm_reload)->startup_lock;
}

int32_t reload_counter() {
  return static_cast<volatile const reload_record*>(shm_reload)->reload_counter;
}
