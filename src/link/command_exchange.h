// The request/reply record between the link layer (serial worker thread) and the command
// dispatcher (command thread), and the parked replies of the two masters.
//
// Ownership: the link layer writes the record only while the state is Idle and reads it only in
// ReplyReady; the dispatcher writes it only in RequestPending. Each side writes the state last
// (release) and reads it first (acquire), so the fields are complete when the state is seen.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

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
};

struct CommandExchange : ExchangeRecord {
  uint8_t Master = 0;  // master bit of the request: 1 primary, 0 secondary

  ExchangeState LoadState() const { return state_.load(std::memory_order_acquire); }
  // Publishes every field written before it to the other side.
  void Publish(ExchangeState state) { state_.store(state, std::memory_order_release); }

 private:
  std::atomic<ExchangeState> state_{ExchangeState::Idle};
};

// A finished reply parked for a retry of the same master; touched by the serial worker only.
struct MasterReplySlot : ExchangeRecord {
  ExchangeState State = ExchangeState::Idle;
};

}  // namespace qln
