#include "bridge/scanner.h"

#include <cstdio>
#include <cstring>

#include "support/numbers.h"

namespace {

constexpr char kQuote = '"';
constexpr const char* kTagNotFound = "(tag not found)";
constexpr size_t kKeyPatternSize = 64;  // "\"key\":" of json_read_key: keys up to 60 characters

// Copies at most cap - 1 characters of src[0..len-1] into out and terminates it.
// Returns the number of characters copied. REQUIRES: cap >= 1.
int copy_cut(char* out, size_t cap, const char* src, size_t len) {
  if (len > cap - 1) len = cap - 1;
  memcpy(out, src, len);
  out[len] = '\0';
  return static_cast<int>(len);
}

// Writes an error text into out (cut to the capacity) and returns code.
int lookup_error(char* out, size_t cap, const char* text, int code) {
  copy_cut(out, cap, text, strlen(text));
  return code;
}

// The value of a lookup: the first double-quoted string at or after text[begin], copied into out
// (cut to cap - 1 characters). Results and error texts as json_read_tag. REQUIRES: cap >= 1.
int read_quoted(const char* text, size_t begin, char* out, size_t cap) {
  if (begin >= strlen(text)) return lookup_error(out, cap, "(data begin not found)", -2);
  const char* open = strchr(text + begin, kQuote);
  if (open == nullptr) return lookup_error(out, cap, "(data begin not found)", -2);
  if (open[1] == '\0') return lookup_error(out, cap, "(data end not found)", -3);
  const char* close = strchr(open + 1, kQuote);
  if (close == nullptr) return lookup_error(out, cap, "(data end not found)", -3);
  return copy_cut(out, cap, open + 1, static_cast<size_t>(close - (open + 1)));
}

}  // namespace

// Plain left-to-right comparison; the lowest matching index wins.
int str_find(const char* text, const char* pattern, int start) {
  if (text == nullptr) text = "";
  if (pattern == nullptr) pattern = "";
  if (start < 0) start = 0;
  const size_t n = strlen(text);
  const size_t m = strlen(pattern);
  if (m > n) return -2;
  if (m == 0) return start;
  const size_t last = n - m;
  for (size_t i = static_cast<size_t>(start); i <= last; i++) {
    if (memcmp(text + i, pattern, m) == 0) return static_cast<int>(i);
  }
  return -1;
}

// The lookup matches the bare name, so a key name that also occurs earlier in the text (inside a
// value or a longer key) is found there; the value is then the next quoted string after that place.
int json_read_tag(const char* text, const char* tag, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  if (text == nullptr) text = "";
  if (tag == nullptr) tag = "";
  const int p = str_find(text, tag, 0);
  if (p < 0) return lookup_error(out, cap, kTagNotFound, -1);

  // Past the name, its closing quote and one more character (normally the colon).
  return read_quoted(text, static_cast<size_t>(p) + strlen(tag) + 2, out, cap);
}

// The pattern holds the quotes and the colon, so the name inside a value or a longer key does not
// match; only the same pattern written earlier in the text does.
int json_read_key(const char* text, const char* key, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  if (text == nullptr) text = "";
  if (key == nullptr) key = "";
  char pattern[kKeyPatternSize];
  const int len = snprintf(pattern, sizeof pattern, "\"%s\":", key);
  if (len < 0 || static_cast<size_t>(len) >= sizeof pattern) {
    return lookup_error(out, cap, kTagNotFound, -1);
  }
  const int p = str_find(text, pattern, 0);
  if (p < 0) return lookup_error(out, cap, kTagNotFound, -1);
  return read_quoted(text, static_cast<size_t>(p + len), out, cap);
}

// Only the quotes before the occurrence are counted: the format has no escapes, so an odd count
// means the occurrence stands inside a quoted string.
int json_key_at(const char* text, const char* tag, int pos) {
  if (pos < 1 || text[pos - 1] != kQuote) return -1;
  int quotes = 0;
  for (int i = 0; i < pos - 1; i++) quotes += text[i] == kQuote;
  if (quotes % 2 != 0) return -1;
  const char* after = text + pos + strlen(tag);
  if (*after != kQuote) return -1;
  after += 1 + strspn(after + 1, kBlanks);
  if (*after != ':') return -1;
  after += 1 + strspn(after + 1, kBlanks);
  return static_cast<int>(after - text);
}

// Sections cannot nest: the first closing brace ends the section.
int json_read_section(const char* text, const char* pattern, char* section, size_t cap) {
  if (section == nullptr || cap == 0) return -1;
  section[0] = '\0';
  if (text == nullptr || pattern == nullptr || pattern[0] == '\0') return -1;
  const int p = str_find(text, pattern, 0);
  if (p < 0) return -1;
  const char* begin = text + p + strlen(pattern);
  const char* end = strchr(begin, '}');
  const size_t len = end != nullptr ? static_cast<size_t>(end - begin) : strlen(begin);
  return copy_cut(section, cap, begin, len);
}

// The key's closing quote (colon - 1) is skipped unseen, so a blank before the colon leaves the
// quote at colon - 2 and the entry gets no key text, that is DB id 0.
int32_t scan_entry_key(const char* section, int colon, char* id_field) {
  memset(id_field, ' ', kIdFieldWidth);
  id_field[kIdFieldWidth] = '\0';
  size_t slot = kIdFieldWidth;
  for (int j = colon - 2; j >= 0 && slot > 0 && section[j] != kQuote; j--) {
    id_field[--slot] = section[j];
  }
  return atol32(id_field);
}

int scan_entry_value(const char* section, int colon, const char** value) {
  const size_t n = strlen(section);
  const size_t begin = static_cast<size_t>(colon) + 2;
  *value = section + (begin < n ? begin : n);
  const char* close = strchr(*value, kQuote);
  return static_cast<int>(close != nullptr ? close - *value : section + n - *value);
}

// Every colon starts an entry, also one inside a value; the value's opening quote (colon + 1) is
// skipped unseen.
int32_t scan_call_section(const char* section, call_table* calls) {
  if (calls == nullptr) return 0;
  calls->count = 0;
  if (section == nullptr) return 0;
  const size_t n = strlen(section);
  int32_t colons = 0;
  char id_field[kIdFieldWidth + 1];
  for (size_t i = 0; i < n; i++) {
    if (section[i] != ':') continue;
    colons++;
    if (calls->count >= kTableSize) continue;  // the table is full: further entries are skipped
    const int32_t k = calls->count;
    calls->dbid[k] = scan_entry_key(section, static_cast<int>(i), id_field);
    const char* value = nullptr;
    const int len = scan_entry_value(section, static_cast<int>(i), &value);
    copy_cut(calls->name[k], kCallNameSize, value, static_cast<size_t>(len));
    calls->count = k + 1;
  }
  return colons;
}

// Only the value "on" written directly after the colon selects; "On", " on" or "1" do not.
int scan_next_selected(const char* section, int* pos, const call_table* calls,
                       selected_entry* entry) {
  if (section == nullptr || pos == nullptr || entry == nullptr) return 0;
  if (*pos < 0) *pos = 0;
  const size_t n = strlen(section);
  for (size_t i = static_cast<size_t>(*pos); i < n; i++) {
    // The comparison stops at the terminator, which matches none of the characters.
    if (section[i] != ':' || strncmp(section + i + 1, "\"on\"", 4) != 0) continue;
    entry->db_id = scan_entry_key(section, static_cast<int>(i), entry->id_field);
    entry->call_name = kUndefinedCallName;
    int32_t count = calls != nullptr ? calls->count : 0;
    if (count < 0) count = 0;
    if (count > kTableSize) count = kTableSize;
    entry->call_index = count;
    for (int32_t k = 0; k < count; k++) {
      if (calls->dbid[k] == entry->db_id) {
        entry->call_name = calls->name[k];
        entry->call_index = k;
        break;
      }
    }
    *pos = static_cast<int>(i) + 1;
    return 1;
  }
  *pos = static_cast<int>(n);
  return 0;
}
