// A text composed piece by piece in a caller's fixed buffer: the lines that the log module and the
// signal handler write. Every append is bounded (what does not fit is cut) and the text stays
// NUL-terminated. Only plain copies and std::to_chars are used (no locale, no lock, no
// allocation), so every member is safe in a signal handler, where snprintf is not.
#pragma once

#include <cstddef>
#include <cstdint>

class LineText {
 public:
  // `buffer` holds `capacity` bytes (at least 1) and outlives the object; it starts empty.
  LineText(char* buffer, size_t capacity);

  // Appends at most `max` characters of `s` (null appends nothing).
  LineText& text(const char* s, size_t max = SIZE_MAX);
  // Appends `value` in decimal; a value of 0 or more gets leading zeros up to `width` digits,
  // as "%0*ld" gives.
  LineText& number(long value, int width = 0);

  const char* c_str() const { return buffer_; }
  size_t size() const { return size_; }

 private:
  char* buffer_;
  size_t capacity_;
  size_t size_ = 0;
};
