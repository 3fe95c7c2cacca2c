#include "base/encodings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qln {

void EncodeFloat(float value, uint8_t out[4]) {
  uint32_t bits = 0;
  if (std::isinf(value)) {
    bits = value < 0 ? 0xFF800000u : 0x7F800000u;
  } else if (!(value != 0.0f) || std::isnan(value)) {
    bits = 0;  // zero, negative zero and NaN
  } else {
    int exponent = 0;
    const double fraction = std::frexp(static_cast<double>(value), &exponent);  // 0.5 <= |f| < 1
    const int field = exponent + 126;
    if (field >= 0) {
      const auto mantissa = static_cast<uint32_t>(std::fabs(fraction) * 16777216.0) & 0x7FFFFFu;
      bits = (value < 0 ? 0x80000000u : 0u) | (static_cast<uint32_t>(field) << 23) | mantissa;
    }
  }
  Put32(out, bits);
}

float DecodeFloat(const uint8_t in[4]) {
  const uint32_t bits = (static_cast<uint32_t>(in[0]) << 24) | Get24(in + 1);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void SwapBytes(uint8_t* bytes, std::size_t count) { std::reverse(bytes, bytes + count); }

bool PackAscii(std::string_view text, uint8_t* out, std::size_t* outCount) {
  if (text.empty()) return false;
  std::size_t written = 0;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    uint8_t code[4];
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = i + k < text.size() ? text[i + k] : ' ';
      code[k] = static_cast<uint8_t>(c) & 0x3F;
    }
    out[written++] = static_cast<uint8_t>((code[0] << 2) | (code[1] >> 4));
    out[written++] = static_cast<uint8_t>((code[1] << 4) | (code[2] >> 2));
    out[written++] = static_cast<uint8_t>((code[2] << 6) | code[3]);
  }
  *outCount = written;
  return true;
}

bool UnpackAscii(const uint8_t* in, std::size_t length, char* out, std::size_t* outCount) {
  *outCount = 0;
  if (length < 3 || length % 3 != 0) return false;
  std::size_t written = 0;
  for (std::size_t i = 0; i < length; i += 3) {
    const uint8_t code[4] = {
        static_cast<uint8_t>(in[i] >> 2),
        static_cast<uint8_t>(((in[i] & 0x03) << 4) | (in[i + 1] >> 4)),
        static_cast<uint8_t>(((in[i + 1] & 0x0F) << 2) | (in[i + 2] >> 6)),
        static_cast<uint8_t>(in[i + 2] & 0x3F),
    };
    for (uint8_t k : code) out[written++] = static_cast<char>(k < 0x20 ? k + 0x40 : k);
  }
  *outCount = written;
  return true;
}

std::string TimeStamp(const Clock& clock) {
  const LocalTime t = clock.Now();
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second,
                t.millisecond);
  return text;
}

uint32_t TimeOfDay32(const LocalTime& time) {
  const uint32_t ms =
      ((static_cast<uint32_t>(time.hour) * 60 + time.minute) * 60 + time.second) * 1000 +
      time.millisecond;
  return ms * 32;
}

}  // namespace qln
