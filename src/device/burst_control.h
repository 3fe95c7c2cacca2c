// Burst mode: which device sends its burst messages unasked on the line, and the frames it sends
// next. Held by the device model.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "base/burst_frame.h"

namespace qln {

struct BurstControl {
  // 0 off, anything else on. Written last (release) by command 109 and by a configuration load,
  // so that the device and its address are in place when the serial worker sees it on.
  std::atomic<uint8_t> Enable{0};
  // Written and read under the model lock.
  uint8_t Device = 0;
  std::array<uint8_t, 5> LongAddress{};  // MfrID, device type, 24-bit identification
  PreparedBurst Prepared;
  // The serial worker's own.
  uint8_t MasterToggle = 0;  // bit 7 alternates from frame to frame
  // Millisecond clock at the last burst frame of each message.
  std::array<uint32_t, kBurstMessageCount> LastBurstMs{};
};

}  // namespace qln
