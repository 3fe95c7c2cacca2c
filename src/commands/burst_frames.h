// The burst frames of a bursting device: the replies of its burst messages' commands (1, 2 or 3;
// in HART 7 mode 9 and 33 with the message's device variables; 48, and 9 and 33 in HART 5/6
// mode, carry the status bytes only), built by the command layer from the device's data as the
// file holds it now. The serial worker and the HART-IP sessions frame nothing themselves: they
// send what was built here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "commands/burst_messages.h"
#include "commands/command_context.h"
#include "device/burst_control.h"

namespace qln {

// What a device bursts, message by message: a device in HART 5/6 mode has message 0 only, with
// its section 108 command, once a second; a device in HART 7 mode has its burst messages.
struct MessagePlan {
  bool enabled = false;
  bool hart7 = false;
  uint16_t command = 0;
  uint32_t periodMs = kBurstPeriodMs;
  std::array<uint8_t, kBurstSlotCount> slots{};
};
using BurstPlan = std::array<MessagePlan, kBurstMessageCount>;

// The plan of the device as the file says now. Caller holds the model lock.
BurstPlan PlanDeviceBursts(CommandContext& ctx, uint8_t device);

// The frame of one message of the device, sent under `address`, with the master bit 0 (the
// sender alternates it); nothing for a command without a frame layout. Refreshes the sections
// the command reports while the file is known to be there. Caller holds the model lock.
std::optional<BurstFrame> BuildMessageFrame(CommandContext& ctx, uint8_t device,
                                            const std::array<uint8_t, 5>& address,
                                            const MessagePlan& plan);

// The frames of the `wanted` messages (bit n for message n) of the burst device of model.Burst,
// each with its period, or that it is off. Caller holds the model lock.
std::vector<MessageFrame> BuildBurstFrames(CommandContext& ctx, uint8_t wanted);

// The frame of message 0 of the burst device of model.Burst; nothing when it is off or its
// command has no frame layout. Caller holds the model lock.
std::optional<BurstFrame> BuildBurstFrame(CommandContext& ctx);

}  // namespace qln
