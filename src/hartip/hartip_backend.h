// What HART-IP sessions execute their frames with: the simulated devices behind the sessions,
// seen from the session table (session_table.h) and the server around it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/hart_frame.h"

namespace qln {

// What a session remembers of the devices between its frames, as a master on its own line would
// find them: the device its last frame addressed (commands 11 and 21 may answer for it) and the
// device status of the last reply that carried one (the reply to a damaged frame repeats it).
struct DeviceMemory {
  uint8_t addressedDevice = 0;
  uint8_t lastDeviceStatus = kInitialDeviceStatus;
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
                                                      DeviceMemory& memory) = 0;
  // The burst frame to publish now (delimiter .. checksum), or nothing while no device bursts.
  // Asked about once a second while sessions are open.
  virtual std::optional<std::vector<uint8_t>> BurstFrame() = 0;
};

}  // namespace qln
