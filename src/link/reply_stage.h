// The reply side of the serial link: exactly one slave reply per accepted frame, timed as the
// line wants it. A damaged frame is answered at once with its communication-error byte; any
// other request is handed to the command layer through the CommandExchange, and its reply goes
// out at the end of a reply wait (10 empty polls) once it is ready, or after four waits the busy
// reply goes out instead and the late reply is parked in its master's MasterReplySlot for the
// retry. The replies are framed as every transport frames them (FrameExchangeReply); what is the
// line's own is here: the timing, the reply slots, the busy reply and the TransmitImage with the
// device's preambles.
//
// Sharing the CommandExchange with the command thread: each side acts only in its own states and
// sets the state last. The stage writes the record only in Idle (HandOver, to RequestPending)
// and reads it only in ReplyReady (ParkReply, back to Idle); the dispatcher executes only in
// RequestPending and publishes ReplyReady last. An ignored frame therefore drops a finished reply
// that was not parked yet, but never takes back a request the command layer may be executing:
// that one is answered, parked at the next frame end or reply wait, and sent to a retry of the
// same master and command or dropped there.
//
// Sans-I/O, on the serial worker thread, like the receiver (see serial_link.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/capture_sink.h"
#include "base/clock.h"
#include "base/hart_frame.h"
#include "base/link_view.h"
#include "base/log_sink.h"
#include "link/command_exchange.h"
#include "link/frame_receiver.h"

namespace qln {

// Preambles in front of a transmitted frame; larger ResPreableNum values are clamped to this.
inline constexpr std::size_t kMaxPreambles = 255;
// Every frame SendFrame accepts, behind the most preambles, fits.
inline constexpr std::size_t kTransmitImageCapacity = kMaxPreambles + kFrameCapacity;

// What a step of the link did that its driver must know of.
enum class LinkEvent : uint8_t {
  Nothing,
  RequestHandedOver,  // a request waits for the command layer
  ReplyQueued,        // a reply waits in the TransmitImage
};

// A reply of the command layer that has gone on the line: the device it answered for and the
// console note that follows it.
struct SentReply {
  uint8_t Device = 0;
  ReplyNote Note = ReplyNote::None;
};

class ReplyStage {
 public:
  // Every frame transmitted is logged, and handed to `capture` (when given) with what it was
  // (a busy reply, a communication-error reply, a fault applied, a burst frame).
  ReplyStage(const PublishedLinkView& devices, CommandExchange& exchange, const Clock& clock,
             LogSink& log, CaptureSink* capture = nullptr);
  ReplyStage(const ReplyStage&) = delete;
  ReplyStage& operator=(const ReplyStage&) = delete;

  // A frame the receiver accepted: a damaged one is answered at once (ReplyQueued); otherwise
  // the request is handed over (RequestHandedOver) or answered from its master's slot, and a
  // reply wait starts.
  LinkEvent Answer(const ReceivedFrame& frame);
  // A frame the receiver ignored: the reception is over, no reply wait, and a finished reply
  // not parked yet is dropped.
  void Ignore();
  // A byte arrived: a reply wait in progress is given up.
  void AbandonReplyWait() { waitPolls_ = 0; }
  // One empty poll: counts the reply wait down; at its end the ready reply, or after four waits
  // the busy reply, goes into the TransmitImage (ReplyQueued).
  LinkEvent Tick();

  // Set after every read that returned bytes; cleared by an ignored frame, a dropped reply and
  // TransmissionDone. Burst frames are held back while it is set.
  void SetReceptionActive() { receptionActive_ = true; }
  bool ReceptionActive() const { return receptionActive_; }

  bool TransmitPending() const { return transmitPending_; }
  // Preambles and frame, as they go on the line.
  std::span<const uint8_t> TransmitImage() const { return {image_.data(), imageLength_}; }
  // Whether the frame of the TransmitImage (pending or last transmitted) carries a checksum made
  // wrong on purpose: a reply whose device's configuration armed bad checksums. Every other
  // frame the link sends has a valid checksum.
  bool TransmitChecksumSpoiled() const { return checksumSpoiled_; }
  // The serial worker has put the TransmitImage on the line: clears the pending flag and
  // ReceptionActive, and logs the image (with a preamble marker set back to 0xFF). Returns the
  // reply of the command layer that went out, nothing for another frame (busy, error, burst).
  std::optional<SentReply> TransmissionDone();

  // Puts the frame behind the preambles of `device` into the TransmitImage and marks it pending.
  // Refuses (false, nothing changes) a frame longer than kFrameCapacity.
  bool SendFrame(std::span<const uint8_t> frame, uint8_t device);

  // The port has been opened: no reception in progress, no reply wait, exchange and both parked
  // replies Idle, nothing to transmit. Call it while no command thread runs.
  void ResetForOpen();

  // Device status of the last reply that carried the command layer's status bytes.
  uint8_t LastDeviceStatus() const { return lastDeviceStatus_; }

 private:
  LinkEvent ReplyWaitEnded();
  bool SlotAnswersFrame(const MasterReplySlot& slot) const;
  LinkEvent SendParkedReply(MasterReplySlot& slot);
  void ParkReply();
  void DropUnparkedReply();
  void StartReplyWait();
  LinkEvent SendReply(std::size_t length);

  const PublishedLinkView& devices_;
  CommandExchange& exchange_;
  const Clock& clock_;
  LogSink& log_;
  CaptureSink* capture_;

  // The frame being answered: what the receiver found, and its header (delimiter, address,
  // command, byte count) on which the reply is built. The busy reply (or the communication-error
  // reply) is built at the frame end with the device status of that moment.
  FrameCheck check_;
  std::array<uint8_t, kFrameCapacity> reply_{};
  std::size_t busyLength_ = 0;

  uint8_t waitPolls_ = 0;  // empty polls left in the reply wait; 0: no wait
  uint8_t waitRetries_ = 0;
  std::array<MasterReplySlot, 2> slots_{};  // [1] primary master, [0] secondary master
  uint8_t lastDeviceStatus_ = kInitialDeviceStatus;
  bool receptionActive_ = false;

  std::array<uint8_t, kTransmitImageCapacity> image_{};
  std::size_t imageLength_ = 0;
  bool transmitPending_ = false;
  bool markerSent_ = false;  // the image carries the preamble marker at positions 2 and 3
  bool checksumSpoiled_ = false;
  std::optional<SentReply> imageReply_;  // the command layer's reply the image carries
  // What the image's frame is, for a capture: a reply, or a burst frame (SendFrame from outside),
  // and its comment.
  SerialFrameKind imageKind_ = SerialFrameKind::Publish;
  const char* imageComment_ = "";
  std::size_t imagePreambles_ = 0;
};

}  // namespace qln
