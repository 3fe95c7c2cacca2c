#include "base/hart_frame.h"

#include <algorithm>

namespace qln {

// Data beyond what the count field can announce is left out.
std::size_t FrameReply(std::span<uint8_t> frame, std::size_t countPos, uint8_t responseCode,
                       uint8_t deviceStatus, std::span<const uint8_t> data) {
  const std::size_t dataCount = std::min(data.size(), kMaxReplyData);
  frame[0] |= kReplyDelimiterBits;
  frame[1] &= static_cast<uint8_t>(~kBurstBit);
  frame[countPos] = static_cast<uint8_t>(dataCount + 2);
  frame[countPos + 1] = responseCode;
  frame[countPos + 2] = deviceStatus;
  std::copy_n(data.begin(), dataCount, frame.begin() + static_cast<std::ptrdiff_t>(countPos) + 3);
  const std::size_t length = countPos + 4 + dataCount;
  frame[length - 1] = FrameChecksum(frame.data(), length - 1);
  return length;
}

}  // namespace qln
