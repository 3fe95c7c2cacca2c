// Receive side of the link: byte-by-byte reception, the frame end, the frame check and the
// receive log line.
#include "link/frame_receiver.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "link/encodings.h"

namespace qln {
namespace {

constexpr uint8_t kPreamble = 0xFF;
constexpr uint8_t kFrameEndTicks = 2;
constexpr uint8_t kLongFrameBit = 0x80;
constexpr uint8_t kFrameTypeMask = 0x07;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kLongStx = 0x82;
constexpr uint8_t kAddressMask = 0x3F;  // polling address, or the low six bits of MfrID
constexpr std::size_t kLongCountPos = 7;
constexpr std::size_t kShortCountPos = 3;
constexpr std::size_t kLongDataPos = kLongCountPos + 1;
constexpr uint8_t kReadTagCommand = 11;
constexpr uint8_t kReadLongTagCommand = 21;
constexpr std::size_t kTagNameBytes = 6;
constexpr std::size_t kLongTagBytes = 32;
constexpr uint8_t kTagSection = 13;
constexpr uint8_t kLongTagSection = 20;

// Bytes that may open a frame: burst, master-to-slave and slave-to-master frames, short or long.
bool IsDelimiter(uint8_t byte) {
  switch (byte) {
    case 0x01: case 0x02: case 0x06: case 0x81: case 0x82: case 0x86:
      return true;
    default:
      return false;
  }
}

// One "%02X " item.
void AppendHexItem(std::string& text, uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text += kDigits[byte >> 4];
  text += kDigits[byte & 0x0F];
  text += ' ';
}

}  // namespace

uint8_t FrameChecksum(const uint8_t* bytes, std::size_t length) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum ^= bytes[i];
  return sum;
}

FrameReceiver::FrameReceiver(DeviceModel& model, CommandExchange& exchange,
                             CommunicationCounters& counters, const Clock& clock, LogSink& log)
    : model_(model), exchange_(exchange), counters_(counters), clock_(clock), log_(log) {}

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
  if (preambleCount_ < 0xFF) ++preambleCount_;
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
  if (count_ < 5) return false;
  master_ = frame_[1] >> 7;
  if (headerDamaged_) return false;
  if ((frame_[0] & kFrameTypeMask) != kStx) return false;
  const bool addressed = (frame_[0] & kLongFrameBit) != 0 ? CheckLongFrame() : CheckShortFrame();
  if (!addressed) return false;
  const std::size_t dataCount = frame_[countPos_];
  const std::size_t checksumPos = countPos_ + dataCount + 1;
  if (count_ < checksumPos + 1) return false;
  // A frame with line errors is answered with those; its checksum says nothing more.
  if (frameErrors_ != 0) return true;
  if (FrameChecksum(frame_.data(), checksumPos) != frame_[checksumPos]) {
    frameErrors_ |= kChecksumError;
  }
  return true;
}

bool FrameReceiver::CheckLongFrame() {
  if (count_ < kLongDataPos + 1) return false;
  std::lock_guard lock(model_.Lock);
  const uint8_t match = MatchLongAddress();
  if (match != kNoDevice) addressedDevice_.store(match, std::memory_order_relaxed);
  frameCommand_ = frame_[6];
  countPos_ = kLongCountPos;
  switch (frameCommand_) {
    case kReadTagCommand:
      return TagNameMatches(match);
    case kReadLongTagCommand:
      return LongTagMatches();
    default:
      return match != kNoDevice;
  }
}

bool FrameReceiver::CheckShortFrame() {
  // Short frames serve command 0 only.
  if (frame_[2] != 0) return false;
  const uint8_t pollAddress = frame_[1] & kAddressMask;
  if (pollAddress >= kDeviceCount) return false;
  addressedDevice_.store(pollAddress, std::memory_order_relaxed);
  {
    std::lock_guard lock(model_.Lock);
    if (model_.Table[pollAddress].DevEnable != 1) return false;
  }
  frameCommand_ = 0;
  countPos_ = kShortCountPos;
  return true;
}

// The lowest enabled device whose long address equals the frame's, the master and burst bits
// left out; kNoDevice without one. Called with the model lock held.
uint8_t FrameReceiver::MatchLongAddress() const {
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    const DeviceEntry& entry = model_.Table[device];
    if (entry.DevEnable == 1 &&
        (entry.LongAddress[0] & kAddressMask) == (frame_[1] & kAddressMask) &&
        std::equal(entry.LongAddress.begin() + 1, entry.LongAddress.end(), frame_.begin() + 2)) {
      return device;
    }
  }
  return kNoDevice;
}

// Command 11 names the device by its tag: the matched device's tag must be the requested one;
// without a match only the broadcast address is answered, by the device addressed before.
// Called with the model lock held.
bool FrameReceiver::TagNameMatches(uint8_t matchedDevice) {
  if (count_ < kLongDataPos + kTagNameBytes + 1 || frame_[kLongCountPos] < kTagNameBytes) {
    return false;
  }
  if (matchedDevice == kNoDevice) return IsBroadcastAddress();
  DecodeSection(model_, kTagSection, matchedDevice);
  const auto& tag = model_.Active.TagName;
  return std::equal(tag.begin(), tag.end(), frame_.begin() + kLongDataPos);
}

// Command 21 names the device by its long tag, compared with the 32 data bytes the frame itself
// carries (a shorter request matches nothing). Called with the model lock held.
bool FrameReceiver::LongTagMatches() {
  if (frame_[kLongCountPos] < kLongTagBytes || count_ < kLongDataPos + kLongTagBytes) return false;
  DecodeSection(model_, kLongTagSection, AddressedDevice());
  const auto& longTag = model_.Active.LongTag;
  return std::equal(longTag.begin(), longTag.end(), frame_.begin() + kLongDataPos);
}

bool FrameReceiver::IsBroadcastAddress() const {
  return (frame_[1] & kAddressMask) == 0 &&
         std::all_of(frame_.begin() + 2, frame_.begin() + 6, [](uint8_t b) { return b == 0; });
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

std::string TrafficLine(const Clock& clock, std::string_view arrow, std::size_t preambles,
                        std::span<const uint8_t> bytes) {
  std::string line = TimeStamp(clock);
  line.reserve(line.size() + arrow.size() + 3 * (preambles + bytes.size()));
  line += arrow;
  for (std::size_t i = 0; i < preambles; ++i) AppendHexItem(line, kPreamble);
  for (uint8_t byte : bytes) AppendHexItem(line, byte);
  return line;
}

}  // namespace qln
