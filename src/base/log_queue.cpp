#include "base/log_queue.h"

#include <utility>

namespace qln {

void LogQueue::Log(LogKind kind, std::string line) {
  std::lock_guard lock(mutex_);
  lines_.push_back({kind, std::move(line)});
}

std::vector<LogLine> LogQueue::TakeAll() {
  std::vector<LogLine> taken;
  std::lock_guard lock(mutex_);
  taken.swap(lines_);
  return taken;
}

}  // namespace qln
