// Where the link layer hands its traffic log lines.
#pragma once

#include <cstdint>
#include <string>

namespace qln {

enum class LogKind : uint8_t { Received = 1, Sent = 2 };

class LogSink {
 public:
  virtual ~LogSink() = default;
  // One finished line; called on the serial worker thread, never with the model lock held.
  virtual void Log(LogKind kind, std::string line) = 0;
};

}  // namespace qln
