// The serial port on Linux: a terminal device (a UART, a USB adapter) or a virtual port.
//
// A device is opened exclusively (TIOCEXCL, and an flock that also holds against root) and set
// to 1200 baud, 8 data bits, odd parity, 1 stop bit, raw, no flow control, with parity checking
// on and errors marked in the byte stream; the marks and, where the driver keeps them, its error
// counters give each read's LineErrorCode.
//
// The virtual port "pty:<link>" is a pseudo-terminal with a symbolic link at <link> to its other
// end, where a HART master program on the same machine connects. The port keeps that other end
// open itself, so the master program may close and reopen the link at will; the link goes when
// the port closes. The link points at the port's descriptor of that end under /proc/<pid>/fd,
// so that a link a killed simulator left behind fails to open instead of leading to a terminal
// the system has given to another program since. Such a link is replaced at the next open; a
// link that a running simulator serves is refused. What waits on the port is purged before the
// link is made.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "serial/line_errors.h"
#include "serial/serial_port.h"

namespace qln {

class PosixSerialPort final : public SerialPort {
 public:
  // Opens `device`: a device path such as /dev/ttyUSB0, or pty:<link>. A failure's message is
  // the device path and the system's reason, for example "/dev/ttyS2: No such file or
  // directory"; the caller adds its own first line above it.
  static Result<std::unique_ptr<PosixSerialPort>> Open(std::string_view device);

  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  ReadResult Read(uint8_t* buffer, std::size_t max) override;
  bool Write(const uint8_t* data, std::size_t length) override;
  void WaitSent(std::size_t byteCount) override;
  bool SetRts(bool on) override;
  bool SetDtr(bool on) override;
  // Discards what waits in both directions (opening the port does it).
  void Purge();

 private:
  PosixSerialPort() = default;
  bool OpenDevice(const std::string& path, std::string& error);
  bool OpenPty(const std::string& link, std::string& error);
  bool SetModemLine(int line, bool on);

  int fd_ = -1;
  int ptySlave_ = -1;            // virtual port: its other end, held open
  std::string name_;             // the device path or link, for messages
  std::string link_;             // virtual port: the link made, removed on close
  std::string slavePath_;        // virtual port: the terminal's other end
  std::string linkTarget_;       // virtual port: where the link points
  bool pseudoTerminal_ = false;  // no modem lines to key
  bool marks_ = false;           // the byte stream carries parity marks
  bool counters_ = false;        // the driver keeps error counters
  LineErrorCounts counts_;       // the counters at the previous read
  ParityMarkDecoder decoder_;
  std::chrono::steady_clock::time_point writeStart_;
};

// Why a read finds the port gone, or nothing while it is still there. `revents` are poll()'s
// events for the port, `readError` the errno of a failed read() (0 if none failed): a hang-up,
// an error event or any read error other than "try again" means the device has gone away.
std::optional<std::string> PortGoneReason(std::string_view name, short revents, int readError);

}  // namespace qln
