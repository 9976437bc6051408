// Feeds arbitrary text to the configuration scanner as the text of brokerAccess.json or
// brokerSetup.json: every key lookup into buffers of the sizes the configuration read uses and
// into tiny ones, the three sections, the call entries and the selected pub/sub entries with
// their action topics. Checks that results agree with what was written to the buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/config.h"
#include "bridge/scanner.h"
#include "support/numbers.h"

namespace {

char text[kConfigTextSize];
char value[kValueSize];
char section[kSectionSize];
call_table calls;

void check(bool ok) {
  if (!ok) abort();
}

// One lookup: the result is the length of what out holds, or one of the three error codes.
void lookup(const char* tag, char* out, size_t cap) {
  const int r = json_read_tag(text, tag, out, cap);
  check(r >= -3);
  check(strlen(out) < cap);
  if (r >= 0) check(static_cast<size_t>(r) == strlen(out));
}

void scan_selected(const char* pattern) {
  if (json_read_section(text, pattern, section, sizeof section) < 0) return;
  int pos = 0;
  selected_entry e;
  int32_t entries = 0;
  char topic[kActionTopicSize];
  while (scan_next_selected(section, &pos, &calls, &e) == 1) {
    check(strlen(e.id_field) == kIdFieldWidth);
    check(e.call_index >= 0 && e.call_index <= calls.count);
    if (e.call_index < calls.count) check(e.call_name == calls.name[e.call_index]);
    action_topic("user", e.call_name, topic);
    check(++entries <= static_cast<int32_t>(sizeof section));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library's log calls print on stdout before the log is set up.
  if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks a small output capacity, so cut values are exercised as well.
  const size_t small_cap = 1 + data[0] % 16;
  data++;
  size--;
  if (size > sizeof text - 1) size = sizeof text - 1;
  memcpy(text, data, size);
  text[size] = '\0';

  static const char* const kTags[] = {"uuid",  "password", "host",     "port",
                                      "ACTIV", "loglevel", "interval", "threshold"};
  char setting[kSettingSize];
  char tiny[16];
  for (const char* tag : kTags) {
    lookup(tag, setting, sizeof setting);
    const int place = str_find(text, tag, 0);
    const int at = place >= 0 ? json_key_at(text, tag, place) : -1;
    if (at >= 0) check(at > place && static_cast<size_t>(at) <= size);
    lookup(tag, tiny, small_cap);
    lookup(tag, value, sizeof value);
    (void)atol32(value);
    (void)tavel_atof(value);
  }
  lookup("", tiny, small_cap);
  // An opt-in key: its value, or the lookup's error text; either fits.
  const int key = json_read_key(text, "discovery", tiny, small_cap);
  check(strlen(tiny) < small_cap && (key < 0 || key == static_cast<int>(strlen(tiny))));

  check(str_find(text, "", 7) == 7);
  const int hit = str_find(text, "\"", 0);
  if (hit >= 0) check(text[hit] == '"');

  const int len = json_read_section(text, kSectionCall, section, sizeof section);
  check(len < static_cast<int>(sizeof section));
  calls.count = 0;
  if (len >= 0) {
    check(static_cast<size_t>(len) == strlen(section));
    const int32_t found = scan_call_section(section, &calls);
    check(calls.count <= kTableSize && calls.count <= found);
    for (int32_t k = 0; k < calls.count; k++) check(strlen(calls.name[k]) < kCallNameSize);
  }
  scan_selected(kSectionPub);
  scan_selected(kSectionSub);
  return 0;
}
