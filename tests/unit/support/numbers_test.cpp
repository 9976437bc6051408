#include "support/numbers.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>

namespace {

uint64_t bits(double d) {
  return std::bit_cast<uint64_t>(d);
}

struct Conversion {
  const char* text;
  double expected;
  bool number = false;  // wholly a decimal number ("command_numbers":"strict" applies it)
};

// Values written to actors and compared with the threshold must match the controller's bit for
// bit, so every case compares bit patterns (this also tells -0.0 from 0.0). The same texts tell
// which payloads the strict command rule takes.
TEST(TavelAtof, MatchesTheControllerBitForBit) {
  const Conversion cases[] = {
      {"12", 12.0, true},
      {"-7", -7.0, true},
      {"12.", 12.0},
      {"12,5", 12.0},
      {"1.5e3", 1.5},
      {".5", 0.5},
      {"-.5", -0.5},
      {"+1.25", 1.25, true},
      {"1.2.3", 1.2},
      {"abc.5", 0.5},
      {"5-3.2", -3.2},
      {"  42.7", 42.7, true},
      {"-0.0", -0.0, true},
      {"0.3", 0.30000000000000004, true},
      {"0.05", 0.05000000000000001, true},
      {"12.34", 12.34, true},
      {"", 0.0},
      {"abc", 0.0},
      {"-", 0.0},
      {" -3 \t", -3.0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bits(tavel_atof(c.text)), bits(c.expected)) << '"' << c.text << '"';
    EXPECT_EQ(is_decimal_number(c.text), c.number) << '"' << c.text << '"';
  }
  EXPECT_EQ(bits(tavel_atof(nullptr)), bits(0.0));
  // The digit-by-digit sum is not the nearest double, unlike strtod.
  EXPECT_NE(bits(tavel_atof("0.3")), bits(strtod("0.3", nullptr)));
}

TEST(Atol32, ParsesLikeAtolAndSaturatesAtInt32) {
  EXPECT_EQ(atol32("  +12x"), 12);
  EXPECT_EQ(atol32("\t\n-345 6"), -345);
  EXPECT_EQ(atol32("x12"), 0);
  EXPECT_EQ(atol32("-"), 0);
  EXPECT_EQ(atol32(nullptr), 0);
  EXPECT_EQ(atol32("2147483647"), INT32_MAX);
  EXPECT_EQ(atol32("2147483648"), INT32_MAX);
  EXPECT_EQ(atol32("-2147483648"), INT32_MIN);
  EXPECT_EQ(atol32("-2147483649"), INT32_MIN);
  EXPECT_EQ(atol32("99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(atol32("-99999999999999999999999"), INT32_MIN);
  // The integer path of tavel_atof shares the saturation.
  EXPECT_EQ(tavel_atof("99999999999"), 2147483647.0);
}

}  // namespace
