// The controller's System V shared-memory segments. The daemon never creates, resizes or removes
// a segment; it attaches the existing ones read-write at start-up, and detaches and attaches them
// again only when the controller has removed and re-created them (shm_stale_segment).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

struct sensor_record;

// Keys of the controller (the key offset of support/paths.h is added when they are used).
constexpr int32_t kKeyReload = 41984;        // 0xA400
constexpr int32_t kKeySensordata = 41986;    // 0xA402
constexpr int32_t kKeyExternaldata = 41988;  // 0xA404
constexpr int32_t kKeyMappingdata = 41990;   // 0xA406
constexpr int32_t kKeyDemonstatus = 41992;   // 0xA408
constexpr int32_t kKeyLedArray = 41994;      // 0xA40A
constexpr int32_t kKeyChipid = 41995;        // 0xA40B
constexpr int32_t kKeyRgbArray = 41997;      // 0xA40D
constexpr int32_t kKeySensordata2 = 41998;   // 0xA40E

constexpr size_t kSizeReload = 1024;
constexpr size_t kSizeSensordata = 180224;
constexpr size_t kSizeSensordata2 = 16384;
constexpr size_t kSizeMappingdata = 53248;
constexpr size_t kSizeExternaldata = 143360;
constexpr size_t kSizeChipid = 118784;
constexpr size_t kSizeLedArray = 2097236;
constexpr size_t kSizeRgbArray = 36864;
constexpr size_t kSizeDemonstatus = 40960;

// shmget flags: read and write for everybody, never IPC_CREAT.
constexpr int kShmFlags = 0666;

// Selectors of shm_attach_all: the reload record alone, the reload record and the five tables,
// or those and the LED array or the RGB array.
constexpr int kSelectReloadOnly = -1;
constexpr int kSelectTables = 0;
constexpr int kSelectLedArray = 4550;
constexpr int kSelectRgbArray = 3653;

// Results of shm_attach_all.
constexpr int kAttachOk = 1;
constexpr int kAttachReloadGetFailed = -4;  // shmget of the reload record
constexpr int kAttachReloadAtFailed = -3;   // shmat of the reload record
constexpr int kAttachTableGetFailed = -2;   // shmget of one of the five tables
constexpr int kAttachTableAtFailed = -1;    // shmat of one of the five tables
constexpr int kAttachArrayGetFailed = -5;   // shmget of the LED or RGB array
constexpr int kAttachArrayAtFailed = 0;     // shmat of the LED or RGB array

// The reload record (SHM_Reload): 256 little-endian 32-bit words, of which the daemon reads two.
struct reload_record {
  int32_t reserved0[23];
  int32_t startup_lock;  // word 23: 1 = the controller released its start-up lock
  int32_t reserved1[79];
  int32_t reload_counter;  // word 103: any change asks for a configuration re-read
  int32_t reserved2[152];
};
static_assert(sizeof(reload_record) == 1024);
static_assert(offsetof(reload_record, startup_lock) == 92);
static_assert(offsetof(reload_record, reload_counter) == 412);

// Segment pointers, null until attached, then fixed until shm_detach_all.
// Written by shm_attach_all and shm_detach_all only.
extern reload_record* shm_reload;
extern sensor_record* shm_sensor;
extern void* shm_sensor2;
extern void* shm_mapping;
extern void* shm_external;
extern void* shm_chipid;
extern void* shm_ledarray;
extern void* shm_rgbarray;

// Which routine attaches a segment: shm_attach_all by its selector, or demonstatus_attach.
enum class shm_group { reload, table, led_array, rgb_array, status };

// One System V segment of the controller, every fact of it in one place: what the attach routines
// get and attach, the message each of its failures prints on stdout (the "\xFC" is the Latin-1
// "u umlaut" of the controller's texts) with the result that goes with it, and the exported
// pointer that receives its address.
struct shm_segment {
  const char* name;
  int32_t key;  // before the key offset
  size_t size;
  shm_group group;
  const char* shmget_message;    // shmget failed: the segment is missing or smaller than size
  int shmget_result;             // ... and what the attach routine returns then
  const char* shmat_message;     // shmat failed
  int shmat_result;              // ... and what the attach routine returns then
  void (*store)(void* address);  // sets the exported pointer; null for the status table, whose
                                 // pointer belongs to demonstatus (shm/demonstatus.h)
};

inline constexpr shm_segment kSegReload = {
    "SHM_Reload",
    kKeyReload,
    kSizeReload,
    shm_group::reload,
    "shmget f\xFC"
    "r SHM_Reload war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachReloadGetFailed,
    "Problem beim Zugriff auf RELOAD shared memory !",
    kAttachReloadAtFailed,
    [](void* a) { shm_reload = static_cast<reload_record*>(a); }};
inline constexpr shm_segment kSegSensordata = {
    "SHM_Sensordata",
    kKeySensordata,
    kSizeSensordata,
    shm_group::table,
    "shmget f\xFC"
    "r SHM_Sensordata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf SENSORDATA shared memory !",
    kAttachTableAtFailed,
    [](void* a) { shm_sensor = static_cast<sensor_record*>(a); }};
inline constexpr shm_segment kSegSensordata2 = {
    "SHM_Sensordata2",
    kKeySensordata2,
    kSizeSensordata2,
    shm_group::table,
    "shmget f\xFC"
    "r SHM_Sensordata2 war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf SENSORDATA2 shared memory !",
    kAttachTableAtFailed,
    [](void* a) { shm_sensor2 = a; }};
inline constexpr shm_segment kSegMappingdata = {
    "SHM_Mappingdata",
    kKeyMappingdata,
    kSizeMappingdata,
    shm_group::table,
    "shmget f\xFC"
    "r SHM_Mappingdata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf MAPPINGDATA shared memory !",
    kAttachTableAtFailed,
    [](void* a) { shm_mapping = a; }};
inline constexpr shm_segment kSegExternaldata = {
    "SHM_Externaldata",
    kKeyExternaldata,
    kSizeExternaldata,
    shm_group::table,
    "shmget f\xFC"
    "r SHM_Externaldata war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf EXTERNALDATA shared memory !",
    kAttachTableAtFailed,
    [](void* a) { shm_external = a; }};
inline constexpr shm_segment kSegChipid = {
    "SHM_Chipid",
    kKeyChipid,
    kSizeChipid,
    shm_group::table,
    "shmget f\xFC"
    "r SHM_Chipid war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachTableGetFailed,
    "Problem beim Zugriff auf CHIPIDDATA shared memory !",
    kAttachTableAtFailed,
    [](void* a) { shm_chipid = a; }};
inline constexpr shm_segment kSegLedArray = {
    "SHM_LED-Array",
    kKeyLedArray,
    kSizeLedArray,
    shm_group::led_array,
    "shmget f\xFC"
    "r SHM_LED-Array war erfolglos ! (shm_create nicht aufgerufen ?)",
    kAttachArrayGetFailed,
    "Problem beim Zugriff auf LED-Array_data shared memory !",
    kAttachArrayAtFailed,
    [](void* a) { shm_ledarray = a; }};
inline constexpr shm_segment kSegRgbArray = {
    "SHM_RGB-Array",
    kKeyRgbArray,
    kSizeRgbArray,
    shm_group::rgb_array,
    "shmget f\xFC"
    "r SHM_RGB-Array war erfolglos ! (shm_create nicht aufgerufen oder aelter als V 3.205 ?)",
    kAttachArrayGetFailed,
    "Problem beim Zugriff auf RGB-Array_data shared memory !",
    kAttachArrayAtFailed,
    [](void* a) { shm_rgbarray = a; }};
// The status table; its two results are those of demonstatus_attach.
inline constexpr shm_segment kSegDemonstatus = {
    "SHM_demonstatus_data",
    kKeyDemonstatus,
    kSizeDemonstatus,
    shm_group::status,
    "shmget f\xFC"
    "r SHM_demonstatus_data war erfolglos ! (shm_create nicht aufgerufen ?)",
    -1,
    "Problem beim Zugriff auf DEMONSTATUS shared memory !",
    0,
    nullptr};

// Every segment of the controller, in the order the attach routines attach them, the status table
// last. The controller simulator creates exactly these; attach, detach and the stale-segment check
// iterate this table.
inline constexpr shm_segment kSegments[] = {kSegReload,      kSegSensordata,   kSegSensordata2,
                                            kSegMappingdata, kSegExternaldata, kSegChipid,
                                            kSegLedArray,    kSegRgbArray,     kSegDemonstatus};
inline constexpr size_t kSegmentCount = std::size(kSegments);

// Attaches the reload record and, unless selector is kSelectReloadOnly, the sensor table, the
// second sensor table, the mapping, external-data and chip-id tables, and for kSelectLedArray the
// LED array or for kSelectRgbArray the RGB array. Stops at the first failure, prints its one
// message on stdout (nothing when `report` is false) and returns its result (kAttach...Failed).
// Returns kAttachOk when everything requested is attached. Earlier attachments stay; to attach
// again, call shm_detach_all first (a pointer attached over is never detached).
int shm_attach_all(int selector, bool report = true);

// Detaches every segment attached by shm_attach_all, sets its pointer to null and forgets its id.
void shm_detach_all();

// Result of shm_attach_segment when shmget or shmat failed (the segment stays unattached).
constexpr int kSegmentGetFailed = -1;
constexpr int kSegmentAtFailed = 0;

// Gets `segment` (key offset added, kShmFlags) and attaches it read-write at an address the system
// chooses; remembers its id for shm_stale_segment. Returns the address and sets *result to
// kAttachOk, or returns null with kSegmentGetFailed or kSegmentAtFailed. Prints nothing.
void* shm_attach_segment(const shm_segment& segment, int* result);

// Detaches `address`, attached by shm_attach_segment for `segment`, and forgets its id. Null does
// nothing.
void shm_detach_segment(const shm_segment& segment, void* address);

// Name of the first attached segment that is no longer the live one for its key (shmget of the
// key gives another id or none, or the segment is marked for removal), as when the controller
// removed and re-created its segments; null while every attached segment is live. Two system
// calls per attached segment.
const char* shm_stale_segment();

// The two words of the reload record, read afresh from shared memory.
// REQUIRES: shm_reload attached.
int32_t reload_startup_lock();
int32_t reload_counter();
