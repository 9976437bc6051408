#include "log/line_text.h"

#include <charconv>

LineText::LineText(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
  buffer_[0] = '\0';
}

LineText& LineText::text(const char* s, size_t max) {
  if (s == nullptr) return *this;
  for (size_t i = 0; i < max && s[i] != '\0' && size_ + 1 < capacity_; ++i) buffer_[size_++] = s[i];
  buffer_[size_] = '\0';
  return *this;
}

// Digits go to a local buffer first, so that the zeros can be put in front and a number that does
// not fit is cut like any other text.
LineText& LineText::number(long value, int width) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits - 1, value);
  if (error != std::errc()) return *this;
  *end = '\0';
  for (long n = end - digits; value >= 0 && n < width; ++n) text("0");
  return text(digits);
}
