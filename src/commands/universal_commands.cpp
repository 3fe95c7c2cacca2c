#include "commands/universal_commands.h"

#include <algorithm>
#include <array>
#include <tuple>
#include <vector>

#include "base/encodings.h"
#include "commands/hart7_commands.h"
#include "commands/moving_process_values.h"
#include "commands/units.h"

namespace qln {
namespace {

constexpr uint8_t kExpansionCode = 254;       // byte 0 of the unique identifier
constexpr uint8_t kHart7ReservedMfrID = 250;  // command 15 byte 16 in HART 7
constexpr std::size_t kLongTagBytes = std::tuple_size_v<decltype(DeviceRecord::LongTag)>;

bool IsHart7(const DeviceRecord& record) { return record.UnivCmdRev >= 7; }

uint8_t* ReplyData(CommandContext& ctx) { return ctx.exchange.Data.data(); }

void PutFloat(uint8_t* out, float value) { EncodeFloat(value, out); }

// Tag, descriptor and date as commands 13 and 18 reply them: 21 bytes.
void PutTagDescriptorDate(uint8_t* out, const DeviceRecord& r) {
  std::copy(r.TagName.begin(), r.TagName.end(), out);
  std::copy(r.Descriptor.begin(), r.Descriptor.end(), out + 6);
  PutDate(out + 18, r.Day, r.Month, r.Year);
}

// Copies the request bytes into the field; true when they differ from what it held.
template <std::size_t N>
bool TakeBytes(std::array<uint8_t, N>& field, const uint8_t* request) {
  if (std::equal(field.begin(), field.end(), request)) return false;
  std::copy_n(request, N, field.begin());
  return true;
}

template <std::size_t N>
void PutBytes(uint8_t* out, const std::array<uint8_t, N>& field) {
  std::copy(field.begin(), field.end(), out);
}

// LongTag1..LongTag32 of section 020, written together.
void WriteLongTag(CommandContext& ctx, uint8_t device) {
  const auto keys = SectionKeys(20);
  const auto& tag = ctx.model.Active.LongTag;
  std::vector<KeyText> texts;
  for (std::size_t i = 0; i < kLongTagBytes; ++i) texts.push_back({keys[i], IntText(tag[i])});
  ctx.store.WriteKeys(ctx.model, device, 20, texts);
}

}  // namespace

VariableValue DynamicVariableValue(const DeviceRecord& r, uint8_t code) {
  switch (code) {
    case 1:
    case 247:
      return {r.PV2Unit, r.PV2Value};
    case 2:
    case 248:
      return {r.PV3Unit, r.PV3Value};
    case 3:
    case 249:
      return {r.PV4Unit, r.PV4Value};
    case kPercentOfRangeCode:
      return {kPercentUnit, r.PercentOfRange};
    case kLoopCurrentCode:
      return {kMilliampereUnit, r.LoopCurrent};
    default:
      return {r.PV1Unit, r.PV1Value};
  }
}

void LoopCurrentStep(DeviceRecord& record, CommandState& state, uint8_t device) {
  UpdateLoopCurrent(record, state.LoopTransferFunction, record.PV1Value);
  state.SpanDevice = device;
  if (state.FixedCurrentMode[device]) record.LoopCurrent = state.FixedCurrentValue[device];
}

RequestedVariables ReadRequestedVariables(CommandContext& ctx, uint8_t device) {
  RequestedVariables request;
  request.count = std::min<std::size_t>(ctx.exchange.ByteCount, kMaxRequestedVariables);
  std::copy_n(ctx.exchange.Data.begin(), request.count, request.codes.begin());
  Command1(ctx, device);
  Command3(ctx, device);
  return request;
}

void WriteNumber24(CommandContext& ctx, uint8_t device, uint32_t& field, uint8_t section) {
  uint8_t* d = ReplyData(ctx);
  const uint32_t value = Get24(d);
  if (value != field) {
    field = value;
    if (ctx.store.ConfigFileFound()) {
      const auto keys = SectionKeys(section);
      ctx.store.WriteKeys(ctx.model, device, section,
                          {{keys[0], IntText(value & 0xFF)},
                           {keys[1], IntText((value >> 8) & 0xFF)},
                           {keys[2], IntText(value >> 16)}});
    }
  }
  Put24(d, field);
  Reply(ctx, 3);
}

void Command0(CommandContext& ctx, uint8_t device) {
  // The file check has been made by Dispatch, before it took the model lock.
  RefreshSection(ctx, 0, device);
  const DeviceRecord& r = ctx.model.Active;
  uint8_t* d = ReplyData(ctx);
  d[0] = kExpansionCode;
  d[1] = r.MfrID;
  d[2] = r.MfrDevType;
  d[3] = r.ReqPreambleNum;
  d[4] = r.UnivCmdRev;
  d[5] = r.DevSpecCmdRev;
  d[6] = r.SWRev;
  d[7] = r.HWRev;
  d[8] = r.DevFuncFlag;
  Put24(d + 9, r.DevIDNo);
  d[12] = r.MinPreNumS2M_v6;
  d[13] = r.MaxDevVarNum_v6;
  Put16(d + 14, r.CfgChgCnt_v6);
  d[16] = r.ExtDevSta_v6;
  if (!IsHart7(r)) return Reply(ctx, 17);
  Put16(d + 17, r.MfrID_v7);
  Put16(d + 19, r.LblDist_v7);
  d[21] = r.DevProfile_v7;
  Reply(ctx, 22);
}

void Command1(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 1, device);
  ApplyMovingValues(ctx, device);
  uint8_t* d = ReplyData(ctx);
  d[0] = ctx.model.Active.PV1Unit;
  PutFloat(d + 1, ctx.model.Active.PV1Value);
  Reply(ctx, 5);
}

void Command2(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 1, device);
  RefreshSection(ctx, 15, device);
  ApplyMovingValues(ctx, device);
  DeviceRecord& r = ctx.model.Active;
  LoopCurrentStep(r, ctx.state, device);
  uint8_t* d = ReplyData(ctx);
  PutFloat(d, r.LoopCurrent);
  PutFloat(d + 4, r.PercentOfRange);
  Reply(ctx, 8);
}

void Command3(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 3, device);
  RefreshSection(ctx, 15, device);
  ApplyMovingValues(ctx, device);
  DeviceRecord& r = ctx.model.Active;
  LoopCurrentStep(r, ctx.state, device);
  uint8_t* d = ReplyData(ctx);
  PutFloat(d, r.LoopCurrent);
  const auto& codes = ctx.state.VariableCodes[device];
  for (std::size_t slot = 0; slot < codes.size(); ++slot) {
    const VariableValue v = DynamicVariableValue(r, codes[slot]);
    d[4 + 5 * slot] = v.unit;
    PutFloat(d + 5 + 5 * slot, v.value);
  }
  Reply(ctx, 24);
}

void Command7(CommandContext& ctx, uint8_t device) {
  uint8_t* d = ReplyData(ctx);
  d[0] = device;               // the poll address
  d[1] = device == 0 ? 1 : 0;  // loop current signalling only at poll address 0
  Reply(ctx, 2);
}

void Command8(CommandContext& ctx, uint8_t device) {
  Command3(ctx, device);
  const DeviceRecord& r = ctx.model.Active;
  auto& classes = ctx.state.VariableClasses;
  classes = {ClassOfUnit(r.PV1Unit), ClassOfUnit(r.PV2Unit), ClassOfUnit(r.PV3Unit),
             ClassOfUnit(r.PV4Unit)};
  PutBytes(ReplyData(ctx), classes);
  Reply(ctx, 4);
}

void Command9(CommandContext& ctx, uint8_t device) {
  const auto [codes, n] = ReadRequestedVariables(ctx, device);
  const DeviceRecord& r = ctx.model.Active;
  uint8_t statuses[4];
  const uint8_t simulated = ApplySimulation(ctx, device, statuses);
  uint8_t* d = ReplyData(ctx);
  d[0] = (ctx.state.UserStatusByte.load() & 0x80) ? 1 : 0;  // extended device status
  if (simulated != 0) d[0] |= kFunctionCheck;
  for (std::size_t i = 0; i < n; ++i) {
    uint8_t* slot = d + 1 + 8 * i;
    const VariableValue v = DynamicVariableValue(r, codes[i]);
    slot[0] = codes[i];
    slot[1] = ClassOfUnit(v.unit);
    slot[2] = v.unit;
    PutFloat(slot + 3, v.value);
    const std::size_t variable = codes[i] >= 246 ? codes[i] - 246u : codes[i];
    const bool fixed = variable < 4 && ((simulated >> variable) & 1) != 0;
    slot[7] = fixed ? statuses[variable] : 0;  // device variable status
  }
  std::size_t count = 1 + 8 * n;
  if (IsHart7(r)) {
    Put32(d + count, TimeOfDay32(ctx.clock.Now()));
    count += 4;
  }
  Reply(ctx, static_cast<uint8_t>(count));
}

void Command12(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 12, device);
  PutBytes(ReplyData(ctx), ctx.model.Active.Message);
  Reply(ctx, 24);
}

void Command13(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 13, device);
  PutTagDescriptorDate(ReplyData(ctx), ctx.model.Active);
  Reply(ctx, 21);
}

void Command14(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 14, device);
  Command3(ctx, device);
  DeviceRecord& r = ctx.model.Active;
  if (r.LimitUnit != r.PV1Unit) {
    // The limits are taken to be in the PV's unit; their numbers are not converted. Written
    // whether or not the file was found at the last check.
    r.LimitUnit = r.PV1Unit;
    ctx.store.WriteKeys(ctx.model, device, 14,
                        {{"LimitUnit", IntText(r.LimitUnit)},
                         {"UpLimit", FloatText(r.UpLimit)},
                         {"LoLimit", FloatText(r.LoLimit)},
                         {"MinSpan", FloatText(r.MinSpan)}});
  }
  uint8_t* d = ReplyData(ctx);
  Put24(d, r.TransducerSN);
  d[3] = r.LimitUnit;
  PutFloat(d + 4, r.UpLimit);
  PutFloat(d + 8, r.LoLimit);
  PutFloat(d + 12, r.MinSpan);
  Reply(ctx, 16);
}

void Command15(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 0, device);
  RefreshSection(ctx, 15, device);
  const DeviceRecord& r = ctx.model.Active;
  uint8_t* d = ReplyData(ctx);
  d[0] = r.PVAlmSelCode;
  d[1] = r.PVTransferFC;
  d[2] = r.RangeUnit;
  PutFloat(d + 3, r.UpRangeValue);
  PutFloat(d + 7, r.LoRangeValue);
  PutFloat(d + 11, r.PVDampValue);
  d[15] = r.WrProtCode;
  d[16] = IsHart7(r) ? kHart7ReservedMfrID : r.MfrID;
  d[17] = 0;  // analog channel flags
  Reply(ctx, 18);
}

void Command16(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 16, device);
  Put24(ReplyData(ctx), ctx.model.Active.FinalAssemblyNum);
  Reply(ctx, 3);
}

void Command17(CommandContext& ctx, uint8_t device) {
  auto& message = ctx.model.Active.Message;
  uint8_t* d = ReplyData(ctx);
  if (TakeBytes(message, d) && ctx.store.ConfigFileFound()) {
    ctx.store.WriteKeys(ctx.model, device, 12,
                        {{"Message", PackedText(message.data(), message.size())}});
  }
  PutBytes(d, message);
  Reply(ctx, 24);
}

void Command18(CommandContext& ctx, uint8_t device) {
  DeviceRecord& r = ctx.model.Active;
  uint8_t* d = ReplyData(ctx);
  TakeBytes(r.TagName, d);
  TakeBytes(r.Descriptor, d + 6);
  r.Day = d[18];
  r.Month = d[19];
  r.Year = d[20];
  // Written also when nothing differed.
  if (ctx.store.ConfigFileFound()) {
    ctx.store.WriteKeys(ctx.model, device, 13,
                        {{"TagName", PackedText(r.TagName.data(), r.TagName.size())},
                         {"Descriptor", PackedText(r.Descriptor.data(), r.Descriptor.size())},
                         {"Day", IntText(r.Day)},
                         {"Month", IntText(r.Month)},
                         {"Year", IntText(r.Year + 1900u)}});
  }
  PutTagDescriptorDate(d, r);
  Reply(ctx, 21);
}

void Command19(CommandContext& ctx, uint8_t device) {
  WriteNumber24(ctx, device, ctx.model.Active.FinalAssemblyNum, 16);
}

void Command20(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 20, device);
  PutBytes(ReplyData(ctx), ctx.model.Active.LongTag);
  Reply(ctx, 32);
}

void Command22(CommandContext& ctx, uint8_t device) {
  auto& tag = ctx.model.Active.LongTag;
  uint8_t* d = ReplyData(ctx);
  TakeBytes(tag, d);
  // Written also when nothing differed.
  if (ctx.store.ConfigFileFound()) {
    WriteLongTag(ctx, device);
  }
  PutBytes(d, tag);
  Reply(ctx, 32);
}

void Command38(CommandContext& ctx, uint8_t device) {
  bool& changed = ctx.model.Table[device].ConfigChanged;
  const uint8_t count = ctx.exchange.ByteCount;
  if (count == 0) {
    changed = false;
    return Reply(ctx, 0);
  }
  if (count == 1) return Refuse(ctx, kTooFewDataBytes);
  const uint16_t counter = Get16(ReplyData(ctx));
  // The stored counter is read whether or not the file was found at the last check.
  ctx.store.Refresh(ctx.model, 0, device);
  if (counter != ctx.model.Active.CfgChgCnt_v6) return Refuse(ctx, kCounterMismatch);
  changed = false;
  Reply(ctx, 2);  // the counter stays in bytes 0-1
}

void Command48(CommandContext& ctx, uint8_t device) {
  RefreshSection(ctx, 48, device);
  std::array<uint8_t, 25> status = ctx.model.Active.Cmd48Status;
  status[13] = ctx.state.AnalogFixedByte;
  uint8_t statuses[4];
  if (ApplySimulation(ctx, device, statuses) != 0) {
    status[6] |= kFunctionCheck;     // extended device status
    status[8] |= kSimulationActive;  // standardized status 0
  }
  uint8_t* d = ReplyData(ctx);
  const uint8_t count = ctx.exchange.ByteCount;
  if (count >= status.size() && !std::equal(status.begin(), status.end(), d)) {
    return Refuse(ctx, kStatusMismatch);
  }
  ctx.state.MoreStatusAvailable = false;
  if (count > 0 && count < status.size()) {
    Reply(ctx, 0);
    ctx.state.DataSuppressed = true;
    return;
  }
  PutBytes(d, status);
  Reply(ctx, 25);
}

}  // namespace qln
