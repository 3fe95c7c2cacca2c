#include "hartip/command_backend.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "base/hart_frame.h"
#include "commands/burst_frames.h"
#include "commands/command_context.h"
#include "commands/dispatcher.h"

namespace qln {
namespace {

std::string Arrow(std::string_view arrow, std::string_view peer) {
  return "  " + std::string(arrow) + "  [IP " + std::string(peer) + "]  ";
}

}  // namespace

CommandBackend::CommandBackend(CommandBackendParts parts)
    : parts_(std::move(parts)), lastDeviceStatus_(kInitialDeviceStatus) {}

std::optional<std::vector<uint8_t>> CommandBackend::Execute(std::span<const uint8_t> frame,
                                                            bool primaryMaster,
                                                            std::string_view peer) {
  std::lock_guard serialized(executing_);
  parts_.log.Log(LogKind::Received, TrafficLine(parts_.clock, Arrow("<==", peer), 0, frame));
  std::optional<std::vector<uint8_t>> reply;
  const FrameCheck check = CheckFrame(parts_.devices.Read(), frame, 0, false, addressedDevice_);
  addressedDevice_ = check.AddressedDevice;
  if (check.Accepted) reply = Answer(frame, primaryMaster, check);
  if (reply) {
    parts_.log.Log(LogKind::Sent, TrafficLine(parts_.clock, Arrow("==>", peer), 0, *reply));
  }
  if (parts_.afterTraffic) parts_.afterTraffic();
  return reply;
}

std::optional<std::vector<uint8_t>> CommandBackend::BurstFrame() {
  if (parts_.model.Burst.Enable.load(std::memory_order_acquire) == 0) return std::nullopt;
  std::lock_guard serialized(executing_);
  std::optional<qln::BurstFrame> built;
  {
    CommandContext context{parts_.model, parts_.store, exchange_,
                           parts_.state, parts_.clock, parts_.counters};
    std::lock_guard lock(parts_.model.Lock);
    built = BuildBurstFrame(context);
  }
  if (!built) return std::nullopt;
  built->AlternateMasterBit(burstMasterToggle_);
  std::vector<uint8_t> frame(built->bytes.begin(),
                             built->bytes.begin() + static_cast<std::ptrdiff_t>(built->length));
  parts_.log.Log(LogKind::Sent, TrafficLine(parts_.clock, Arrow("==>", "publish"), 0, frame));
  if (parts_.afterTraffic) parts_.afterTraffic();
  return frame;
}

// The frame is complete: its data fit the exchange, and its header and reply fit the buffer.
// The session's master type takes the master slot, whatever the frame's master bit says. A fault
// armed for the device applies as on the line: a dropped reply is none (the host hears no
// device), a spoiled checksum goes out spoiled; an extra delay does not apply (no reply waits).
std::optional<std::vector<uint8_t>> CommandBackend::Answer(std::span<const uint8_t> frame,
                                                           bool primaryMaster,
                                                           const FrameCheck& check) {
  const std::size_t countPos = check.CountPos;
  std::array<uint8_t, kFrameCapacity> reply{};
  std::copy_n(frame.begin(), countPos + 1, reply.begin());
  if (check.FrameErrors != 0) {
    // Answered with the communication-error byte and not executed, as on the line.
    const std::size_t length =
        FrameReply(reply, countPos, check.FrameErrors, lastDeviceStatus_, {});
    return std::vector<uint8_t>(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length));
  }
  exchange_.Master = primaryMaster ? 1 : 0;
  exchange_.Device = check.AddressedDevice;
  exchange_.Command = check.Command;
  exchange_.ByteCount = frame[countPos];
  std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(countPos) + 1, exchange_.ByteCount,
              exchange_.Data.begin());
  exchange_.Publish(ExchangeState::RequestPending);
  CommandContext context{parts_.model, parts_.store, exchange_,
                         parts_.state, parts_.clock, parts_.counters};
  Dispatch(context, check.AddressedDevice);
  exchange_.Publish(ExchangeState::Idle);
  if (exchange_.Fault == ReplyFault::Drop) return std::nullopt;
  lastDeviceStatus_ = exchange_.DeviceStatus;
  const std::size_t length =
      FrameReply(reply, countPos, exchange_.ResponseCode, exchange_.DeviceStatus,
                 {exchange_.Data.data(), exchange_.ByteCount});
  if (exchange_.Fault == ReplyFault::BadChecksum) reply[length - 1] ^= kSpoiledChecksumBits;
  return std::vector<uint8_t>(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace qln
