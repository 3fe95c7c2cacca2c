// The serial line as the serial worker uses it: read what is waiting together with its line
// errors, write and wait until sent, key the line with RTS and DTR, discard pending data.
// The port is open for the object's whole life; destroying it closes the port. One thread at a
// time uses a port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qln {

struct ReadResult {
  std::size_t count = 0;  // data bytes placed in the buffer
  uint8_t lineError = 0;  // LineErrorCode of these bytes: 0, or an OR of 0x90, 0xA0, 0xC0
  bool gone = false;      // the port has gone away (an adapter unplugged); nothing more will come
  std::string reason;     // why it is gone: device path and cause
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Takes up to `max` bytes that are waiting now; never blocks. A count of 0 means the line was
  // silent since the previous read.
  virtual ReadResult Read(uint8_t* buffer, std::size_t max) = 0;

  // Starts sending `length` bytes, forgetting the line errors seen so far. False when the
  // bytes could not be handed to the driver (within a second).
  virtual bool Write(const uint8_t* data, std::size_t length) = 0;

  // Returns once the last of `byteCount` bytes, written by the preceding Write, has left the
  // wire, so that the transmitter may be released.
  virtual void WaitSent(std::size_t byteCount) = 0;

  // Raise (true) or drop (false) the modem lines. False when the port refused.
  virtual bool SetRts(bool on) = 0;
  virtual bool SetDtr(bool on) = 0;
};

}  // namespace qln
