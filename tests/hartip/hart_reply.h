// What a HART-IP host reads from the replies of an I/O system and its devices, by the public
// layouts: reply frames, big-endian numbers, unique IDs and long addresses, command 77's request.
// Shared by the end-to-end discovery test and the plant's discovery bench.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/hart_frame.h"

namespace qln::test {

using Address = std::array<uint8_t, 5>;
using Bytes = std::vector<uint8_t>;

struct HartReply {
  uint8_t code = 0, status = 0;
  Bytes data;
};

// A reply frame, with or without its checksum; nothing when it is not whole.
inline std::optional<HartReply> ReadReply(std::span<const uint8_t> frame, bool checksum) {
  const std::size_t countPos = !frame.empty() && (frame[0] & 0x80) != 0 ? 7 : 3;
  if (frame.size() <= countPos + 2) return std::nullopt;
  const std::size_t end = countPos + 1 + frame[countPos];
  if (frame[countPos] < 2 || frame.size() != end + (checksum ? 1 : 0)) return std::nullopt;
  if (checksum && FrameChecksum(frame.data(), end) != frame[end]) return std::nullopt;
  return HartReply{frame[countPos + 1], frame[countPos + 2],
                   Bytes(frame.begin() + static_cast<std::ptrdiff_t>(countPos) + 3,
                         frame.begin() + static_cast<std::ptrdiff_t>(end))};
}

inline uint64_t Big(std::span<const uint8_t> bytes, std::size_t at, std::size_t count) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = value << 8 | bytes[at + i];
  return value;
}

// A unique ID: expanded device type and device ID; its long address has the top two bits clear.
inline Bytes UniqueId(uint64_t deviceType, uint64_t deviceId) {
  return {static_cast<uint8_t>(deviceType >> 8), static_cast<uint8_t>(deviceType),
          static_cast<uint8_t>(deviceId >> 16), static_cast<uint8_t>(deviceId >> 8),
          static_cast<uint8_t>(deviceId)};
}
inline Address AddressOf(uint64_t deviceType, uint64_t deviceId) {
  const Bytes id = UniqueId(deviceType, deviceId);
  return {static_cast<uint8_t>(id[0] & 0x3F), id[1], id[2], id[3], id[4]};
}
// The long address in a reply: expanded device type and device ID at their offsets.
inline Address AddressIn(const Bytes& data, std::size_t typeAt, std::size_t idAt) {
  return AddressOf(Big(data, typeAt, 2), Big(data, idAt, 3));
}

// Command 77's request: card 0, channel 0, 5 preambles and the frame without its checksum.
inline Bytes Through77(const Bytes& frame, uint8_t card = 0, uint8_t channel = 0) {
  Bytes data{card, channel, 5};
  data.insert(data.end(), frame.begin(), frame.end() - 1);
  return data;
}

}  // namespace qln::test
