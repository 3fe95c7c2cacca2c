#include "commands/burst_frames.h"

#include <algorithm>

#include "base/encodings.h"
#include "base/hart_frame.h"
#include "commands/common_practice_commands.h"
#include "commands/dispatcher.h"
#include "commands/moving_process_values.h"
#include "commands/universal_commands.h"

namespace qln {
namespace {

constexpr uint8_t kBurstDelimiter = 0x81;
constexpr uint8_t kBurstAndMasterBits = 0xC0;
constexpr std::size_t kHeaderLength = 10;  // delimiter, address, command, count and status
constexpr std::size_t kCommand33Slots = 4;

// Length of the burst frame of a command whose length does not depend on its variables, 0 for
// a command without a burst layout.
std::size_t FixedFrameLength(uint32_t command) {
  switch (command) {
    case 1:
      return 16;
    case 2:
      return 19;
    case 3:
      return 35;
    case 9:
    case 33:
    case 48:
      return 11;
    default:
      return 0;
  }
}

uint8_t* PutUnitAndValue(uint8_t* out, uint8_t unit, float value) {
  out[0] = unit;
  EncodeFloat(value, out + 1);
  return out + 5;
}

// The data of commands 1, 2 and 3 as their burst frames carry them.
void PutDynamicData(CommandContext& ctx, uint8_t device, uint32_t command, uint8_t* d) {
  // The sections the burst command reports, read again for the burst device; the range that the
  // loop current is computed from must be the burst device's too.
  static constexpr uint8_t kRange[] = {15};
  if (command == 1 || command == 2) RefreshSection(ctx, 1, device);
  if (command == 2) RefreshSection(ctx, 15, device);
  if (command == 3) RefreshSection(ctx, 3, device);
  if (command == 3) ClaimSections(ctx.model, ctx.store, device, kRange);
  ApplyMovingValues(ctx, device);  // the values at the moment the frame is built

  DeviceRecord& r = ctx.model.Active;
  if (command == 1) {
    PutUnitAndValue(d, r.PV1Unit, r.PV1Value);
  } else if (command == 2 || command == 3) {
    LoopCurrentStep(r, ctx.state, device);
    EncodeFloat(r.LoopCurrent, d);
    if (command == 2) {
      EncodeFloat(r.PercentOfRange, d + 4);
    } else {
      d = PutUnitAndValue(d + 4, r.PV1Unit, r.PV1Value);
      d = PutUnitAndValue(d, r.PV2Unit, r.PV2Value);
      d = PutUnitAndValue(d, r.PV3Unit, r.PV3Value);
      PutUnitAndValue(d, r.PV4Unit, r.PV4Value);
    }
  }
}

// The reply data of command 9 or 33 for the message's device variables: the slots up to the
// first one not used (at least one), as the command's own handler answers a request for them.
std::size_t PutVariableData(CommandContext& ctx, uint8_t device, const MessagePlan& plan,
                            uint8_t* d) {
  const std::size_t most = plan.command == 33 ? kCommand33Slots : kBurstSlotCount;
  std::size_t count = 1;
  while (count < most && plan.slots[count] != kSlotNotUsed) ++count;
  CommandExchange& exchange = ctx.exchange;
  std::copy_n(plan.slots.begin(), count, exchange.Data.begin());
  exchange.ByteCount = static_cast<uint8_t>(count);
  if (plan.command == 9) {
    Command9(ctx, device);
  } else {
    Command33(ctx, device);
  }
  std::copy_n(exchange.Data.begin(), exchange.ByteCount, d);
  return exchange.ByteCount;
}

}  // namespace

BurstPlan PlanDeviceBursts(CommandContext& ctx, uint8_t device) {
  BurstPlan plan{};
  RefreshSection(ctx, 0, device);
  if (ctx.model.Active.UnivCmdRev < 7) {
    plan[0].enabled = true;
    plan[0].command =
        static_cast<uint16_t>(std::min<uint32_t>(ctx.model.Table[device].BurstCmdNo, 0xFFFF));
    return plan;
  }
  for (uint8_t m = 0; m < kBurstMessageCount; ++m) {
    const BurstMessage message = LoadBurstMessage(ctx, device, m);
    plan[m] = {message.control != 0, true, message.command, message.periodMs, message.slots};
  }
  return plan;
}

std::optional<BurstFrame> BuildMessageFrame(CommandContext& ctx, uint8_t device,
                                            const std::array<uint8_t, 5>& address,
                                            const MessagePlan& plan) {
  const uint32_t command = plan.command;
  const std::size_t fixed = FixedFrameLength(command);
  if (fixed == 0) return std::nullopt;

  BurstFrame frame;
  frame.device = device;
  uint8_t* f = frame.bytes.data();
  f[0] = kBurstDelimiter;
  f[1] = static_cast<uint8_t>(address[0] | kBurstAndMasterBits);
  std::copy(address.begin() + 1, address.end(), f + 2);
  f[6] = static_cast<uint8_t>(command);
  f[8] = 0;  // response code
  f[9] = 0;  // device status
  std::size_t dataLength = fixed - kHeaderLength - 1;
  if (plan.hart7 && (command == 9 || command == 33)) {
    dataLength = PutVariableData(ctx, device, plan, f + kHeaderLength);
  } else {
    PutDynamicData(ctx, device, command, f + kHeaderLength);
  }
  frame.length = kHeaderLength + dataLength + 1;
  f[7] = static_cast<uint8_t>(dataLength + 2);
  f[frame.length - 1] = FrameChecksum(f, frame.length - 1);
  return frame;
}

std::vector<MessageFrame> BuildBurstFrames(CommandContext& ctx, uint8_t wanted) {
  const BurstControl& burst = ctx.model.Burst;
  const uint8_t device = burst.Device;
  const BurstPlan plan = PlanDeviceBursts(ctx, device);
  std::vector<MessageFrame> built;
  for (uint8_t m = 0; m < kBurstMessageCount; ++m) {
    if ((wanted & (1u << m)) == 0) continue;
    if (!plan[m].enabled) {
      built.push_back({m, false, std::nullopt, plan[m].periodMs});
      continue;
    }
    built.push_back(
        {m, true, BuildMessageFrame(ctx, device, burst.LongAddress, plan[m]), plan[m].periodMs});
  }
  return built;
}

std::optional<BurstFrame> BuildBurstFrame(CommandContext& ctx) {
  const std::vector<MessageFrame> built = BuildBurstFrames(ctx, 1);
  if (built.empty() || !built[0].enabled) return std::nullopt;
  return built[0].frame;
}

}  // namespace qln
