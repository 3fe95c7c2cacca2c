// The link layer of the serial line: the receiver (frame_receiver.h) and the reply stage
// (reply_stage.h) joined, as the serial worker drives them. Every read of the line goes in,
// bytes or none: a read that finds none is one empty poll, which times the end of a frame and
// the reply wait. What comes out is the TransmitImage, put on the line by the worker, and the
// traffic log lines.
//
// Sans-I/O: no threads, descriptors or sleeping here; everything runs on the serial worker
// thread unless it says otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/clock.h"
#include "base/communication_counters.h"
#include "base/link_view.h"
#include "base/log_sink.h"
#include "link/command_exchange.h"
#include "link/frame_receiver.h"
#include "link/reply_stage.h"

namespace qln {

class SerialLink {
 public:
  // `devices` is what the link knows of the devices, published by the threads that change them;
  // the link never takes the model lock.
  SerialLink(const PublishedLinkView& devices, CommandExchange& exchange,
             CommunicationCounters& counters, const Clock& clock, LogSink& log,
             CaptureSink* capture = nullptr);

  // One read of the line: its bytes, each with the read's line-error code (0, or an OR of 0x90
  // framing, 0xA0 overrun, 0xC0 parity); no bytes: a poll that found the line silent. Returns
  // what happened that the worker must act on: a request handed to the command layer, a reply
  // waiting to be sent, or nothing.
  LinkEvent Receive(std::span<const uint8_t> bytes, uint8_t lineError);

  // Puts a frame (a burst frame) behind the preambles of AddressedDevice into the TransmitImage.
  // Refuses (false, nothing changes) a frame longer than kFrameCapacity.
  bool SendFrame(std::span<const uint8_t> frame) {
    return replies_.SendFrame(frame, receiver_.AddressedDevice());
  }
  bool ReceptionActive() const { return replies_.ReceptionActive(); }
  bool TransmitPending() const { return replies_.TransmitPending(); }
  std::span<const uint8_t> TransmitImage() const { return replies_.TransmitImage(); }
  bool TransmitChecksumSpoiled() const { return replies_.TransmitChecksumSpoiled(); }
  std::optional<SentReply> TransmissionDone() { return replies_.TransmissionDone(); }

  // The port has been opened: nothing received, no reply wait, exchange and parked replies Idle,
  // nothing to transmit. Call it while no command thread runs.
  void ResetForOpen();

  // The device selected by the last address match; readable from any thread.
  uint8_t AddressedDevice() const { return receiver_.AddressedDevice(); }
  uint8_t LastDeviceStatus() const { return replies_.LastDeviceStatus(); }

 private:
  FrameReceiver receiver_;
  ReplyStage replies_;
};

}  // namespace qln
