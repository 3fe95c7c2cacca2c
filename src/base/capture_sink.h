// Where the transports hand every frame they receive and send when the traffic is being
// captured (see capture_format.h for how a capture holds it).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace qln {

// What a serial frame was on the line; the values are the HART-IP message types it is captured as.
enum class SerialFrameKind : uint8_t {
  Request = 0,   // a master's frame
  Response = 1,  // a device's reply
  Publish = 2,   // a burst frame
};

// The two ends of a HART-IP exchange, addresses in host byte order.
struct HartIpFlow {
  uint32_t hostAddress = 0;
  uint16_t hostPort = 0;
  uint32_t serverAddress = 0;
  uint16_t serverPort = 0;
  bool tcp = false;
};

class CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  // Whether anything handed over is kept; callers may skip preparing what would be dropped.
  virtual bool Capturing() const = 0;
  // A serial frame (delimiter .. checksum, no preambles) as it went over the line, with what the
  // line showed beside it (a line error, a busy reply, a fault applied; may be empty).
  // Any thread; never waits for the output.
  virtual void SerialFrame(SerialFrameKind kind, std::span<const uint8_t> frame,
                           std::string_view comment) = 0;
  // HART-IP bytes as they arrived (`toServer`) or left: a datagram, or a piece of a TCP stream;
  // over TLS and DTLS the plaintext. Any thread; never waits for the output.
  virtual void HartIp(const HartIpFlow& flow, bool toServer, std::span<const uint8_t> bytes) = 0;
};

}  // namespace qln
