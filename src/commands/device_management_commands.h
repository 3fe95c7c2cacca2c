// Handlers of the device-management commands: self test, reset, response preambles, lock,
// real-time clock, communication statistics and burst mode. Run by Dispatch with the model lock
// held, after the entry checks of the command have passed.
#pragma once

#include <cstdint>

#include "commands/command_context.h"

namespace qln {

void Command41(CommandContext& ctx, uint8_t device);   // perform self test
void Command42(CommandContext& ctx, uint8_t device);   // device reset
void Command59(CommandContext& ctx, uint8_t device);   // write number of response preambles
void Command71(CommandContext& ctx, uint8_t device);   // lock device
void Command76(CommandContext& ctx, uint8_t device);   // read lock device state
void Command89(CommandContext& ctx, uint8_t device);   // set real-time clock
void Command90(CommandContext& ctx, uint8_t device);   // read real-time clock
void Command95(CommandContext& ctx, uint8_t device);   // read communication statistics
void Command108(CommandContext& ctx, uint8_t device);  // write burst mode command number
void Command109(CommandContext& ctx, uint8_t device);  // burst mode control

}  // namespace qln
