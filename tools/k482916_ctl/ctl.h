// k482916_ctl: plays the controller's part for the daemon on any Linux machine. It creates and
// removes the controller's segments, holds and releases the start-up lock, asks for reloads,
// writes sensor entries the way the controller does, and shows entries and status records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the segments or the system refused
constexpr int kExitUsage = 2;    // bad command line

// DB id of the first sensor that `populate` writes.
constexpr int32_t kPopulateFirstDbId = 1001;

// --- segments.cpp ---

// Creates every segment of the controller (reload record, the five tables, LED and RGB arrays,
// status table), mode 0666, zeroed by the system. Refuses, creating nothing, when any of them
// exists already; removes what it made when a later one fails. Unless `locked`, the start-up lock
// is released (startup_lock = 1).
int ctl_create(bool locked);

// Removes every segment of the controller that exists. Missing ones are not an error.
int ctl_remove();

// Writes startup_lock: 1 releases the start-up lock, 0 holds it.
int ctl_set_lock(int32_t value);

// Adds 1 to reload_counter and prints the new value.
int ctl_reload();

// Attaches `segment` into *out. On failure prints "k482916_ctl: <name> (key K) ..." on stderr and
// returns false.
bool ctl_attach(const shm_segment& segment, void** out);

// The sensor table, the reload record and the status table, attached or null after a message.
sensor_record* ctl_sensor_table();
reload_record* ctl_reload_record();
status_entry* ctl_status_table();

// --- entries.cpp ---

// Options of `set`; a negative real_id means "find the entry by DB id or take the first free".
struct set_request {
  int32_t db_id = 0;
  double value = 0.0;
  int32_t type = 1;
  bool unit_given = false;
  char unit[sizeof(sensor_record::unit)] = {};
  int32_t error_code = 0;
  int32_t real_id = -1;
};

// Real id of the entry holding db_id, else of the first free entry (db_id 0 and type 0), else -1.
int32_t ctl_find_entry(const sensor_record* table, int32_t db_id);

// Writes an entry as the controller does: db_id, type, the value block of the type with all four
// fields, unit (when given) and error code. Prints the real id used.
int ctl_set(const set_request& request);

// Writes `count` sensors with DB ids 1001.. and a spread of units, types and values.
int ctl_populate(int32_t count);

// Changes the values of all sensor entries (types 1 and 4) every period_ms milliseconds, and lets
// actor entries (type 2) follow their newest command, until SIGINT/SIGTERM or, when seconds > 0,
// until that many seconds have passed.
int ctl_drift(int32_t seconds, int32_t period_ms);

// --- print.cpp ---

// Prints an aligned table of the used entries, or of the entries holding the given DB ids.
// Returns kExitFailure when one of the given DB ids is held by no entry.
int ctl_show(const int32_t* db_ids, size_t count);

// Prints the decoded status entry of `slot`.
int ctl_status(int32_t slot);
