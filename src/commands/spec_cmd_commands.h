// The handler of the device-specific commands 128..253: each is answered, by every device, with
// the fixed data bytes the operator stored for its number in the device-specific command table.
#pragma once

#include <cstdint>

#include "commands/command_context.h"

namespace qln {

// Ignores the request's data, the write protection and the lock. Runs with the model lock held.
void SpecCmdCommand(CommandContext& ctx, uint8_t device);

}  // namespace qln
