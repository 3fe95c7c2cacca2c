// The request/reply record between a transport (the serial link on its worker thread, a HART-IP
// session on the server's thread) and the command dispatcher, the parked replies of the serial
// line's two masters, and the framing of a reply from the record.
//
// Ownership: the transport writes the record only while the state is Idle and reads it only in
// ReplyReady; the dispatcher writes it only in RequestPending. Each side writes the state last
// (release) and reads it first (acquire), so the fields are complete when the state is seen.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "link/frame_match.h"

namespace qln {

enum class ExchangeState : uint8_t { Idle = 0, RequestPending = 1, ReplyReady = 2 };

// What the link does to a reply besides framing it, as the command layer decided for a fault the
// device's configuration armed. A fault reply answers once: the frame it was made for, or (when
// it came too late, after the busy reply) that frame's retry; it is never sent again.
enum class ReplyFault : uint8_t {
  None = 0,
  Drop,         // nothing goes on the line, and no busy reply either
  BadChecksum,  // the reply goes out with its checksum made wrong on purpose
};

// A console note that follows a reply once it has been sent (the device did what the command
// asked for).
enum class ReplyNote : uint8_t { None = 0, SelfTest, Reset, Squawk };

struct ExchangeRecord {
  // The device the request was accepted for. The command is executed for this device, not for
  // whatever device a later frame addressed before the command thread took the request, and a
  // parked reply answers only a frame for the same device.
  uint8_t Device = 0;
  uint8_t Command = 0;
  uint8_t ByteCount = 0;            // request data bytes on hand-over, reply data bytes on return
  std::array<uint8_t, 255> Data{};  // request data, replaced in place by the reply data
  uint8_t ResponseCode = 0;
  uint8_t DeviceStatus = 0;
  ReplyFault Fault = ReplyFault::None;
  // Reply waits (of 10 ticks) the reply is held beyond the one at which it would leave. While
  // it is held no busy reply goes out: it is ready, only late on purpose.
  uint8_t DelayPeriods = 0;
  ReplyNote Note = ReplyNote::None;
};

struct CommandExchange : ExchangeRecord {
  uint8_t Master = 0;  // master bit of the request: 1 primary, 0 secondary
  // The exchange belongs to the HART-IP sessions, not to the serial line: its traffic counts as
  // the I/O system's own on the loop (see CommunicationCounters). Set once by the owner.
  bool FromNetwork = false;

  ExchangeState LoadState() const { return state_.load(std::memory_order_acquire); }
  // Publishes every field written before it to the other side.
  void Publish(ExchangeState state) { state_.store(state, std::memory_order_release); }

  // Hands the request of an accepted frame (`frame` from the delimiter on, checked as `check`) to
  // the command layer, from `master` (1 primary, 0 secondary): device, command and data, no
  // fault and no note yet, then RequestPending. Only in Idle.
  void HandOver(std::span<const uint8_t> frame, const FrameCheck& check, uint8_t master);

 private:
  std::atomic<ExchangeState> state_{ExchangeState::Idle};
};

// A finished reply parked for a retry of the same master; touched by the serial worker only.
struct MasterReplySlot : ExchangeRecord {
  ExchangeState State = ExchangeState::Idle;
};

// Frames the reply the command layer left in `reply` in place of the request in `frame` (its
// delimiter, address and command, the byte count at `countPos`), as every transport sends it:
// with the fault the record carries, nothing for a dropped reply and a checksum made wrong
// (kSpoiledChecksumBits) for a bad-checksum fault. Returns the reply's length.
std::optional<std::size_t> FrameExchangeReply(std::span<uint8_t> frame, std::size_t countPos,
                                              const ExchangeRecord& reply);

}  // namespace qln
