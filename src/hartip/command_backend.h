// The HART-IP sessions' way into the simulated devices: a token-passing PDU's frame is matched to
// a device as the serial receiver matches a frame, executed by the same command dispatcher under
// the same model lock against the same file, and its reply framed by the same function as the
// serial reply stage, so both transports answer with the same bytes.
//
// It has a CommandExchange of its own (the serial link's stays the link's) and executes one frame
// at a time, as soon as it comes: no reply wait. Requests and replies go into the traffic log,
// marked with the session's peer: "  <==  [IP 127.0.0.1:50123]  " and "  ==>  [IP ...]  ".
#pragma once

#include <functional>
#include <mutex>
#include <optional>

#include "commands/command_state.h"
#include "device/config_store.h"
#include "device/device_model.h"
#include "hartip/hartip_server.h"
#include "link/clock.h"
#include "link/command_exchange.h"
#include "link/communication_counters.h"
#include "link/log_sink.h"

namespace qln {

// How a frame (delimiter .. checksum, no preambles) finds its device.
struct FrameTarget {
  uint8_t device = 0;
  bool checksumOk = true;
};
// The device a frame addresses, or nothing when no enabled device answers it.
using FrameMatcher = std::function<std::optional<FrameTarget>(std::span<const uint8_t> frame)>;

struct CommandBackendLinks {
  DeviceModel& model;
  ConfigStore& store;
  CommandState& state;
  const Clock& clock;
  const CommunicationCounters& counters;
  LogSink& log;
  FrameMatcher match;
  // Called after each frame's log lines have been handed to the log (may be empty).
  std::function<void()> afterTraffic;
};

class CommandBackend final : public HartIpBackend {
 public:
  explicit CommandBackend(CommandBackendLinks links);

  // Any thread; one frame at a time. The frame must be complete (the codec's IsCompleteFrame).
  std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame, bool primaryMaster,
                                              std::string_view peer) override;

 private:
  std::vector<uint8_t> Answer(std::span<const uint8_t> frame, bool primaryMaster,
                              const FrameTarget& target);

  CommandBackendLinks links_;
  std::mutex executing_;
  CommandExchange exchange_;
  // Device status of the last reply that carried the command layer's status bytes; a reply to a
  // damaged frame repeats it, as on the line.
  uint8_t lastDeviceStatus_ = 0;
};

}  // namespace qln
