#include "commands/burst_frames.h"

#include <algorithm>

#include "base/encodings.h"
#include "base/hart_frame.h"
#include "commands/dispatcher.h"
#include "commands/moving_process_values.h"
#include "commands/universal_commands.h"

namespace qln {
namespace {

constexpr uint8_t kBurstDelimiter = 0x81;
constexpr uint8_t kBurstAndMasterBits = 0xC0;
constexpr std::size_t kDataStart = 10;  // after delimiter, address, command, count and status

// Length of the burst frame of a command, 0 for a command without a burst layout.
std::size_t BurstFrameLength(uint32_t command) {
  switch (command) {
    case 1:
      return 16;
    case 2:
      return 19;
    case 3:
      return kMaxBurstFrame;
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

}  // namespace

std::optional<BurstFrame> BuildBurstFrame(CommandContext& ctx) {
  DeviceModel& model = ctx.model;
  const BurstControl& burst = model.Burst;
  const uint8_t device = burst.Device;
  const uint32_t command = model.Table[device].BurstCmdNo;
  const std::size_t length = BurstFrameLength(command);
  if (length == 0) return std::nullopt;

  BurstFrame frame;
  frame.length = length;
  frame.device = device;
  uint8_t* f = frame.bytes.data();
  f[0] = kBurstDelimiter;
  f[1] = static_cast<uint8_t>(burst.LongAddress[0] | kBurstAndMasterBits);
  std::copy(burst.LongAddress.begin() + 1, burst.LongAddress.end(), f + 2);
  f[6] = static_cast<uint8_t>(command);
  f[7] = static_cast<uint8_t>(length - 9);
  f[8] = 0;  // response code
  f[9] = 0;  // device status

  // The sections the burst command reports, read again for the burst device; the range that the
  // loop current is computed from must be the burst device's too.
  static constexpr uint8_t kRange[] = {15};
  if (command == 1 || command == 2) RefreshSection(ctx, 1, device);
  if (command == 2) RefreshSection(ctx, 15, device);
  if (command == 3) RefreshSection(ctx, 3, device);
  if (command == 3) ClaimSections(model, ctx.store, device, kRange);
  ApplyMovingValues(ctx, device);  // the values at the moment the frame is built

  DeviceRecord& r = model.Active;
  uint8_t* d = f + kDataStart;
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
  f[length - 1] = FrameChecksum(f, length - 1);
  return frame;
}

}  // namespace qln
