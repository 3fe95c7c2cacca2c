// The command layer's side of faults on demand: before a request is executed, the addressed
// device's fault section decides whether it is executed at all and what the link does to its
// reply; a count used is written back to the file at once, so a test rig sees it consumed.
#pragma once

#include <cstdint>

#include "commands/command_context.h"
#include "scenario/faults.h"

namespace qln {

// Reads the device's fault section (a change of it still waiting to be written counts as
// written), reports each refused text once per change, and takes the fault the pending request
// uses: its count goes down by one in the file. Only the device's own section is read and
// written. The caller holds the model lock.
FaultUse TakeArmedFault(CommandContext& ctx, uint8_t device);

// Whether the request is executed under the fault: not for a dropped, busy or response-code
// reply.
bool ExecutesCommand(const FaultUse& use);

// The reply of a request that is not executed: the fault's response code and no data, with the
// device status composed as for any reply (a dropped reply composes none: nobody will see it).
// Sets what the link must do to the reply. The caller holds the model lock.
void AnswerWithFault(CommandContext& ctx, uint8_t device, const FaultUse& use);

// Leaves in the exchange what the link does to the reply of the request: the dropped or spoiled
// reply, and the extra reply waits before it leaves.
void MarkReplyFault(CommandExchange& exchange, const FaultUse& use);

}  // namespace qln
