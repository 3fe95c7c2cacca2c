#include "link/frame_match.h"

#include <algorithm>

#include "base/hart_frame.h"

namespace qln {
namespace {

constexpr std::size_t kLongDataPos = kLongCountPos + 1;
constexpr std::size_t kTagNameBytes = 6;
constexpr std::size_t kLongTagBytes = 32;

// The lowest enabled device whose long address equals the frame's, the master and burst bits
// left out; kNoDevice without one.
uint8_t MatchLongAddress(const LinkView& view, std::span<const uint8_t> frame) {
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    const LinkDevice& d = view.Devices[device];
    if (d.Enabled && (d.LongAddress[0] & kAddressMask) == (frame[1] & kAddressMask) &&
        std::equal(d.LongAddress.begin() + 1, d.LongAddress.end(), frame.begin() + 2)) {
      return device;
    }
  }
  return kNoDevice;
}

bool IsBroadcastAddress(std::span<const uint8_t> frame) {
  return (frame[1] & kAddressMask) == 0 &&
         std::all_of(frame.begin() + 2, frame.begin() + 6, [](uint8_t b) { return b == 0; });
}

// Command 11 names the device by its tag: the matched device's tag must be the requested one;
// without a match only the broadcast address is answered, by the device addressed before.
bool TagNameMatches(const LinkView& view, std::span<const uint8_t> frame, uint8_t match,
                    uint8_t addressed) {
  if (frame.size() < kLongDataPos + kTagNameBytes + 1 || frame[kLongCountPos] < kTagNameBytes) {
    return false;
  }
  if (match == kNoDevice) return IsBroadcastAddress(frame) && view.Devices[addressed].Enabled;
  const auto& tag = view.Devices[match].TagName;
  return std::equal(tag.begin(), tag.end(), frame.begin() + kLongDataPos);
}

// Command 21 names the device by its long tag, compared with the 32 data bytes the frame itself
// carries (a shorter request matches nothing).
bool LongTagMatches(const LinkView& view, std::span<const uint8_t> frame, uint8_t addressed) {
  if (frame[kLongCountPos] < kLongTagBytes || frame.size() < kLongDataPos + kLongTagBytes) {
    return false;
  }
  const LinkDevice& d = view.Devices[addressed];
  return d.Enabled && std::equal(d.LongTag.begin(), d.LongTag.end(), frame.begin() + kLongDataPos);
}

bool CheckLongFrame(const LinkView& view, std::span<const uint8_t> frame, FrameCheck& check) {
  if (frame.size() < kLongDataPos + 1) return false;
  const uint8_t match = MatchLongAddress(view, frame);
  if (match != kNoDevice) check.AddressedDevice = match;
  check.Command = frame[6];
  check.CountPos = kLongCountPos;
  switch (check.Command) {
    case kReadTagCommand:
      return TagNameMatches(view, frame, match, check.AddressedDevice);
    case kReadLongTagCommand:
      return LongTagMatches(view, frame, check.AddressedDevice);
    default:
      return match != kNoDevice;
  }
}

bool CheckShortFrame(const LinkView& view, std::span<const uint8_t> frame, FrameCheck& check) {
  // Short frames serve command 0 only.
  if (frame[2] != 0) return false;
  const uint8_t pollAddress = frame[1] & kAddressMask;
  if (pollAddress >= kDeviceCount || !view.Devices[pollAddress].Enabled) return false;
  check.AddressedDevice = pollAddress;
  check.Command = 0;
  check.CountPos = kShortCountPos;
  return true;
}

}  // namespace

FrameCheck CheckFrame(const LinkView& view, std::span<const uint8_t> frame, uint8_t frameErrors,
                      bool headerDamaged, uint8_t addressedDevice) {
  FrameCheck check;
  check.AddressedDevice = addressedDevice < kDeviceCount ? addressedDevice : 0;
  check.FrameErrors = frameErrors;
  if (frame.size() < 5) return check;
  check.Master = frame[1] >> 7;
  if (headerDamaged) return check;
  if ((frame[0] & kFrameTypeMask) != kFrameTypeStx) return check;
  const bool addressed = (frame[0] & kLongFrameBit) != 0 ? CheckLongFrame(view, frame, check)
                                                         : CheckShortFrame(view, frame, check);
  if (!addressed) return check;
  const std::size_t checksumPos = check.CountPos + frame[check.CountPos] + 1;
  if (frame.size() < checksumPos + 1) return check;
  check.Accepted = true;
  // A frame with line errors is answered with those; its checksum says nothing more.
  if (frameErrors == 0 && FrameChecksum(frame.data(), checksumPos) != frame[checksumPos]) {
    check.FrameErrors |= kChecksumError;
  }
  return check;
}

}  // namespace qln
