// Lines on their way to an output that may stall or fail, such as the headless program's standard
// output, which nobody may be reading: a bounded queue drained by a writer thread of its own, so
// that whoever hands over a line never waits for the output.
//
// When the queue is full the oldest line is dropped; once the output takes lines again, a single
// line in their place says how many were lost. When a write fails (the reader has gone), the
// output stops for good: the failure is reported once and later lines are dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qln {

// The queue itself; not shared between threads on its own.
class BoundedLines {
 public:
  explicit BoundedLines(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

  // Adds a line at the end, dropping the oldest when the queue is full.
  void Push(std::string line);
  // Every line waiting, oldest first, behind the line that tells how many were dropped since
  // the last take (when any were); the queue is then empty.
  std::vector<std::string> Take();
  bool Empty() const { return lines_.empty(); }
  // Drops every line waiting, counting none of them as lost.
  void Clear();

 private:
  std::size_t capacity_;
  std::deque<std::string> lines_;
  std::size_t lost_ = 0;
};

// "(N lines lost: the output was not read in time)", the line that stands for N dropped lines.
std::string LostLinesNotice(std::size_t count);

class LineWriter {
 public:
  // Receives the reason a write failed ("Broken pipe"), once, on the writer thread.
  using FailureHandler = std::function<void(const std::string& reason)>;

  // Writes lines to `fd`, which stays the caller's and must stay open while the writer runs.
  // A pipe or a terminal is written through a non-blocking descriptor of the writer's own.
  // Starts the writer thread (it inherits the calling thread's signal mask); throws
  // std::system_error when it cannot.
  LineWriter(int fd, std::size_t capacity, FailureHandler onFailure);
  // Stop() with its default grace.
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Any thread; never waits for the output. `line` is written with a line feed after it.
  void Push(std::string line);
  // Ends the writer: the lines waiting are written if the output takes them within `grace`,
  // the rest are dropped. Returns within about `grace` whatever the output does. The owning
  // thread; later lines are dropped.
  void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(100));

 private:
  enum class Outcome : uint8_t { Written, Failed, Abandoned };
  void Run();
  Outcome Write(const std::string& text);

  int fd_;
  bool ownFd_ = false;
  FailureHandler onFailure_;

  std::mutex mutex_;
  std::condition_variable changed_;  // lines came, a stop was asked, or the writer ended
  BoundedLines lines_;
  bool stopping_ = false;
  bool abandon_ = false;  // the grace has passed: give up on an output that takes nothing
  bool ended_ = false;    // the writer thread has nothing more to do
  std::thread thread_;
};

}  // namespace qln
