// Where the transports hand their traffic log lines, and the form of a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace qln {

enum class LogKind : uint8_t { Received = 1, Sent = 2 };

class LogSink {
 public:
  virtual ~LogSink() = default;
  // One finished line; called on the serial worker thread, never with the model lock held.
  virtual void Log(LogKind kind, std::string line) = 0;
};

// A traffic log line: the time stamp, the arrow of its direction ("  <==  " received, "  ==>  "
// sent), "[<origin>]  " when the frame has one (a HART-IP peer, "IP 127.0.0.1:50123"; the
// serial line has none), and one "%02X " item per preamble (FF) and per byte.
std::string TrafficLine(const Clock& clock, LogKind kind, std::string_view origin,
                        std::size_t preambles, std::span<const uint8_t> bytes);

}  // namespace qln
