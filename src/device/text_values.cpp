#include "device/text_values.h"

#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <string>

namespace qln {

uint32_t ParseUnsigned(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFu) value = 0x1'0000'0000u;  // saturates below
  }
  const uint32_t magnitude = value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
  return negative ? 0u - magnitude : magnitude;
}

double ParseDouble(std::string_view text) {
  // Always the C locale's decimal point: the GUI toolkit switches the process to the user's
  // locale, and a stored "12.500000" must not read as 12 there.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string copy(text);  // strtod needs a terminated text
  return strtod_l(copy.c_str(), nullptr, cLocale);
}

std::string FormatFixed6(double value) {
  char text[400];  // the longest double in fixed notation with six decimals fits
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  return std::string(text, result.ptr);
}

std::string ValueText(double value) {
  constexpr std::ptrdiff_t kKeyRoom = 63;  // the characters a key's text is read with
  std::string fixed6 = FormatFixed6(value);
  if (!std::isfinite(value) || ParseDouble(fixed6) == value) return fixed6;
  char text[400];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  if (result.ptr - text > kKeyRoom) result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

uint32_t ParseHex(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  return value;
}

}  // namespace qln
