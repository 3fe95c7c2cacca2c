#include "link/reply_stage.h"

#include <algorithm>
#include <utility>

namespace qln {
namespace {

constexpr uint8_t kReplyWaitPolls = 10;
constexpr uint8_t kReplyWaitRetries = 3;  // four waits of 10 polls before the busy reply

}  // namespace

ReplyStage::ReplyStage(const PublishedLinkView& devices, CommandExchange& exchange,
                       const Clock& clock, LogSink& log, CaptureSink* capture)
    : devices_(devices), exchange_(exchange), clock_(clock), log_(log), capture_(capture) {}

LinkEvent ReplyStage::Answer(const ReceivedFrame& frame) {
  check_ = frame.check;
  std::copy_n(frame.bytes.begin(), check_.CountPos + 1, reply_.begin());
  // The reply that goes out when no other does: the communication-error byte of a damaged
  // frame, or busy; either with the last device status.
  const std::size_t defaultLength = FrameReply(
      reply_, check_.CountPos, check_.FrameErrors != 0 ? check_.FrameErrors : kBusyResponse,
      lastDeviceStatus_, {});
  // A damaged frame is answered at once with its communication-error byte and not executed.
  if (check_.FrameErrors != 0) {
    waitPolls_ = 0;
    const LinkEvent queued = SendReply(defaultLength);
    imageComment_ = "communication error reply";
    return queued;
  }
  if (exchange_.LoadState() == ExchangeState::ReplyReady) ParkReply();
  MasterReplySlot& slot = slots_[check_.Master];
  // A parked reply answers only a retry of its own command to its own device, and only if it is
  // worth repeating.
  if (!SlotAnswersFrame(slot)) slot.State = ExchangeState::Idle;
  if (slot.ResponseCode != 0x00 && slot.ResponseCode != kBusyResponse) {
    slot.State = ExchangeState::Idle;
  }
  busyLength_ = defaultLength;
  if (slot.State == ExchangeState::ReplyReady) return SendParkedReply(slot);
  waitRetries_ = kReplyWaitRetries;
  StartReplyWait();
  // While the command layer still holds another request this one is answered from the slot or
  // with busy.
  if (exchange_.LoadState() != ExchangeState::Idle) return LinkEvent::Nothing;
  exchange_.HandOver(frame.bytes, check_, check_.Master);
  return LinkEvent::RequestHandedOver;
}

void ReplyStage::Ignore() {
  receptionActive_ = false;
  waitPolls_ = 0;
  DropUnparkedReply();
}

// A reply finished since the last frame end is not for whatever comes next. A request still
// pending belongs to the command layer until it publishes the reply (see the header).
void ReplyStage::DropUnparkedReply() {
  if (exchange_.LoadState() == ExchangeState::ReplyReady) exchange_.Publish(ExchangeState::Idle);
}

void ReplyStage::StartReplyWait() { waitPolls_ = kReplyWaitPolls; }

LinkEvent ReplyStage::Tick() {
  if (waitPolls_ == 0 || --waitPolls_ != 0) return LinkEvent::Nothing;
  return ReplyWaitEnded();
}

LinkEvent ReplyStage::ReplyWaitEnded() {
  if (exchange_.LoadState() == ExchangeState::ReplyReady) ParkReply();
  MasterReplySlot& slot = slots_[check_.Master];
  // The slot may hold the reply to an earlier request of this master that the command layer was
  // still busy with; that one belongs to another command or device and waits for its own retry.
  if (slot.State == ExchangeState::ReplyReady && SlotAnswersFrame(slot)) {
    return SendParkedReply(slot);
  }
  if (waitRetries_ > 0) {
    --waitRetries_;
    StartReplyWait();
    return LinkEvent::Nothing;
  }
  const LinkEvent queued = SendReply(busyLength_);
  imageComment_ = "busy reply";
  return queued;
}

bool ReplyStage::SlotAnswersFrame(const MasterReplySlot& slot) const {
  return slot.Command == check_.Command && slot.Device == check_.AddressedDevice;
}

// Sends the parked reply to the frame being answered, with the fault it carries. A reply the
// device's configuration delays first waits one more reply wait per period left; being ready, it
// is never replaced by the busy reply meanwhile.
LinkEvent ReplyStage::SendParkedReply(MasterReplySlot& slot) {
  if (slot.Fault != ReplyFault::Drop && slot.DelayPeriods > 0) {
    --slot.DelayPeriods;
    StartReplyWait();
    return LinkEvent::Nothing;
  }
  waitPolls_ = 0;
  slot.State = ExchangeState::Idle;
  const std::optional<std::size_t> length = FrameExchangeReply(reply_, check_.CountPos, slot);
  if (!length) {
    // The answer is silence: no reply and no busy reply. Nothing will be transmitted, so the
    // reception is over as after an ignored frame, and burst frames may go again.
    receptionActive_ = false;
    return LinkEvent::Nothing;
  }
  lastDeviceStatus_ = slot.DeviceStatus;
  const LinkEvent queued = SendReply(*length);
  checksumSpoiled_ = slot.Fault == ReplyFault::BadChecksum;
  if (checksumSpoiled_) imageComment_ = "fault applied: bad checksum";
  imageReply_ = SentReply{slot.Device, slot.Note};
  return queued;
}

// Called only in ReplyReady: the command thread has published the record and left it.
void ReplyStage::ParkReply() {
  MasterReplySlot& slot = slots_[exchange_.Master & 1];
  static_cast<ExchangeRecord&>(slot) = exchange_;
  slot.State = ExchangeState::ReplyReady;
  exchange_.Publish(ExchangeState::Idle);
}

LinkEvent ReplyStage::SendReply(std::size_t length) {
  waitPolls_ = 0;
  SendFrame({reply_.data(), length}, check_.AddressedDevice);
  imageKind_ = SerialFrameKind::Response;
  imageComment_ = "";
  return LinkEvent::ReplyQueued;
}

// The frame goes on the line behind exactly the preambles of the device, as the traffic log
// shows it. A set-up whose converter expects the old preamble marker (PreambleMarker in the
// system section) gets 0x02 0xCF at line positions 2 and 3 instead, unless the frame itself
// lands there; TransmissionDone then sets them back to 0xFF before the image is logged.
bool ReplyStage::SendFrame(std::span<const uint8_t> frame, uint8_t device) {
  if (frame.size() > kFrameCapacity) return false;
  const LinkView view = devices_.Read();
  const std::size_t preambles = view.Devices[device].Preambles;
  std::fill_n(image_.begin(), preambles, kPreamble);
  markerSent_ = view.PreambleMarker;
  if (markerSent_) {
    image_[2] = 0x02;
    image_[3] = 0xCF;
  }
  std::copy(frame.begin(), frame.end(), image_.begin() + static_cast<std::ptrdiff_t>(preambles));
  imageLength_ = preambles + frame.size();
  imagePreambles_ = preambles;
  // A burst frame unless SendReply says otherwise.
  imageKind_ = SerialFrameKind::Publish;
  imageComment_ = "burst frame";
  transmitPending_ = true;
  checksumSpoiled_ = false;
  imageReply_.reset();
  return true;
}

std::optional<SentReply> ReplyStage::TransmissionDone() {
  transmitPending_ = false;
  receptionActive_ = false;
  if (markerSent_) {
    image_[2] = kPreamble;
    image_[3] = kPreamble;
  }
  log_.Log(LogKind::Sent, TrafficLine(clock_, LogKind::Sent, {}, 0, TransmitImage()));
  if (capture_ != nullptr && capture_->Capturing()) {
    capture_->SerialFrame(imageKind_, TransmitImage().subspan(imagePreambles_), imageComment_);
  }
  return std::exchange(imageReply_, std::nullopt);
}

void ReplyStage::ResetForOpen() {
  receptionActive_ = false;
  waitPolls_ = 0;
  exchange_.Publish(ExchangeState::Idle);
  for (MasterReplySlot& slot : slots_) slot.State = ExchangeState::Idle;
  transmitPending_ = false;
  imageLength_ = 0;
  imagePreambles_ = 0;
  imageReply_.reset();
}

}  // namespace qln
