// Showing sensor entries and status entries in readable form.
#include <time.h>

#include <cstdio>
#include <cstring>

#include "ctl.h"

namespace {

// A text field of a shared record may lack its NUL (another process may be writing it): print at
// most `cap` bytes of it.
int field_length(const char* field, size_t cap) {
  return static_cast<int>(strnlen(field, cap));
}

// Seconds since the epoch as local time text, "-" for 0 (never written).
void format_time(int32_t seconds, char* out, size_t cap) {
  if (seconds == 0) {
    std::snprintf(out, cap, "-");
    return;
  }
  time_t t = seconds;
  tm local;
  if (localtime_r(&t, &local) == nullptr || strftime(out, cap, "%Y-%m-%d %H:%M:%S", &local) == 0)
    std::snprintf(out, cap, "%d", seconds);
}

bool entry_used(const sensor_record& entry) {
  return entry.db_id != 0 || entry.type != 0;
}

void print_header() {
  std::printf("%7s %10s %4s %14s %-11s %6s %14s %11s %-14s %s\n", "real_id", "db_id", "type",
              "value", "unit", "error", "cmd_value", "cmd_x100", "cmd_text", "cmd_time");
}

void print_entry(int32_t real_id, const sensor_record& entry) {
  char value[32];
  double v = 0.0;
  if (sensor_publish_value(entry, &v))
    std::snprintf(value, sizeof value, "%.6g", v);
  else
    std::snprintf(value, sizeof value, "-");
  char cmd_time[32];
  format_time(entry.command.timestamp, cmd_time, sizeof cmd_time);
  std::printf("%7d %10d %4d %14s %-11.*s %6d %14.6g %11d %-14.*s %s\n", real_id, entry.db_id,
              entry.type, value, field_length(entry.unit, sizeof entry.unit), entry.unit,
              entry.error_code, entry.command.value, entry.command.value_x100,
              field_length(entry.command.text, sizeof entry.command.text), entry.command.text,
              cmd_time);
}

}  // namespace

int ctl_show(const int32_t* db_ids, size_t count) {
  const sensor_record* table = ctl_sensor_table();
  if (table == nullptr) return kExitFailure;
  print_header();
  if (count == 0) {
    for (int32_t i = 0; i < kSensorCount; ++i)
      if (entry_used(table[i])) print_entry(i, table[i]);
    return kExitOk;
  }
  int result = kExitOk;
  for (size_t k = 0; k < count; ++k) {
    bool found = false;
    for (int32_t i = 0; i < kSensorCount; ++i) {
      if (table[i].db_id == db_ids[k] && entry_used(table[i])) {
        print_entry(i, table[i]);
        found = true;
      }
    }
    if (!found) {
      std::fprintf(stderr, "k482916_ctl: no entry holds DB id %d\n", db_ids[k]);
      result = kExitFailure;
    }
  }
  return result;
}

int ctl_status(int32_t slot) {
  const status_entry* table = ctl_status_table();
  if (table == nullptr) return kExitFailure;
  const status_entry& e = table[slot];
  char start[32];
  char update[32];
  format_time(e.start_time, start, sizeof start);
  format_time(e.update_time, update, sizeof update);
  std::printf("slot:        %d (entry says %d)\n", slot, e.slot);
  std::printf("name:        %.*s\n", field_length(e.name, sizeof e.name), e.name);
  std::printf("version:     %.*s\n", field_length(e.version, sizeof e.version), e.version);
  std::printf("start time:  %s (%d)\n", start, e.start_time);
  std::printf("update time: %s (%d)\n", update, e.update_time);
  std::printf("counter:     %d\n", e.counter);
  std::printf("state:       %d\n", e.state);
  std::printf("state text:  %.*s\n", field_length(e.state_text, sizeof e.state_text), e.state_text);
  std::printf("status text: %.*s\n", field_length(e.status_text, sizeof e.status_text),
              e.status_text);
  std::printf("extra text:  %.*s\n", field_length(e.extra_text, sizeof e.extra_text), e.extra_text);
  return kExitOk;
}
