// The communication statistics that command 95 reports; counted on the serial worker thread,
// read on the command thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace qln {

struct CommunicationCounters {
  std::atomic<uint16_t> ReceivedFrameCount{0};  // frame ends seen by the receiver (STX count)
  std::atomic<uint16_t> BurstFrameCount{0};     // burst frames built (BACK count)
};

}  // namespace qln
