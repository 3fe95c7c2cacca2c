// Test doubles of the platform services the core is given.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/console.h"
#include "base/log_sink.h"
#include "base/notifier.h"

namespace qln::test {

// Records the warnings and problems instead of showing them.
class FakeNotifier : public Notifier {
 public:
  void Warning(const std::string& text, const std::string& caption) override {
    warnings.emplace_back(text, caption);
  }
  void Problem(const std::string& text) override { problems.push_back(text); }

  std::vector<std::pair<std::string, std::string>> warnings;  // text, caption
  std::vector<std::string> problems;
};

// A clock that shows whatever the test sets.
class FakeClock : public Clock {
 public:
  uint32_t Milliseconds() const override { return milliseconds; }
  LocalTime Now() const override { return now; }

  uint32_t milliseconds = 0;
  LocalTime now{2024, 12, 31, 13, 45, 7, 89};
};

// Records the console notes, from any thread.
class RecordingConsole : public Console {
 public:
  void Note(const std::string& text) override {
    std::lock_guard lock(mutex_);
    notes_.push_back(text);
  }
  std::vector<std::string> Notes() const {
    std::lock_guard lock(mutex_);
    return notes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> notes_;
};

// Records every traffic log line in order.
class RecordingLogSink : public LogSink {
 public:
  void Log(LogKind kind, std::string line) override { lines.emplace_back(kind, std::move(line)); }
  std::vector<std::pair<LogKind, std::string>> lines;
};

}  // namespace qln::test
