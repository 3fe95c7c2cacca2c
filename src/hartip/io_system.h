// Quillon over HART-IP as HART-IP hosts look for devices: an I/O system at poll address 0, a
// HART 7 protocol bridge (flags bit 0x04, device profile 68) with the enabled simulated devices
// behind it as its sub-devices, all on one card and one channel (they share one loop, as on the
// serial line), indexed 1..N in poll-address order.
//
// Its identity lives in the file's section "HTDev_IOSystem", written with defaults the first time
// the I/O system answers while the file lacks it, so an operator can edit it like any other
// section. It answers:
//    0, 11, 21  identity (11 and 21 by its tag and long tag)   7, 8  loop configuration
//    12, 13, 16, 20  message, tag/descriptor/date, final assembly number, long tag
//    15  device information (no analog channel)   38  reset configuration changed
//    48  additional status: standardized status 2 bit 0x01 "sub-device list changed"
//    74  I/O system capabilities   75  poll sub-device   77  send command to sub-device
//    84  sub-device identity summary   85  I/O channel statistics   86  sub-device statistics
//    87, 88  master mode, retry count (stored in the file)
//    532, 533  a session's publish subscriptions
//    541, 542  a client's password or pre-shared key and identity, written to the file's
//              security section (security_settings.h) by the security manager only
// and 64 "not implemented" to anything else. A frame reaches the 16-bit commands through command
// 31: its data start with the 16-bit number, and so do its reply's. Commands 75 and 77 run the
// sub-device's command through the one transaction path (the `tunnel` of Execute), so the
// sub-device answers with its own reply, faults and counters.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/communication_counters.h"
#include "base/link_view.h"
#include "commands/transaction.h"
#include "hartip/hartip_backend.h"

namespace qln {

inline constexpr std::string_view kIoSystemSection = "HTDev_IOSystem";

class IoSystem {
 public:
  static constexpr uint8_t kProfile = 68;           // "HART-IP I/O system"
  static constexpr uint8_t kProtocolBridge = 0x04;  // command 0 flags
  static constexpr uint8_t kListChangedBit = 0x01;  // command 48, standardized status 2
  // The sub-device's frame (delimiter .. checksum) run on the loop: its reply frame (delimiter ..
  // checksum), or nothing when no sub-device answers.
  using Tunnel = std::function<std::optional<std::vector<uint8_t>>(std::span<const uint8_t>)>;

  struct Answer {
    uint8_t responseCode = 0;
    uint8_t deviceStatus = 0;
    std::vector<uint8_t> data;  // at most kMaxReplyData bytes
  };

  IoSystem(Transaction& transaction, const CommunicationCounters& counters,
           const PublishedLinkView& devices)
      : transaction_(transaction), counters_(counters), devices_(devices) {}

  // Runs a command for the I/O system (a frame's 8-bit or a Direct PDU's 16-bit number) with
  // its request data, for the session of `memory`. One at a time (the HART-IP backend
  // serializes them).
  Answer Execute(uint16_t command, std::span<const uint8_t> data, const Tunnel& tunnel,
                 SessionMemory& memory);

  // Its long address (expanded device type with the top two bits clear, device ID), from the
  // file.
  std::array<uint8_t, 5> LongAddress();
  // Whether command 11 (packed tag, 6 bytes) or 21 (long tag, 32 bytes) names it.
  bool NamedBy(uint8_t command, std::span<const uint8_t> data);
  // The status byte of its replies now (configuration changed, more status available).
  uint8_t DeviceStatus() const;

 private:
  struct Identity;
  Answer Run(uint16_t command, std::span<const uint8_t> data, const Tunnel& tunnel,
             SessionMemory& memory);
  Identity Load();
  std::vector<uint8_t> SubDevices();
  void NoteListChange(const std::vector<uint8_t>& list);
  Answer Identify(const Identity& id) const;
  Answer PollSubDevice(std::span<const uint8_t> data, const Tunnel& tunnel);
  Answer SendToSubDevice(std::span<const uint8_t> data, const Tunnel& tunnel);
  Answer Summary(std::span<const uint8_t> data, const Identity& id,
                 const std::vector<uint8_t>& list);
  Answer Statistics(std::span<const uint8_t> data, const std::vector<uint8_t>& list) const;
  Answer Store(uint16_t command, std::span<const uint8_t> data, Identity& id);
  Answer Subscribe(uint16_t command, std::span<const uint8_t> data,
                   const std::vector<uint8_t>& list, Subscriptions& subscriptions);
  Answer WriteCredentials(uint16_t command, std::span<const uint8_t> data,
                          const SessionSecurity& security);

  Transaction& transaction_;
  const CommunicationCounters& counters_;
  const PublishedLinkView& devices_;
  bool configChanged_ = false;
  bool listChanged_ = false;
  std::optional<std::vector<uint8_t>> knownList_;
  uint16_t ownFrames_ = 0;  // requests to the I/O system itself, each answered
};

}  // namespace qln
