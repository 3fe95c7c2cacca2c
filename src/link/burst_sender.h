// Burst mode: the device chosen by command 109 sends the reply of its burst command, unasked,
// about once a second while the line is quiet. Runs on the serial worker thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "commands/command_state.h"
#include "device/config_store.h"
#include "device/device_model.h"
#include "link/clock.h"
#include "link/communication_counters.h"
#include "link/frame_receiver.h"

namespace qln {

// The longest burst frame: burst command 3.
inline constexpr std::size_t kMaxBurstFrame = 35;

struct BurstFrame {
  std::array<uint8_t, kMaxBurstFrame> bytes{};
  std::size_t length = 0;
};

class BurstSender {
 public:
  BurstSender(DeviceModel& model, ConfigStore& store, CommandState& state,
              CommunicationCounters& counters, FrameReceiver& link, const Clock& clock);

  // At the start of every serial worker pass: when burst mode is on, more than 1000 ms have
  // passed since the last burst and the line is quiet (no reception in progress, nothing waiting
  // to be sent), builds the burst frame and puts it into the TransmitImage.
  void BurstCheck();

  // The burst frame of the burst device's BurstCmdNo, counted in BurstFrameCount; nothing for a
  // burst command without a frame layout (only 1, 2, 3, 9, 33 and 48 have one). Takes the model
  // lock itself.
  std::optional<BurstFrame> BuildBurstFrame();

 private:
  DeviceModel& model_;
  ConfigStore& store_;
  CommandState& state_;
  CommunicationCounters& counters_;
  FrameReceiver& link_;
  const Clock& clock_;
};

}  // namespace qln
