// The daemon's entry in the controller's shared status table.
#include "shm/demonstatus.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "shm/shm.h"

status_entry* my_demonstatus_data = nullptr;
int32_t demonstatus_slot = 0;

namespace {

int32_t now_seconds() {
  return static_cast<int32_t>(time(nullptr));
}

// Copies at most cap - 1 characters of src and a NUL into a field that other processes read while
// it changes. The field's last byte is set to NUL first, so a reader always finds a terminator
// inside the field even while a longer text is replacing a shorter one. A null src counts as "".
void put_text(volatile char* field, size_t cap, const char* src) {
  field[cap - 1] = '\0';
  size_t len = src == nullptr ? 0 : strnlen(src, cap - 1);
  for (size_t i = 0; i < len; ++i) field[i] = src[i];
  field[len] = '\0';
}

}  // namespace

// Remembers the slot first (a negative one switches reporting off even when the attach fails),
// then gets and attaches the table. A failed attach leaves the pointer null.
int demonstatus_attach(int32_t slot) {
  demonstatus_slot = slot;
  int result = kAttachOk;
  my_demonstatus_data = static_cast<status_entry*>(shm_attach_segment(kSegDemonstatus, &result));
  if (result == kAttachOk) return kStatusAttached;
  const bool get_failed = result == kSegmentGetFailed;
  std::printf("%s\n", get_failed ? kSegDemonstatus.shmget_message : kSegDemonstatus.shmat_message);
  std::fflush(stdout);
  return get_failed ? kStatusGetFailed : kStatusAtFailed;
}

void demonstatus_detach() {
  shm_detach_segment(kSegDemonstatus, my_demonstatus_data);
  my_demonstatus_data = nullptr;
}

// Initialises every field of the entry in its fixed order: identity and times first, the texts
// and the state last.
int demonstatus_start(int32_t slot, const char* name, const char* version, int32_t counter) {
  if (demonstatus_slot < 0) return 0;
  if (demonstatus_attach(slot) != kStatusAttached) return -1;
  if (slot < 0) return 0;
  status_entry* entry = demonstatus_entry();
  if (entry == nullptr) return -1;

  volatile status_entry* e = entry;
  int32_t now = now_seconds();
  e->slot = slot;
  put_text(e->name, sizeof e->name, name);
  put_text(e->version, sizeof e->version, version);
  e->start_time = now;
  e->update_time = now;
  e->counter = counter;
  put_text(e->status_text, sizeof e->status_text, "Start");
  put_text(e->extra_text, sizeof e->extra_text, "");
  e->state = kStateStartup;
  put_text(e->state_text, sizeof e->state_text, "startup");
  return 0;
}

// Time first, text last: a reader that sees the new text also sees the new time and counter.
void demonstatus_state(int32_t counter, int32_t state, const char* text) {
  status_entry* entry = demonstatus_entry();
  if (entry == nullptr) return;
  volatile status_entry* e = entry;
  e->update_time = now_seconds();
  e->counter = counter;
  e->state = state;
  put_text(e->state_text, kStatusTextSize, text);
}

void demonstatus_text(const char* text) {
  status_entry* entry = demonstatus_entry();
  if (entry == nullptr) return;
  volatile status_entry* e = entry;
  put_text(e->status_text, kStatusTextSize, text);
}

// Every writer goes through here, so nothing is ever written through an unattached table, for a
// switched-off (negative) slot, or past the table's last entry.
status_entry* demonstatus_entry() {
  if (my_demonstatus_data == nullptr) return nullptr;
  if (demonstatus_slot < 0 || demonstatus_slot >= kStatusSlots) return nullptr;
  return &my_demonstatus_data[demonstatus_slot];
}
