// The byte forms of HART data fields: single-precision floats and 16/24/32-bit integers most
// significant byte first, packed ASCII for tags and texts, three-byte dates, and the time stamp
// of the traffic log. Pure functions on caller-provided buffers; nothing allocates but TimeStamp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace qln {

// IEEE-754 single precision, most significant byte first. Zero, negative zero, NaN and values
// below 2^-127 in magnitude give 00 00 00 00; infinities give their IEEE pattern.
void EncodeFloat(float value, uint8_t out[4]);
float DecodeFloat(const uint8_t in[4]);

// Reverses 2, 3 or 4 bytes in place (host order <-> most significant first).
void SwapBytes(uint8_t* bytes, std::size_t count);

inline void Put16(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
}
inline void Put24(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 16);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value);
}
inline void Put32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  Put24(out + 1, value);
}
inline uint16_t Get16(const uint8_t* in) { return static_cast<uint16_t>((in[0] << 8) | in[1]); }
inline uint32_t Get24(const uint8_t* in) {
  return (static_cast<uint32_t>(in[0]) << 16) | (static_cast<uint32_t>(in[1]) << 8) | in[2];
}

// HART packed ASCII: each character becomes its low six bits, four characters fill three bytes.
// Writes 3 bytes per 4 characters (a last group of fewer than four is completed with spaces) and
// their count; false, writing nothing, for an empty text.
bool PackAscii(std::string_view text, uint8_t* out, std::size_t* outCount);
// Writes 4 characters per 3 bytes (no terminator) and their count. Codes 0x00..0x1F become the
// characters 0x40..0x5F, codes 0x20..0x3F stay. False with a count of 0 unless the length is a
// nonzero multiple of 3.
bool UnpackAscii(const uint8_t* in, std::size_t length, char* out, std::size_t* outCount);

// Three date bytes: day, month, year minus 1900 (the year byte as held by the device record).
inline void PutDate(uint8_t* out, uint8_t day, uint8_t month, uint8_t yearSince1900) {
  out[0] = day;
  out[1] = month;
  out[2] = yearSince1900;
}

// "%02d:%02d:%02d.%03d" of the local hour, minute, second and millisecond.
std::string TimeStamp(const Clock& clock);

// Local time of day in units of 1/32 ms, as the clock commands and command 9 report it.
uint32_t TimeOfDay32(const LocalTime& time);

}  // namespace qln
