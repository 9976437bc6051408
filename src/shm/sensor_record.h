// The entries of SHM_Sensordata: 512 records of 352 bytes, indexed by real id. The layout is shared
// with the controller's other processes (32-bit little-endian integers, IEEE doubles on 8-byte
// boundaries) and checked below.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t kSensorCount = 512;

// Entry types (sensor_record::type): which value block holds the publishable value, and the type
// word of the published payload.
constexpr int32_t kEntrySensor = 1;   // value1, "sensor"
constexpr int32_t kEntryActor = 2;    // value2, "actor"
constexpr int32_t kEntrySensor2 = 4;  // value2, "sensor"

// Marks the absence of a valid value; a value at or below it is never published.
constexpr double SENSOR_NO_VALUE = -2048000.0;

struct value_block {
  double value;        // the value
  int32_t value_x100;  // value * 100.0, truncated toward zero
  char text[40];       // value as "%1.2f", NUL-terminated
  int32_t timestamp;   // time() of the last write of this block
};
static_assert(sizeof(value_block) == 56);
static_assert(offsetof(value_block, value) == 0);
static_assert(offsetof(value_block, value_x100) == 8);
static_assert(offsetof(value_block, text) == 12);
static_assert(offsetof(value_block, timestamp) == 52);

struct sensor_record {
  int32_t db_id;  // DB id of the sensor or actor in this entry
  int32_t type;   // kEntrySensor, kEntryActor or kEntrySensor2
  value_block value1;
  value_block value2;
  value_block command;  // written by actor commands
  char reserved0[48];
  char unit[12];       // unit text, NUL-terminated
  int32_t error_code;  // 0 = the value is valid
  char reserved1[112];
};
static_assert(sizeof(sensor_record) == 352);
static_assert(offsetof(sensor_record, db_id) == 0);
static_assert(offsetof(sensor_record, type) == 4);
static_assert(offsetof(sensor_record, value1) == 8);
static_assert(offsetof(sensor_record, value2) == 64);
static_assert(offsetof(sensor_record, command) == 120);
static_assert(offsetof(sensor_record, unit) == 224);
static_assert(offsetof(sensor_record, error_code) == 236);
static_assert(kSensorCount * sizeof(sensor_record) == 180224);

// Longest unit text of an entry: its field keeps the terminating NUL.
constexpr size_t kUnitChars = sizeof(sensor_record::unit) - 1;

// Real id (0..511) of the first entry whose db_id equals `db_id`, or -1 when none does (also
// when shm_sensor is not attached).
int32_t find_sensor_real_id(int32_t db_id);

// Which entry first holds each DB id, taken in one pass over the table, so that a publish cycle
// finds its sensors without a search of the table for each of them. Capacity: every entry of the
// table (at most kSensorCount different DB ids) with half the slots free.
struct sensor_index {
  static constexpr int kSlotBits = 10;
  int32_t db_id[1 << kSlotBits];
  int16_t real_id[1 << kSlotBits];  // -1: free slot
};
static_assert((1 << sensor_index::kSlotBits) >= 2 * kSensorCount);

// Fills *index from the table as it is now, reading every entry's db_id once; leaves it empty when
// shm_sensor is not attached.
void sensor_index_build(sensor_index* index);

// find_sensor_real_id of db_id through `index`: the entry that first held db_id when the index was
// built, if it still holds it, else (also for a DB id the index does not know) the search of the
// table as it is now. The same result as find_sensor_real_id except when an entry below the one
// found took the DB id after the index was built.
int32_t sensor_index_find(const sensor_index& index, int32_t db_id);

// Copies the fields of entry real_id that the bridge reads (db_id, type, value1.value,
// value2.value, unit, error_code) into *out, through volatile loads; every other field of *out is
// zero. The controller writes entries without a lock, so one copy can catch a write half done
// (on the 32-bit target even a double can be half old, half new): the entry is copied again
// until two copies in a row agree, at most kSensorReadTries times. Returns true with one
// consistent state in *out; false when shm_sensor is not attached, real_id is outside 0..511, or
// the entry never held still (*out is then all zero).
constexpr int kSensorReadTries = 100;
bool sensor_record_read(int32_t real_id, sensor_record* out);

// The publishable value of an entry by its type (kEntrySensor: value1.value; kEntryActor and
// kEntrySensor2: value2.value).
// Returns false, and leaves *value alone, for any other type.
bool sensor_publish_value(const sensor_record& entry, double* value);

// Writes value into the command block of entry real_id, field by field, the timestamp last:
// value, value * 100 truncated to int32, "%1.2f" text (never longer than the 40-byte field),
// time(). Does nothing when real_id is outside 0..511 or shm_sensor is not attached.
void set_actor_command(int32_t real_id, double value);

// value * 100 truncated toward zero. Values beyond the int32 range saturate at INT32_MIN or
// INT32_MAX and NaN gives 0, so no value leads to an undefined conversion.
int32_t value_x100_of(double value);

// The text field of a value block for `value`: "%1.2f", cut to 39 characters and terminated.
void value_text(double value, char (&out)[sizeof(value_block::text)]);

// Writes all four fields of `block` the way the controller does, in the order value,
// value_x100_of(value), "%1.2f" text (cut to 39 characters and terminated), timestamp `now`.
// The stores are volatile so that other processes see them in this order relative to the
// compiler; the timestamp comes last and marks the block as complete.
void value_block_write(value_block* block, double value, int32_t now);
