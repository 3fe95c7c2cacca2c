#include "link/burst_sender.h"

#include <utility>

namespace qln {
BurstSender::BurstSender(BurstControl& burst, CommunicationCounters& counters, SerialLink& link,
                         const Clock& clock, std::function<void()> frameUsed)
    : burst_(burst),
      counters_(counters),
      link_(link),
      clock_(clock),
      frameUsed_(std::move(frameUsed)) {}

void BurstSender::BurstCheck() {
  if (burst_.Enable.load(std::memory_order_acquire) == 0) return;
  const uint32_t now = clock_.Milliseconds();
  // The message longest overdue goes first; the others follow in the next quiet passes.
  const auto timings = burst_.Prepared.Timings();
  int due = -1;
  uint32_t longestOverdue = 0;
  for (uint8_t m = 0; m < kBurstMessageCount; ++m) {
    const uint32_t since = now - burst_.LastBurstMs[m];
    if (!timings[m].prepared || since <= timings[m].periodMs) continue;
    const uint32_t overdue = since - timings[m].periodMs;
    if (due < 0 || overdue > longestOverdue) {
      due = m;
      longestOverdue = overdue;
    }
  }
  if (due < 0) return;
  // A reply being received or waiting to go out has the line; the image must not be replaced.
  if (link_.ReceptionActive() || link_.TransmitPending()) return;
  const auto message = static_cast<uint8_t>(due);
  bool prepared = false;
  std::optional<BurstFrame> frame = burst_.Prepared.Take(message, prepared);
  if (!prepared) return;
  if (frame) {
    frame->AlternateMasterBit(burst_.MasterToggle);
    counters_.BurstFrameCount.fetch_add(1, std::memory_order_relaxed);
    link_.SendFrame({frame->bytes.data(), frame->length});
  }
  burst_.LastBurstMs[message] = now;
  if (frameUsed_) frameUsed_();
}

}  // namespace qln
