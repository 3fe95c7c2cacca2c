// The HART link layer of the simulated devices. It turns the bytes of the serial line into
// master frames, decides which device must answer, hands accepted requests to the command layer
// through the CommandExchange, and frames exactly one slave reply per accepted frame into the
// TransmitImage: an error reply at once, the command layer's reply when it comes in time, or a
// busy reply.
//
// Sans-I/O: the serial worker feeds it every received byte and a tick for every empty 10 ms
// poll, transmits the TransmitImage when one is pending and then reports TransmissionDone. No
// threads, descriptors or sleeping here; all methods run on the serial worker thread unless they
// say otherwise.
//
// The receive side lives in frame_receiver.cpp, the reply stage in reply_stage.cpp.
//
// Sharing the CommandExchange with the command thread: each side acts only in its own states and
// sets the state last. The link writes the record only in Idle (HandOverRequest, to
// RequestPending) and reads it only in ReplyReady (ParkReply, back to Idle); the dispatcher
// executes only in RequestPending and publishes ReplyReady last. An ignored frame therefore drops
// a finished reply that was not parked yet, but never takes back a request the command layer may
// be executing: that one is answered, parked at the next frame end or reply wait, and sent to a
// retry of the same master and command or dropped there.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/communication_counters.h"
#include "base/hart_frame.h"
#include "base/link_view.h"
#include "base/log_sink.h"
#include "link/command_exchange.h"

namespace qln {

// Preambles in front of a transmitted frame; larger ResPreableNum values are clamped to this.
inline constexpr std::size_t kMaxPreambles = 255;
// Every frame SendFrame accepts, behind the most preambles, fits.
inline constexpr std::size_t kTransmitImageCapacity = kMaxPreambles + kFrameCapacity;

class FrameReceiver {
 public:
  // `devices` is what the link knows of the devices, published by the threads that change
  // them; the link never takes the model lock. Every frame end is counted in
  // counters.ReceivedFrameCount.
  FrameReceiver(const PublishedLinkView& devices, CommandExchange& exchange,
                CommunicationCounters& counters, const Clock& clock, LogSink& log);
  FrameReceiver(const FrameReceiver&) = delete;
  FrameReceiver& operator=(const FrameReceiver&) = delete;

  // One received byte with the line-error code of the read that brought it (0, or an OR of
  // 0x90 framing, 0xA0 overrun, 0xC0 parity).
  void ReceiveByte(uint8_t byte, uint8_t lineError);
  // One poll that found no bytes. Two in a row after the last byte end a frame.
  void Tick();

  // Set by the serial worker after every read that returned bytes; cleared by an ignored frame
  // and by TransmissionDone. Burst frames are held back while it is set.
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
  // ReceptionActive, and logs the image (with a preamble marker set back to 0xFF).
  void TransmissionDone();

  // Puts the frame behind the preambles of AddressedDevice into the TransmitImage and marks it
  // pending. Refuses (false, nothing changes) a frame longer than kFrameCapacity.
  bool SendFrame(const uint8_t* frame, std::size_t length);

  // The port has been opened: no reception in progress (bursts are not held back), timer
  // stopped, exchange and both parked replies Idle, nothing to transmit. Call it while no
  // command thread runs.
  void ResetForOpen();

  // The device selected by the last address match; readable from any thread.
  uint8_t AddressedDevice() const { return addressedDevice_.load(std::memory_order_relaxed); }
  // Device status of the last reply that carried the command layer's status bytes.
  uint8_t LastDeviceStatus() const { return lastDeviceStatus_; }

 private:
  enum class ReceivePhase : uint8_t { WaitPreamble, SecondPreamble, WaitDelimiter, InFrame };
  enum class TimerPhase : uint8_t { Stopped, FrameEndWait, ReplyWait };

  // Receive side (frame_receiver.cpp).
  void CountPreamble();
  void StartFrame(uint8_t delimiter, uint8_t lineError);
  void StoreByte(uint8_t byte, uint8_t lineError);
  bool InAddressingPart(std::size_t storedCount) const;
  void StartTimer(uint8_t ticks, TimerPhase phase);
  void StopTimer();
  void FrameEndWaitExpired();
  bool CheckFrame();
  void IgnoreFrame();
  void DropUnparkedReply();
  void LogTraffic(LogKind kind, std::string_view arrow, std::size_t preambles,
                  std::span<const uint8_t> bytes);

  // Reply stage (reply_stage.cpp).
  void AnswerFrame();
  void ReplyWaitExpired();
  bool SlotAnswersFrame(const MasterReplySlot& slot) const;
  void SendParkedReply(MasterReplySlot& slot);
  void HandOverRequest();
  void ParkReply();
  void BuildDefaultReply();
  void AppendParkedReply(MasterReplySlot& slot);
  void SendReply();

  const PublishedLinkView& devices_;
  CommandExchange& exchange_;
  CommunicationCounters& counters_;
  const Clock& clock_;
  LogSink& log_;

  // The frame being received, later overwritten in place by its reply.
  std::array<uint8_t, kFrameCapacity> frame_{};
  std::size_t count_ = 0;  // frame bytes stored, delimiter included
  ReceivePhase phase_ = ReceivePhase::WaitPreamble;
  uint8_t preambleCount_ = 0;
  uint8_t frameErrors_ = 0;
  bool headerDamaged_ = false;
  uint8_t master_ = 0;  // 1 primary, 0 secondary
  uint8_t frameCommand_ = 0;
  std::size_t countPos_ = kShortCountPos;

  uint8_t timerCountdown_ = 0;
  TimerPhase timerPhase_ = TimerPhase::Stopped;

  std::atomic<uint8_t> addressedDevice_{0};
  bool receptionActive_ = false;

  std::array<MasterReplySlot, 2> slots_{};  // [1] primary master, [0] secondary master
  std::size_t replyLength_ = 0;
  uint8_t replyWaitRetries_ = 0;
  uint8_t lastDeviceStatus_ = kInitialDeviceStatus;

  std::array<uint8_t, kTransmitImageCapacity> image_{};
  std::size_t imageLength_ = 0;
  bool transmitPending_ = false;
  bool markerSent_ = false;  // the image carries the preamble marker at positions 2 and 3
  bool checksumSpoiled_ = false;
};

}  // namespace qln
