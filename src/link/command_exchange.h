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

struct ExchangeRecord {
  // The device the request was accepted for. The command is executed for this device, not for
  // whatever device a later frame addressed before the command thread took the request, and a
  // parked reply answers only a frame for the same device.
  uint8_t Device = 0;
  uint8_t Command = 0;
  uint8_t ByteCount = 0;              // request data bytes on hand-over, reply data bytes on return
  std::array<uint8_t, 255> Data{};    // request data, replaced in place by the reply data
  uint8_t ResponseCode = 0;
  uint8_t DeviceStatus = 0;
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
