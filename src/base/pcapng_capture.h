// Captures of the traffic as pcapng files (capture_format.h says what they hold): the file writer
// with its size limit, the packets made of serial frames and HART-IP bytes, and the capture that
// takes frames from the transports without ever making them wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "base/capture_sink.h"
#include "base/clock.h"
#include "base/result.h"

namespace qln {

// The n-th file of a capture: FILE.pcapng, then FILE.1.pcapng, FILE.2.pcapng, ...
std::filesystem::path CaptureFilePath(const std::filesystem::path& first, std::size_t index);

// A HART-IP token-passing message (version 1, status 0) carrying the frame.
std::vector<uint8_t> TokenPassingMessage(SerialFrameKind type, uint16_t sequence,
                                         std::span<const uint8_t> frame);

// A pcapng file of raw IPv4 packets: section header, one interface, enhanced packet blocks.
// Once a file has reached the size limit the next packet opens the next numbered file (each file
// a complete capture); a file holds at least one packet, whatever the limit.
class PcapngFile {
 public:
  PcapngFile() = default;
  ~PcapngFile() { Close(); }
  PcapngFile(const PcapngFile&) = delete;
  PcapngFile& operator=(const PcapngFile&) = delete;

  // Creates (or replaces) the first file; the failure names it.
  Result<> Open(const std::filesystem::path& path, uint64_t limitBytes);
  // One packet, its time stamp in microseconds since 1970 UTC and a comment (none when empty).
  // A failure names the file; the file is then closed and later writes fail.
  Result<> Write(int64_t epochMicroseconds, std::span<const uint8_t> packet,
                 std::string_view comment);
  Result<> Flush();
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  // Files started so far (1 after Open).
  std::size_t Files() const { return index_ + 1; }

 private:
  Result<> Start(std::size_t index);
  Result<> Put(const std::vector<uint8_t>& block);

  std::filesystem::path first_;
  uint64_t limit_ = 0;
  std::FILE* file_ = nullptr;
  std::size_t index_ = 0;
  uint64_t size_ = 0;
  std::size_t packets_ = 0;  // in the current file
};

// Turns the transports' frames into the packets of a capture, in the order they come: UDP
// datagrams of the serial line's frames with their own sequence numbers, HART-IP datagrams as
// they were, TCP segments numbered per direction of each connection. Client credentials in
// HART-IP messages are zeroed (see credentials.h), the packet's comment then says so.
class CapturePackets {
 public:
  struct Packet {
    std::vector<uint8_t> bytes;
    std::string comment;
  };
  Packet Serial(SerialFrameKind kind, std::span<const uint8_t> frame, std::string_view comment);
  Packet HartIp(const HartIpFlow& flow, bool toServer, std::vector<uint8_t> bytes);

 private:
  // What is known of one direction of a stream: how far into a HART-IP message the next byte is.
  struct StreamPosition {
    std::size_t remaining = 0;  // bytes of the current message still to come
    bool withhold = false;      // the current message's remaining bytes are zeroed
  };
  struct FlowState {
    uint32_t sequence[2] = {1, 1};  // next TCP sequence number: [0] from the host, [1] to it
    StreamPosition position[2];
    // Sequence numbers of requests that carried credentials, with how much of their replies may
    // be shown.
    std::deque<std::pair<uint16_t, std::size_t>> withheldReplies;
  };
  bool Withhold(FlowState& state, bool toServer, std::span<uint8_t> bytes);

  uint16_t serialSequence_ = 0;
  uint16_t ipIdentification_ = 0;
  std::map<std::tuple<uint32_t, uint16_t, uint32_t, uint16_t, bool>, FlowState> flows_;
};

// The capture the simulator runs: what the transports hand over is copied into a bounded queue
// and written by a thread of its own, so a slow or full disk never holds up the line. When the
// queue is full a frame is dropped and counted, and the packet of the next frame queued says how
// many were lost just before it (those dropped after the last frame are reported as a problem at
// Stop). A file that cannot be written ends the capture; the problem is reported once.
class PcapngCapture final : public CaptureSink {
 public:
  // Receives a problem (a file that could not be written, frames dropped at the end), on the
  // writer thread.
  using ProblemHandler = std::function<void(const std::string& problem)>;
  static constexpr std::size_t kQueueBytes = 8 << 20;

  PcapngCapture(const Clock& clock, ProblemHandler onProblem);
  ~PcapngCapture() { Stop(); }
  PcapngCapture(const PcapngCapture&) = delete;
  PcapngCapture& operator=(const PcapngCapture&) = delete;

  // Opens the first file and starts the writer; a running capture is stopped first. The failure
  // names the file. The owning thread, as Stop.
  Result<> Start(const std::filesystem::path& path, uint64_t limitBytes);
  // Writes what is queued, closes the file and ends the writer.
  void Stop();
  // Frames dropped since Start because the writer did not keep up. Any thread.
  std::size_t Dropped() const;

  bool Capturing() const override { return running_.load(std::memory_order_acquire); }
  void SerialFrame(SerialFrameKind kind, std::span<const uint8_t> frame,
                   std::string_view comment) override;
  void HartIp(const HartIpFlow& flow, bool toServer, std::span<const uint8_t> bytes) override;

 private:
  struct Event {
    int64_t time = 0;
    bool serial = false;
    SerialFrameKind kind = SerialFrameKind::Request;
    HartIpFlow flow;
    bool toServer = false;
    std::vector<uint8_t> bytes;
    std::string comment;
    std::size_t droppedBefore = 0;  // frames dropped between this one and the one queued before
  };
  void Push(Event event);
  void Run();

  const Clock& clock_;
  ProblemHandler onProblem_;
  PcapngFile file_;         // writer thread, once started
  CapturePackets packets_;  // writer thread, once started
  std::atomic<bool> running_{false};

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> queue_;
  std::size_t queuedBytes_ = 0;
  std::size_t dropped_ = 0;     // since Start
  std::size_t unreported_ = 0;  // dropped since the last frame queued
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qln
