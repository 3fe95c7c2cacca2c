#include "commands/common_practice_commands.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <initializer_list>

#include "base/encodings.h"
#include "commands/moving_process_values.h"
#include "commands/units.h"
#include "commands/universal_commands.h"

namespace qln {
namespace {

constexpr float kMinimumFixedCurrent = 4.0f;  // mA; 0 releases the fixed current
constexpr float kReleasedCurrent = 4.0f;
constexpr uint8_t kCurrentFixedByte = 0xFF;
constexpr uint8_t kLastTransferFunction = kTransferSquare;

uint8_t* Data(CommandContext& ctx) { return ctx.exchange.Data.data(); }

// Writes keys of the device's section while the file is known to be there; the active record
// holds the new values either way.
void WriteBack(CommandContext& ctx, uint8_t device, uint8_t section,
               std::initializer_list<KeyText> keys) {
  if (ctx.store.ConfigFileFound()) ctx.store.WriteKeys(ctx.model, device, section, keys);
}

// The range keys of section 015, written together after every change of the range.
void WriteRange(CommandContext& ctx, uint8_t device) {
  const DeviceRecord& r = ctx.model.Active;
  WriteBack(ctx, device, 15,
            {{"RangeUnit", IntText(r.RangeUnit)},
             {"UpRangeValue", FloatText(r.UpRangeValue)},
             {"LoRangeValue", FloatText(r.LoRangeValue)}});
}

// The first failing range check of command 35, or success. Each check is written as "not
// within the limit", so that a value that is not a number fails it.
uint8_t CheckRange(const DeviceRecord& r, float upper, float lower) {
  if (!(upper <= r.UpLimit)) return kUpperRangeAboveLimit;
  if (!(upper >= r.LoLimit)) return kUpperRangeBelowLimit;
  if (!(lower <= r.UpLimit)) return kLowerRangeAboveLimit;
  if (!(lower >= r.LoLimit)) return kLowerRangeBelowLimit;
  if (!(std::fabs(upper - lower) >= r.MinSpan)) return kSpanTooSmall;
  return kResponseSuccess;
}

}  // namespace

void Command33(CommandContext& ctx, uint8_t device) {
  const auto [codes, n] = ReadRequestedVariables(ctx, device);
  const DeviceRecord& r = ctx.model.Active;
  uint8_t* d = Data(ctx);
  for (std::size_t i = 0; i < n; ++i) {
    uint8_t* slot = d + 6 * i;
    const VariableValue v = DynamicVariableValue(r, codes[i]);
    slot[0] = codes[i];
    slot[1] = v.unit;
    EncodeFloat(v.value, slot + 2);
  }
  Reply(ctx, static_cast<uint8_t>(6 * n));
}

void Command34(CommandContext& ctx, uint8_t device) {
  DeviceRecord& r = ctx.model.Active;
  uint8_t* d = Data(ctx);
  const float damping = DecodeFloat(d);
  uint8_t code = kResponseSuccess;
  if (std::bit_cast<uint32_t>(damping) != std::bit_cast<uint32_t>(r.PVDampValue)) {
    r.PVDampValue = damping;
    code = kSetToNearest;
    WriteBack(ctx, device, 15, {{"PVDampValue", FloatText(damping)}});
  }
  EncodeFloat(r.PVDampValue, d);
  Reply(ctx, 4, code);
}

void Command35(CommandContext& ctx, uint8_t device) {
  ApplyMovingValues(ctx, device);  // the PV now
  DeviceRecord& r = ctx.model.Active;
  uint8_t* d = Data(ctx);  // byte 0, the units code, is echoed as received
  const float upper = DecodeFloat(d + 1);
  const float lower = DecodeFloat(d + 5);
  const uint8_t code = CheckRange(r, upper, lower);
  if (code == kResponseSuccess) {
    r.UpRangeValue = upper;
    r.LoRangeValue = lower;
    LoopCurrentStep(r, ctx.state, device);
    WriteRange(ctx, device);
  }
  // A refusal reports the stored range.
  EncodeFloat(r.UpRangeValue, d + 1);
  EncodeFloat(r.LoRangeValue, d + 5);
  Reply(ctx, 9, code);
}

void Command36(CommandContext& ctx, uint8_t device) {
  ApplyMovingValues(ctx, device);  // the PV now
  DeviceRecord& r = ctx.model.Active;
  if (r.PV1Value != r.UpRangeValue) {
    r.UpRangeValue = r.PV1Value;
    WriteRange(ctx, device);
  }
  Reply(ctx, 0);
}

void Command37(CommandContext& ctx, uint8_t device) {
  ApplyMovingValues(ctx, device);  // the PV now
  DeviceRecord& r = ctx.model.Active;
  if (r.PV1Value != r.LoRangeValue) {
    // The range is shifted with the span last computed for this device; a span computed for
    // another device (or none since start) is replaced by this device's own.
    const float span = ctx.state.SpanDevice == device ? r.Span : r.UpRangeValue - r.LoRangeValue;
    if (span + r.PV1Value > r.UpLimit) return Reply(ctx, 0, kShiftedRangeAboveLimit);
    r.LoRangeValue = r.PV1Value;
    r.UpRangeValue = r.LoRangeValue + span;
    WriteRange(ctx, device);
  }
  Reply(ctx, 0);
}

void Command40(CommandContext& ctx, uint8_t device) {
  CommandState& s = ctx.state;
  uint8_t* d = Data(ctx);
  const float current = DecodeFloat(d);
  uint8_t code = kResponseSuccess;
  if (device != 0) {
    code = kMultidropMode;  // only poll address 0 signals its loop current
  } else if (current == 0.0f) {
    s.AnalogFixedByte = 0;
    s.FixedCurrentMode[device] = false;
    s.FixedCurrentValue[device] = kReleasedCurrent;
  } else if (!(current >= kMinimumFixedCurrent)) {
    code = kCurrentBelowMinimum;
  } else {
    s.AnalogFixedByte = kCurrentFixedByte;
    s.FixedCurrentMode[device] = true;
    s.FixedCurrentValue[device] = current;
  }
  ApplyMovingValues(ctx, device);
  // Every reply reports the device's own loop current: the fixed one, or after a release the one
  // following the PV again.
  DeviceRecord& r = ctx.model.Active;
  LoopCurrentStep(r, s, device);
  EncodeFloat(r.LoopCurrent, d);
  Reply(ctx, 4, code);
}

void Command43(CommandContext& ctx, uint8_t device) {
  Command3(ctx, device);
  Command15(ctx, device);
  DeviceRecord& r = ctx.model.Active;
  const float shift = r.PV1Value - r.LoRangeValue;
  if (!(r.PV1Value >= r.LoLimit)) return Refuse(ctx, kValueBelowLimit);
  if (!(r.UpRangeValue + shift <= r.UpLimit)) return Refuse(ctx, kUpperRangeAboveLimit);
  r.LoRangeValue = r.PV1Value;
  r.UpRangeValue += shift;
  LoopCurrentStep(r, ctx.state, device);
  WriteRange(ctx, device);
  Reply(ctx, 0);
}

void Command44(CommandContext& ctx, uint8_t device) {
  const uint8_t unit = Data(ctx)[0];
  Command8(ctx, device);
  // The conversion works on the stored values, never on a moving value of this moment.
  RestoreStoredValues(ctx, device);
  DeviceRecord& r = ctx.model.Active;
  const uint8_t pvClass = ctx.state.VariableClasses[0];
  if (ClassOfUnit(unit) == pvClass) {
    if (unit == r.PV1Unit) {
      Data(ctx)[0] = r.RangeUnit;
      return Reply(ctx, 1);
    }
    // Within a classification the values are converted; a classification without conversion
    // factors changes only the unit codes.
    const auto factor = ConversionFactor(pvClass, UnitIndexInClass(pvClass, r.RangeUnit),
                                         UnitIndexInClass(pvClass, unit));
    if (factor) {
      for (float* value :
           {&r.PV1Value, &r.UpRangeValue, &r.LoRangeValue, &r.UpLimit, &r.LoLimit, &r.MinSpan}) {
        *value *= *factor;
      }
      ctx.state.SpanDevice = kNoSpanDevice;  // the span last computed is in the old unit
      ConvertMotionRange(ctx, device, *factor);
    }
  }
  r.LimitUnit = unit;
  r.RangeUnit = unit;
  r.PV1Unit = unit;
  for (uint8_t section : {uint8_t{1}, uint8_t{3}}) {
    WriteBack(ctx, device, section,
              {{"PV1Unit", IntText(r.PV1Unit)}, {"PV1Value", FloatText(r.PV1Value)}});
  }
  WriteBack(ctx, device, 14,
            {{"LimitUnit", IntText(r.LimitUnit)},
             {"UpLimit", FloatText(r.UpLimit)},
             {"LoLimit", FloatText(r.LoLimit)},
             {"MinSpan", FloatText(r.MinSpan)}});
  WriteRange(ctx, device);
  ctx.state.RefreshRequest.store(true);  // also without the file: the window shows the record
  Data(ctx)[0] = r.RangeUnit;
  Reply(ctx, 1);
}

void Command47(CommandContext& ctx, uint8_t) {
  uint8_t* d = Data(ctx);
  // A function the simulator does not know is ignored; the reply shows the one in force.
  if (d[0] <= kLastTransferFunction) ctx.state.LoopTransferFunction = d[0];
  d[0] = ctx.state.LoopTransferFunction;
  Reply(ctx, 1);
}

void Command49(CommandContext& ctx, uint8_t device) {
  WriteNumber24(ctx, device, ctx.model.Active.TransducerSN, 14);
}

void Command50(CommandContext& ctx, uint8_t device) {
  const auto& codes = ctx.state.VariableCodes[device];
  std::copy(codes.begin(), codes.end(), Data(ctx));
  Reply(ctx, static_cast<uint8_t>(codes.size()));
}

void Command51(CommandContext& ctx, uint8_t device) {
  auto& codes = ctx.state.VariableCodes[device];
  const std::size_t given = std::min<std::size_t>(ctx.exchange.ByteCount, codes.size());
  std::copy_n(Data(ctx), given, codes.begin());
  Command50(ctx, device);
}

}  // namespace qln
