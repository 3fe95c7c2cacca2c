// Faults on demand: what the optional section [HTDev%02d_Faults] of a device arms, read from the
// file's texts, and which fault the device's next request uses. Pure functions of the texts; the
// command layer reads the section, counts down and writes the keys back, and the link applies
// what the command layer leaves in the exchange.
//
// Keys, each counting down as it is used (the next N requests or replies of this device):
//   BusyReplies        answered with busy (response code 32), not executed
//   DropReplies        not answered at all, not executed
//   ResponseCode       with ResponseCodeCount: answered with that code and no data, not executed
//   BadChecksums       executed, and the reply goes out with a wrong checksum
// and one that stays as written:
//   ExtraDelayTicks    every reply of the device leaves that many ticks later, in whole reply
//                      waits (rounded up to a multiple of 10 ticks)
// When several counts are armed, one request uses one of them, in the order drop, busy,
// response code, bad checksum; the delay applies besides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qln {

enum class FaultKey : uint8_t {
  BusyReplies,
  DropReplies,
  BadChecksums,
  ResponseCode,
  ResponseCodeCount,
  ExtraDelayTicks,
};
inline constexpr std::size_t kFaultKeyCount = 6;
// The key names, in FaultKey order.
inline constexpr std::array<std::string_view, kFaultKeyCount> kFaultKeyNames = {
    "BusyReplies",  "DropReplies",       "BadChecksums",
    "ResponseCode", "ResponseCodeCount", "ExtraDelayTicks"};

inline constexpr uint16_t kMaxFaultCount = 255;
inline constexpr uint16_t kMaxExtraDelayTicks = 1000;  // 10 seconds
inline constexpr uint8_t kTicksPerReplyWait = 10;

// "HTDev03_Faults".
std::string FaultSection(uint8_t device);

// The texts of the section's keys, in FaultKey order; empty for a missing key.
using FaultTexts = std::array<std::string, kFaultKeyCount>;

// A text that cannot arm its fault; the fault stays off.
struct FaultRefusal {
  FaultKey key;
  std::string text;
  std::string reason;  // "a count must be a whole number from 0 to 255"
};

// What the section arms. A key whose text was refused counts as 0.
struct FaultSettings {
  std::array<uint16_t, kFaultKeyCount> values{};
  std::vector<FaultRefusal> refused;

  uint16_t Get(FaultKey key) const { return values[static_cast<std::size_t>(key)]; }
};

// Reads the texts: each a whole decimal number (spaces around it allowed) in its key's range;
// an empty text is 0. ResponseCode must be 1..255 while ResponseCodeCount is above 0 (otherwise
// it is not looked at); a refused code leaves the response-code fault off.
FaultSettings ParseFaults(const FaultTexts& texts);

enum class FaultKind : uint8_t { None, Drop, Busy, ResponseCode, BadChecksum };

// The fault one request uses.
struct FaultUse {
  FaultKind kind = FaultKind::None;
  uint8_t responseCode = 0;  // of a Busy (32) or ResponseCode fault
  uint16_t left = 0;         // what the count is after this use
  uint8_t delayPeriods = 0;  // extra reply waits before the reply leaves

  // The counted key this use takes one from, if any.
  std::optional<FaultKey> Counted() const;
  bool Any() const { return kind != FaultKind::None || delayPeriods != 0; }
};

FaultUse NextFault(const FaultSettings& settings);

// The console line of a fault used: "Dev[3]_Fault: busy reply (2 left)\r\n", with ", held 20
// ticks" for a delay; empty when the use has no fault.
std::string FaultNote(uint8_t device, const FaultUse& use);

}  // namespace qln
