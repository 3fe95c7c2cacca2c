// The HART-IP sessions' way into the simulated devices: a token-passing PDU's frame is matched to
// a device by the serial receiver's frame check (on the link's published view of the devices)
// and goes the one transaction path of every transport (commands/transaction.h): the same
// dispatcher under the same model lock against the same file, the same faults, the same framing
// and the same notes, so both transports answer a frame with the same bytes.
//
// It has a CommandExchange of its own (the serial link's stays the link's) and executes one frame
// at a time, as soon as it comes: no reply wait. Requests and replies go into the traffic log,
// marked with the session's peer: "  <==  [IP 127.0.0.1:50123]  " and "  ==>  [IP ...]  ". A
// frame that carries client credentials (command 31 with 541 or 542) and its reply are logged
// only up to the 16-bit command number, then "  (credentials withheld)".
//
// What a frame reaches depends on the view served (HartIpView in the system section, taken when
// the server starts):
//   I/O system (the default)  poll address 0 and the I/O system's long address reach the I/O
//       system (io_system.h); a long address of a device reaches the device directly, as hosts
//       address sub-devices WirelessHART-style; short frames at poll addresses 1..63 reach no
//       device. A sub-device's frame inside command 77 is logged as its own request and reply,
//       marked "tunnelled": "  <==  [IP 127.0.0.1:50123 tunnelled]  ".
//   flat  poll address N is device N, as on the serial line, for rigs built before the I/O
//       system.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

#include "base/clock.h"
#include "base/link_view.h"
#include "base/log_sink.h"
#include "commands/transaction.h"
#include "hartip/hartip_backend.h"
#include "hartip/io_system.h"
#include "link/command_exchange.h"
#include "link/frame_match.h"

namespace qln {

struct CommandBackendParts {
  Transaction& transaction;
  const Clock& clock;
  LogSink& log;
  // What the link knows of the devices: a frame is matched to a device on it, as on the line.
  const PublishedLinkView& devices;
  CommunicationCounters& counters;  // read by the I/O system; Served counted here
  // Called after each frame's log lines have been handed to the log (may be empty).
  std::function<void()> afterTraffic;
};

class CommandBackend final : public HartIpBackend {
 public:
  explicit CommandBackend(CommandBackendParts parts);

  // Any thread; one frame at a time. The frame must be complete (the codec's IsCompleteFrame).
  std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame, bool primaryMaster,
                                              std::string_view peer,
                                              SessionMemory& memory) override;
  DirectAnswer ExecuteDirect(uint16_t command, std::span<const uint8_t> data, bool primaryMaster,
                             std::string_view peer, SessionMemory& memory) override;
  uint8_t DirectStatus() override;
  // The burst device's frame as the serial line would carry it, built now from the file, its
  // master bit alternating from one published frame to the next; logged as published.
  Publications BurstFrames(uint32_t nowMs) override;
  // Read from the file under the model lock.
  hartip::SecuritySettings Security() override;

  // Flat: poll address N is device N; otherwise the I/O system is served. Any thread.
  void ServeFlat(bool flat) { flat_.store(flat, std::memory_order_relaxed); }
  bool ServesFlat() const { return flat_.load(std::memory_order_relaxed); }

 private:
  std::optional<std::vector<uint8_t>> Route(std::span<const uint8_t> frame, bool primaryMaster,
                                            std::string_view peer, SessionMemory& memory);
  std::optional<std::vector<uint8_t>> ToDevice(std::span<const uint8_t> frame, bool primaryMaster,
                                               DeviceMemory& memory);
  std::optional<std::vector<uint8_t>> ToIoSystem(std::span<const uint8_t> frame,
                                                 std::size_t countPos, bool primaryMaster,
                                                 std::string_view peer, SessionMemory& memory);
  IoSystem::Tunnel Tunnel(bool primaryMaster, std::string_view peer, SessionMemory& memory);
  std::optional<std::vector<uint8_t>> Answer(std::span<const uint8_t> frame, bool primaryMaster,
                                             const FrameCheck& check, DeviceMemory& memory);
  void AfterTraffic();

  CommandBackendParts parts_;
  std::mutex executing_;
  CommandExchange exchange_;
  IoSystem io_;
  std::atomic<bool> flat_{false};
  uint8_t burstMasterToggle_ = 0;
  Transaction::BurstSchedule burstSchedule_;
};

}  // namespace qln
