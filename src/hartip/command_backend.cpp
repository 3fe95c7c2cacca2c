#include "hartip/command_backend.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "base/credentials.h"
#include "base/encodings.h"
#include "base/hart_frame.h"
#include "commands/dispatcher.h"

namespace qln {
namespace {

std::vector<uint8_t> Bytes(std::span<const uint8_t> frame) {
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

// The traffic log line of a request (`frame` is `request`) or of its reply. A request that
// carries client credentials and its reply are shown only up to their byte count (a 31's
// 16-bit command number included), whatever the frame reached: the log never holds a key or
// password.
std::string LoggedLine(const Clock& clock, LogKind kind, std::string_view origin,
                       std::span<const uint8_t> request, std::span<const uint8_t> frame) {
  const std::optional<std::size_t> shown = CredentialsShownLength(request, kind == LogKind::Sent);
  if (!shown) return TrafficLine(clock, kind, origin, 0, frame);
  std::string line =
      TrafficLine(clock, kind, origin, 0, frame.first(std::min(*shown, frame.size())));
  if (line.ends_with(' ')) line.pop_back();  // the last byte's separator
  return line + "  (credentials withheld)";
}

}  // namespace

CommandBackend::CommandBackend(CommandBackendParts parts)
    : parts_(std::move(parts)), io_(parts_.transaction, parts_.counters, parts_.devices) {
  exchange_.FromNetwork = true;
}

std::optional<std::vector<uint8_t>> CommandBackend::Execute(std::span<const uint8_t> frame,
                                                            bool primaryMaster,
                                                            std::string_view peer,
                                                            SessionMemory& memory) {
  std::lock_guard serialized(executing_);
  const std::string origin = "IP " + std::string(peer);
  parts_.log.Log(LogKind::Received,
                 LoggedLine(parts_.clock, LogKind::Received, origin, frame, frame));
  std::optional<std::vector<uint8_t>> reply = ServesFlat()
                                                  ? ToDevice(frame, primaryMaster, memory.devices)
                                                  : Route(frame, primaryMaster, peer, memory);
  if (reply) {
    parts_.log.Log(LogKind::Sent, LoggedLine(parts_.clock, LogKind::Sent, origin, frame, *reply));
    parts_.counters.Served.fetch_add(1, std::memory_order_relaxed);
  }
  AfterTraffic();
  return reply;
}

DirectAnswer CommandBackend::ExecuteDirect(uint16_t command, std::span<const uint8_t> data,
                                           bool primaryMaster, std::string_view peer,
                                           SessionMemory& memory) {
  std::lock_guard serialized(executing_);
  IoSystem::Answer answer = io_.Execute(command, data, Tunnel(primaryMaster, peer, memory), memory);
  parts_.counters.Served.fetch_add(1, std::memory_order_relaxed);
  AfterTraffic();
  return {answer.responseCode, std::move(answer.data)};
}

uint8_t CommandBackend::DirectStatus() {
  std::lock_guard serialized(executing_);
  return io_.DeviceStatus();
}

Publications CommandBackend::BurstFrames(uint32_t nowMs) {
  std::lock_guard serialized(executing_);
  Publications due;
  for (qln::BurstFrame& built :
       parts_.transaction.BuildDueBursts(nowMs, burstSchedule_, due.waitMs)) {
    built.AlternateMasterBit(burstMasterToggle_);
    const std::span<const uint8_t> frame(built.bytes.data(), built.length);
    parts_.log.Log(LogKind::Sent, TrafficLine(parts_.clock, LogKind::Sent, "IP publish", 0, frame));
    due.frames.push_back(Publication{built.device, Bytes(frame)});
  }
  if (!due.frames.empty()) AfterTraffic();
  return due;
}

hartip::SecuritySettings CommandBackend::Security() {
  const std::vector<std::string> texts =
      parts_.transaction.WithStore([](DeviceModel&, ConfigStore& store) {
        return store.ReadWholeKeys(hartip::kSecuritySection, hartip::SecurityKeyNames());
      });
  return hartip::ParseSecuritySettings(texts);
}

// The I/O system's view: poll address 0, the I/O system's long address, and a broadcast 11 or
// 21 naming it reach the I/O system; other long addresses reach the devices directly; other poll
// addresses reach nobody.
std::optional<std::vector<uint8_t>> CommandBackend::Route(std::span<const uint8_t> frame,
                                                          bool primaryMaster, std::string_view peer,
                                                          SessionMemory& memory) {
  const bool longFrame = (frame[0] & kLongFrameBit) != 0;
  const std::size_t countPos = CountPosition(frame[0]);
  if (!longFrame) {
    if ((frame[1] & kAddressMask) != 0) return std::nullopt;
    return ToIoSystem(frame, countPos, primaryMaster, peer, memory);
  }
  std::array<uint8_t, 5> address{};
  std::copy_n(frame.begin() + 1, address.size(), address.begin());
  address[0] &= kAddressMask;
  const uint8_t command = frame[countPos - 1];
  const bool broadcast =
      std::all_of(address.begin(), address.end(), [](uint8_t b) { return b == 0; });
  // An enabled device's own address goes straight to it: the I/O system's identity is read from
  // the file only for the frames no device claims.
  const LinkView view = parts_.devices.Read();
  const bool aDevice =
      std::any_of(view.Devices.begin(), view.Devices.end(), [&](const LinkDevice& device) {
        std::array<uint8_t, 5> own = device.LongAddress;
        own[0] &= kAddressMask;
        return device.Enabled && own == address;
      });
  if (!broadcast && aDevice) return ToDevice(frame, primaryMaster, memory.devices);
  if (address == io_.LongAddress() ||
      (broadcast && io_.NamedBy(command, frame.subspan(countPos + 1, frame[countPos])))) {
    return ToIoSystem(frame, countPos, primaryMaster, peer, memory);
  }
  return ToDevice(frame, primaryMaster, memory.devices);
}

std::optional<std::vector<uint8_t>> CommandBackend::ToDevice(std::span<const uint8_t> frame,
                                                             bool primaryMaster,
                                                             DeviceMemory& memory) {
  const FrameCheck check =
      CheckFrame(parts_.devices.Read(), frame, 0, false, memory.addressedDevice);
  memory.addressedDevice = check.AddressedDevice;
  if (!check.Accepted) return std::nullopt;
  return Answer(frame, primaryMaster, check, memory);
}

std::optional<std::vector<uint8_t>> CommandBackend::ToIoSystem(std::span<const uint8_t> frame,
                                                               std::size_t countPos,
                                                               bool primaryMaster,
                                                               std::string_view peer,
                                                               SessionMemory& memory) {
  std::array<uint8_t, kFrameCapacity> reply{};
  std::copy_n(frame.begin(), countPos + 1, reply.begin());
  const std::size_t end = countPos + 1 + frame[countPos];
  if (FrameChecksum(frame.data(), end) != frame[end]) {
    return Bytes(
        {reply.data(), FrameReply(reply, countPos, kChecksumError, io_.DeviceStatus(), {})});
  }
  const IoSystem::Answer answer =
      io_.Execute(frame[countPos - 1], frame.subspan(countPos + 1, frame[countPos]),
                  Tunnel(primaryMaster, peer, memory), memory);
  return Bytes({reply.data(), FrameReply(reply, countPos, answer.responseCode, answer.deviceStatus,
                                         answer.data)});
}

// A sub-device's frame from the I/O system, logged as tunnelled, answered as a frame sent to the
// device directly.
IoSystem::Tunnel CommandBackend::Tunnel(bool primaryMaster, std::string_view peer,
                                        SessionMemory& memory) {
  return [this, primaryMaster, origin = "IP " + std::string(peer) + " tunnelled",
          &memory](std::span<const uint8_t> frame) {
    parts_.log.Log(LogKind::Received,
                   LoggedLine(parts_.clock, LogKind::Received, origin, frame, frame));
    std::optional<std::vector<uint8_t>> reply = ToDevice(frame, primaryMaster, memory.devices);
    if (reply) {
      parts_.log.Log(LogKind::Sent, LoggedLine(parts_.clock, LogKind::Sent, origin, frame, *reply));
    }
    return reply;
  };
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
  memory.wrote = memory.wrote || ChangesConfiguration(exchange_.Command);
  parts_.transaction.ReplySent(exchange_.Device, exchange_.Note);
  return Bytes({reply.data(), *length});
}

void CommandBackend::AfterTraffic() {
  if (parts_.afterTraffic) parts_.afterTraffic();
}

}  // namespace qln
