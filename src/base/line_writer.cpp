#include "base/line_writer.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

namespace qln {

namespace {

// How often a writer waiting for its output looks whether it has been told to give up.
constexpr int kPollMilliseconds = 20;

// A descriptor for `fd`'s pipe or terminal that never blocks, or -1 for anything else (a regular
// file does not keep a writer waiting) or when it cannot be had (a pipe without a reader).
// Setting O_NONBLOCK on `fd` itself would change it for every process that shares it, the
// shell among them.
int OpenNonBlocking(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))) {
    return -1;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

void BoundedLines::Push(std::string line) {
  if (lines_.size() == capacity_) {
    lines_.pop_front();
    ++lost_;
  }
  lines_.push_back(std::move(line));
}

std::vector<std::string> BoundedLines::Take() {
  std::vector<std::string> taken;
  taken.reserve(lines_.size() + 1);
  if (lost_ > 0) taken.push_back(LostLinesNotice(lost_));
  std::move(lines_.begin(), lines_.end(), std::back_inserter(taken));
  lines_.clear();
  lost_ = 0;
  return taken;
}

void BoundedLines::Clear() {
  lines_.clear();
  lost_ = 0;
}

std::string LostLinesNotice(std::size_t count) {
  // Appended piece by piece: g++ 12 warns falsely about "(" + std::string in optimised builds.
  std::string notice = "(";
  notice += std::to_string(count);
  notice += count == 1 ? " line" : " lines";
  notice += " lost: the output was not read in time)";
  return notice;
}

LineWriter::LineWriter(int fd, std::size_t capacity, FailureHandler onFailure)
    : fd_(fd), onFailure_(std::move(onFailure)), lines_(capacity) {
  if (const int own = OpenNonBlocking(fd); own >= 0) {
    fd_ = own;
    ownFd_ = true;
  }
  try {
    thread_ = std::thread(&LineWriter::Run, this);
  } catch (...) {
    if (ownFd_) close(fd_);
    throw;
  }
}

LineWriter::~LineWriter() {
  Stop();
  if (ownFd_) close(fd_);
}

void LineWriter::Push(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || ended_) return;
    lines_.Push(std::move(line));
  }
  changed_.notify_all();
}

void LineWriter::Stop(std::chrono::milliseconds grace) {
  if (!thread_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
    if (!changed_.wait_for(lock, grace, [this] { return ended_; })) abandon_ = true;
  }
  thread_.join();
}

void LineWriter::Run() {
  // A write to a pipe without a reader fails with EPIPE here, whatever the program does with
  // SIGPIPE: the signal, aimed at this thread, stays pending and dies with it.
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);

  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || !lines_.Empty(); });
    if (lines_.Empty()) break;  // stopping, and everything written
    std::string text;
    for (const std::string& line : lines_.Take()) text.append(line).push_back('\n');
    lock.unlock();
    const Outcome outcome = Write(text);
    lock.lock();
    if (outcome != Outcome::Written) break;
  }
  lines_.Clear();
  ended_ = true;
  changed_.notify_all();
}

LineWriter::Outcome LineWriter::Write(const std::string& text) {
  std::string_view rest = text;
  while (!rest.empty()) {
    // At most PIPE_BUF bytes at a time: a pipe that reports room takes that much at once.
    const ssize_t written = write(fd_, rest.data(), std::min<std::size_t>(rest.size(), PIPE_BUF));
    if (written > 0) {
      rest.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      if (onFailure_) onFailure_(std::generic_category().message(errno));
      return Outcome::Failed;
    }
    pollfd writable{fd_, POLLOUT, 0};
    poll(&writable, 1, kPollMilliseconds);
    std::lock_guard lock(mutex_);
    if (abandon_) return Outcome::Abandoned;
  }
  return Outcome::Written;
}

}  // namespace qln
