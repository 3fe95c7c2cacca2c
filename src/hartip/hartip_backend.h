// What HART-IP sessions execute their frames with: the simulated devices behind the sessions,
// seen from the session table (session_table.h) and the server around it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace qln {

// Executes HART frames for the server, one at a time (the server's thread calls it).
class HartIpBackend {
 public:
  virtual ~HartIpBackend() = default;
  // The frame (delimiter .. checksum, no preambles) from the session of `peer` ("address:port")
  // with the master type of that session. Returns the reply frame without preambles, or nothing
  // when no simulated device answers the frame.
  virtual std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame,
                                                      bool primaryMaster,
                                                      std::string_view peer) = 0;
  // The burst frame to publish now (delimiter .. checksum), or nothing while no device bursts.
  // Asked about once a second while sessions are open.
  virtual std::optional<std::vector<uint8_t>> BurstFrame() = 0;
};

}  // namespace qln
