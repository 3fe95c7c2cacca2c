// What the link layer knows of the sixteen devices: for each one whether it answers, its long
// address, its tag and long tag, and how many preambles go in front of its replies; and whether
// the line carries the old preamble marker.
//
// The serial worker must never wait for the model lock, which the command thread holds across
// file work. So whoever changes the model publishes this view when it releases the lock
// (ModelLock does it), and the worker copies the view under a lock held only for that copy.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "base/device_index.h"

namespace qln {

struct LinkDevice {
  bool Enabled = false;                  // DevEnable is 1
  std::array<uint8_t, 5> LongAddress{};  // MfrID, MfrDevType, DevIDNo (3 bytes, MSB first)
  std::array<uint8_t, 6> TagName{};      // TagName of section 013, packed
  std::array<uint8_t, 32> LongTag{};     // LongTag1..LongTag32 of section 020
  uint8_t Preambles = 0;                 // ResPreableNum, at most 255
};

struct LinkView {
  std::array<LinkDevice, kDeviceCount> Devices;
  // PreambleMarker of the system section: replies carry 0x02 0xCF at line positions 2 and 3.
  bool PreambleMarker = false;
};

// The last published view. Any thread; the lock is held only while the view is copied.
class PublishedLinkView {
 public:
  void Publish(const LinkView& view) {
    std::lock_guard lock(mutex_);
    view_ = view;
  }
  LinkView Read() const {
    std::lock_guard lock(mutex_);
    return view_;
  }

 private:
  mutable std::mutex mutex_;
  LinkView view_;
};

}  // namespace qln
