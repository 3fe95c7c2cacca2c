#include "serial/line_errors.h"

namespace qln {

uint8_t LineErrorCode(const LineErrorCounts& before, const LineErrorCounts& after, bool marked) {
  // Unsigned differences stay right across a counter wrap.
  const bool framing = after.frame != before.frame || after.brk != before.brk;
  const bool overrun = after.overrun != before.overrun || after.bufOverrun != before.bufOverrun;
  const bool parity = after.parity != before.parity || (marked && !framing);
  uint8_t code = 0;
  if (framing) code = kFramingError;
  if (overrun) code |= kOverrunError;
  if (parity) code |= kParityError;
  return code;
}

ParityMarkDecoder::Decoded ParityMarkDecoder::Decode(const uint8_t* raw, std::size_t length,
                                                     uint8_t* out) {
  Decoded decoded;
  for (std::size_t i = 0; i < length; ++i) {
    const uint8_t byte = raw[i];
    switch (state_) {
      case State::Data:
        if (byte == 0xFF) {
          state_ = State::Escape;
        } else {
          out[decoded.count++] = byte;
        }
        break;
      case State::Escape:
        if (byte == 0x00) {
          state_ = State::Marked;
        } else {
          out[decoded.count++] = byte;
          decoded.marked = decoded.marked || byte != 0xFF;
          state_ = State::Data;
        }
        break;
      case State::Marked:
        out[decoded.count++] = byte;
        decoded.marked = true;
        state_ = State::Data;
        break;
    }
  }
  return decoded;
}

}  // namespace qln
