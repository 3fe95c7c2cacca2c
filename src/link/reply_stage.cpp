// Reply stage of the link: answers an accepted frame exactly once, through the CommandExchange
// and the two masters' parked replies, and puts the framed reply into the TransmitImage.
#include <algorithm>

#include "link/frame_receiver.h"

namespace qln {
namespace {

constexpr uint8_t kReplyWaitTicks = 10;
constexpr uint8_t kReplyWaitRetries = 3;  // four waits of 10 ticks before the busy reply

}  // namespace

void FrameReceiver::AnswerFrame() {
  // A damaged frame is answered at once with its communication-error byte and not executed.
  if (frameErrors_ != 0) {
    BuildDefaultReply();
    StopTimer();
    SendReply();
    return;
  }
  if (exchange_.LoadState() == ExchangeState::ReplyReady) ParkReply();
  MasterReplySlot& slot = slots_[master_];
  // A parked reply answers only a retry of its own command to its own device, and only if it is
  // worth repeating.
  if (!SlotAnswersFrame(slot)) slot.State = ExchangeState::Idle;
  if (slot.ResponseCode != 0x00 && slot.ResponseCode != kBusyResponse) {
    slot.State = ExchangeState::Idle;
  }
  // While the command layer still holds another request this one is answered from the slot or
  // with busy.
  if (exchange_.LoadState() == ExchangeState::Idle && slot.State == ExchangeState::Idle) {
    HandOverRequest();
  }
  BuildDefaultReply();
  if (slot.State == ExchangeState::ReplyReady) {
    SendParkedReply(slot);
    return;
  }
  replyWaitRetries_ = kReplyWaitRetries;
  StartTimer(kReplyWaitTicks, TimerPhase::ReplyWait);
}

void FrameReceiver::ReplyWaitExpired() {
  if (exchange_.LoadState() == ExchangeState::ReplyReady) ParkReply();
  MasterReplySlot& slot = slots_[master_];
  // The slot may hold the reply to an earlier request of this master that the command layer was
  // still busy with; that one belongs to another command or device and waits for its own retry.
  if (slot.State == ExchangeState::ReplyReady && SlotAnswersFrame(slot)) {
    SendParkedReply(slot);
    return;
  }
  if (replyWaitRetries_ > 0) {
    --replyWaitRetries_;
    StartTimer(kReplyWaitTicks, TimerPhase::ReplyWait);
    return;
  }
  StopTimer();
  SendReply();  // the busy reply built at the frame end
}

bool FrameReceiver::SlotAnswersFrame(const MasterReplySlot& slot) const {
  return slot.Command == frameCommand_ && slot.Device == AddressedDevice();
}

// Sends the parked reply to the frame being answered, with the fault it carries. A reply the
// device's configuration delays first waits one more reply wait per period left; being ready, it
// is never replaced by the busy reply meanwhile.
void FrameReceiver::SendParkedReply(MasterReplySlot& slot) {
  if (slot.Fault != ReplyFault::Drop && slot.DelayPeriods > 0) {
    --slot.DelayPeriods;
    StartTimer(kReplyWaitTicks, TimerPhase::ReplyWait);
    return;
  }
  StopTimer();
  slot.State = ExchangeState::Idle;
  if (slot.Fault == ReplyFault::Drop) {
    // The answer is silence: no reply and no busy reply. Nothing will be transmitted, so the
    // reception is over as after an ignored frame, and burst frames may go again.
    receptionActive_ = false;
    return;
  }
  AppendParkedReply(slot);
  if (slot.Fault == ReplyFault::BadChecksum) frame_[replyLength_ - 1] ^= kSpoiledChecksumBits;
  SendReply();
  checksumSpoiled_ = slot.Fault == ReplyFault::BadChecksum;
}

// Called only in Idle: the command thread does not touch the record then.
void FrameReceiver::HandOverRequest() {
  const uint8_t dataCount = frame_[countPos_];
  exchange_.Master = master_;
  exchange_.Device = AddressedDevice();
  exchange_.Command = frameCommand_;
  exchange_.ByteCount = dataCount;
  std::copy_n(frame_.begin() + countPos_ + 1, dataCount, exchange_.Data.begin());
  // A command layer that arms no fault leaves these as they are.
  exchange_.Fault = ReplyFault::None;
  exchange_.DelayPeriods = 0;
  exchange_.Publish(ExchangeState::RequestPending);
}

// Called only in ReplyReady: the command thread has published the record and left it.
void FrameReceiver::ParkReply() {
  MasterReplySlot& slot = slots_[exchange_.Master & 1];
  static_cast<ExchangeRecord&>(slot) = exchange_;
  slot.State = ExchangeState::ReplyReady;
  exchange_.Publish(ExchangeState::Idle);
}

// Turns the request in the frame buffer into a reply with no data: the communication-error byte
// of a damaged frame, or busy, followed by LastDeviceStatus.
void FrameReceiver::BuildDefaultReply() {
  replyLength_ = FrameReply(frame_, countPos_, frameErrors_ != 0 ? frameErrors_ : kBusyResponse,
                            lastDeviceStatus_, {});
}

// Completes the reply built by BuildDefaultReply with the parked status bytes and data.
void FrameReceiver::AppendParkedReply(MasterReplySlot& slot) {
  lastDeviceStatus_ = slot.DeviceStatus;
  replyLength_ = FrameReply(frame_, countPos_, slot.ResponseCode, slot.DeviceStatus,
                            {slot.Data.data(), slot.ByteCount});
}

void FrameReceiver::SendReply() { SendFrame(frame_.data(), replyLength_); }

// The frame goes on the line behind exactly the preambles of AddressedDevice, as the traffic log
// shows it. A set-up whose converter expects the old preamble marker (PreambleMarker in the
// system section) gets 0x02 0xCF at line positions 2 and 3 instead, unless the frame itself
// lands there; TransmissionDone then sets them back to 0xFF before the image is logged.
bool FrameReceiver::SendFrame(const uint8_t* frame, std::size_t length) {
  if (length > kFrameCapacity) return false;
  const LinkView view = devices_.Read();
  const std::size_t preambles = view.Devices[AddressedDevice()].Preambles;
  std::fill_n(image_.begin(), preambles, kPreamble);
  markerSent_ = view.PreambleMarker;
  if (markerSent_) {
    image_[2] = 0x02;
    image_[3] = 0xCF;
  }
  std::copy_n(frame, length, image_.begin() + preambles);
  imageLength_ = preambles + length;
  transmitPending_ = true;
  checksumSpoiled_ = false;
  return true;
}

void FrameReceiver::TransmissionDone() {
  transmitPending_ = false;
  receptionActive_ = false;
  if (markerSent_) {
    image_[2] = kPreamble;
    image_[3] = kPreamble;
  }
  LogTraffic(LogKind::Sent, "  ==>  ", 0, TransmitImage());
}

void FrameReceiver::ResetForOpen() {
  phase_ = ReceivePhase::WaitPreamble;
  receptionActive_ = false;
  count_ = 0;
  StopTimer();
  exchange_.Publish(ExchangeState::Idle);
  for (MasterReplySlot& slot : slots_) slot.State = ExchangeState::Idle;
  transmitPending_ = false;
  imageLength_ = 0;
}

}  // namespace qln
