// The command layer's own state: in memory only, living for the whole run.
//
// The atomic fields are shared with other threads (the device status window writes the status
// mode and the user's status byte, the main window takes the refresh request, the statistics read
// the executed-command count). Every other field is read and written only while the model lock is
// held (by the command handlers and by the burst builder).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "base/burst_frame.h"
#include "device/replay_capture.h"
#include "device/sections.h"
#include "scenario/faults.h"
#include "scenario/moving_values.h"

namespace qln {

enum class StatusMode : uint8_t { Auto, Manual };

inline constexpr uint8_t kNoSpanDevice = 0xFF;
// Flashes of a row while a device squawks "on" (command 72), about one a second.
inline constexpr uint16_t kSquawkOnFlashes = 30;

// The texts of one burst message's keys (see commands/burst_messages.h).
inline constexpr std::size_t kBurstKeyCount = 16;
using BurstTexts = std::array<std::string, kBurstKeyCount>;

struct CommandState {
  CommandState() {
    FixedCurrentMode.fill(true);
    FixedCurrentMode[0] = false;  // only device 0 drives its loop current from the start
    FixedCurrentValue.fill(4.0f);
    for (auto& codes : VariableCodes) codes = {0, 1, 2, 3};
  }

  // Shared with other threads.
  std::atomic<uint16_t> ExecutedCommandCount{0};  // requests executed; wraps
  std::atomic<StatusMode> StatusReturnMode{StatusMode::Auto};
  std::atomic<uint8_t> UserStatusByte{0};   // the status byte returned in Manual mode
  std::atomic<bool> RefreshRequest{false};  // the main window should redisplay the values
  // Per device, the flashes of its row still to show for a squawk (command 72); the main window
  // counts them down.
  std::array<std::atomic<uint16_t>, kDeviceCount> SquawkFlashes{};

  // Under the model lock.
  bool DataSuppressed = false;       // the reply goes out with no data bytes
  bool ColdStartPending = true;      // reported once, by the first Auto-mode reply
  bool MoreStatusAvailable = false;  // cleared by command 48
  std::array<bool, kDeviceCount> FixedCurrentMode;
  std::array<float, kDeviceCount> FixedCurrentValue;  // mA, reported while the mode is set
  uint8_t LockState = 0;                              // lock code of command 71, 0 unlocked
  uint8_t LoopTransferFunction = 0;                   // see TransferFunction
  std::array<std::array<uint8_t, 4>, kDeviceCount> VariableCodes;  // PV, SV, TV, QV slots
  std::array<uint8_t, 4> VariableClasses{};  // classifications of the PV..QV units (command 8)
  uint8_t AnalogFixedByte = 0;  // 0xFF while command 40 holds the current fixed; command 48 byte 13
  // The device whose range the active record's Span was last computed from (kNoSpanDevice while
  // no computation has been made since start or its unit was changed).
  uint8_t SpanDevice = kNoSpanDevice;
  // Per device, the fault-section texts last reported as refused (empty: none), so that a bad
  // text is reported once, and again only after it has changed.
  std::array<FaultTexts, kDeviceCount> RefusedFaultTexts{};
  // The bad texts of the HART 7 commands' keys last reported, by "section/key", so that each is
  // reported once, and again only after it has changed.
  std::map<std::string, std::string> ReportedTexts;
  // The same for the keys of each burst message.
  std::array<std::array<BurstTexts, kBurstMessageCount>, kDeviceCount> RefusedBurstTexts{};
  // The moving process values of the devices: their motions, times and random walks.
  MovingValues Motion;
  // Per device, the capture it replays (see commands/replay_device.h): the Capture text it was
  // loaded for, the file it names and its index (none: no capture, or a refused one).
  struct Replay {
    std::string text;
    std::filesystem::path path;
    std::shared_ptr<ReplayIndex> index;
  };
  std::array<Replay, kDeviceCount> Replays{};
};

}  // namespace qln
