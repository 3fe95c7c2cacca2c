// Names of the configuration sections and their keys, in the order in which they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/device_index.h"

namespace qln {

// The thirteen device sections, in the order of a full load and of DecodeAll.
inline constexpr uint8_t kDeviceSections[] = {0, 1, 3, 12, 13, 14, 15, 16, 20, 48, 59, 108, 109};

inline constexpr uint8_t kFirstSpecCmd = 128;
inline constexpr uint8_t kLastSpecCmd = 253;
inline constexpr bool IsSpecCmd(unsigned command) {
  return command >= kFirstSpecCmd && command <= kLastSpecCmd;
}

inline constexpr std::string_view kSystemSection = "HTDev_Sys";

// Keys of one of the thirteen device sections, in read order; empty for other numbers.
std::span<const std::string_view> SectionKeys(uint8_t section);

// Position of key among the keys of section: the device sections by their table, the
// device-specific sections as ParamNum (0) and Param1..Param255 (1..255). Exact spelling.
std::optional<std::size_t> KeyIndex(uint8_t section, std::string_view key);

// "HTDev%02d_Cmd%03d" for the device sections, "HTDevAll_SpecCmd%03d" for 128..253.
std::string SectionName(uint8_t section, uint8_t device);

// "ParamNum" for 0, "Param%d" otherwise.
std::string SpecCmdKey(std::size_t index);

// "Dev%02d_En".
std::string DevEnableKey(uint8_t device);

}  // namespace qln
