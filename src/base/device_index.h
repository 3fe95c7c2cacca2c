// Device indices: the sixteen simulated devices are 0..15, their poll addresses and rows.
#pragma once

#include <cstdint>

namespace qln {

inline constexpr uint8_t kDeviceCount = 16;
// Device index meaning "all sixteen devices, in index order".
inline constexpr uint8_t AllDevices = 100;
// No device: none addressed, none decoded.
inline constexpr uint8_t kNoDevice = 0xFF;

}  // namespace qln
