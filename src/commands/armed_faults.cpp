#include "commands/armed_faults.h"

#include <string_view>
#include <vector>

#include "commands/dispatcher.h"

namespace qln {

FaultUse TakeArmedFault(CommandContext& ctx, uint8_t device) {
  const std::string section = FaultSection(device);
  const std::vector<std::string> read = ctx.store.ReadKeys(section, kFaultKeyNames);
  FaultTexts texts;
  for (std::size_t i = 0; i < kFaultKeyCount; ++i) texts[i] = read[i];
  const FaultSettings settings = ParseFaults(texts);

  // A refused text is reported when it is new for its key; the fault stays off either way.
  FaultTexts& reported = ctx.state.RefusedFaultTexts[device];
  FaultTexts refused;
  for (const FaultRefusal& r : settings.refused) {
    const auto key = static_cast<std::size_t>(r.key);
    refused[key] = r.text;
    if (reported[key] == r.text || ctx.notifier == nullptr) continue;
    ctx.notifier->Problem("QLN.ini [" + section + "] " + std::string(kFaultKeyNames[key]) + "=" +
                          r.text + " refused: " + r.reason + "; the fault stays off.");
  }
  reported = refused;

  const FaultUse use = NextFault(settings);
  if (const std::optional<FaultKey> counted = use.Counted()) {
    const KeyText countdown{kFaultKeyNames[static_cast<std::size_t>(*counted)], IntText(use.left)};
    ctx.store.WriteSharedSection(ctx.model, section, std::span(&countdown, 1));
  }
  return use;
}

bool ExecutesCommand(const FaultUse& use) {
  return use.kind == FaultKind::None || use.kind == FaultKind::BadChecksum;
}

void AnswerWithFault(CommandContext& ctx, uint8_t device, const FaultUse& use) {
  ctx.exchange.ResponseCode = use.responseCode;
  ctx.exchange.ByteCount = 0;
  if (use.kind != FaultKind::Drop) ctx.exchange.DeviceStatus = ComposeDeviceStatus(ctx, device);
  MarkReplyFault(ctx.exchange, use);
}

void MarkReplyFault(CommandExchange& exchange, const FaultUse& use) {
  exchange.Fault = use.kind == FaultKind::Drop          ? ReplyFault::Drop
                   : use.kind == FaultKind::BadChecksum ? ReplyFault::BadChecksum
                                                        : ReplyFault::None;
  exchange.DelayPeriods = use.delayPeriods;
}

}  // namespace qln
