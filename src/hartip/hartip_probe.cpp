#include "hartip/hartip_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "base/hart_frame.h"
#include "hartip/hartip_codec.h"

namespace qln::hartip {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kBridgeFlag = 0x04;           // command 0's flags: a protocol bridge (I/O system)
constexpr uint32_t kProbeInactivityMs = 10000;  // the session lives only for the probe

// A response: its header's status and its body.
struct Answer {
  uint8_t status = 0;
  Bytes body;
};

// One TCP connection to the server, every wait bounded by the probe's deadline.
class Connection {
 public:
  explicit Connection(Clock::time_point deadline) : deadline_(deadline) {}
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Result<> Connect(const std::string& address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) {
      return Failure{"not an IPv4 address: " + address};
    }
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return Failure{std::string("no socket: ") + std::strerror(errno)};
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS) {
      return Failure{std::string("cannot connect: ") + std::strerror(errno)};
    }
    if (!Wait(POLLOUT)) return Failure{"no connection within the time allowed"};
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) return Failure{std::string("cannot connect: ") + std::strerror(error)};
    return {};
  }

  // Sends a request and returns the response or error to it (publish messages are passed over).
  Result<Answer> Exchange(MessageId id, std::span<const uint8_t> body) {
    const uint16_t sequence = sequence_++;
    const Bytes request = EncodeMessage(MessageType::Request, id, 0, sequence, body);
    for (std::size_t sent = 0; sent < request.size();) {
      if (!Wait(POLLOUT)) return Failure{"the request could not be sent in time"};
      const ssize_t n = send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return Failure{std::string("the connection failed: ") + std::strerror(errno)};
      }
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    while (true) {
      // The reassembler holds one message at most: what it could not take yet waits here.
      unfed_.erase(unfed_.begin(),
                   unfed_.begin() + static_cast<std::ptrdiff_t>(stream_.Feed(unfed_)));
      const std::optional<Bytes> message = stream_.Next();
      if (stream_.Broken()) return Failure{"the answer is not HART-IP"};
      if (!message) {
        if (Result<> got = Receive(); !got) return Failure{got.error()};
        continue;
      }
      const std::optional<Header> header = ParseHeader(*message);
      if (header->type == static_cast<uint8_t>(MessageType::Publish)) continue;
      if (header->id != static_cast<uint8_t>(id) || header->sequence != sequence) {
        return Failure{"the answer does not belong to the request"};
      }
      return Answer{header->status, Bytes(message->begin() + kHeaderSize, message->end())};
    }
  }

 private:
  // Whether the socket is ready for `events` before the deadline.
  bool Wait(short events) {
    while (true) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, events, 0};
      const int ready = poll(&p, 1, static_cast<int>(left.count()));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  Result<> Receive() {
    if (!Wait(POLLIN)) return Failure{"no answer within the time allowed"};
    std::array<uint8_t, kMaxMessageSize> buffer;
    const ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
    if (got == 0) return Failure{"the server closed the connection"};
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) return {};
      return Failure{std::string("the connection failed: ") + std::strerror(errno)};
    }
    unfed_.insert(unfed_.end(), buffer.begin(), buffer.begin() + got);
    return {};
  }

  Clock::time_point deadline_;
  int fd_ = -1;
  uint16_t sequence_ = 1;
  StreamReassembler stream_;
  Bytes unfed_;
};

Bytes WithChecksum(Bytes frame) {
  frame.push_back(FrameChecksum(frame.data(), frame.size()));
  return frame;
}

// The response code and data of a reply frame; nothing when the frame is not whole.
struct Reply {
  uint8_t code = 0;
  Bytes data;
};
std::optional<Reply> ReadReply(const Bytes& frame) {
  if (frame.empty()) return std::nullopt;
  const std::size_t countPos = CountPosition(frame[0]);
  if (frame.size() < countPos + 4) return std::nullopt;
  const std::size_t end = countPos + 1 + frame[countPos];
  if (frame[countPos] < 2 || frame.size() != end + 1) return std::nullopt;
  return Reply{frame[countPos + 1], Bytes(frame.begin() + static_cast<std::ptrdiff_t>(countPos) + 3,
                                          frame.begin() + static_cast<std::ptrdiff_t>(end))};
}

// What answers at poll address 0, asked through the open session.
Result<std::string> AskPollAddressZero(Connection& connection) {
  Result<Answer> identity =
      connection.Exchange(MessageId::TokenPassingPdu, WithChecksum({kShortStx, kMasterBit, 0, 0}));
  if (!identity) return Failure{identity.error()};
  if (identity->status == kStatusNoDevice) return std::string("no device at poll address 0");
  const std::optional<Reply> reply = ReadReply(identity->body);
  if (identity->status != kStatusSuccess || !reply || reply->code != 0 || reply->data.size() < 12) {
    return Failure{"command 0 to poll address 0 got no good reply"};
  }
  const Bytes& d = reply->data;
  const std::array<uint8_t, 5> address{static_cast<uint8_t>(d[1] & kAddressMask), d[2], d[9], d[10],
                                       d[11]};
  char text[16];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X", address[0], address[1], address[2],
                address[3], address[4]);
  if ((d[8] & kBridgeFlag) == 0) return "device " + std::string(text) + " at poll address 0";

  Bytes count{static_cast<uint8_t>(kLongStx), static_cast<uint8_t>(address[0] | kMasterBit)};
  count.insert(count.end(), address.begin() + 1, address.end());
  count.insert(count.end(), {74, 0});
  Result<Answer> capabilities =
      connection.Exchange(MessageId::TokenPassingPdu, WithChecksum(count));
  if (!capabilities) return Failure{capabilities.error()};
  const std::optional<Reply> listed = ReadReply(capabilities->body);
  if (capabilities->status != kStatusSuccess || !listed || listed->code != 0 ||
      listed->data.size() < 5) {
    return Failure{"the I/O system " + std::string(text) + " did not answer command 74"};
  }
  // Command 74 counts the I/O system itself among the devices it detected.
  const unsigned detected = static_cast<unsigned>(listed->data[3] << 8 | listed->data[4]);
  const unsigned behind = detected > 0 ? detected - 1 : 0;
  return "I/O system " + std::string(text) + " with " + std::to_string(behind) +
         (behind == 1 ? " device" : " devices") + " behind it";
}

}  // namespace

Result<std::string> ProbeServer(const std::string& address, uint16_t port, uint32_t timeoutMs) {
  const std::string where = "HART-IP at " + address + ":" + std::to_string(port);
  Connection connection(Clock::now() + std::chrono::milliseconds(timeoutMs));
  if (Result<> connected = connection.Connect(address, port); !connected) {
    return Failure{where + ": " + connected.error()};
  }
  const std::array<uint8_t, kSessionInitiateBody> initiate{
      1, static_cast<uint8_t>(kProbeInactivityMs >> 24),
      static_cast<uint8_t>(kProbeInactivityMs >> 16), static_cast<uint8_t>(kProbeInactivityMs >> 8),
      static_cast<uint8_t>(kProbeInactivityMs)};
  Result<Answer> session = connection.Exchange(MessageId::SessionInitiate, initiate);
  if (!session) return Failure{where + ": session initiate: " + session.error()};
  if (session->status == kStatusSessionsInUse) {
    return where + " answers, but all its sessions are in use";
  }
  if (session->status == kStatusAccessRestricted) {
    return where + " answers, but wants a secured session (TLS)";
  }
  if (session->status != kStatusSuccess && session->status != kStatusSetToNearest) {
    return Failure{where + ": session initiate refused with status " +
                   std::to_string(session->status)};
  }
  Result<std::string> found = AskPollAddressZero(connection);
  (void)connection.Exchange(MessageId::SessionClose, {});
  if (!found) return Failure{where + ": " + found.error()};
  return where + " answers: " + *found;
}

}  // namespace qln::hartip
