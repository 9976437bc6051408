// Feeds arbitrary text to tavel_atof. A text without a full stop, or with one as its last
// character, must give exactly atol32 of the text; any other text must give a value whose sign
// follows the '-' rule and that is no NaN unless the integer digits overflow to infinity.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/numbers.h"

namespace {

char text[4096];

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > sizeof text - 1) size = sizeof text - 1;
  memcpy(text, data, size);
  text[size] = '\0';

  const double v = tavel_atof(text);
  const char* point = strchr(text, '.');
  if (point == nullptr || point[1] == '\0') {
    check(v == static_cast<double>(atol32(text)));
    return 0;
  }
  // Digits directly left of the point: more than 308 of them can make the value infinite, and
  // a zero digit times an infinite power of ten then gives NaN.
  size_t int_digits = 0;
  for (const char* p = point; p > text && p[-1] >= '0' && p[-1] <= '9'; p--) int_digits++;
  if (int_digits < 300) {
    check(!std::isnan(v) && !std::isinf(v));
    const bool minus = memchr(text, '-', static_cast<size_t>(point - text)) != nullptr;
    check(std::signbit(v) == minus);
  }
  return 0;
}
