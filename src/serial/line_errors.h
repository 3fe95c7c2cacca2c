// Line errors of the serial port, turned into the LineErrorCode that goes with every byte of a
// read: 0, or an OR of 0x90 (framing), 0xA0 (overrun) and 0xC0 (parity), the HART
// communication-error bits.
//
// Two sources feed it. The terminal driver, with parity checking on and PARMRK set (and IGNPAR
// and ISTRIP off), marks a byte that arrived with a parity or framing error as 0xFF 0x00 byte and
// doubles a real 0xFF to 0xFF 0xFF; ParityMarkDecoder undoes that. Where the driver offers them,
// the error counters of TIOCGICOUNT tell framing, overrun and parity errors apart.
// Everything here is free of I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qln {

inline constexpr uint8_t kFramingError = 0x90;
inline constexpr uint8_t kOverrunError = 0xA0;
inline constexpr uint8_t kParityError = 0xC0;

// A snapshot of a driver's error counters (TIOCGICOUNT). The counters only grow and may wrap.
struct LineErrorCounts {
  uint32_t frame = 0;
  uint32_t overrun = 0;     // the UART's receive FIFO overflowed
  uint32_t bufOverrun = 0;  // the driver's buffer overflowed
  uint32_t parity = 0;
  uint32_t brk = 0;  // a break: the line held low past the stop bit
};

// The LineErrorCode of a read. `before` and `after` are the counters at the previous read and at
// this one (pass the same snapshot twice for a driver without counters); `marked` says that a
// byte of this read carried a parity or framing mark. Framing (or a break, a framing error that
// lasts) gives 0x90; overrun ORs 0xA0; parity ORs 0xC0. The driver marks framing and parity errors
// alike, so a mark is taken as a parity error unless the counters show it was framing.
uint8_t LineErrorCode(const LineErrorCounts& before, const LineErrorCounts& after, bool marked);

// Undoes the driver's parity marking of the byte stream, carrying a mark that a read cut in two
// over to the next read.
class ParityMarkDecoder {
 public:
  struct Decoded {
    std::size_t count = 0;  // data bytes written to out
    bool marked = false;    // one of them arrived with a parity or framing error
  };

  // Decodes `length` raw bytes into `out`, which may be `raw` itself: the result is never longer
  // than the input. 0xFF 0xFF gives the data byte 0xFF; 0xFF 0x00 x gives the data byte x,
  // marked. The driver produces no other sequence after 0xFF; should one come, 0xFF x is taken
  // as a damaged x (marked) rather than passed on as two good bytes.
  Decoded Decode(const uint8_t* raw, std::size_t length, uint8_t* out);

  // Forgets a partial mark, for when the waiting input has been discarded.
  void Reset() { state_ = State::Data; }

 private:
  enum class State : uint8_t { Data, Escape, Marked };  // after nothing, 0xFF, 0xFF 0x00
  State state_ = State::Data;
};

}  // namespace qln
