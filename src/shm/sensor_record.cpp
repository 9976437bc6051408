// Access to the entries of the sensor table: real-id search, publishable value, actor commands.
#include "shm/sensor_record.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "shm/shm.h"

// Scans the entries in index order and stops at the first match, so a DB id held twice resolves
// to the lower real id. Reads db_id through volatile: other processes may change entries at any
// time and every search must see the table as it is now.
int32_t find_sensor_real_id(int32_t db_id) {
  if (shm_sensor == nullptr) return -1;
  volatile const sensor_record* table = shm_sensor;
  for (int32_t i = 0; i < kSensorCount; ++i) {
    if (table[i].db_id == db_id) return i;
  }
  return -1;
}

namespace {

constexpr uint32_t kIndexMask = (1u << sensor_index::kSlotBits) - 1;

// The slot of db_id in an index, or the free slot where it belongs: a multiplicative hash, then
// the next slots in turn. There is always a free slot, as at most half of them are used.
uint32_t index_slot(const sensor_index& index, int32_t db_id) {
  uint32_t slot = (static_cast<uint32_t>(db_id) * 2654435761u) >> (32 - sensor_index::kSlotBits);
  while (index.real_id[slot] >= 0 && index.db_id[slot] != db_id) slot = (slot + 1) & kIndexMask;
  return slot;
}

}  // namespace

// In index order, so that the first entry of a DB id held twice is the one kept.
void sensor_index_build(sensor_index* index) {
  for (int16_t& r : index->real_id) r = -1;
  if (shm_sensor == nullptr) return;
  volatile const sensor_record* table = shm_sensor;
  for (int32_t i = 0; i < kSensorCount; ++i) {
    const int32_t db_id = table[i].db_id;
    const uint32_t slot = index_slot(*index, db_id);
    if (index->real_id[slot] >= 0) continue;
    index->db_id[slot] = db_id;
    index->real_id[slot] = static_cast<int16_t>(i);
  }
}

int32_t sensor_index_find(const sensor_index& index, int32_t db_id) {
  const int32_t real_id = index.real_id[index_slot(index, db_id)];
  if (real_id >= 0 && shm_sensor != nullptr &&
      static_cast<volatile const sensor_record*>(shm_sensor)[real_id].db_id == db_id)
    return real_id;
  return find_sensor_real_id(db_id);
}

namespace {

// The fields the bridge reads, one volatile load each; *out starts from zero, so two copies of the
// same state compare equal byte for byte.
void copy_read_fields(const volatile sensor_record& entry, sensor_record* out) {
  *out = sensor_record{};
  out->db_id = entry.db_id;
  out->type = entry.type;
  out->value1.value = entry.value1.value;
  out->value2.value = entry.value2.value;
  for (size_t i = 0; i < sizeof out->unit; ++i) out->unit[i] = entry.unit[i];
  out->error_code = entry.error_code;
}

}  // namespace

bool sensor_record_read(int32_t real_id, sensor_record* out) {
  *out = sensor_record{};
  if (shm_sensor == nullptr || real_id < 0 || real_id >= kSensorCount) return false;
  const volatile sensor_record& entry = shm_sensor[real_id];
  sensor_record again;
  copy_read_fields(entry, out);
  for (int i = 1; i < kSensorReadTries; ++i) {
    copy_read_fields(entry, &again);
    if (memcmp(out, &again, sizeof again) == 0) return true;
    *out = again;
  }
  *out = sensor_record{};
  return false;
}

// Types 1, 2 and 4 are the only ones that carry a value for the bridge.
bool sensor_publish_value(const sensor_record& entry, double* value) {
  switch (entry.type) {
    case kEntrySensor:
      *value = entry.value1.value;
      return true;
    case kEntryActor:
    case kEntrySensor2:
      *value = entry.value2.value;
      return true;
    default:
      return false;
  }
}

// The conversion to int32 is only defined for values inside the int32 range; everything else is
// pinned to the nearest bound (NaN to 0) before the cast.
int32_t value_x100_of(double value) {
  double scaled = value * 100.0;
  if (std::isnan(scaled)) return 0;
  if (scaled >= 2147483647.0) return INT32_MAX;
  if (scaled <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(scaled);
}

// snprintf into a buffer of the field's size cuts an over-long number at 39 characters.
void value_text(double value, char (&out)[sizeof(value_block::text)]) {
  std::snprintf(out, sizeof out, "%1.2f", value);
}

// The text is formatted first, then copied byte by byte, NUL included.
void value_block_write(value_block* block, double value, int32_t now) {
  char text[sizeof block->text];
  value_text(value, text);

  volatile value_block* out = block;
  out->value = value;
  out->value_x100 = value_x100_of(value);
  for (size_t i = 0; i < sizeof text; ++i) {
    out->text[i] = text[i];
    if (text[i] == '\0') break;
  }
  out->timestamp = now;
}

// Writes only the command block: the entry's values, type, unit and error code belong to the
// controller's other processes, which pick the command up from here.
void set_actor_command(int32_t real_id, double value) {
  if (shm_sensor == nullptr) return;
  if (real_id < 0 || real_id >= kSensorCount) return;
  value_block_write(&shm_sensor[real_id].command, value, static_cast<int32_t>(time(nullptr)));
}
