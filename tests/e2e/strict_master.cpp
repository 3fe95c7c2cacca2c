#include "e2e/strict_master.h"

#include "base/hart_frame.h"

namespace qln::test {
namespace {

bool IsSlaveDelimiter(uint8_t byte) {
  return byte == 0x06 || byte == 0x86 || byte == 0x01 || byte == 0x81;
}

}  // namespace

StrictFrames DecodeStrictly(const std::vector<uint8_t>& line, std::size_t minPreambles) {
  StrictFrames result;
  std::size_t preambles = 0;
  std::size_t i = 0;
  while (i < line.size()) {
    const uint8_t byte = line[i];
    if (byte == 0xFF) {
      ++preambles;
      ++i;
      continue;
    }
    if (preambles < minPreambles || !IsSlaveDelimiter(byte)) {
      preambles = 0;  // not a frame start: the search begins again
      ++i;
      continue;
    }
    preambles = 0;
    const std::size_t countPos = i + ((byte & 0x80) != 0 ? 7 : 3);
    const std::size_t end =
        countPos < line.size() ? countPos + line[countPos] + 2 : line.size() + 1;
    if (end <= line.size() && FrameChecksum(&line[i], end - i - 1) == line[end - 1]) {
      result.frames.emplace_back(line.begin() + static_cast<std::ptrdiff_t>(i),
                                 line.begin() + static_cast<std::ptrdiff_t>(end));
      i = end;
    } else {
      ++result.badFrames;
      ++i;
    }
  }
  return result;
}

}  // namespace qln::test
