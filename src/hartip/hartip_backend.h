// What HART-IP sessions execute their frames with: the simulated devices behind the sessions,
// seen from the session table (session_table.h) and the server around it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/burst_frame.h"
#include "base/device_index.h"
#include "base/hart_frame.h"
#include "hartip/security_settings.h"

namespace qln {

// What a session remembers of the devices between its frames, as a master on its own line would
// find them: the device its last frame addressed (commands 11 and 21 may answer for it) and the
// device status of the last reply that carried one (the reply to a damaged frame repeats it).
struct DeviceMemory {
  uint8_t addressedDevice = 0;
  uint8_t lastDeviceStatus = kInitialDeviceStatus;
  bool wrote = false;  // a command that changes a device's configuration was executed
};

// What a session asked to be published (command 533): until it writes a subscription it gets
// every burst frame; afterwards only those of the devices whose flags are not 0.
struct Subscriptions {
  bool written = false;
  std::array<uint16_t, kDeviceCount> flags{};
  bool Wants(uint8_t device) const {
    return !written || (device < kDeviceCount && flags[device] != 0);
  }
};

// Whether a session runs over TLS or DTLS, and as which client of the file's security section.
struct SessionSecurity {
  bool secured = false;
  uint8_t slot = 0;  // the client's slot; 0 is the security manager
  std::string identity;
};

// What the backend keeps for one session.
struct SessionMemory {
  DeviceMemory devices;
  Subscriptions subscriptions;
  SessionSecurity security;
};

// The answer to one command of a Direct PDU: its response code and data.
struct DirectAnswer {
  uint8_t responseCode = 0;
  std::vector<uint8_t> data;
};

// A burst frame to publish and the device that bursts it.
struct Publication {
  uint8_t device = 0;
  std::vector<uint8_t> frame;
};

// The burst frames due now, and how long until the next may be due.
struct Publications {
  std::vector<Publication> frames;
  uint32_t waitMs = kBurstPeriodMs;
};

// Executes HART frames for the server, one at a time (the server's thread calls it).
class HartIpBackend {
 public:
  virtual ~HartIpBackend() = default;
  // The frame (delimiter .. checksum, no preambles) from the session of `peer` ("address:port")
  // with the master type and the memory of that session. Returns the reply frame without
  // preambles, or nothing when no simulated device answers the frame.
  virtual std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame,
                                                      bool primaryMaster, std::string_view peer,
                                                      SessionMemory& memory) = 0;
  // One command of a Direct PDU (a 16-bit command number and its data, no frame around them)
  // for the I/O system, from the same session.
  virtual DirectAnswer ExecuteDirect(uint16_t command, std::span<const uint8_t> data,
                                     bool primaryMaster, std::string_view peer,
                                     SessionMemory& memory) = 0;
  // The device status byte (and extended status byte) that a Direct PDU response carries.
  virtual uint8_t DirectStatus() = 0;
  // The burst frames to publish now (delimiter .. checksum), none while no device bursts, and
  // the time until the next look. Asked at least once a second while sessions are open.
  virtual Publications BurstFrames(uint32_t nowMs) = 0;
  // The security section of the file as it stands now.
  virtual hartip::SecuritySettings Security() = 0;
};

}  // namespace qln
