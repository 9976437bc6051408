// The one writer of JSON string bodies: the payload's "call" and "unit" and every text of a
// discovery announcement go through it, so every JSON text the daemon writes follows one rule.
#pragma once

#include <cstddef>

// Capacity that holds any `chars` characters written by json_text, with its terminator: the worst
// case is a control character written as \u00XX, 6 bytes.
constexpr size_t json_text_size(size_t chars) {
  return chars * 6 + 1;
}

// Writes at most max_chars characters of src into dst as the body of a JSON string (without the
// quotes): '"' and '\\' get a backslash; backspace, form feed, newline, carriage return and tab
// their short escapes; other control characters below 0x20 \u00XX. Bytes from 0x80 on pass
// unchanged, or, with `latin1`, are taken as Latin-1 and written as their two-byte UTF-8 form.
// dst is always terminated; a character that does not fit ends the text. A null src counts as
// "". Returns the number of bytes written. REQUIRES: dst != null, cap >= 1.
size_t json_text(const char* src, size_t max_chars, bool latin1, char* dst, size_t cap);
