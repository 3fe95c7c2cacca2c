#include "e2e/hart_master.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "link/frame_receiver.h"
#include "link/link_harness.h"

namespace qln::test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the rest of a frame may take once its first bytes are in.
constexpr milliseconds kRestOfFrame{500};

bool IsSlaveDelimiter(uint8_t byte) {
  return byte == 0x01 || byte == 0x06 || byte == 0x81 || byte == 0x86;
}

}  // namespace

std::chrono::microseconds WireTime(std::size_t bytes) {
  return std::chrono::microseconds(bytes * 11 * 1'000'000 / 1200);
}

std::vector<uint8_t> SlaveFrame::Data() const {
  const std::size_t start = CountPosition() + 3;
  return {bytes.begin() + static_cast<long>(start), bytes.end() - 1};
}

bool SlaveFrame::ChecksumOk() const {
  return FrameChecksum(bytes.data(), bytes.size() - 1) == bytes.back();
}

HartMaster::HartMaster(const std::string& link) {
  fd_ = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios settings{};
  if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
}

HartMaster::~HartMaster() {
  if (fd_ >= 0) close(fd_);
}

SteadyTime HartMaster::Send(const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd_, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
      break;  // the simulator's end has gone (it was stopped or killed)
    } else {
      pollfd writable{fd_, POLLOUT, 0};
      poll(&writable, 1, 10);
    }
  }
  lastSent_ = Clock::now();
  return lastSent_;
}

bool HartMaster::Fill(milliseconds timeout) {
  pollfd readable{fd_, POLLIN, 0};
  if (poll(&readable, 1, static_cast<int>(std::max<long>(timeout.count(), 0))) <= 0) return false;
  const SteadyTime arrived = Clock::now();
  uint8_t chunk[1024];
  const ssize_t got = read(fd_, chunk, sizeof chunk);
  if (got <= 0) return false;
  if (pending_.empty()) pendingSince_ = arrived;
  pending_.insert(pending_.end(), chunk, chunk + got);
  return true;
}

std::optional<SlaveFrame> HartMaster::ReadFrame(milliseconds timeout) {
  const SteadyTime deadline = Clock::now() + timeout;
  while (true) {
    // A slave frame starts at a slave delimiter behind a preamble.
    std::size_t start = 1;
    while (start < pending_.size() &&
           !(pending_[start - 1] == 0xFF && IsSlaveDelimiter(pending_[start]))) {
      ++start;
    }
    if (start < pending_.size()) {
      const std::size_t countPos = start + ((pending_[start] & 0x80) != 0 ? 7 : 3);
      if (countPos < pending_.size()) {
        const std::size_t end = countPos + pending_[countPos] + 2;
        if (end <= pending_.size()) {
          SlaveFrame frame;
          frame.bytes.assign(pending_.begin() + static_cast<long>(start),
                             pending_.begin() + static_cast<long>(end));
          frame.lineBytes = end;
          frame.firstByte = pendingSince_;
          pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(end));
          return frame;
        }
      }
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    const milliseconds wait = pending_.empty() ? left : std::max(left, kRestOfFrame);
    if (!Fill(wait)) return std::nullopt;
  }
}

std::optional<SlaveFrame> HartMaster::Transact(const std::vector<uint8_t>& frame,
                                               milliseconds timeout, std::size_t preambles) {
  pending_.clear();
  Send(WithPreambles(frame, preambles));
  const SteadyTime deadline = Clock::now() + timeout;
  while (true) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    std::optional<SlaveFrame> reply = ReadFrame(left);
    if (!reply) return std::nullopt;
    if (reply->IsBurst()) continue;
    WaitUntilSent(*reply);
    return reply;
  }
}

void HartMaster::WaitUntilSent(const SlaveFrame& frame) {
  std::this_thread::sleep_until(frame.firstByte + WireTime(frame.lineBytes) + milliseconds(5));
}

std::vector<uint8_t> HartMaster::ReadFor(milliseconds duration) {
  return ReadBytes(SIZE_MAX, duration);
}

std::vector<uint8_t> HartMaster::ReadBytes(std::size_t count, milliseconds timeout) {
  const SteadyTime deadline = Clock::now() + timeout;
  while (pending_.size() < count &&
         Fill(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()))) {
  }
  std::vector<uint8_t> bytes;
  bytes.swap(pending_);
  return bytes;
}

}  // namespace qln::test
