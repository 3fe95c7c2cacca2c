// What every HART frame shares, whichever way it travels: its layout, its checksum, the reply
// built in place of a request, and the communication-error bits recorded for it.
//
// A master frame: delimiter, address (1 byte short, 5 bytes long), command, byte count, data,
// checksum. A reply repeats delimiter (with the slave-to-master bits), address and command, and
// its data start with the response code and the device status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qln {

inline constexpr uint8_t kPreamble = 0xFF;
inline constexpr uint8_t kShortStx = 0x02;       // master to slave, short (poll) address
inline constexpr uint8_t kLongStx = 0x82;        // master to slave, long address
inline constexpr uint8_t kLongFrameBit = 0x80;   // in the delimiter
inline constexpr uint8_t kFrameTypeMask = 0x07;  // in the delimiter: 1 burst, 2 STX, 6 ACK
inline constexpr uint8_t kFrameTypeStx = 0x02;
inline constexpr uint8_t kReplyDelimiterBits = 0x06;
inline constexpr uint8_t kMasterBit = 0x80;    // in address byte 1: primary master
inline constexpr uint8_t kBurstBit = 0x40;     // in address byte 1: a burst-mode device
inline constexpr uint8_t kAddressMask = 0x3F;  // poll address, or the low six bits of MfrID
// Position of the byte count field: after delimiter, address and command.
inline constexpr std::size_t kShortCountPos = 3;
inline constexpr std::size_t kLongCountPos = 7;
// The position of the byte count in a frame that starts with `delimiter`.
inline constexpr std::size_t CountPosition(uint8_t delimiter) {
  return (delimiter & kLongFrameBit) != 0 ? kLongCountPos : kShortCountPos;
}
inline constexpr uint8_t kReadTagCommand = 11;
inline constexpr uint8_t kReadLongTagCommand = 21;

// Frame bytes kept from the delimiter on; bytes beyond are dropped as a buffer overflow.
inline constexpr std::size_t kFrameCapacity = 284;
// Reply data bytes that fit the one-byte count field next to the two status bytes.
inline constexpr std::size_t kMaxReplyData = 253;

// HART communication-error byte bits recorded for a frame (the line-error codes of the serial
// port are 0x90 framing, 0xA0 overrun, 0xC0 parity).
inline constexpr uint8_t kOverrunBit = 0x20;
inline constexpr uint8_t kBufferOverflow = 0x82;
inline constexpr uint8_t kChecksumError = 0x88;
// Response code 32: the device is busy.
inline constexpr uint8_t kBusyResponse = 0x20;
// The device status of a reply before any command has composed one (a reply to a damaged first
// frame): cold start.
inline constexpr uint8_t kInitialDeviceStatus = 0x20;
// Flipped in the checksum of a reply that must arrive damaged: every bit wrong.
inline constexpr uint8_t kSpoiledChecksumBits = 0xFF;

// XOR of the bytes: the checksum that ends every HART frame.
inline uint8_t FrameChecksum(const uint8_t* bytes, std::size_t length) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum ^= bytes[i];
  return sum;
}

// Turns the master frame in `frame` (delimiter through byte count, the count at `countPos`) into
// the slave reply in place: reply delimiter, the address with the burst bit cleared, byte count
// (data + 2), response code, device status, the data (at most kMaxReplyData bytes) and the
// checksum. Returns the reply's length; `frame` must hold countPos + 4 + the data. Every
// transport frames its replies with it, so they are the same bytes.
std::size_t FrameReply(std::span<uint8_t> frame, std::size_t countPos, uint8_t responseCode,
                       uint8_t deviceStatus, std::span<const uint8_t> data);

}  // namespace qln
