// The burst messages of a device in HART 7 mode: for each message (0..2) whether it is on, the
// command whose reply it carries, its update period and maximum update period, its trigger and
// the eight device variables that commands 9 and 33 report. Kept in the device's own sections
// [HTDev%02d_Burst0] .. [HTDev%02d_Burst2] of QLN.ini, read from the file whenever a command or
// a burst frame needs them, so that a hand edit counts from then on.
//
// A text that does not read as its key's value is reported once to the operator, naming the
// device's section, the key and the text, and the key's default is used instead. Message 0 has
// the device's burst command (section 108) and burst mode (section 109) as defaults, so that a
// file written before messages existed bursts as it did.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "base/burst_frame.h"
#include "commands/command_context.h"

namespace qln {

// The update periods the simulator takes, on the line and over HART-IP alike. At 1200 baud a
// character takes 11 bit times: a command 3 burst frame behind 5 preambles (40 characters)
// takes 0.37 s, and a master's request with its reply needs the line between two of them, so
// half a second is the shortest period that leaves the line usable. An hour is the longest.
inline constexpr uint32_t kMinBurstPeriodMs = 500;
inline constexpr uint32_t kMaxBurstPeriodMs = 3'600'000;

inline constexpr std::size_t kBurstSlotCount = 8;
inline constexpr uint8_t kSlotNotUsed = 250;
inline constexpr uint8_t kHighestBurstControl = 4;  // 0 off; 1..4 on (the simulator's line and
                                                    // HART-IP carry every enabled message)
inline constexpr uint8_t kHighestTriggerMode = 4;   // continuous, window, rising, falling, change
inline constexpr uint8_t kContinuousTrigger = 0;
inline constexpr uint8_t kOnChangeTrigger = 4;
inline constexpr uint8_t kNotClassified = 0;
inline constexpr uint8_t kUnitNotUsed = 250;

struct BurstMessage {
  uint8_t control = 0;
  uint16_t command = 1;
  uint32_t periodMs = kBurstPeriodMs;
  uint32_t maxPeriodMs = kBurstPeriodMs;
  uint8_t triggerMode = kContinuousTrigger;
  uint8_t triggerClass = kNotClassified;
  uint8_t triggerUnit = kUnitNotUsed;
  float triggerLevel = std::numeric_limits<float>::quiet_NaN();
  std::array<uint8_t, kBurstSlotCount> slots{
      0, 1, 2, 3, kSlotNotUsed, kSlotNotUsed, kSlotNotUsed, kSlotNotUsed};
};

// "HTDev03_Burst1".
std::string BurstSection(uint8_t device, uint8_t message);

// Whether a burst message may carry the command: those with a burst frame layout.
bool BurstCommandHasLayout(uint32_t command);

// The message as the file holds it now, bad texts reported (see above). Caller holds the lock.
BurstMessage LoadBurstMessage(CommandContext& ctx, uint8_t device, uint8_t message);

// Writes every key of the message into its section of the file.
void SaveBurstMessage(CommandContext& ctx, uint8_t device, uint8_t message,
                      const BurstMessage& burst);

// An update period of a request (units of 1/32 ms) as the simulator keeps it: whole
// milliseconds, rounded up, within kMinBurstPeriodMs..kMaxBurstPeriodMs. `adjusted` is set when
// the result differs from the request.
uint32_t BurstPeriodMs(uint32_t period32, bool& adjusted);

}  // namespace qln
