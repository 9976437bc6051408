#include "support/numbers.h"

#include <cstdint>

// Compiled with -ffp-contract=off: every product and sum below is rounded on its own, which is
// what makes the results match the controller's bit for bit.

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// White space as the C locale's isspace sees it.
bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

// Accumulates in 64 bits and stops growing once past the int32 range, so any number of digits
// saturates instead of overflowing.
int32_t atol32(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  constexpr int64_t kLimit = static_cast<int64_t>(INT32_MAX) + 1;
  int64_t magnitude = 0;
  for (; is_digit(*p); ++p) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (*p - '0');
  }
  if (negative) return magnitude >= kLimit ? INT32_MIN : static_cast<int32_t>(-magnitude);
  return magnitude >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

// The controller's decimal conversion: the digits around the first full stop are weighted with
// powers of ten built by repeated multiplication, and a '-' anywhere before the point makes the
// result negative. Texts without a usable point go through atol32.
double tavel_atof(const char* text) {
  if (text == nullptr || text[0] == '\0') return 0.0;

  const char* dot = text;
  bool minus = false;
  while (*dot != '\0' && *dot != '.') {
    if (*dot == '-') minus = true;
    ++dot;
  }
  if (*dot == '\0' || dot[1] == '\0') return static_cast<double>(atol32(text));

  double value = 0.0;
  double unit = 1.0;
  for (const char* p = dot; p != text && is_digit(p[-1]); --p) {
    value = value + static_cast<double>(p[-1] - '0') * unit;
    unit = unit * 10.0;
  }
  double tenth = 0.1;
  for (const char* p = dot + 1; is_digit(*p); ++p) {
    value = value + static_cast<double>(*p - '0') * tenth;
    tenth = tenth * 0.1;
  }
  double sign = minus ? -1.0 : 1.0;
  return sign * value;
}

// Blanks are white space as atol32 skips it; one pass, no conversion.
bool is_decimal_number(const char* text) {
  if (text == nullptr) return false;
  const char* p = text;
  while (is_space(*p)) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (!is_digit(*p)) return false;
  while (is_digit(*p)) ++p;
  if (*p == '.') {
    ++p;
    if (!is_digit(*p)) return false;
    while (is_digit(*p)) ++p;
  }
  while (is_space(*p)) ++p;
  return *p == '\0';
}
