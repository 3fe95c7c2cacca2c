// A serial port for tests: each Read delivers what the test queued, and every other call is
// recorded in order. Safe to feed and inspect from the test thread while a worker uses it.
#pragma once

#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "serial/serial_port.h"

namespace qln::test {

class FakeSerialPort : public SerialPort {
 public:
  // Queues bytes for one Read, with the line error they arrive with. A Read with less room
  // takes the first `max` and leaves the rest, same line error, to the next Read.
  void Receive(std::vector<uint8_t> bytes, uint8_t lineError = 0) {
    std::lock_guard lock(mutex_);
    incoming_.push_back({std::move(bytes), lineError});
  }

  // From now on every Read finds the port gone, with this reason.
  void Unplug(std::string reason) {
    std::lock_guard lock(mutex_);
    goneReason_ = std::move(reason);
  }

  // What the port was asked to do, in order: "RTS 1", "DTR 0", "write 02 CF", "sent 2".
  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

  // Every byte written so far.
  std::vector<uint8_t> Written() const {
    std::lock_guard lock(mutex_);
    return written_;
  }

  // How many Reads have been made, with or without bytes.
  int Reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
  }

  ReadResult Read(uint8_t* buffer, std::size_t max) override {
    std::lock_guard lock(mutex_);
    ++reads_;
    ReadResult result;
    if (!goneReason_.empty()) {
      result.gone = true;
      result.reason = goneReason_;
      return result;
    }
    if (incoming_.empty() || max == 0) return result;
    Chunk& chunk = incoming_.front();
    result.count = std::min(max, chunk.bytes.size());
    std::copy_n(chunk.bytes.begin(), result.count, buffer);
    result.lineError = chunk.lineError;
    chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + static_cast<long>(result.count));
    if (chunk.bytes.empty()) incoming_.pop_front();
    return result;
  }

  bool Write(const uint8_t* data, std::size_t length) override {
    std::lock_guard lock(mutex_);
    std::string event = "write";
    for (std::size_t i = 0; i < length; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      event += hex;
    }
    events_.push_back(std::move(event));
    written_.insert(written_.end(), data, data + length);
    return true;
  }

  void WaitSent(std::size_t byteCount) override { Record("sent " + std::to_string(byteCount)); }
  bool SetRts(bool on) override { return Record(on ? "RTS 1" : "RTS 0"); }
  bool SetDtr(bool on) override { return Record(on ? "DTR 1" : "DTR 0"); }

 private:
  struct Chunk {
    std::vector<uint8_t> bytes;
    uint8_t lineError;
  };

  bool Record(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    return true;
  }

  mutable std::mutex mutex_;
  std::deque<Chunk> incoming_;
  std::string goneReason_;
  std::vector<std::string> events_;
  std::vector<uint8_t> written_;
  int reads_ = 0;
};

}  // namespace qln::test
