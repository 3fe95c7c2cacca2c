#include "hartip/hartip_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace qln::test {
std::optional<IpMessage> ParseIpMessage(std::span<const uint8_t> bytes) {
  if (bytes.size() < 8) return std::nullopt;
  IpMessage m;
  m.version = bytes[0];
  m.type = bytes[1];
  m.id = bytes[2];
  m.status = bytes[3];
  m.sequence = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  m.byteCount = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  m.body.assign(bytes.begin() + 8, bytes.end());
  return m;
}

std::vector<IpMessage> ParseIpStream(std::span<const uint8_t> stream) {
  std::vector<IpMessage> messages;
  while (stream.size() >= 8) {
    const std::size_t count = static_cast<std::size_t>(stream[6] << 8 | stream[7]);
    if (count < 8 || count > stream.size()) break;
    messages.push_back(*ParseIpMessage(stream.first(count)));
    stream = stream.subspan(count);
  }
  return messages;
}

std::vector<uint8_t> InitiateBody(bool primary, uint32_t inactivityMs) {
  return {static_cast<uint8_t>(primary ? 1 : 0), static_cast<uint8_t>(inactivityMs >> 24),
          static_cast<uint8_t>(inactivityMs >> 16), static_cast<uint8_t>(inactivityMs >> 8),
          static_cast<uint8_t>(inactivityMs)};
}

std::vector<uint8_t> IpRequest(uint8_t id, uint16_t sequence, std::span<const uint8_t> body,
                               std::optional<uint16_t> byteCount, uint8_t version) {
  const uint16_t count = byteCount.value_or(static_cast<uint16_t>(8 + body.size()));
  std::vector<uint8_t> m(8 + body.size());
  m[0] = version;
  m[2] = id;
  m[4] = static_cast<uint8_t>(sequence >> 8);
  m[5] = static_cast<uint8_t>(sequence);
  m[6] = static_cast<uint8_t>(count >> 8);
  m[7] = static_cast<uint8_t>(count);
  std::copy(body.begin(), body.end(), m.begin() + 8);
  return m;
}

HartIpClient::HartIpClient(Transport transport, uint16_t port) : transport_(transport) {
  fd_ = socket(AF_INET, transport == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  const int yes = 1;
  if (transport == Transport::Tcp) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

HartIpClient::~HartIpClient() {
  if (fd_ >= 0) close(fd_);
}

void HartIpClient::SendRaw(std::span<const uint8_t> bytes) {
  [[maybe_unused]] const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

bool HartIpClient::WaitReadable(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

std::optional<IpMessage> HartIpClient::Receive(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  uint8_t buffer[2048];
  while (true) {
    if (transport_ == Transport::Tcp && stream_.size() >= 8) {
      const std::size_t count = static_cast<std::size_t>(stream_[6] << 8 | stream_[7]);
      if (count >= 8 && stream_.size() >= count) {
        auto message = ParseIpMessage({stream_.data(), count});
        stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(count));
        return message;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(left)) return std::nullopt;
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    if (transport_ == Transport::Udp)
      return ParseIpMessage({buffer, static_cast<std::size_t>(got)});
    stream_.insert(stream_.end(), buffer, buffer + got);
  }
}

std::optional<IpMessage> HartIpClient::Request(uint8_t id, std::span<const uint8_t> body) {
  SendRaw(IpRequest(id, sequence_++, body));
  while (auto message = Receive()) {
    if (message->type != 2) return message;
    published_.push_back(std::move(*message));
  }
  return std::nullopt;
}

std::optional<IpMessage> HartIpClient::Initiate(bool primary, uint32_t inactivityMs) {
  return Request(0, InitiateBody(primary, inactivityMs));
}

bool HartIpClient::ClosedByServer(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  uint8_t buffer[512];
  while (std::chrono::steady_clock::now() < deadline) {
    if (!WaitReadable(std::chrono::milliseconds(20))) continue;
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return true;
  }
  return false;
}

}  // namespace qln::test
