// Receive side of the link: byte-by-byte reception, the frame end, the frame check and the
// receive log line.
#include "link/frame_receiver.h"

#include <string>

#include "base/encodings.h"
#include "link/frame_match.h"

namespace qln {
namespace {

constexpr uint8_t kFrameEndTicks = 2;

// Bytes that may open a frame: burst, master-to-slave and slave-to-master frames, short or long.
bool IsDelimiter(uint8_t byte) {
  switch (byte) {
    case 0x01:
    case 0x02:
    case 0x06:
    case 0x81:
    case 0x82:
    case 0x86:
      return true;
    default:
      return false;
  }
}

}  // namespace

FrameReceiver::FrameReceiver(const PublishedLinkView& devices, CommandExchange& exchange,
                             CommunicationCounters& counters, const Clock& clock, LogSink& log)
    : devices_(devices), exchange_(exchange), counters_(counters), clock_(clock), log_(log) {}

void FrameReceiver::ReceiveByte(uint8_t byte, uint8_t lineError) {
  // Every byte restarts the silence that ends a frame, and abandons a reply wait.
  StartTimer(kFrameEndTicks, TimerPhase::FrameEndWait);
  switch (phase_) {
    case ReceivePhase::WaitPreamble:
      count_ = 0;
      preambleCount_ = byte == kPreamble ? 1 : 0;
      if (byte == kPreamble) phase_ = ReceivePhase::SecondPreamble;
      break;
    case ReceivePhase::SecondPreamble:
      if (byte == kPreamble) {
        CountPreamble();
        phase_ = ReceivePhase::WaitDelimiter;
      } else {
        phase_ = ReceivePhase::WaitPreamble;
      }
      break;
    case ReceivePhase::WaitDelimiter:
      if (IsDelimiter(byte)) {
        StartFrame(byte, lineError);
      } else if (byte == kPreamble) {
        CountPreamble();
      } else {
        phase_ = ReceivePhase::WaitPreamble;
      }
      break;
    case ReceivePhase::InFrame:
      // An overrun-marked byte is not the byte that was sent: leave it out of the frame.
      if ((lineError & kOverrunBit) == 0) StoreByte(byte, lineError);
      break;
  }
}

void FrameReceiver::CountPreamble() {
  if (preambleCount_ < UINT8_MAX) ++preambleCount_;
}

void FrameReceiver::StartFrame(uint8_t delimiter, uint8_t lineError) {
  count_ = 0;
  headerDamaged_ = false;
  frameErrors_ = 0;
  StoreByte(delimiter, lineError);
  phase_ = ReceivePhase::InFrame;
}

// Only silence ends a frame, so bytes after the checksum are stored too, up to the buffer's end.
void FrameReceiver::StoreByte(uint8_t byte, uint8_t lineError) {
  if (count_ < kFrameCapacity) {
    frame_[count_++] = byte;
  } else {
    lineError |= kBufferOverflow;
  }
  if (lineError == 0) return;
  frameErrors_ |= lineError;
  if (InAddressingPart(count_)) headerDamaged_ = true;
}

// Whether the byte just stored (count storedCount) belongs to the part of the frame that tells
// which device is addressed: a damaged byte there makes the frame unanswerable.
bool FrameReceiver::InAddressingPart(std::size_t storedCount) const {
  const std::size_t k = storedCount;
  const bool longStx = frame_[0] == kLongStx;
  return k < 3 || k == 4 || k == 8 || (longStx && k < 7) ||
         (longStx && k < 15 && frame_[6] == kReadTagCommand);
}

void FrameReceiver::StartTimer(uint8_t ticks, TimerPhase phase) {
  timerCountdown_ = ticks;
  timerPhase_ = phase;
}

void FrameReceiver::StopTimer() { StartTimer(0, TimerPhase::Stopped); }

void FrameReceiver::Tick() {
  if (timerCountdown_ == 0) return;
  if (--timerCountdown_ != 0) return;
  switch (timerPhase_) {
    case TimerPhase::FrameEndWait:
      FrameEndWaitExpired();
      break;
    case TimerPhase::ReplyWait:
      ReplyWaitExpired();
      break;
    case TimerPhase::Stopped:
      break;
  }
}

void FrameReceiver::FrameEndWaitExpired() {
  counters_.ReceivedFrameCount.fetch_add(1, std::memory_order_relaxed);
  phase_ = ReceivePhase::WaitPreamble;
  LogTraffic(LogKind::Received, "  <==  ", preambleCount_, {frame_.data(), count_});
  if (CheckFrame()) {
    AnswerFrame();
  } else {
    IgnoreFrame();
  }
}

// Decides whether a simulated device answers the frame just ended; on acceptance sets
// AddressedDevice, master, the frame command and the byte count position, and records a
// checksum mismatch in frameErrors.
bool FrameReceiver::CheckFrame() {
  const FrameCheck check = qln::CheckFrame(devices_.Read(), {frame_.data(), count_}, frameErrors_,
                                           headerDamaged_, AddressedDevice());
  addressedDevice_.store(check.AddressedDevice, std::memory_order_relaxed);
  master_ = check.Master;
  frameCommand_ = check.Command;
  countPos_ = check.CountPos;
  frameErrors_ = check.FrameErrors;
  return check.Accepted;
}

void FrameReceiver::IgnoreFrame() {
  phase_ = ReceivePhase::WaitPreamble;
  receptionActive_ = false;
  StopTimer();
  DropUnparkedReply();
}

// A reply finished since the last frame end is not for whatever comes next. A request still
// pending belongs to the command layer until it publishes the reply (see the header).
void FrameReceiver::DropUnparkedReply() {
  if (exchange_.LoadState() == ExchangeState::ReplyReady) exchange_.Publish(ExchangeState::Idle);
}

void FrameReceiver::LogTraffic(LogKind kind, std::string_view arrow, std::size_t preambles,
                               std::span<const uint8_t> bytes) {
  log_.Log(kind, TrafficLine(clock_, arrow, preambles, bytes));
}

}  // namespace qln
