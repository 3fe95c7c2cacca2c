// A pipe of the smallest size, filled up before anyone writes to it: an output that nobody
// reads. Reading it later lets the output move again.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace qln::test {

class FullPipe {
 public:
  FullPipe() {
    if (pipe2(ends_, O_CLOEXEC) != 0) return;
    fcntl(ends_[1], F_SETPIPE_SZ, 4096);
    fcntl(ends_[1], F_SETFL, O_NONBLOCK);
    const std::string filling(4096, kFilling);
    for (std::size_t chunk = filling.size(); chunk > 0; chunk /= 2) {
      while (write(ends_[1], filling.data(), chunk) > 0) {
      }
    }
    fcntl(ends_[1], F_SETFL, 0);  // a blocking descriptor, as a program's output is
  }
  ~FullPipe() {
    for (int end : ends_) {
      if (end >= 0) close(end);
    }
  }
  FullPipe(const FullPipe&) = delete;
  FullPipe& operator=(const FullPipe&) = delete;

  bool Made() const { return ends_[1] >= 0; }
  int WriteEnd() const { return ends_[1]; }

  // What was written to the pipe, without the filling, once it ends with `last` (or what came
  // within ten seconds, a bound that only a failing test reaches).
  std::string ReadUntil(const std::string& last) const {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!got.ends_with(last) && std::chrono::steady_clock::now() < deadline) {
      pollfd readable{ends_[0], POLLIN, 0};
      if (poll(&readable, 1, 10) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(ends_[0], buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got.substr(std::min(got.find_first_not_of(kFilling), got.size()));
  }

 private:
  static constexpr char kFilling = '\x01';
  int ends_[2] = {-1, -1};
};

}  // namespace qln::test
