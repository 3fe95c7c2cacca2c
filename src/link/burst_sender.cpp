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
  if (now - burst_.LastBurstMs <= kBurstPeriodMs) return;
  // A reply being received or waiting to go out has the line; the image must not be replaced.
  if (link_.ReceptionActive() || link_.TransmitPending()) return;
  bool prepared = false;
  std::optional<BurstFrame> frame = burst_.Prepared.Take(prepared);
  if (!prepared) return;
  if (frame) {
    frame->AlternateMasterBit(burst_.MasterToggle);
    counters_.BurstFrameCount.fetch_add(1, std::memory_order_relaxed);
    link_.SendFrame({frame->bytes.data(), frame->length});
  }
  burst_.LastBurstMs = now;
  if (frameUsed_) frameUsed_();
}

}  // namespace qln
