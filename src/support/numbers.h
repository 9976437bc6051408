// Number parsing with the controller's own rules.
#pragma once

#include <cstdint>

// Decimal text to double. A text with a full stop is converted digit by digit (integer digits
// directly left of the point, right to left; fraction digits right of it, left to right), with
// the sign negative when a '-' occurs anywhere before the point. A text without a full stop, or
// with one as its last character, is converted by atol32. Never fails; no digits give 0.0.
// Every step is a separately rounded double operation, so results can differ from strtod in the
// last bit ("0.3" gives 0.30000000000000004).
double tavel_atof(const char* text);

// atol as on the controller, where long is 32 bits: leading white space, an optional sign, decimal
// digits up to the first other character; no digits give 0. Values outside the int32 range
// saturate at INT32_MIN / INT32_MAX. A null text gives 0.
int32_t atol32(const char* text);

// True when `text` is wholly a decimal number: optional white space, an optional sign, digits,
// optionally a full stop followed by digits, optional white space, nothing else ("21.5", " -3 ",
// "+0.25"; not "", "ON", "21,5", "1e3", ".5", "5.", "0x10"). A null text gives false.
bool is_decimal_number(const char* text);
