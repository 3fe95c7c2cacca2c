// The K-3056 converter module on the HART line: it switches between four channels and takes two
// ASCII commands, "#C5" + channel digit + CR (set the channel) and "#C6" + CR (get the channel),
// whose answer carries the active channel's digit in its fifth byte.
//
// The operator interface posts a request; the serial worker sends it, awaits the answer and, for
// a get-channel request, leaves the reported channel for the command thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace qln {

// The module's command codes: "#C5<channel>\r" sets the channel, "#C6\r" reads it.
inline constexpr uint8_t kConverterSetChannel = 5;
inline constexpr uint8_t kConverterGetChannel = 6;
enum class ConverterState : uint8_t { Idle, ToSend, Awaiting };
inline constexpr uint8_t kConverterChannels = 4;

struct ConverterRequest {
  // Idle, then ToSend (set by Post), Awaiting (command sent) and back to Idle (answer read or
  // given up). The serial worker acts on the state alone.
  std::atomic<ConverterState> State{ConverterState::Idle};
  uint8_t Code = 0;     // kConverterSetChannel or kConverterGetChannel
  uint8_t Channel = 0;  // 0..3, for kConverterSetChannel

  // Posts a request when none is under way (false otherwise): code and channel are in place
  // before the state says there is something to send. One posting thread.
  bool Post(uint8_t code, uint8_t channel) {
    if (State.load(std::memory_order_acquire) != ConverterState::Idle) return false;
    Code = code;
    Channel = channel;
    State.store(ConverterState::ToSend, std::memory_order_release);
    return true;
  }
};

// The channel the module reported, until the command thread takes it.
struct ConverterChannelReport {
  std::atomic<uint8_t> Channel{0};
  std::atomic<bool> Ready{false};

  void Report(uint8_t channel) {
    Channel.store(channel, std::memory_order_relaxed);
    Ready.store(true, std::memory_order_release);
  }
  std::optional<uint8_t> Take() {
    if (!Ready.exchange(false, std::memory_order_acquire)) return std::nullopt;
    return Channel.load(std::memory_order_relaxed);
  }
};

}  // namespace qln
