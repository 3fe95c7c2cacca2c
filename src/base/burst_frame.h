// A burst frame: the reply of a burst message's command that the bursting device sends unasked
// at the message's update period, and the hand-over of the next frames from the thread that
// builds them to the one that sends them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "base/hart_frame.h"

namespace qln {

// Burst frames of a device in HART 5/6 mode follow each other about this often, on the line and
// to HART-IP sessions; it is also the update period of a burst message until one is written.
inline constexpr uint32_t kBurstPeriodMs = 1000;

// The burst messages a device in HART 7 mode keeps (numbers 0..2); a device in HART 5/6 mode has
// message 0 only.
inline constexpr uint8_t kBurstMessageCount = 3;

// The longest burst frame: command 9 with eight device variables and its time stamp (8 header
// bytes, 2 status bytes, 69 data bytes, the checksum).
inline constexpr std::size_t kMaxBurstFrame = 80;

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

// One burst message of the bursting device as the command thread built it: its frame (none when
// its command has no frame layout), its update period, or that it is off.
struct MessageFrame {
  uint8_t message = 0;
  bool enabled = true;
  std::optional<BurstFrame> frame;
  uint32_t periodMs = kBurstPeriodMs;
};

// The next frame of each burst message, prepared by the command thread (which reads the burst
// device's data from the file under the model lock) and taken by the serial worker, which never
// waits for that lock: the lock here is held only while a frame is copied.
class PreparedBurst {
 public:
  // What the sender needs to time one message: whether a frame (or the news that its command
  // has no layout) is ready to take, and the message's update period.
  struct Timing {
    bool prepared = false;
    uint32_t periodMs = kBurstPeriodMs;
  };

  // A fresh frame of a message, or none when its command has no frame layout.
  void Put(uint8_t message, const std::optional<BurstFrame>& frame,
           uint32_t periodMs = kBurstPeriodMs) {
    if (message >= kBurstMessageCount) return;
    std::lock_guard lock(mutex_);
    slots_[message] = {frame, periodMs, true, true, false};
    planned_ = true;
  }
  // Message 0's frame: the only one of a device in HART 5/6 mode.
  void Put(const std::optional<BurstFrame>& frame) { Put(0, frame); }
  // What the command thread built: each message's frame, or that it is off.
  void Put(const std::vector<MessageFrame>& built) {
    for (const MessageFrame& m : built) {
      if (m.enabled) {
        Put(m.message, m.frame, m.periodMs);
      } else {
        Off(m.message);
      }
    }
    std::lock_guard lock(mutex_);
    planned_ = true;
  }
  // The message is off: nothing of it is sent. It is looked at again whenever another message's
  // next frame is built, so that a message switched on in the file joins in.
  void Off(uint8_t message) {
    if (message >= kBurstMessageCount) return;
    std::lock_guard lock(mutex_);
    slots_[message] = {};
    slots_[message].off = true;
    planned_ = true;
  }
  // Nothing prepared any more (the burst device or its messages changed, or the port was opened
  // again): every message is built afresh.
  void Clear() {
    std::lock_guard lock(mutex_);
    slots_ = {};
    planned_ = false;
  }
  // The messages whose next frame the command thread should build (bit n for message n): all
  // after a Clear; otherwise those whose prepared frame has been used, and with them the ones
  // that are off.
  uint8_t WantedMessages() const {
    std::lock_guard lock(mutex_);
    if (!planned_) return (1u << kBurstMessageCount) - 1;
    uint8_t used = 0;
    uint8_t off = 0;
    for (uint8_t m = 0; m < kBurstMessageCount; ++m) {
      if (slots_[m].prepared && !slots_[m].fresh) used |= static_cast<uint8_t>(1u << m);
      if (slots_[m].off) off |= static_cast<uint8_t>(1u << m);
    }
    return used == 0 ? 0 : static_cast<uint8_t>(used | off);
  }
  bool Wanted() const { return WantedMessages() != 0; }
  std::array<Timing, kBurstMessageCount> Timings() const {
    std::lock_guard lock(mutex_);
    std::array<Timing, kBurstMessageCount> timings{};
    for (uint8_t m = 0; m < kBurstMessageCount; ++m) {
      timings[m] = {slots_[m].prepared, slots_[m].periodMs};
    }
    return timings;
  }
  // The frame of the message to send now: the freshest prepared one (sent again while no
  // fresher one is ready, so that a slow disk never stops the bursts). Nothing when none was
  // prepared or its command has no layout. `prepared` tells whether anything was prepared.
  std::optional<BurstFrame> Take(uint8_t message, bool& prepared) {
    prepared = false;
    if (message >= kBurstMessageCount) return std::nullopt;
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[message];
    prepared = slot.prepared;
    slot.fresh = false;
    return slot.frame;
  }
  std::optional<BurstFrame> Take(bool& prepared) { return Take(0, prepared); }

 private:
  struct Slot {
    std::optional<BurstFrame> frame;
    uint32_t periodMs = kBurstPeriodMs;
    bool prepared = false;
    bool fresh = false;
    bool off = false;
  };
  mutable std::mutex mutex_;
  std::array<Slot, kBurstMessageCount> slots_{};
  bool planned_ = false;  // something was built since the last Clear
};

}  // namespace qln
