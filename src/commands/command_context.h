// What a command handler works on: the device model and its store, the request/reply record,
// the command layer's state, the clock and the link layer's counters. Handlers run with the
// model lock held.
#pragma once

#include <cstdint>

#include "base/clock.h"
#include "base/communication_counters.h"
#include "base/notifier.h"
#include "commands/command_state.h"
#include "device/config_store.h"
#include "device/device_model.h"
#include "link/command_exchange.h"

namespace qln {

struct CommandContext {
  DeviceModel& model;
  ConfigStore& store;
  CommandExchange& exchange;
  CommandState& state;
  const Clock& clock;
  const CommunicationCounters& counters;
  // Where refused texts of a device's fault section are reported; none: not reported.
  Notifier* notifier = nullptr;
};

// Response codes of the command layer. Several codes mean different things to different
// commands; each meaning has its own name.
inline constexpr uint8_t kResponseSuccess = 0;
inline constexpr uint8_t kInvalidSelection = 2;
inline constexpr uint8_t kParameterTooLarge = 3;
inline constexpr uint8_t kParameterTooSmall = 4;
inline constexpr uint8_t kTooFewDataBytes = 5;
inline constexpr uint8_t kWriteProtected = 7;
inline constexpr uint8_t kCurrentBelowMinimum = 7;  // command 40: a fixed current below 4 mA
inline constexpr uint8_t kSetToNearest = 8;
inline constexpr uint8_t kCounterMismatch = 9;
inline constexpr uint8_t kUpperRangeAboveLimit = 9;   // commands 35 and 43
inline constexpr uint8_t kUpperRangeBelowLimit = 10;  // command 35
inline constexpr uint8_t kValueBelowLimit =
    10;  // command 43: the primary variable below the lower limit
inline constexpr uint8_t kLockCodeInvalid = 10;       // command 71: a stored lock code above 3
inline constexpr uint8_t kLowerRangeAboveLimit = 11;  // command 35
inline constexpr uint8_t kMultidropMode = 11;  // command 40 on a device not at poll address 0
inline constexpr uint8_t kLowerRangeBelowLimit = 12;  // command 35
inline constexpr uint8_t kStatusMismatch = 14;
inline constexpr uint8_t kSpanTooSmall = 14;            // command 35
inline constexpr uint8_t kShiftedRangeAboveLimit = 14;  // command 37
inline constexpr uint8_t kAccessRestricted = 16;
inline constexpr uint8_t kNotImplemented = 64;

// A reply of count data bytes, successful unless another code is given (the codes that keep
// their data).
inline void Reply(CommandContext& ctx, uint8_t count, uint8_t code = kResponseSuccess) {
  ctx.exchange.ResponseCode = code;
  ctx.exchange.ByteCount = count;
}

// A refusal: the reply carries the response code and no data.
inline void Refuse(CommandContext& ctx, uint8_t code) {
  ctx.exchange.ResponseCode = code;
  ctx.state.DataSuppressed = true;
}

// Reads a section of the device from the file into the active record, while the file is known
// to be there; otherwise decodes the device's texts that the model holds, so that the reply is
// this device's last-known data (the active record stays as it is when none are held).
inline void RefreshSection(CommandContext& ctx, uint8_t section, uint8_t device) {
  if (ctx.store.ConfigFileFound()) {
    ctx.store.Refresh(ctx.model, section, device);
  } else {
    ctx.store.DecodeHeld(ctx.model, section, device);
  }
}

}  // namespace qln
