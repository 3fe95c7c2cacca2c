// The traffic log lines on their way from the serial worker to the communication log: an ordered
// queue that keeps every line, however fast frames follow each other and however long a line is.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/log_sink.h"

namespace qln {

struct LogLine {
  LogKind Kind;
  std::string Text;
};

class LogQueue final : public LogSink {
 public:
  // Any thread.
  void Log(LogKind kind, std::string line) override;
  // Any thread: every line not taken yet, oldest first; the queue is then empty.
  std::vector<LogLine> TakeAll();

 private:
  std::mutex mutex_;
  std::vector<LogLine> lines_;
};

}  // namespace qln
