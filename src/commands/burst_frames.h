// The burst frame of the burst device: the reply of its burst command (1, 2 or 3; 9, 33 and 48
// carry the status bytes only), built by the command layer from the device's data as the file
// holds it now. The serial worker frames nothing itself: it sends what was built here.
#pragma once

#include <optional>

#include "commands/command_context.h"
#include "device/burst_control.h"

namespace qln {

// The frame for the burst device of model.Burst, with the master bit 0 (the sender alternates
// it); nothing for a burst command without a frame layout. Refreshes the sections the burst
// command reports while the file is known to be there. Caller holds the model lock.
std::optional<BurstFrame> BuildBurstFrame(CommandContext& ctx);

}  // namespace qln
