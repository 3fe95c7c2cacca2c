// A strict HART master's receiver, written from the data-link rules rather than from what the
// simulator happens to send: it looks for a run of at least `minPreambles` 0xFF bytes followed by
// a slave delimiter (0x06, 0x86 acknowledge; 0x01, 0x81 burst), drops every other byte, takes the
// frame by its byte count and keeps it only when its checksum is right; after a bad frame it
// searches again from the byte after the delimiter it had taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qln::test {

struct StrictFrames {
  std::vector<std::vector<uint8_t>> frames;  // delimiter through checksum, in order
  std::size_t badFrames = 0;                 // delimiters behind preambles that gave no frame
};

StrictFrames DecodeStrictly(const std::vector<uint8_t>& line, std::size_t minPreambles);

}  // namespace qln::test
