// A small HART master for end-to-end runs: it opens the other end of the simulator's virtual
// port, sends requests and reads the slave frames (replies and burst frames) that come back.
//
// It behaves like a master on a real 1200 baud line: after a frame has arrived it waits until
// that frame would have finished on the wire before it talks again, since the simulator holds
// the line for that long.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qln::test {

using SteadyTime = std::chrono::steady_clock::time_point;

// The time `bytes` bytes take on a 1200 baud line, 11 bits each.
std::chrono::microseconds WireTime(std::size_t bytes);

// One slave frame as received.
struct SlaveFrame {
  std::vector<uint8_t> bytes;  // from the delimiter through the checksum
  std::size_t lineBytes = 0;   // with the bytes in front of it on the line (its preambles)
  SteadyTime firstByte;        // when the first byte of its transmission arrived

  uint8_t Delimiter() const { return bytes[0]; }
  bool IsBurst() const { return (bytes[0] & 0x07) == 0x01; }
  std::size_t CountPosition() const { return (bytes[0] & 0x80) != 0 ? 7 : 3; }
  uint8_t Command() const { return bytes[CountPosition() - 1]; }
  uint8_t ResponseCode() const { return bytes[CountPosition() + 1]; }
  uint8_t DeviceStatus() const { return bytes[CountPosition() + 2]; }
  // The reply data after the two status bytes.
  std::vector<uint8_t> Data() const;
  bool ChecksumOk() const;
};

class HartMaster {
 public:
  // Opens the virtual port's link as a raw terminal. Check Opened().
  explicit HartMaster(const std::string& link);
  ~HartMaster();
  HartMaster(const HartMaster&) = delete;
  HartMaster& operator=(const HartMaster&) = delete;

  bool Opened() const { return fd_ >= 0; }

  // Writes the bytes at once; returns when the last of them has been written, or the other end
  // has gone.
  SteadyTime Send(const std::vector<uint8_t>& bytes);

  // The next slave frame, waiting up to `timeout` for its first byte (and as long as it takes
  // for the rest). Bytes that do not form a slave frame are skipped.
  std::optional<SlaveFrame> ReadFrame(std::chrono::milliseconds timeout);

  // Sends the frame behind `preambles` preambles and returns the reply to it, skipping burst
  // frames, then waits until the reply has left the wire. Nothing when no reply came in time.
  // The default timeout is for a reply that is due: a loaded machine may take several times the
  // half second the longest (a busy reply, or a reply held by a slow command) takes.
  std::optional<SlaveFrame> Transact(const std::vector<uint8_t>& frame,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(3),
                                     std::size_t preambles = 5);

  // Waits until the frame would have finished on the wire, and a little more.
  static void WaitUntilSent(const SlaveFrame& frame);

  // Every byte that arrives within `duration`, as it comes.
  std::vector<uint8_t> ReadFor(std::chrono::milliseconds duration);
  // The bytes that have arrived once there are `count` of them, or when `timeout` has passed.
  std::vector<uint8_t> ReadBytes(std::size_t count, std::chrono::milliseconds timeout);

  // When the last request byte was written.
  SteadyTime LastSent() const { return lastSent_; }

 private:
  // Reads what is waiting, waiting up to `timeout` for something; false if nothing came.
  bool Fill(std::chrono::milliseconds timeout);

  int fd_ = -1;
  std::vector<uint8_t> pending_;  // received, not yet taken
  SteadyTime pendingSince_;       // when the first of them arrived
  SteadyTime lastSent_;
};

}  // namespace qln::test
