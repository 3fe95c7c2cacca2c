#include "commands/burst_commands.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <string_view>

#include "base/encodings.h"
#include "commands/burst_messages.h"
#include "commands/dispatcher.h"

namespace qln {
namespace {

constexpr uint8_t kInvalidBurstMessage = 9;  // commands 103, 104, 105, 107, 108
constexpr uint8_t kUpdateTimesAdjusted = kSetToNearest;
constexpr uint8_t kInvalidTriggerMode = 13;  // command 104
constexpr uint8_t kCommandExpansionFlag = 31;
constexpr uint8_t kFullSlotsRequestBytes = kBurstSlotCount + 1;
constexpr uint8_t kLongCommandRequestBytes = 3;

uint8_t* Data(CommandContext& ctx) { return ctx.exchange.Data.data(); }

uint32_t Get32(const uint8_t* in) { return static_cast<uint32_t>(in[0]) << 24 | Get24(in + 1); }

// The trigger level as the reply carries it: HART's NaN (7F A0 00 00) for "no level".
void PutLevel(uint8_t* out, float level) {
  if (std::isnan(level)) {
    Put32(out, 0x7FA00000u);
  } else {
    EncodeFloat(level, out);
  }
}

// A message number of the request: false (refused with `code`) when the device has no such
// message.
bool ValidMessage(CommandContext& ctx, uint8_t message, uint8_t code = kInvalidBurstMessage) {
  if (message < kBurstMessageCount) return true;
  Refuse(ctx, code);
  return false;
}

// A message of the bursting device changed: the line's frames are built afresh at once, with the
// message's new settings.
void Saved(CommandContext& ctx, uint8_t device, uint8_t message, const BurstMessage& burst) {
  SaveBurstMessage(ctx, device, message, burst);
  if (ctx.model.Burst.Device == device) ctx.model.Burst.Prepared.Clear();
}

}  // namespace

bool InHart7Mode(const CommandContext& ctx) { return ctx.model.Active.UnivCmdRev >= 7; }

void MoveBurstTo(CommandContext& ctx, uint8_t device, uint8_t mode) {
  // The burst device and its address are in place before the serial worker can see the mode,
  // and no frame prepared for the device bursting before is left to send.
  BurstControl& burst = ctx.model.Burst;
  // The mode is kept in the bursting device's own section, and a device that stops bursting
  // because another starts has 0 written to its section, so a restart bursts as before.
  const uint8_t before = burst.Device;
  if (before != device && burst.Enable.load(std::memory_order_acquire) != 0) {
    (void)ctx.store.WriteKeys(ctx.model, before, 109, {{"BurstMode", "0"}});
  }
  (void)ctx.store.WriteKeys(ctx.model, device, 109, {{"BurstMode", std::to_string(mode)}});
  burst.Prepared.Clear();
  burst.Device = device;
  burst.LongAddress = ctx.model.Table[device].LongAddress;
  ctx.model.Active.BurstMode = mode;
  burst.Enable.store(mode, std::memory_order_release);
}

// Request and reply: message, update period, maximum update period (both 1/32 ms). Periods the
// simulator cannot keep are set to the nearest it can and answered with 8.
void Command103(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t message = d[0];
  if (!ValidMessage(ctx, message)) return;
  BurstMessage burst = LoadBurstMessage(ctx, device, message);
  bool adjusted = false;
  burst.periodMs = BurstPeriodMs(Get32(d + 1), adjusted);
  burst.maxPeriodMs = BurstPeriodMs(Get32(d + 5), adjusted);
  if (burst.maxPeriodMs < burst.periodMs) {
    burst.maxPeriodMs = burst.periodMs;
    adjusted = true;
  }
  Saved(ctx, device, message, burst);
  Put32(d + 1, burst.periodMs * 32);
  Put32(d + 5, burst.maxPeriodMs * 32);
  Reply(ctx, kPeriodRequestBytes, adjusted ? kUpdateTimesAdjusted : kResponseSuccess);
}

// Request and reply: message, trigger mode, classification, units code, trigger level. A
// continuous or on-change trigger has no level: it is kept as not classified, units not used,
// NaN. The simulator stores the trigger and bursts every message at its update period.
void Command104(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t message = d[0];
  if (!ValidMessage(ctx, message)) return;
  const uint8_t mode = d[1];
  if (mode > kHighestTriggerMode) return Refuse(ctx, kInvalidTriggerMode);
  BurstMessage burst = LoadBurstMessage(ctx, device, message);
  burst.triggerMode = mode;
  if (mode == kContinuousTrigger || mode == kOnChangeTrigger) {
    burst.triggerClass = kNotClassified;
    burst.triggerUnit = kUnitNotUsed;
    burst.triggerLevel = std::nanf("");
  } else {
    burst.triggerClass = d[2];
    burst.triggerUnit = d[3];
    burst.triggerLevel = DecodeFloat(d + 4);
  }
  Saved(ctx, device, message, burst);
  d[2] = burst.triggerClass;
  d[3] = burst.triggerUnit;
  PutLevel(d + 4, burst.triggerLevel);
  Reply(ctx, kTriggerRequestBytes);
}

// Request: the message (none: message 0). Reply: control code, the command number expansion
// flag, the eight device variable codes, the message, the number of messages, the command
// number (16 bits), update period and maximum update period (1/32 ms), trigger mode,
// classification, units code and level.
void Command105(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t message = ctx.exchange.ByteCount >= 1 ? d[0] : 0;
  if (!ValidMessage(ctx, message)) return;
  const BurstMessage burst = LoadBurstMessage(ctx, device, message);
  d[0] = burst.control;
  d[1] = kCommandExpansionFlag;
  std::copy(burst.slots.begin(), burst.slots.end(), d + 2);
  d[10] = message;
  d[11] = kBurstMessageCount;
  Put16(d + 12, burst.command);
  Put32(d + 14, burst.periodMs * 32);
  Put32(d + 18, burst.maxPeriodMs * 32);
  d[22] = burst.triggerMode;
  d[23] = burst.triggerClass;
  d[24] = burst.triggerUnit;
  PutLevel(d + 25, burst.triggerLevel);
  Reply(ctx, 29);
}

// Request and reply: the eight device variable codes and the message. A shorter request (the
// older four-slot form) names the first slots of message 0; the others are not used.
void Command107(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t count = ctx.exchange.ByteCount;
  const bool full = count >= kFullSlotsRequestBytes;
  const uint8_t message = full ? d[kBurstSlotCount] : 0;
  if (!ValidMessage(ctx, message)) return;
  BurstMessage burst = LoadBurstMessage(ctx, device, message);
  burst.slots.fill(kSlotNotUsed);
  std::copy_n(d, full ? kBurstSlotCount : count, burst.slots.begin());
  Saved(ctx, device, message, burst);
  Reply(ctx, full ? kFullSlotsRequestBytes : count);
}

// Request and reply in one of three forms: the command (8 bits) for message 0; the command (8
// bits) and the message; the command (16 bits) and the message. Only commands with a burst
// frame layout are taken.
void Command108Hart7(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t count = ctx.exchange.ByteCount;
  const bool wide = count >= kLongCommandRequestBytes;
  const uint16_t command = wide ? Get16(d) : d[0];
  const uint8_t message = wide ? d[2] : count == 2 ? d[1] : 0;
  if (!ValidMessage(ctx, message)) return;
  if (!BurstCommandHasLayout(command)) return Refuse(ctx, kInvalidSelection);
  BurstMessage burst = LoadBurstMessage(ctx, device, message);
  burst.command = command;
  Saved(ctx, device, message, burst);
  Reply(ctx, wide ? kLongCommandRequestBytes : count);
}

// Request and reply: the control code (0 off, 1..4 on) and the message (none: message 0; a
// message the device does not have is an invalid selection here). The device bursts while any
// of its messages is on; its section 109 says so, and the line's burst moves to it as with the
// one-byte form. Switching a device's last message off leaves another bursting device as it is.
void Command109Hart7(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t control = d[0];
  const uint8_t message = ctx.exchange.ByteCount >= 2 ? d[1] : 0;
  if (!ValidMessage(ctx, message, kInvalidSelection)) return;
  if (control > kHighestBurstControl) return Refuse(ctx, kInvalidSelection);
  // Message 0 takes sections 108 and 109 as defaults until its own keys exist: they are written
  // before the device's burst mode changes under them.
  static constexpr std::string_view kControlKey[] = {"Control"};
  if (message != 0 && ctx.store.ReadKeys(BurstSection(device, 0), kControlKey)[0].empty()) {
    SaveBurstMessage(ctx, device, 0, LoadBurstMessage(ctx, device, 0));
  }
  BurstMessage burst = LoadBurstMessage(ctx, device, message);
  burst.control = control;
  SaveBurstMessage(ctx, device, message, burst);
  bool anyOn = false;
  for (uint8_t m = 0; m < kBurstMessageCount; ++m) {
    anyOn = anyOn || LoadBurstMessage(ctx, device, m).control != 0;
  }
  const uint8_t mode = anyOn ? 1 : 0;
  if (mode == 0 && ctx.model.Burst.Device != device) {
    (void)ctx.store.WriteKeys(ctx.model, device, 109, {{"BurstMode", "0"}});
  } else {
    MoveBurstTo(ctx, device, mode);
  }
  d[1] = message;
  Reply(ctx, 2);
}

}  // namespace qln
