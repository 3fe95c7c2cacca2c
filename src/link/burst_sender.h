// Burst mode on the line: the device chosen by command 109 sends the reply of its burst command,
// unasked, about once a second while the line is quiet. The frame itself is prepared by the
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

  // At the start of every serial worker pass: when burst mode is on, more than 1000 ms have
  // passed since the last burst and the line is quiet (no reception in progress, nothing waiting
  // to be sent), puts the prepared burst frame into the TransmitImage, with the master bit
  // alternating from frame to frame, and counts it in BurstFrameCount. Until a frame has been
  // prepared nothing is sent, and the first frame follows as soon as one is.
  void BurstCheck();

 private:
  BurstControl& burst_;
  CommunicationCounters& counters_;
  SerialLink& link_;
  const Clock& clock_;
  std::function<void()> frameUsed_;
};

}  // namespace qln
