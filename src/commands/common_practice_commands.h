// Handlers of the common-practice commands for the device variables, the primary variable's
// range, damping, units, transfer function and loop current, and the variable assignments. Run
// by Dispatch with the model lock held, after the entry checks of the command have passed.
#pragma once

#include <cstdint>

#include "commands/command_context.h"

namespace qln {

void Command33(CommandContext& ctx, uint8_t device);  // read device variables
void Command34(CommandContext& ctx, uint8_t device);  // write PV damping value
void Command35(CommandContext& ctx, uint8_t device);  // write PV range values
void Command36(CommandContext& ctx, uint8_t device);  // set PV upper range value
void Command37(CommandContext& ctx, uint8_t device);  // set PV lower range value
void Command40(CommandContext& ctx, uint8_t device);  // enter/exit fixed current mode
void Command43(CommandContext& ctx, uint8_t device);  // set PV zero
void Command44(CommandContext& ctx, uint8_t device);  // write PV units
void Command47(CommandContext& ctx, uint8_t device);  // write PV transfer function
void Command49(CommandContext& ctx, uint8_t device);  // write PV transducer serial number
void Command50(CommandContext& ctx, uint8_t device);  // read dynamic variable assignments
void Command51(CommandContext& ctx, uint8_t device);  // write dynamic variable assignments

}  // namespace qln
