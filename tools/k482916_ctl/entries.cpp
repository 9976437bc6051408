// Writing sensor entries the way the controller does: single values, a demo population, and a
// slow drift of the values for demonstrations.
#include <signal.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl.h"

namespace {

int32_t now_seconds() {
  return static_cast<int32_t>(time(nullptr));
}

// The value block that carries the publishable value of an entry of this type.
value_block* block_for_type(sensor_record* entry, int32_t type) {
  return type == kEntrySensor ? &entry->value1 : &entry->value2;
}

// Fills one entry completely; the value block goes last so that a reader that sees its new
// timestamp also sees the entry's identity, unit and error code.
void write_entry(sensor_record* entry, const set_request& request) {
  volatile sensor_record* e = entry;
  e->db_id = request.db_id;
  e->type = request.type;
  if (request.unit_given) {
    for (size_t i = 0; i < sizeof entry->unit; ++i) e->unit[i] = request.unit[i];
  }
  e->error_code = request.error_code;
  value_block_write(block_for_type(entry, request.type), request.value, now_seconds());
}

volatile sig_atomic_t drift_stop = 0;

void drift_signal_handler(int) {
  drift_stop = 1;
}

// Sleeps period_ms unless a stop signal comes first (the signal interrupts nanosleep).
void drift_sleep(int32_t period_ms) {
  timespec ts;
  ts.tv_sec = period_ms / 1000;
  ts.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);
}

}  // namespace

// The first entry holding db_id wins, as in the daemon's own search; otherwise the first entry
// that nobody uses.
int32_t ctl_find_entry(const sensor_record* table, int32_t db_id) {
  for (int32_t i = 0; i < kSensorCount; ++i) {
    if (table[i].db_id == db_id) return i;
  }
  for (int32_t i = 0; i < kSensorCount; ++i) {
    if (table[i].db_id == 0 && table[i].type == 0) return i;
  }
  return -1;
}

int ctl_set(const set_request& request) {
  sensor_record* table = ctl_sensor_table();
  if (table == nullptr) return kExitFailure;
  int32_t real_id = request.real_id >= 0 ? request.real_id : ctl_find_entry(table, request.db_id);
  if (real_id < 0) {
    std::fprintf(stderr, "k482916_ctl: no entry holds DB id %d and no entry is free\n",
                 request.db_id);
    return kExitFailure;
  }
  write_entry(&table[real_id], request);
  std::printf("real id %d: DB id %d, type %d, value %s\n", real_id, request.db_id, request.type,
              block_for_type(&table[real_id], request.type)->text);
  return kExitOk;
}

// Units in the controller's Latin-1 ("\260" is the degree sign, 0xB0), so the daemon's payloads
// carry the same bytes as on a real controller.
int ctl_populate(int32_t count) {
  static constexpr const char* kUnits[] = {"\260C", "%", "hPa", "lx", "W", "kWh", "ppm", "V"};
  static constexpr int32_t kTypes[] = {1, 1, 4};
  sensor_record* table = ctl_sensor_table();
  if (table == nullptr) return kExitFailure;
  for (int32_t i = 0; i < count; ++i) {
    set_request request;
    request.db_id = kPopulateFirstDbId + i;
    request.type = kTypes[i % 3];
    request.value = 10.0 + 0.5 * i;
    request.unit_given = true;
    std::snprintf(request.unit, sizeof request.unit, "%s", kUnits[i % 8]);
    int32_t real_id = ctl_find_entry(table, request.db_id);
    if (real_id < 0) {
      std::fprintf(stderr, "k482916_ctl: no free entry left after %d sensors\n", i);
      return kExitFailure;
    }
    write_entry(&table[real_id], request);
  }
  std::printf("populated %d sensors, DB ids %d..%d\n", count, kPopulateFirstDbId,
              kPopulateFirstDbId + count - 1);
  return kExitOk;
}

// A bounded random walk per sensor, so every cycle of the daemon has something to publish. Actor
// entries copy a command newer than their value into value2, as the controller's actor handling
// would once it carried the command out.
int ctl_drift(int32_t seconds, int32_t period_ms) {
  sensor_record* table = ctl_sensor_table();
  if (table == nullptr) return kExitFailure;

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = drift_signal_handler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  unsigned seed = static_cast<unsigned>(now_seconds());
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int32_t rounds = 0;
  while (!drift_stop) {
    for (int32_t i = 0; i < kSensorCount; ++i) {
      sensor_record* entry = &table[i];
      int32_t type = entry->type;
      if (type == kEntrySensor || type == kEntrySensor2) {
        value_block* block = block_for_type(entry, type);
        double step = (static_cast<double>(rand_r(&seed) % 201) - 100.0) / 100.0;
        double value = std::round((block->value + step) * 100.0) / 100.0;
        if (std::fabs(value) > 1.0e6) value = 0.0;
        value_block_write(block, value, now_seconds());
      } else if (type == kEntryActor && entry->command.timestamp != 0 &&
                 entry->command.timestamp >= entry->value2.timestamp &&
                 entry->command.value != entry->value2.value) {
        value_block_write(&entry->value2, entry->command.value, now_seconds());
      }
    }
    ++rounds;
    if (seconds > 0) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec - start.tv_sec >= seconds) break;
    }
    if (!drift_stop) drift_sleep(period_ms);
  }
  std::printf("drift stopped after %d rounds\n", rounds);
  return kExitOk;
}
