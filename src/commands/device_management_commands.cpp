#include "commands/device_management_commands.h"

#include <atomic>

#include "base/encodings.h"
#include "commands/burst_commands.h"
#include "commands/hart7_commands.h"

namespace qln {
namespace {

constexpr uint8_t kMinimumPreambles = 2;
constexpr uint8_t kMaximumPreambles = 20;
constexpr uint8_t kFirstBurstCommand = 1;
constexpr uint8_t kLastBurstCommand = 3;
constexpr uint8_t kHighestLockCode = 3;

uint8_t* Data(CommandContext& ctx) { return ctx.exchange.Data.data(); }

// A setting of the device table written by a master (already checked): replaces the stored value
// when it differs and then writes it, while the file is known to be there, to the only key of
// its section. Replies with the stored value.
void WriteTableSetting(CommandContext& ctx, uint8_t device, uint32_t& setting, uint8_t section) {
  const uint8_t value = Data(ctx)[0];
  if (value != setting) {
    setting = value;
    if (ctx.store.ConfigFileFound()) {
      ctx.store.WriteKeys(ctx.model, device, section, {{SectionKeys(section)[0], IntText(value)}});
    }
  }
  Data(ctx)[0] = static_cast<uint8_t>(setting);
  Reply(ctx, 1);
}

// The PC's local date and time of day as the clock commands report them: day, month, year minus
// 1900, then the time of day in 1/32 ms (7 bytes).
void PutClock(uint8_t* out, const LocalTime& now) {
  PutDate(out, static_cast<uint8_t>(now.day), static_cast<uint8_t>(now.month),
          static_cast<uint8_t>(now.year - 1900));
  Put32(out + 3, TimeOfDay32(now));
}

void ReplyLockState(CommandContext& ctx) {
  Data(ctx)[0] = ctx.state.LockState;
  Reply(ctx, 1);
}

}  // namespace

void Command41(CommandContext& ctx, uint8_t) {
  ctx.exchange.Note = ReplyNote::SelfTest;
  Reply(ctx, 0);
}

void Command42(CommandContext& ctx, uint8_t device) {
  // The guard has refused a lock above 1: a reset releases lock code 1 and ends the simulation
  // of variables. No other data are reset.
  ctx.state.LockState = 0;
  EndSimulation(ctx, device);
  ctx.exchange.Note = ReplyNote::Reset;
  Reply(ctx, 0);
}

void Command59(CommandContext& ctx, uint8_t device) {
  const uint8_t preambles = Data(ctx)[0];
  if (preambles < kMinimumPreambles) return Refuse(ctx, kParameterTooSmall);
  if (preambles > kMaximumPreambles) return Refuse(ctx, kParameterTooLarge);
  WriteTableSetting(ctx, device, ctx.model.Table[device].ResPreableNum, 59);
}

void Command71(CommandContext& ctx, uint8_t) {
  // The stored lock decides, not the request: a locked device cannot be relocked or unlocked.
  uint8_t& lock = ctx.state.LockState;
  if (lock > kHighestLockCode) return Refuse(ctx, kLockCodeInvalid);
  if (lock != 0) return Refuse(ctx, kAccessRestricted);
  lock = Data(ctx)[0];  // 0 leaves the device unlocked; any other code is stored
  ReplyLockState(ctx);
}

void Command76(CommandContext& ctx, uint8_t) { ReplyLockState(ctx); }

void Command89(CommandContext& ctx, uint8_t) {
  uint8_t* d = Data(ctx);
  // Only the code "read" is accepted: the PC clock is reported, never set.
  if (d[0] != 0) return Refuse(ctx, kAccessRestricted);
  PutClock(d + 1, ctx.clock.Now());
  Reply(ctx, 8);
}

void Command90(CommandContext& ctx, uint8_t) {
  uint8_t* d = Data(ctx);
  d[0] = 0;
  PutClock(d + 1, ctx.clock.Now());
  PutDate(d + 8, 1, 1, 0);  // the clock was never set: 1 January 1900, 00:00
  Put32(d + 11, 0);
  d[15] = 1;
  Reply(ctx, 16);
}

void Command95(CommandContext& ctx, uint8_t) {
  uint8_t* d = Data(ctx);
  Put16(d, ctx.counters.ReceivedFrameCount.load());
  Put16(d + 2, ctx.state.ExecutedCommandCount.load());
  Put16(d + 4, ctx.counters.BurstFrameCount.load());
  Reply(ctx, 6);
}

void Command108(CommandContext& ctx, uint8_t device) {
  if (InHart7Mode(ctx)) return Command108Hart7(ctx, device);
  const uint8_t command = Data(ctx)[0];
  if (command < kFirstBurstCommand || command > kLastBurstCommand) {
    return Refuse(ctx, kInvalidSelection);
  }
  WriteTableSetting(ctx, device, ctx.model.Table[device].BurstCmdNo, 108);
}

void Command109(CommandContext& ctx, uint8_t device) {
  if (InHart7Mode(ctx)) return Command109Hart7(ctx, device);
  uint8_t* d = Data(ctx);
  const uint8_t mode = d[0];
  if (ctx.exchange.ByteCount < 2) d[1] = 0;  // the second reply byte echoes the request's
  MoveBurstTo(ctx, device, mode);
  Reply(ctx, 2);
}

}  // namespace qln
