#include "hartip/command_backend.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "base/hart_frame.h"

namespace qln {
namespace {

std::vector<uint8_t> Bytes(std::span<const uint8_t> frame) {
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

}  // namespace

CommandBackend::CommandBackend(CommandBackendParts parts) : parts_(std::move(parts)) {}

std::optional<std::vector<uint8_t>> CommandBackend::Execute(std::span<const uint8_t> frame,
                                                            bool primaryMaster,
                                                            std::string_view peer,
                                                            DeviceMemory& memory) {
  std::lock_guard serialized(executing_);
  const std::string origin = "IP " + std::string(peer);
  parts_.log.Log(LogKind::Received, TrafficLine(parts_.clock, LogKind::Received, origin, 0, frame));
  std::optional<std::vector<uint8_t>> reply;
  const FrameCheck check =
      CheckFrame(parts_.devices.Read(), frame, 0, false, memory.addressedDevice);
  memory.addressedDevice = check.AddressedDevice;
  if (check.Accepted) reply = Answer(frame, primaryMaster, check, memory);
  if (reply) {
    parts_.log.Log(LogKind::Sent, TrafficLine(parts_.clock, LogKind::Sent, origin, 0, *reply));
  }
  AfterTraffic();
  return reply;
}

std::optional<std::vector<uint8_t>> CommandBackend::BurstFrame() {
  std::lock_guard serialized(executing_);
  std::optional<qln::BurstFrame> built = parts_.transaction.BuildBurst();
  if (!built) return std::nullopt;
  built->AlternateMasterBit(burstMasterToggle_);
  const std::span<const uint8_t> frame(built->bytes.data(), built->length);
  parts_.log.Log(LogKind::Sent, TrafficLine(parts_.clock, LogKind::Sent, "IP publish", 0, frame));
  AfterTraffic();
  return Bytes(frame);
}

// The frame is complete: its data fit the exchange, and its header and reply fit the buffer.
// The session's master type takes the master slot, whatever the frame's master bit says. An
// extra delay armed for the device does not apply: a session has no reply waits. The notes that
// follow a reply are given as it is handed to the session, which sends it at once.
std::optional<std::vector<uint8_t>> CommandBackend::Answer(std::span<const uint8_t> frame,
                                                           bool primaryMaster,
                                                           const FrameCheck& check,
                                                           DeviceMemory& memory) {
  std::array<uint8_t, kFrameCapacity> reply{};
  std::copy_n(frame.begin(), check.CountPos + 1, reply.begin());
  if (check.FrameErrors != 0) {
    // Answered with the communication-error byte and not executed, as on the line.
    return Bytes({reply.data(), FrameReply(reply, check.CountPos, check.FrameErrors,
                                           memory.lastDeviceStatus, {})});
  }
  exchange_.HandOver(frame, check, primaryMaster ? 1 : 0);
  parts_.transaction.Execute(exchange_);
  exchange_.Publish(ExchangeState::Idle);
  const std::optional<std::size_t> length = FrameExchangeReply(reply, check.CountPos, exchange_);
  if (!length) return std::nullopt;  // a dropped reply: the host hears no device
  memory.lastDeviceStatus = exchange_.DeviceStatus;
  parts_.transaction.ReplySent(exchange_.Device, exchange_.Note);
  return Bytes({reply.data(), *length});
}

void CommandBackend::AfterTraffic() {
  if (parts_.afterTraffic) parts_.afterTraffic();
}

}  // namespace qln
