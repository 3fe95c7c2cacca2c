#include "hartip/hartip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/burst_frame.h"
#include "hartip/hartip_codec.h"

namespace qln {
namespace {

using namespace hartip;

// Output waiting for a slow TCP reader; a reader further behind is disconnected.
constexpr std::size_t kMaxOutbox = 64 * 1024;
constexpr int kPollMs = 50;  // the inactivity timers are looked at this often

std::string PeerText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

struct HartIpServer::Peer {
  bool tcp = false;
  int fd = -1;  // TCP: the connection, until closed
  sockaddr_in address{};
  std::string text;
  bool inSession = false;
  bool primaryMaster = true;
  uint32_t inactivityMs = kNoSessionTimeoutMs;
  uint32_t lastActivityMs = 0;
  bool closeWhenSent = false;
  bool closed = false;
  StreamReassembler stream;
  std::vector<uint8_t> outbox;
};

HartIpServer::HartIpServer(HartIpBackend& backend, Console& console, const Clock& clock)
    : backend_(backend), console_(console), clock_(clock) {}

HartIpServer::~HartIpServer() { Stop(); }

Result<> HartIpServer::Start(const std::string& address, uint16_t port) {
  Stop();
  sockaddr_in bindAddress{};
  bindAddress.sin_family = AF_INET;
  bindAddress.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &bindAddress.sin_addr) != 1) {
    return Failure{"HART-IP: " + address + " is no IPv4 address"};
  }
  const std::string where = address + ":" + std::to_string(port);
  tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::string error;
  const int yes = 1;
  if (tcp_ < 0 || udp_ < 0 || wake_ < 0) {
    error = SystemError("HART-IP: cannot create the sockets");
  } else if (setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
             bind(tcp_, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0 ||
             listen(tcp_, 8) != 0) {
    error = SystemError("HART-IP: cannot listen on TCP " + where);
  } else {
    // Port 0 asked for any free port: UDP takes the one TCP got.
    socklen_t length = sizeof bindAddress;
    getsockname(tcp_, reinterpret_cast<sockaddr*>(&bindAddress), &length);
    if (bind(udp_, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
      error = SystemError("HART-IP: cannot bind UDP " + where);
    }
  }
  if (error.empty()) {
    port_.store(ntohs(bindAddress.sin_port), std::memory_order_release);
    stopping_.store(false, std::memory_order_release);
    try {
      thread_ = std::thread(&HartIpServer::Run, this);
    } catch (const std::system_error& e) {
      error = std::string("HART-IP: cannot start its thread: ") + e.what();
    }
  }
  if (!error.empty()) {
    CloseAll();
    return Failure{error};
  }
  running_.store(true, std::memory_order_release);
  return {};
}

void HartIpServer::Stop() {
  if (thread_.joinable()) {
    stopping_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
    thread_.join();
  }
  CloseAll();
  running_.store(false, std::memory_order_release);
}

// Called with the thread joined (or never started).
void HartIpServer::CloseAll() {
  for (Peer& peer : connections_) EndSession(peer);
  connections_.clear();
  udpSessions_.clear();
  sessionCount_.store(0, std::memory_order_release);
  for (int* fd : {&tcp_, &udp_, &wake_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  port_.store(0, std::memory_order_release);
}

void HartIpServer::Run() {
  std::vector<pollfd> fds;
  while (!stopping_.load(std::memory_order_acquire)) {
    fds.clear();
    fds.push_back({wake_, POLLIN, 0});
    fds.push_back({tcp_, POLLIN, 0});
    fds.push_back({udp_, POLLIN, 0});
    for (const Peer& peer : connections_) {
      fds.push_back({peer.fd, static_cast<short>(POLLIN | (peer.outbox.empty() ? 0 : POLLOUT)), 0});
    }
    if (poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = read(wake_, &count, sizeof count);
    }
    if (fds[2].revents != 0) ReadDatagram();
    // The connections polled are the first ones of the list; accepting appends behind them.
    const std::size_t polled = fds.size() - 3;
    for (std::size_t i = 0; i < polled; ++i) {
      const short events = fds[i + 3].revents;
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) ReadConnection(connections_[i]);
      if ((events & POLLOUT) != 0 && !connections_[i].closed) WriteConnection(connections_[i]);
    }
    if (fds[1].revents != 0) AcceptConnection();
    CloseIdle();
    PublishDueBurst();
    std::erase_if(connections_, [](const Peer& peer) { return peer.closed; });
  }
}

void HartIpServer::AcceptConnection() {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int fd =
      accept4(tcp_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (connections_.size() >= kMaxConnections) {
    close(fd);
    Note("HART-IP: connection from " + PeerText(address) + " refused: too many connections");
    return;
  }
  Peer& peer = connections_.emplace_back();
  peer.tcp = true;
  peer.fd = fd;
  peer.address = address;
  peer.text = PeerText(address);
  peer.lastActivityMs = clock_.Milliseconds();
}

void HartIpServer::ReadConnection(Peer& peer) {
  if (peer.closed) return;
  std::array<uint8_t, kMaxMessageSize> buffer;
  const ssize_t got = recv(peer.fd, buffer.data(), buffer.size(), 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    EndSession(peer);
    return;
  }
  std::span<const uint8_t> bytes(buffer.data(), static_cast<std::size_t>(got));
  // The reassembler holds one message at most: take its messages out as it fills.
  while (!bytes.empty() && !peer.closed) {
    bytes = bytes.subspan(peer.stream.Feed(bytes));
    while (!peer.closed) {
      const std::optional<std::vector<uint8_t>> message = peer.stream.Next();
      if (!message) break;
      Handle(peer, *message);
    }
    if (peer.stream.Broken()) {
      Note("HART-IP: connection from " + peer.text + " closed: byte count " +
           std::to_string(peer.stream.BadByteCount()) + " is outside 8..512");
      EndSession(peer);
    }
  }
}

void HartIpServer::WriteConnection(Peer& peer) {
  const ssize_t sent =
      send(peer.fd, peer.outbox.data(), peer.outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) {
    if (errno != EAGAIN && errno != EINTR) EndSession(peer);
    return;
  }
  peer.outbox.erase(peer.outbox.begin(), peer.outbox.begin() + sent);
  if (peer.outbox.empty() && peer.closeWhenSent) EndSession(peer);
}

void HartIpServer::ReadDatagram() {
  // One byte more than the longest message, so that a longer datagram is seen as such.
  std::array<uint8_t, kMaxMessageSize + 1> buffer;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const ssize_t got = recvfrom(udp_, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&address), &length);
  if (got <= 0) return;
  const std::span<const uint8_t> message(buffer.data(), static_cast<std::size_t>(got));
  const auto known = std::find_if(udpSessions_.begin(), udpSessions_.end(),
                                  [&](const Peer& p) { return SameAddress(p.address, address); });
  if (known != udpSessions_.end()) {
    Handle(*known, message);
  } else {
    Peer stranger;
    stranger.address = address;
    stranger.text = PeerText(address);
    Handle(stranger, message);
    if (stranger.inSession) udpSessions_.push_back(std::move(stranger));
  }
  std::erase_if(udpSessions_, [](const Peer& peer) { return peer.closed; });
}

void HartIpServer::Handle(Peer& peer, std::span<const uint8_t> message) {
  Request request = ClassifyRequest(message, peer.inSession);
  if (request.kind == RequestKind::Ignore) return;
  peer.lastActivityMs = clock_.Milliseconds();
  switch (request.kind) {
    case RequestKind::SessionInitiate:
      if (SessionCount() >= kMaxSessions) {
        request.kind = RequestKind::Refuse;
        request.status = kStatusSessionsInUse;
        peer.closeWhenSent = peer.tcp;
        Note("HART-IP: session from " + peer.text + " refused: " + std::to_string(kMaxSessions) +
             " sessions are open");
        break;
      }
      peer.inSession = true;
      peer.primaryMaster = request.primaryMaster;
      peer.inactivityMs = request.inactivityMs;
      sessionCount_.fetch_add(1, std::memory_order_acq_rel);
      break;
    case RequestKind::SessionClose:
      peer.closeWhenSent = true;
      break;
    case RequestKind::TokenPassingPdu:
      Send(peer, AnswerPdu(request.header,
                           backend_.Execute(request.frame, peer.primaryMaster, peer.text)));
      return;
    default:
      break;
  }
  if (const std::optional<std::vector<uint8_t>> answer = AnswerRequest(request)) {
    Send(peer, *answer);
  }
  // A UDP peer's closing session ends here; a TCP connection ends once its outbox is sent.
  if (peer.closeWhenSent && !peer.tcp) EndSession(peer);
}

void HartIpServer::Send(Peer& peer, const std::vector<uint8_t>& message) {
  if (peer.closed) return;
  if (!peer.tcp) {
    sendto(udp_, message.data(), message.size(), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&peer.address), sizeof peer.address);
    return;
  }
  if (peer.outbox.size() + message.size() > kMaxOutbox) {
    Note("HART-IP: connection from " + peer.text + " closed: it does not read its replies");
    EndSession(peer);
    return;
  }
  peer.outbox.insert(peer.outbox.end(), message.begin(), message.end());
  WriteConnection(peer);
}

// The bursting device's frames reach the sessions about once a second, whether or not the serial
// port is open.
void HartIpServer::PublishDueBurst() {
  const uint32_t now = clock_.Milliseconds();
  if (now - lastBurstMs_ < kBurstPeriodMs) return;
  lastBurstMs_ = now;
  const bool anySession =
      !udpSessions_.empty() || std::any_of(connections_.begin(), connections_.end(),
                                           [](const Peer& peer) { return peer.inSession; });
  if (!anySession) return;
  const std::optional<std::vector<uint8_t>> frame = backend_.BurstFrame();
  if (!frame) return;
  const std::vector<uint8_t> message = EncodeMessage(
      MessageType::Publish, MessageId::TokenPassingPdu, kStatusSuccess, publishSequence_++, *frame);
  for (Peer& peer : connections_) {
    if (peer.inSession && !peer.closed) Send(peer, message);
  }
  for (Peer& peer : udpSessions_) Send(peer, message);
}

void HartIpServer::CloseIdle() {
  const uint32_t now = clock_.Milliseconds();
  auto idle = [now](const Peer& peer) { return now - peer.lastActivityMs > peer.inactivityMs; };
  for (std::vector<Peer>* peers : {&connections_, &udpSessions_}) {
    for (Peer& peer : *peers) {
      if (peer.closed || !idle(peer)) continue;
      Note("HART-IP: session of " + peer.text + " closed after " +
           std::to_string(peer.inactivityMs) + " ms without a request");
      EndSession(peer);
    }
  }
  std::erase_if(udpSessions_, [](const Peer& peer) { return peer.closed; });
}

void HartIpServer::EndSession(Peer& peer) {
  if (peer.closed) return;
  peer.closed = true;
  if (peer.inSession) sessionCount_.fetch_sub(1, std::memory_order_acq_rel);
  peer.inSession = false;
  if (peer.fd >= 0) close(peer.fd);
  peer.fd = -1;
  peer.outbox.clear();
}

void HartIpServer::Note(const std::string& text) { console_.Note(text + "\r\n"); }

}  // namespace qln
