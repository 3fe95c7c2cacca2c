#include "commands/dispatcher.h"

#include <mutex>

#include "commands/armed_faults.h"
#include "commands/burst_commands.h"
#include "commands/common_practice_commands.h"
#include "commands/device_management_commands.h"
#include "commands/hart7_commands.h"
#include "commands/replay_device.h"
#include "commands/spec_cmd_commands.h"
#include "commands/universal_commands.h"

namespace qln {
namespace {

constexpr uint8_t kStatusConfigChanged = 0x40;
constexpr uint8_t kStatusColdStart = 0x20;
constexpr uint8_t kStatusMoreStatus = 0x10;
constexpr uint8_t kStatusCurrentFixed = 0x08;

// Commands that change a device's configuration. Those without a handler count too: such a
// request is answered with 64 and still counted.
constexpr uint8_t kConfigChangingCommands[] = {
    6,  17, 18, 19, 22, 34, 35, 36, 37, 43,  44,  45,  46,  47,  49,  51,  52,  53,  55, 56,
    59, 79, 82, 83, 87, 88, 92, 97, 99, 102, 103, 104, 107, 108, 109, 113, 116, 117, 118};

constexpr std::array<bool, 256> BuildConfigChangeTable() {
  std::array<bool, 256> table{};
  for (uint8_t command : kConfigChangingCommands) table[command] = true;
  return table;
}
constexpr std::array<bool, 256> kConfigChangeTable = BuildConfigChangeTable();

// A command that writes nothing: no entry checks.
constexpr CommandEntry Reader(CommandHandler handler, SectionList reads = {}) {
  return {handler, GuardKind::None, 0, reads, false};
}
constexpr CommandEntry Writer(CommandHandler handler, GuardKind guard, uint8_t minimumBytes,
                              SectionList reads) {
  return {handler, guard, minimumBytes, reads, false};
}
// A command of HART 7 devices: section 000 tells the revision.
constexpr CommandEntry Hart7(CommandHandler handler, GuardKind guard, uint8_t minimumBytes,
                             SectionList reads) {
  return {handler, guard, minimumBytes, reads, false, true};
}

constexpr std::array<CommandEntry, 256> BuildCommandTable() {
  using enum GuardKind;
  std::array<CommandEntry, 256> t{};
  t[0] = {Command0, None, 0, {}, true};
  t[11] = t[0];
  t[21] = t[0];
  t[1] = Reader(Command1);
  t[2] = Reader(Command2);
  t[3] = Reader(Command3);
  t[7] = Reader(Command7);
  t[8] = Reader(Command8);
  t[9] = Reader(Command9, {0});  // the revision decides the time stamp
  t[12] = Reader(Command12);
  t[13] = Reader(Command13);
  t[14] = Reader(Command14);
  t[15] = Reader(Command15);
  t[16] = Reader(Command16);
  t[20] = Reader(Command20);
  t[48] = Reader(Command48);
  // The writes guard on WrProtCode (015) and compare with the stored value.
  t[17] = Writer(Command17, ProtectLockMinimum, 24, {15, 12});
  t[18] = Writer(Command18, ProtectLockMinimum, 21, {15, 13});
  t[19] = Writer(Command19, ProtectLockMinimum, 3, {15, 16});
  t[22] = Writer(Command22, ProtectLockMinimum, 32, {15, 20});
  t[38] = Writer(Command38, ProtectMinimum, 0, {15});

  // Variables, range, units and loop current. The reads name what a command uses beyond its own
  // refreshes: the limits (014), and the primary variable (001, which counts together with 003)
  // where the command takes it as the record holds it.
  t[33] = Reader(Command33);
  t[50] = Reader(Command50);
  t[34] = Writer(Command34, ProtectLockMinimum, 4, {15});
  t[35] = Writer(Command35, ProtectLockMinimum, 9, {15, 14, 1});
  t[36] = Writer(Command36, ProtectLockMinimum, 0, {15, 1});
  t[37] = Writer(Command37, ProtectLockMinimum, 0, {15, 14, 1});
  t[40] = Writer(Command40, ProtectLockMinimum, 4, {15, 1});
  t[43] = Writer(Command43, ProtectMinimumLockAbove1, 0, {15, 14});
  t[44] = Writer(Command44, ProtectMinimumLockAbove1, 1, {15, 14});
  t[47] = Writer(Command47, ProtectMinimumLockAbove1, 1, {15});
  t[49] = Writer(Command49, ProtectMinimumLockAbove1, 3, {15, 14});
  t[51] = Writer(Command51, ProtectMinimumLockAbove1, 0, {15});

  // Device management, clock, statistics and burst mode: only the guard's protection is read.
  t[76] = Reader(Command76);
  t[90] = Reader(Command90);
  t[95] = Reader(Command95);
  t[41] = Writer(Command41, ProtectLockMinimum, 0, {15});
  t[42] = Writer(Command42, ProtectMinimumLockAbove1, 0, {15});
  t[59] = Writer(Command59, ProtectMinimumLockAbove1, 1, {15});
  t[71] = Writer(Command71, ProtectMinimum, 1, {15});
  t[89] = Writer(Command89, ProtectMinimum, 10, {15});
  // The revision (000) decides between the burst forms of HART 5/6 and of HART 7; 103, 104 and
  // 107 run their guard themselves, after the revision.
  t[108] = Writer(Command108, ProtectMinimumLockAbove1, 1, {15, 0});
  t[109] = Writer(Command109, ProtectMinimumLockAbove1, 1, {15, 0});
  t[103] = Hart7(Command103, ProtectMinimumLockAbove1, kPeriodRequestBytes, {15});
  t[104] = Hart7(Command104, ProtectMinimumLockAbove1, kTriggerRequestBytes, {15});
  t[105] = Hart7(Command105, None, 0, {});
  t[107] = Hart7(Command107, ProtectMinimumLockAbove1, 1, {15});

  // HART 7: extended command numbers, device variables, squawk, simulation.
  t[31] = Hart7(Command31, None, 0, {15});
  t[53] = Hart7(Command53, ProtectMinimumLockAbove1, 2, {15, 14});
  t[54] = Hart7(Command54, None, 0, {});
  t[72] = Hart7(Command72, None, 0, {});
  t[79] = Hart7(Command79, ProtectMinimumLockAbove1, 8, {15});

  // Device-specific commands: the same stored reply for every device, with no entry checks.
  for (unsigned command = kFirstSpecCmd; command <= kLastSpecCmd; ++command) {
    t[command] = Reader(SpecCmdCommand);
  }
  return t;
}
constexpr std::array<CommandEntry, 256> kCommandTable = BuildCommandTable();

}  // namespace

bool ChangesConfiguration(uint8_t command) { return kConfigChangeTable[command]; }

bool HoldsOtherDevice(const DeviceModel& model, uint8_t section, uint8_t device) {
  if (model.DecodedFor[section] != device) return true;
  if (section != 1 && section != 3) return false;
  const uint8_t sharer = model.DecodedFor[section == 1 ? 3 : 1];
  return sharer != device && sharer != kNoDevice;
}

void ClaimSections(DeviceModel& model, ConfigStore& store, uint8_t device,
                   std::span<const uint8_t> sections) {
  for (uint8_t section : sections) {
    if (!HoldsOtherDevice(model, section, device)) continue;
    if (store.ConfigFileFound()) {
      store.Refresh(model, section, device);
    } else {
      store.DecodeHeld(model, section, device);
    }
  }
}

bool WriteGuard(CommandContext& ctx, GuardKind guard, uint8_t minimumBytes) {
  if (guard == GuardKind::None) return true;
  const uint8_t lock = ctx.state.LockState;
  const bool tooFew = ctx.exchange.ByteCount < minimumBytes;
  uint8_t code = kResponseSuccess;
  if (ctx.model.Active.WrProtCode != 0) {
    code = kWriteProtected;
  } else if (guard == GuardKind::ProtectLockMinimum) {
    code = lock != 0 ? kAccessRestricted : tooFew ? kTooFewDataBytes : kResponseSuccess;
  } else if (guard == GuardKind::ProtectMinimumLockAbove1) {
    code = tooFew ? kTooFewDataBytes : lock > 1 ? kAccessRestricted : kResponseSuccess;
  } else {
    code = tooFew ? kTooFewDataBytes : kResponseSuccess;
  }
  if (code == kResponseSuccess) return true;
  Refuse(ctx, code);
  return false;
}

void NoteConfigChange(CommandContext& ctx, uint8_t device, uint8_t command) {
  if (ChangesConfiguration(command)) CountConfigChange(ctx, device);
}

void CountConfigChange(CommandContext& ctx, uint8_t device) {
  ctx.model.Table[device].ConfigChanged = true;
  ctx.store.NoteConfigChangeFile(ctx.model, device);
}

uint8_t ComposeDeviceStatus(CommandContext& ctx, uint8_t device) {
  if (ctx.state.StatusReturnMode.load() == StatusMode::Manual)
    return ctx.state.UserStatusByte.load();
  uint8_t status = 0;
  if (ctx.model.Table[device].ConfigChanged) status |= kStatusConfigChanged;
  if (ctx.state.ColdStartPending) {
    status |= kStatusColdStart;
    ctx.state.ColdStartPending = false;
  }
  if (ctx.state.FixedCurrentMode[device]) status |= kStatusCurrentFixed;
  if (ctx.state.MoreStatusAvailable) status |= kStatusMoreStatus;
  return status;
}

namespace {

// Runs the command's handler for the device, with its entry checks and the bookkeeping every
// executed command shares. The caller holds the model lock.
void Execute(CommandContext& ctx, uint8_t device, const CommandEntry& entry) {
  ctx.state.ExecutedCommandCount.fetch_add(1);
  const uint8_t command = ctx.exchange.Command;
  if (entry.hart7Only) RefreshSection(ctx, 0, device);
  if (entry.handler == nullptr || (entry.hart7Only && ctx.model.Active.UnivCmdRev < 7)) {
    ctx.exchange.ResponseCode = kNotImplemented;
    ctx.exchange.ByteCount = 0;
  } else {
    ClaimSections(ctx.model, ctx.store, device, entry.reads.Get());
    if (WriteGuard(ctx, entry.guard, entry.minimumBytes)) entry.handler(ctx, device);
  }
  NoteConfigChange(ctx, device, command);
  if (ctx.state.DataSuppressed) ctx.exchange.ByteCount = 0;
  ctx.exchange.DeviceStatus = ComposeDeviceStatus(ctx, device);
}

}  // namespace

std::string Dispatch(CommandContext& ctx, uint8_t device) {
  if (ctx.exchange.LoadState() != ExchangeState::RequestPending) {
    std::lock_guard lock(ctx.model.Lock);
    ctx.state.DataSuppressed = false;
    return {};
  }
  const uint8_t command = ctx.exchange.Command;
  const CommandEntry& entry = kCommandTable[command];
  // The file check may wait for the operator to acknowledge its warning: never under the lock.
  if (entry.checksFile) ctx.store.SetConfigFileFound(ctx.store.CheckFile());
  // A changed capture is read before the lock is taken for the reply.
  PrepareReplay(ctx, device);
  FaultUse fault;
  {
    // One lock from the refreshes to the end of the encoding, so that no burst frame or reload
    // mixes another device's data into this reply.
    std::lock_guard lock(ctx.model.Lock);
    // Cleared under the lock: the serial link's and the HART-IP sessions' requests share the
    // command state.
    ctx.state.DataSuppressed = false;
    // A file changed on disk (restored, or edited by hand) gives the long addresses the
    // transports match from the next command on.
    ctx.store.RefreshIdentities(ctx.model);
    fault = TakeArmedFault(ctx, device);
    if (!ExecutesCommand(fault)) {
      AnswerWithFault(ctx, device, fault);
    } else {
      // A request the device's capture holds gets the recorded reply instead of the command.
      if (!AnswerFromReplay(ctx, device)) Execute(ctx, device, entry);
      MarkReplyFault(ctx.exchange, fault);
    }
  }
  ctx.exchange.Publish(ExchangeState::ReplyReady);
  return FaultNote(device, fault);
}

}  // namespace qln
