// Burst mode: which device sends its burst frame about once a second, unasked.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace qln {

struct BurstControl {
  // 0 off, anything else on. Written last (release) by command 109 and by a configuration load,
  // so that the device and its address are in place when the serial worker sees it on.
  std::atomic<uint8_t> Enable{0};
  // Written and read under the model lock.
  uint8_t Device = 0;
  std::array<uint8_t, 5> LongAddress{};  // MfrID, device type, 24-bit identification
  // The serial worker's own.
  uint8_t MasterToggle = 0;   // bit 7 alternates from frame to frame
  uint32_t LastBurstMs = 0;   // millisecond clock at the last burst frame
};

}  // namespace qln
