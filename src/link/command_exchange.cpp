#include "link/command_exchange.h"

#include <algorithm>

#include "base/hart_frame.h"

namespace qln {

void CommandExchange::HandOver(std::span<const uint8_t> frame, const FrameCheck& check,
                               uint8_t master) {
  const uint8_t dataCount = frame[check.CountPos];
  Master = master;
  Device = check.AddressedDevice;
  Command = check.Command;
  ByteCount = dataCount;
  std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(check.CountPos) + 1, dataCount,
              Data.begin());
  // A command layer that arms no fault and leaves no note leaves these as they are.
  Fault = ReplyFault::None;
  DelayPeriods = 0;
  Note = ReplyNote::None;
  Publish(ExchangeState::RequestPending);
}

std::optional<std::size_t> FrameExchangeReply(std::span<uint8_t> frame, std::size_t countPos,
                                              const ExchangeRecord& reply) {
  if (reply.Fault == ReplyFault::Drop) return std::nullopt;
  const std::size_t length = FrameReply(frame, countPos, reply.ResponseCode, reply.DeviceStatus,
                                        {reply.Data.data(), reply.ByteCount});
  if (reply.Fault == ReplyFault::BadChecksum) frame[length - 1] ^= kSpoiledChecksumBits;
  return length;
}

}  // namespace qln
