// The communication statistics: command 95's (counted on the serial worker thread, read on the
// command thread) and the HART-IP I/O system's view of the loop its sub-devices share (counted by
// the one transaction path of every transport, read by commands 85 and 86). The 16-bit counts
// wrap, as the commands report them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "base/device_index.h"

namespace qln {

// One sub-device's frames: requests addressed to it (STX), its replies (ACK), its burst frames
// (BACK).
struct DeviceTraffic {
  std::atomic<uint16_t> Stx{0};
  std::atomic<uint16_t> Ack{0};
  std::atomic<uint16_t> Back{0};
};

struct CommunicationCounters {
  std::atomic<uint16_t> ReceivedFrameCount{0};  // frame ends seen by the receiver (STX count)
  std::atomic<uint16_t> BurstFrameCount{0};     // burst frames built (BACK count)

  // The loop as the I/O system sees it: its own requests (from HART-IP) and their replies (STX,
  // ACK), another master's (the serial line) and theirs (OSTX, OACK), burst frames (BACK).
  std::atomic<uint16_t> LoopStx{0};
  std::atomic<uint16_t> LoopAck{0};
  std::atomic<uint16_t> LoopOstx{0};
  std::atomic<uint16_t> LoopOack{0};
  std::atomic<uint16_t> LoopBack{0};
  std::array<DeviceTraffic, kDeviceCount> Devices;

  // Requests answered since start, every transport together: serial frames replied to, HART-IP
  // frames and Direct PDU commands (a tunnelled frame is one, its command 77). For the
  // instance's status; does not wrap.
  std::atomic<uint64_t> Served{0};
};

// Counts one more; the count wraps at 2^16.
inline void Count(std::atomic<uint16_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qln
