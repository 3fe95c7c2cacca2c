// A burst frame: the reply of the burst device's burst command that it sends unasked about once
// a second, and the hand-over of the next one from the thread that builds it to the one that
// sends it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "base/hart_frame.h"

namespace qln {

// Burst frames follow each other about this often, on the line and to HART-IP sessions.
inline constexpr uint32_t kBurstPeriodMs = 1000;

// The longest burst frame: burst command 3.
inline constexpr std::size_t kMaxBurstFrame = 35;

struct BurstFrame {
  std::array<uint8_t, kMaxBurstFrame> bytes{};
  std::size_t length = 0;
  uint8_t device = 0;  // the device that bursts it

  // Alternates the master bit from one sent frame to the next (`toggle` is the sender's own,
  // 0 at first, so the first frame carries master bit 0), keeping the checksum right.
  void AlternateMasterBit(uint8_t& toggle) {
    toggle ^= kMasterBit;
    bytes[1] ^= toggle;
    bytes[length - 1] ^= toggle;  // the checksum follows the changed bit
  }
};

// The next burst frame, prepared by the command thread (which reads the burst device's data from
// the file under the model lock) and taken by the serial worker, which never waits for that
// lock: the lock here is held only while a frame is copied.
class PreparedBurst {
 public:
  // A fresh frame, or none when the burst command has no frame layout.
  void Put(const std::optional<BurstFrame>& frame) {
    std::lock_guard lock(mutex_);
    frame_ = frame;
    prepared_ = true;
    fresh_ = true;
  }
  // Nothing prepared any more (the burst device changed, or the port was opened again).
  void Clear() {
    std::lock_guard lock(mutex_);
    frame_.reset();
    prepared_ = false;
    fresh_ = false;
  }
  // Whether the command thread should prepare the next frame: nothing is prepared, or the
  // prepared one has been used.
  bool Wanted() const {
    std::lock_guard lock(mutex_);
    return !fresh_;
  }
  // The frame to send now: the freshest prepared one (sent again while no fresher one is ready,
  // so that a slow disk never stops the bursts). Nothing when none was prepared or the burst
  // command has no layout. `prepared` tells whether anything was prepared at all.
  std::optional<BurstFrame> Take(bool& prepared) {
    std::lock_guard lock(mutex_);
    prepared = prepared_;
    fresh_ = false;
    return frame_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<BurstFrame> frame_;
  bool prepared_ = false;
  bool fresh_ = false;
};

}  // namespace qln
