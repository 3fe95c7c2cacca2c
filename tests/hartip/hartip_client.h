// A small HART-IP host for the tests: connects to 127.0.0.1 over TCP or UDP, sends requests and
// reads messages, parsing them on its own (not with the codec under test).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qln::test {

struct IpMessage {
  uint8_t version = 0, type = 0, id = 0, status = 0;
  uint16_t sequence = 0, byteCount = 0;
  std::vector<uint8_t> body;
};

// A request message: header (byte count computed unless given) and body.
std::vector<uint8_t> IpRequest(uint8_t id, uint16_t sequence, std::span<const uint8_t> body = {},
                               std::optional<uint16_t> byteCount = std::nullopt,
                               uint8_t version = 1);

// The body of a session initiate: master type (1 primary, 0 secondary) and the inactivity close
// timer.
std::vector<uint8_t> InitiateBody(bool primary, uint32_t inactivityMs);

// One message, header and body as received; nothing when shorter than a header.
std::optional<IpMessage> ParseIpMessage(std::span<const uint8_t> bytes);

// The messages of a TCP byte stream, split by their byte counts; an incomplete or malformed rest
// is left out.
std::vector<IpMessage> ParseIpStream(std::span<const uint8_t> stream);

class HartIpClient {
 public:
  enum class Transport { Tcp, Udp };
  HartIpClient(Transport transport, uint16_t port);
  ~HartIpClient();
  HartIpClient(const HartIpClient&) = delete;
  HartIpClient& operator=(const HartIpClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  void SendRaw(std::span<const uint8_t> bytes);
  // The next message, publish messages included; nothing on timeout or a closed connection.
  std::optional<IpMessage> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(2));
  // Sends a request with the next sequence number and returns the next message that is not a
  // publish message (publish messages seen on the way are kept in Published()).
  std::optional<IpMessage> Request(uint8_t id, std::span<const uint8_t> body = {});
  std::optional<IpMessage> Initiate(bool primary = true, uint32_t inactivityMs = 60000);
  std::optional<IpMessage> Pdu(std::span<const uint8_t> frame) { return Request(3, frame); }
  // TCP: whether the server closes the connection within the timeout.
  bool ClosedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(2));
  uint16_t LastSequence() const { return static_cast<uint16_t>(sequence_ - 1); }
  const std::vector<IpMessage>& Published() const { return published_; }

 private:
  bool WaitReadable(std::chrono::milliseconds timeout);
  Transport transport_;
  int fd_ = -1;
  uint16_t sequence_ = 1;
  std::vector<uint8_t> stream_;
  std::vector<IpMessage> published_;
};

}  // namespace qln::test
