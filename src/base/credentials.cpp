#include "base/credentials.h"

#include <algorithm>

#include "base/encodings.h"
#include "base/hart_frame.h"

namespace qln {

bool CarriesCredentials(std::span<const uint8_t> frame) {
  if (frame.empty()) return false;
  const std::size_t countPos = CountPosition(frame[0]);
  if (frame.size() <= countPos) return false;
  const std::span<const uint8_t> data = frame.subspan(countPos + 1);
  const uint8_t command = frame[countPos - 1];
  if (command == 31) {
    return data.size() >= 2 && (Get16(data.data()) == 541 || Get16(data.data()) == 542);
  }
  return command == 77 && data.size() > 3 && CarriesCredentials(data.subspan(3));
}

std::optional<std::size_t> CredentialsShownLength(std::span<const uint8_t> request, bool reply) {
  if (!CarriesCredentials(request)) return std::nullopt;
  const std::size_t countPos = CountPosition(request[0]);
  const bool numbered = request[countPos - 1] == 31;
  return countPos + 1 + (numbered ? 2 : 0) + (reply ? 2 : 0);
}

bool WithholdCredentials(std::span<uint8_t> frame, std::size_t shown) {
  // The last byte is the checksum.
  if (frame.size() <= shown + 1) return false;
  std::fill(frame.begin() + static_cast<std::ptrdiff_t>(shown), frame.end() - 1, uint8_t{0});
  uint8_t checksum = 0;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) checksum ^= frame[i];
  frame.back() = checksum;
  return true;
}

}  // namespace qln
