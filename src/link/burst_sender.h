// Burst mode on the line: the device chosen by command 109 sends the reply of each of its burst
// messages' commands, unasked, at the message's update period while the line is quiet (a device
// in HART 5/6 mode has one message, sent about once a second). The frame itself is prepared by the
// command thread (see commands/burst_frames.h); this part, on the serial worker thread, only
// times it, alternates its master bit and puts it on the line. It never takes the model lock.
#pragma once

#include <functional>

#include "base/clock.h"
#include "base/communication_counters.h"
#include "device/burst_control.h"
#include "link/serial_link.h"

namespace qln {

class BurstSender {
 public:
  // `frameUsed` is called after a prepared frame has been taken, so that the next one is
  // prepared in time (it wakes the command thread).
  BurstSender(BurstControl& burst, CommunicationCounters& counters, SerialLink& link,
              const Clock& clock, std::function<void()> frameUsed = nullptr);

  // At the start of every serial worker pass: when burst mode is on, more than a message's update
  // period has passed since its last frame and the line is quiet (no reception in progress,
  // nothing waiting to be sent), puts the message's prepared frame into the TransmitImage, with
  // the master bit alternating from frame to frame, and counts it in BurstFrameCount; one frame
  // a pass, the longest overdue message first. Until a message's frame has been prepared nothing
  // of it is sent, and its first frame follows as soon as one is.
  void BurstCheck();

 private:
  BurstControl& burst_;
  CommunicationCounters& counters_;
  SerialLink& link_;
  const Clock& clock_;
  std::function<void()> frameUsed_;
};

}  // namespace qln
