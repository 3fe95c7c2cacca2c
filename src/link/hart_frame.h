// What every HART frame shares: its checksum and the communication-error bits recorded for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qln {

// HART communication-error byte bits recorded for a frame (the line-error codes of the serial
// port are 0x90 framing, 0xA0 overrun, 0xC0 parity).
inline constexpr uint8_t kOverrunBit = 0x20;
inline constexpr uint8_t kBufferOverflow = 0x82;
inline constexpr uint8_t kChecksumError = 0x88;
// Response code 32: the device is busy.
inline constexpr uint8_t kBusyResponse = 0x20;

// XOR of the bytes: the checksum that ends every HART frame.
inline uint8_t FrameChecksum(const uint8_t* bytes, std::size_t length) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum ^= bytes[i];
  return sum;
}

}  // namespace qln
