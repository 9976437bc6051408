// The text scanner of the bridge configuration. brokerAccess.json and brokerSetup.json are not
// parsed as JSON: top-level values are found by plain text search for the bare key name (the
// broker options for the quoted name and its colon), and the "call", "pub" and "sub" sections are
// scanned colon by colon. Every routine here works on
// caller-owned buffers with explicit capacities, keeps no state and never logs, so the same code
// serves the configuration read and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>

// Sizes of the configuration read; each one is a limit of the file format.
constexpr size_t kSettingSize = 80;   // text settings: at most 79 characters
constexpr size_t kCallNameSize = 40;  // call names: at most 39 characters
constexpr size_t kCallNameChars = kCallNameSize - 1;
constexpr int32_t kTableSize = 512;        // entries of the call, publish and subscribe tables
constexpr size_t kConfigTextSize = 16384;  // one whole file: at most 16383 bytes, longer is cut
constexpr size_t kValueSize = 10000;       // one numeric value: at most 9999 characters
constexpr size_t kSectionSize = 8184;      // one section's text: at most 8183 characters
constexpr size_t kIdFieldWidth = 20;       // key text of a section entry, right-aligned

// Section patterns: key, colon and opening brace with nothing between them.
constexpr const char* kSectionCall = "\"call\":{";
constexpr const char* kSectionPub = "\"pub\":{";
constexpr const char* kSectionSub = "\"sub\":{";

// Blanks that may stand around the colon of a top-level value and around section entries.
constexpr const char* kBlanks = " \t\r\n";

// Call name of a selected entry whose DB id has no entry in the "call" section.
constexpr const char* kUndefinedCallName = "(undefined)";

// Index of the first occurrence of `pattern` in `text` at or after `start` (byte-wise,
// case-sensitive). Returns -2 when the pattern is longer than the text, -1 when there is no
// occurrence or start is greater than strlen(text) - strlen(pattern), and start itself when the
// pattern is empty. A negative start counts as 0. Null texts count as empty.
int str_find(const char* text, const char* pattern, int start);

// Looks up the value of `tag`: finds the first occurrence of the bare name in `text`, skips two
// characters after it (normally the closing quote and the colon), and takes the next double-quoted
// string. Copies at most cap - 1 characters of it into out, terminated, and returns the number
// copied (0 for ""). On failure writes an error text into out (cut to cap - 1) and returns
// -1 "(tag not found)", -2 "(data begin not found)" or -3 "(data end not found)".
// Returns -1 without writing when out is null or cap is 0.
int json_read_tag(const char* text, const char* tag, char* out, size_t cap);

// Tells whether the occurrence of `tag` at text[pos] is written as a key: inside double quotes
// that open a string outside every other quoted string (an even number of quotes before it),
// followed by blanks (space, tab, CR, LF) at most and a colon. Returns the index of the first
// character after that colon and the blanks after it (the value's place), or -1 when the
// occurrence is not a key. REQUIRES: text and tag non-null, tag occurs at pos.
int json_key_at(const char* text, const char* tag, int pos);

// Looks up the value of a key written as quote, name, quote, colon with nothing between them
// (for the key k the pattern "\"k\":"): finds the first occurrence of that pattern
// in `text` and takes the next double-quoted string after the colon. Results, error texts and
// cutting as json_read_tag; a key of more than 60 characters is not found (-1).
int json_read_key(const char* text, const char* key, char* out, size_t cap);

// Copies the text of the section that starts after the first occurrence of `pattern` (for
// example kSectionPub) up to the first closing brace after it, or up to the end of the text, into
// section, cut to cap - 1 characters and terminated. Returns the number of characters copied, or
// -1 when the pattern does not occur (section then holds the empty text). REQUIRES: cap >= 1.
int json_read_section(const char* text, const char* pattern, char* section, size_t cap);

// Call names of the "call" section, by DB id. Entry k of dbid and name belong together.
struct call_table {
  int32_t count;  // entries stored, 0..kTableSize
  int32_t dbid[kTableSize];
  char name[kTableSize][kCallNameSize];
};

// Fills `calls` from the text of a "call" section: one entry per colon, in order. The key text
// left of the colon gives the DB id (see scan_entry_key), the text from the second character after
// the colon up to the next double quote gives the name (cut to 39 characters). Colons beyond the
// 512th are not stored. Returns the number of colons found, which exceeds calls->count when
// entries were left out.
int32_t scan_call_section(const char* section, call_table* calls);

// The value of the entry whose colon is section[colon], as the "call" section takes it: from the
// second character after the colon (the first, normally the opening quote, is skipped unseen) up
// to the next double quote or the end. Sets *value to its start and returns its length (0 and
// the terminator when the section ends first). REQUIRES: 0 <= colon < strlen(section).
int scan_entry_value(const char* section, int colon, const char** value);

// Reads the key text of the entry whose colon is section[colon]: the characters from
// section[colon-2] backwards up to (not including) the first double quote or the start of the
// section; section[colon-1], normally the key's closing quote, is skipped unseen. The key text is
// placed right-aligned in id_field (kIdFieldWidth characters, blanks on the left, terminated); of a
// longer key text only the kIdFieldWidth characters nearest the colon are kept. Returns atol32 of
// the field, 0 when there is no key text. REQUIRES: 0 <= colon < strlen(section);
// id_field has kIdFieldWidth + 1 bytes.
int32_t scan_entry_key(const char* section, int colon, char* id_field);

// One entry of a "pub" or "sub" section whose value is "on".
struct selected_entry {
  int32_t db_id;                     // atol32 of the id field
  char id_field[kIdFieldWidth + 1];  // key text, right-aligned in blanks
  const char* call_name;             // name from the call table, or kUndefinedCallName
  int32_t call_index;                // index of that name; calls->count when none matched
};

// Finds the next selected entry of a "pub" or "sub" section: the next colon at or after *pos that
// is directly followed by the four characters "on" in double quotes. Fills *entry (its call name
// is the first call-table entry with the same DB id; calls may be null for an empty table), sets
// *pos past that colon and returns 1; returns 0 when no such colon is left.
// entry->call_name points into *calls or to a constant and lives as long as *calls.
int scan_next_selected(const char* section, int* pos, const call_table* calls,
                       selected_entry* entry);
