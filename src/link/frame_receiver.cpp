#include "link/frame_receiver.h"

#include <utility>

namespace qln {
namespace {

constexpr uint8_t kFrameEndPolls = 2;

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

std::string LineErrorComment(uint8_t frameErrors) {
  if (frameErrors == 0) return {};
  std::string comment = "line error:";
  // The bits below the top one: 0x40 parity, 0x20 overrun, 0x10 framing, 0x08 checksum,
  // 0x02 buffer overflow.
  static constexpr std::pair<uint8_t, const char*> kBits[] = {{0x40, " parity,"},
                                                              {0x20, " overrun,"},
                                                              {0x10, " framing,"},
                                                              {0x08, " checksum,"},
                                                              {0x02, " buffer overflow,"}};
  for (const auto& [bit, name] : kBits) {
    if ((frameErrors & bit) != 0) comment += name;
  }
  if (comment.back() == ',') comment.pop_back();
  return comment;
}

FrameReceiver::FrameReceiver(const PublishedLinkView& devices, CommunicationCounters& counters,
                             const Clock& clock, LogSink& log, CaptureSink* capture)
    : devices_(devices), counters_(counters), clock_(clock), log_(log), capture_(capture) {}

void FrameReceiver::Receive(std::span<const uint8_t> bytes, uint8_t lineError) {
  for (uint8_t byte : bytes) ReceiveByte(byte, lineError);
}

void FrameReceiver::ReceiveByte(uint8_t byte, uint8_t lineError) {
  silentPolls_ = kFrameEndPolls;
  switch (phase_) {
    case Phase::WaitPreamble:
      count_ = 0;
      preambleCount_ = byte == kPreamble ? 1 : 0;
      if (byte == kPreamble) phase_ = Phase::SecondPreamble;
      break;
    case Phase::SecondPreamble:
      if (byte == kPreamble) {
        CountPreamble();
        phase_ = Phase::WaitDelimiter;
      } else {
        phase_ = Phase::WaitPreamble;
      }
      break;
    case Phase::WaitDelimiter:
      if (IsDelimiter(byte)) {
        StartFrame(byte, lineError);
      } else if (byte == kPreamble) {
        CountPreamble();
      } else {
        phase_ = Phase::WaitPreamble;
      }
      break;
    case Phase::InFrame:
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
  phase_ = Phase::InFrame;
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

std::optional<ReceivedFrame> FrameReceiver::Tick() {
  if (silentPolls_ == 0 || --silentPolls_ != 0) return std::nullopt;
  return EndFrame();
}

// Whatever the silence ended, even a lone byte of noise, is a frame end: counted, logged and
// checked.
ReceivedFrame FrameReceiver::EndFrame() {
  counters_.ReceivedFrameCount.fetch_add(1, std::memory_order_relaxed);
  phase_ = Phase::WaitPreamble;
  const std::span<const uint8_t> bytes(frame_.data(), count_);
  log_.Log(LogKind::Received, TrafficLine(clock_, LogKind::Received, {}, preambleCount_, bytes));
  const FrameCheck check =
      CheckFrame(devices_.Read(), bytes, frameErrors_, headerDamaged_, AddressedDevice());
  addressedDevice_.store(check.AddressedDevice, std::memory_order_relaxed);
  if (capture_ != nullptr && capture_->Capturing()) {
    capture_->SerialFrame(SerialFrameKind::Request, bytes, LineErrorComment(check.FrameErrors));
  }
  return ReceivedFrame{bytes, check};
}

void FrameReceiver::Reset() {
  phase_ = Phase::WaitPreamble;
  count_ = 0;
  silentPolls_ = 0;
}

}  // namespace qln
