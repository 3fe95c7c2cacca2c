#include "base/log_sink.h"

#include "base/encodings.h"
#include "base/hart_frame.h"

namespace qln {
namespace {

// One "%02X " item.
void AppendHexItem(std::string& text, uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text += kDigits[byte >> 4];
  text += kDigits[byte & 0x0F];
  text += ' ';
}

}  // namespace

std::string TrafficLine(const Clock& clock, LogKind kind, std::string_view origin,
                        std::size_t preambles, std::span<const uint8_t> bytes) {
  std::string line = TimeStamp(clock);
  line.reserve(line.size() + 11 + origin.size() + 3 * (preambles + bytes.size()));
  line += kind == LogKind::Received ? "  <==  " : "  ==>  ";
  if (!origin.empty()) {
    line += '[';
    line += origin;
    line += "]  ";
  }
  for (std::size_t i = 0; i < preambles; ++i) AppendHexItem(line, kPreamble);
  for (uint8_t byte : bytes) AppendHexItem(line, byte);
  return line;
}

}  // namespace qln
