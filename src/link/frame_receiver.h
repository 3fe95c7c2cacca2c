// The receive side of the serial link: the bytes of the line become master frames. Preambles
// (at least two 0xFF) and a delimiter open a frame, and two empty polls after its last byte end
// it; the ended frame is counted, logged ("<==") and checked (CheckFrame): it names an enabled
// simulated device, or is ignored.
//
// Sans-I/O: fed the bytes of every read and every empty poll; no threads, descriptors or clocks
// of its own. It runs on the serial worker thread (see serial_link.h, which joins it to the
// reply stage).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/capture_sink.h"
#include "base/clock.h"
#include "base/communication_counters.h"
#include "base/hart_frame.h"
#include "base/link_view.h"
#include "base/log_sink.h"
#include "link/frame_match.h"

namespace qln {

// What a frame's communication-error bits say, for a capture's comment ("line error: parity,
// checksum"); empty without errors.
std::string LineErrorComment(uint8_t frameErrors);

// A frame that silence has ended, as checked.
struct ReceivedFrame {
  // The frame's bytes from the delimiter on, as stored (bytes after the checksum included); valid
  // until the next byte is received.
  std::span<const uint8_t> bytes;
  // Whether a device answers it, which one, and the errors it carries (line errors, an
  // overflow, a checksum mismatch).
  FrameCheck check;
};

class FrameReceiver {
 public:
  // `devices` is what the link knows of the devices, published by the threads that change
  // them; the link never takes the model lock. Every frame end is counted in
  // counters.ReceivedFrameCount, and handed to `capture` (when given) with its line errors.
  FrameReceiver(const PublishedLinkView& devices, CommunicationCounters& counters,
                const Clock& clock, LogSink& log, CaptureSink* capture = nullptr);
  FrameReceiver(const FrameReceiver&) = delete;
  FrameReceiver& operator=(const FrameReceiver&) = delete;

  // The bytes of one read, each with the read's line-error code (0, or an OR of 0x90 framing,
  // 0xA0 overrun, 0xC0 parity). Every byte restarts the silence that ends a frame.
  void Receive(std::span<const uint8_t> bytes, uint8_t lineError);
  // One poll that found no bytes. The second in a row after the last byte ends the frame, which
  // is returned; nothing otherwise.
  std::optional<ReceivedFrame> Tick();
  // Nothing received, no frame in progress (the port has been opened).
  void Reset();

  // The device selected by the last address match; readable from any thread.
  uint8_t AddressedDevice() const { return addressedDevice_.load(std::memory_order_relaxed); }

 private:
  enum class Phase : uint8_t { WaitPreamble, SecondPreamble, WaitDelimiter, InFrame };

  void ReceiveByte(uint8_t byte, uint8_t lineError);
  void CountPreamble();
  void StartFrame(uint8_t delimiter, uint8_t lineError);
  void StoreByte(uint8_t byte, uint8_t lineError);
  bool InAddressingPart(std::size_t storedCount) const;
  ReceivedFrame EndFrame();

  const PublishedLinkView& devices_;
  CommunicationCounters& counters_;
  const Clock& clock_;
  LogSink& log_;
  CaptureSink* capture_;

  std::array<uint8_t, kFrameCapacity> frame_{};
  std::size_t count_ = 0;  // frame bytes stored, delimiter included
  Phase phase_ = Phase::WaitPreamble;
  uint8_t preambleCount_ = 0;
  uint8_t frameErrors_ = 0;
  bool headerDamaged_ = false;
  uint8_t silentPolls_ = 0;  // empty polls left until the frame ends; 0: none pending
  std::atomic<uint8_t> addressedDevice_{0};
};

}  // namespace qln
