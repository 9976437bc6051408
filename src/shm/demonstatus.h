// The daemon's entry in the controller's shared status table (SHM_demonstatus_data): 128 entries
// of 320 bytes; every daemon writes only the entry of its own slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shm/shm.h"

constexpr int32_t kStatusSlots = 128;
// Slot of mqtt_k482916_demon in the table.
constexpr int32_t kDemonSlot = 68;
// Size of each text field of an entry: at most 79 characters and the terminating NUL.
constexpr size_t kStatusTextSize = 80;

// State numbers of the entry's `state` field.
constexpr int32_t kStateStartup = 0;
constexpr int32_t kStateMainLoop = 1;
constexpr int32_t kStateReload = 2;
constexpr int32_t kStateDisabled = 2;  // the bridge switched off: the controller shows it as 2
constexpr int32_t kStatePublishing = 10;

struct status_entry {
  int32_t slot;                       // the entry's own slot number
  char name[50];                      // daemon name
  char version[10];                   // version text
  int32_t start_time;                 // time() at start-up
  int32_t update_time;                // time() of the last state write
  int32_t counter;                    // main-loop counter
  char status_text[kStatusTextSize];  // free status text
  char extra_text[kStatusTextSize];   // second free text, emptied at start-up
  int32_t state;                      // state number (kState...)
  char state_text[kStatusTextSize];   // text of the state
};
static_assert(sizeof(status_entry) == 320);
static_assert(offsetof(status_entry, slot) == 0);
static_assert(offsetof(status_entry, name) == 4);
static_assert(offsetof(status_entry, version) == 54);
static_assert(offsetof(status_entry, start_time) == 64);
static_assert(offsetof(status_entry, update_time) == 68);
static_assert(offsetof(status_entry, counter) == 72);
static_assert(offsetof(status_entry, status_text) == 76);
static_assert(offsetof(status_entry, extra_text) == 156);
static_assert(offsetof(status_entry, state) == 236);
static_assert(offsetof(status_entry, state_text) == 240);
static_assert(kStatusSlots * sizeof(status_entry) == 40960);

// The attached status table (kStatusSlots entries), null until attached. Written by
// demonstatus_attach and demonstatus_detach.
extern status_entry* my_demonstatus_data;
// The daemon's slot; while negative every writing routine does nothing. Written by
// demonstatus_attach.
extern int32_t demonstatus_slot;

// Results of demonstatus_attach.
constexpr int kStatusAttached = 1;
constexpr int kStatusGetFailed = kSegDemonstatus.shmget_result;  // shmget failed
constexpr int kStatusAtFailed = kSegDemonstatus.shmat_result;    // shmat failed

// Stores slot in demonstatus_slot and attaches the table. Returns kStatusAttached, or
// kStatusGetFailed / kStatusAtFailed with the failure's message on stdout.
int demonstatus_attach(int32_t slot);

// Detaches the table (when attached) and sets my_demonstatus_data to null; the slot stays.
void demonstatus_detach();

// Attaches the table and initialises the entry of `slot` (slot, name, version, start and update
// time, counter, "Start", empty extra text, kStateStartup, "startup"). Returns 0, also when
// reporting is off; -1 when the table cannot be attached or slot is 128 or more (there is no such
// entry; nothing is written). Name and version are cut to fit their fields.
int demonstatus_start(int32_t slot, const char* name, const char* version, int32_t counter);

// Writes update_time = now, then counter, state and text (cut to 79 characters) into state_text.
// Does nothing while demonstatus_entry() is null.
void demonstatus_state(int32_t counter, int32_t state, const char* text);

// Writes text (cut to 79 characters) into status_text; nothing else changes.
// Does nothing while demonstatus_entry() is null.
void demonstatus_text(const char* text);

// The daemon's own entry, or null when the table is not attached, reporting is off (negative slot)
// or the slot lies beyond the table's 128 entries.
status_entry* demonstatus_entry();
