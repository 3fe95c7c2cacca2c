#include "commands/transaction.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "commands/burst_frames.h"
#include "commands/command_context.h"
#include "commands/dispatcher.h"

namespace qln {

void Transaction::Execute(CommandExchange& exchange) {
  CommandContext context{parts_.model, parts_.store,    exchange,        parts_.state,
                         parts_.clock, parts_.counters, &parts_.notifier};
  const std::string faultNote = Dispatch(context, exchange.Device);
  if (!faultNote.empty()) parts_.console.Note(faultNote);
}

void Transaction::ReplySent(uint8_t device, ReplyNote note) {
  const char* format = note == ReplyNote::SelfTest ? "Dev[%d]_SelfTest_OK ...\r\n"
                       : note == ReplyNote::Reset  ? "Dev[%d]_Reset_OK ...\r\n"
                                                   : nullptr;
  if (format == nullptr) return;
  char text[64];
  std::snprintf(text, sizeof text, format, device);
  parts_.console.Note(text);
}

std::optional<BurstFrame> Transaction::BuildBurst() {
  if (parts_.model.Burst.Enable.load(std::memory_order_acquire) == 0) return std::nullopt;
  // Building a burst frame reads no request: the exchange only completes the context.
  CommandExchange unused;
  CommandContext context{parts_.model, parts_.store,    unused,          parts_.state,
                         parts_.clock, parts_.counters, &parts_.notifier};
  std::lock_guard lock(parts_.model.Lock);
  return BuildBurstFrame(context);
}

}  // namespace qln
