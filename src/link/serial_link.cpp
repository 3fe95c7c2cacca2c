#include "link/serial_link.h"

namespace qln {

SerialLink::SerialLink(const PublishedLinkView& devices, CommandExchange& exchange,
                       CommunicationCounters& counters, const Clock& clock, LogSink& log,
                       CaptureSink* capture)
    : receiver_(devices, counters, clock, log, capture),
      replies_(devices, exchange, clock, log, capture) {}

LinkEvent SerialLink::Receive(std::span<const uint8_t> bytes, uint8_t lineError) {
  if (!bytes.empty()) {
    // Every byte restarts the silence that ends a frame, and gives up a reply wait.
    replies_.AbandonReplyWait();
    receiver_.Receive(bytes, lineError);
    replies_.SetReceptionActive();
    return LinkEvent::Nothing;
  }
  if (const std::optional<ReceivedFrame> frame = receiver_.Tick()) {
    if (frame->check.Accepted) return replies_.Answer(*frame);
    replies_.Ignore();
    return LinkEvent::Nothing;
  }
  return replies_.Tick();
}

void SerialLink::ResetForOpen() {
  receiver_.Reset();
  replies_.ResetForOpen();
}

}  // namespace qln
