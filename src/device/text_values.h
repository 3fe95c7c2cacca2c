// Reading numbers out of configuration and window texts, the way the store decodes them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qln {

// Unsigned decimal integer: leading white space skipped, one optional sign, digits up to the
// first other character; no digits give 0; a minus negates modulo 2^32; values beyond 32 bits
// saturate at 4294967295 before the sign is applied. "12abc" gives 12, "-1" gives 4294967295.
uint32_t ParseUnsigned(std::string_view text);

// Decimal floating-point number (white space, sign, digits, point, exponent) up to the first
// character that does not fit; no number gives 0.0.
double ParseDouble(std::string_view text);

// "%0.6f" of the value, always with a decimal point whatever the process's locale.
std::string FormatFixed6(double value);

// A value as the operator's number is stored: "%0.6f" where that reads back as the same double,
// otherwise the fewest digits that do (fixed point while that fits a key's 63 characters,
// else with an exponent). 26 gives 26.000000, 1.23456789 stays 1.23456789, 0.0000001 stays
// 0.0000001.
std::string ValueText(double value);

// Hexadecimal number up to the first character that is not a hex digit; no digits give 0.
// Values beyond 32 bits keep their low 32 bits.
uint32_t ParseHex(std::string_view text);

}  // namespace qln
