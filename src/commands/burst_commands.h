// The burst-message commands of a device in HART 7 mode (see burst_messages.h for what a message
// holds): 103 update periods, 104 trigger, 105 read a message's configuration, 107 device
// variables, and the HART 7 forms of 108 (command number) and 109 (control) with a message
// number. A device in HART 5/6 mode answers 103, 104, 105 and 107 with 64 (not implemented) and
// keeps its one-byte 108 and 109.
#pragma once

#include <cstdint>

#include "commands/command_context.h"

namespace qln {

// Request bytes of 103 (message and two periods) and of 104 (message, mode, classification,
// units and level).
inline constexpr uint8_t kPeriodRequestBytes = 9;
inline constexpr uint8_t kTriggerRequestBytes = 8;

void Command103(CommandContext& ctx, uint8_t device);  // write burst period
void Command104(CommandContext& ctx, uint8_t device);  // write burst trigger
void Command105(CommandContext& ctx, uint8_t device);  // read burst mode configuration
void Command107(CommandContext& ctx, uint8_t device);  // write burst device variables
void Command108Hart7(CommandContext& ctx, uint8_t device);
void Command109Hart7(CommandContext& ctx, uint8_t device);

// Whether the device (section 000 decoded for it) is in HART 7 mode.
bool InHart7Mode(const CommandContext& ctx);

// The line's burst moves to the device with the burst mode (see Command109); the mode is kept in
// the device's own section 109.
void MoveBurstTo(CommandContext& ctx, uint8_t device, uint8_t mode);

}  // namespace qln
