#include "bridge/json_text.h"

#include <cstdio>
#include <cstring>

namespace {

// The two-character escape of c, or null when c has none.
const char* short_escape(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    default:
      return nullptr;
  }
}

}  // namespace

size_t json_text(const char* src, size_t max_chars, bool latin1, char* dst, size_t cap) {
  if (src == nullptr) src = "";
  size_t out = 0;
  for (size_t i = 0; i < max_chars && src[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(src[i]);
    char piece[8];
    int n = 0;
    if (const char* escape = short_escape(c))
      n = snprintf(piece, sizeof piece, "%s", escape);
    else if (c < 0x20)
      n = snprintf(piece, sizeof piece, "\\u%04x", c);
    else if (c >= 0x80 && latin1)
      n = snprintf(piece, sizeof piece, "%c%c", 0xC0 | (c >> 6), 0x80 | (c & 0x3F));
    else
      n = snprintf(piece, sizeof piece, "%c", c);
    if (out + static_cast<size_t>(n) >= cap) break;
    memcpy(dst + out, piece, static_cast<size_t>(n));
    out += static_cast<size_t>(n);
  }
  dst[out] = '\0';
  return out;
}
