#include "hartip/hartip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "hartip/hartip_codec.h"

namespace qln {
namespace {

constexpr int kPollMs = 50;  // the inactivity timers are looked at this often
// Connects the kernel holds until they are accepted: a burst of them (a host opening its sessions
// at once, or a flood) waits rather than retrying.
constexpr int kListenBacklog = 64;

// TCP keep-alive probes after a minute of silence, every 10 s, three unanswered end the
// connection: a peer that vanished without closing (a host switched off, a cable pulled) gives
// its session back in about 90 s however long its inactivity timer is. Best effort.
void KeepAlive(int fd) {
  const int on = 1, idleS = 60, intervalS = 10, probes = 3;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

hartip::Endpoint EndpointOf(const sockaddr_in& address) {
  return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

sockaddr_in AddressOf(const hartip::Endpoint& endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(endpoint.address);
  address.sin_port = htons(endpoint.port);
  return address;
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

HartIpServer::HartIpServer(HartIpBackend& backend, Console& console, const Clock& clock,
                           CaptureSink* capture)
    : backend_(backend),
      console_(console),
      clock_(clock),
      capture_(capture),
      table_(backend, &clock) {}

void HartIpServer::Capture(const HartIpFlow& flow, bool toServer, std::span<const uint8_t> bytes) {
  if (capture_ != nullptr && capture_->Capturing()) capture_->HartIp(flow, toServer, bytes);
}

HartIpFlow HartIpServer::DatagramFlow(const hartip::Endpoint& peer) const {
  return {peer.address, peer.port, udpAddress_, port_.load(std::memory_order_relaxed), false};
}

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
             listen(tcp_, kListenBacklog) != 0) {
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
    udpAddress_ = ntohl(bindAddress.sin_addr.s_addr);
    table_.SetServerPort(ntohs(bindAddress.sin_port));  // before the thread that reads it starts
    settingsRead_ = false;
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
  for (const Connection& connection : connections_) {
    if (connection.fd >= 0) close(connection.fd);
  }
  connections_.clear();
  associations_.clear();
  table_.Clear();
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
    RefreshSettings();
    fds.clear();
    fds.push_back({wake_, POLLIN, 0});
    fds.push_back({tcp_, POLLIN, 0});
    fds.push_back({udp_, POLLIN, 0});
    for (const Connection& connection : connections_) {
      const bool pending = !table_.Pending(connection.id).empty() || !connection.ciphertext.empty();
      fds.push_back({connection.fd, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0});
    }
    // With nobody connected no timer runs: the loop wakes only to read the settings again, so
    // that an idle instance (many of them in a plant) costs next to nothing.
    const bool idle = connections_.empty() && associations_.empty() && table_.SessionCount() == 0;
    const int waitMs = idle ? static_cast<int>(kSettingsPeriodMs) : kPollMs;
    if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = read(wake_, &count, sizeof count);
    }
    if (fds[2].revents != 0) ReadDatagram();
    // The connections polled are the first ones of the list; accepting appends behind them.
    // Apply writes whatever output is pending, so POLLOUT needs nothing more.
    const std::size_t polled = fds.size() - 3;
    for (std::size_t i = 0; i < polled; ++i) {
      const short events = fds[i + 3].revents;
      if (connections_[i].fd < 0) continue;
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) {
        ReadConnection(connections_[i]);
      } else if ((events & POLLOUT) != 0) {
        Apply();
      }
    }
    if (fds[1].revents != 0) AcceptConnection();
    table_.Tick(clock_.Milliseconds());
    TickSecurity();
    Apply();
    std::erase_if(connections_, [](const Connection& connection) { return connection.fd < 0; });
  }
}

// Takes every connection waiting (at most as many as may be held), so that a burst of
// connects is not paced by the poll loop.
void HartIpServer::AcceptConnection() {
  for (std::size_t taken = 0; taken < kMaxConnections; ++taken) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int fd =
        accept4(tcp_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    KeepAlive(fd);
    if (const std::optional<hartip::ConnectionId> id =
            table_.Accept(EndpointOf(address), clock_.Milliseconds())) {
      Connection& connection = connections_.emplace_back();
      connection.id = *id;
      connection.fd = fd;
      connection.peer = EndpointOf(address).Text();
      // The server's end as the peer sees it: the address the connection came in on.
      sockaddr_in local{};
      socklen_t localLength = sizeof local;
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength);
      connection.flow = {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port),
                         ntohl(local.sin_addr.s_addr), ntohs(local.sin_port), true};
    } else {
      close(fd);
    }
    Apply();
  }
}

void HartIpServer::ReadConnection(Connection& connection) {
  std::array<uint8_t, hartip::kMaxMessageSize> buffer;
  const ssize_t got = recv(connection.fd, buffer.data(), buffer.size(), 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  const std::span<const uint8_t> bytes(buffer.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
  if (got <= 0) {
    table_.PeerClosed(connection.id);
  } else if (connection.tls != nullptr) {
    ReadSecured(connection, bytes);
  } else if (policy_ != hartip::SecurityPolicy::Off && bytes[0] == hartip::kHandshakeRecord &&
             table_.MayStartTls(connection.id)) {
    connection.tls = secure_->AcceptStream();
    connection.handshakeStartMs = clock_.Milliseconds();
    ReadSecured(connection, bytes);
  } else {
    Capture(connection.flow, true, bytes);
    table_.Received(connection.id, bytes, clock_.Milliseconds());
  }
  Apply();
}

void HartIpServer::ReadSecured(Connection& connection, std::span<const uint8_t> bytes) {
  hartip::SecureChannel& tls = *connection.tls;
  const bool wasOpen = tls.state() == hartip::SecureChannel::State::Open;
  tls.Feed(bytes);
  const uint32_t nowMs = clock_.Milliseconds();
  if (!wasOpen && tls.state() == hartip::SecureChannel::State::Open) {
    table_.Secure(connection.id, tls.Client(), nowMs);
  }
  for (const std::vector<uint8_t>& plaintext : tls.TakePlaintext()) {
    Capture(connection.flow, true, plaintext);
    table_.Received(connection.id, plaintext, nowMs);
  }
  // The alert that ends a failed handshake goes out before the connection closes.
  const std::vector<uint8_t> ciphertext = tls.TakeCiphertext();
  connection.ciphertext.insert(connection.ciphertext.end(), ciphertext.begin(), ciphertext.end());
  if (Failed(tls, (wasOpen ? "TLS session of " : "TLS handshake from ") + connection.peer) ||
      tls.state() == hartip::SecureChannel::State::Closed) {
    if (!connection.ciphertext.empty()) {
      send(connection.fd, connection.ciphertext.data(), connection.ciphertext.size(),
           MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    table_.PeerClosed(connection.id);
  } else if (connection.ciphertext.size() > hartip::SessionTable::kMaxOutbox) {
    // TLS messages of its own (a key update asked for again and again) that the client does not
    // read: bounded as the sessions' output is.
    table_.Report("slow reader",
                  "HART-IP: connection from " + connection.peer +
                      " closed: it does not read its "
                      "TLS records",
                  nowMs);
    table_.PeerClosed(connection.id);
  }
}

void HartIpServer::ReadDatagram() {
  // One byte more than the longest message, so that a longer datagram is seen as such.
  std::array<uint8_t, hartip::kMaxMessageSize + 1> buffer;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const ssize_t got = recvfrom(udp_, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&address), &length);
  if (got <= 0) return;
  const hartip::Endpoint from = EndpointOf(address);
  const std::span<const uint8_t> bytes(buffer.data(), static_cast<std::size_t>(got));
  const auto association = std::find_if(associations_.begin(), associations_.end(),
                                        [&](const Association& a) { return a.peer == from; });
  if (association != associations_.end()) {
    if (!ReadSecuredDatagram(*association, bytes)) associations_.erase(association);
  } else if (policy_ != hartip::SecurityPolicy::Off && bytes[0] == hartip::kHandshakeRecord) {
    Listen(from, bytes);
  } else {
    Capture(DatagramFlow(from), true, bytes);
    table_.DatagramReceived(from, bytes, clock_.Milliseconds());
  }
  Apply();
}

bool HartIpServer::ReadSecuredDatagram(Association& association, std::span<const uint8_t> bytes) {
  hartip::SecureChannel& dtls = *association.dtls;
  const uint32_t nowMs = clock_.Milliseconds();
  association.lastMs = nowMs;
  const bool wasOpen = dtls.state() == hartip::SecureChannel::State::Open;
  dtls.Feed(bytes);
  if (!wasOpen && dtls.state() == hartip::SecureChannel::State::Open) {
    table_.Report("secured",
                  "HART-IP: datagrams from " + association.peer.Text() +
                      " secured by DTLS as client " + std::to_string(dtls.Client().slot) + " \"" +
                      dtls.Client().identity + "\"",
                  nowMs);
  }
  for (const std::vector<uint8_t>& plaintext : dtls.TakePlaintext()) {
    Capture(DatagramFlow(association.peer), true, plaintext);
    table_.DatagramReceived(association.peer, plaintext, nowMs, &dtls.Client());
  }
  SendDatagram(association.peer, dtls.TakeCiphertext());
  return !Failed(dtls, (wasOpen ? "DTLS session of " : "DTLS handshake from ") +
                           association.peer.Text()) &&
         dtls.state() != hartip::SecureChannel::State::Closed;
}

// A DTLS ClientHello from a peer without an association: answered with a cookie, and the
// association made once the client returns it.
void HartIpServer::Listen(const hartip::Endpoint& from, std::span<const uint8_t> bytes) {
  const uint32_t nowMs = clock_.Milliseconds();
  if (associations_.size() >= kMaxAssociations) {
    table_.Report("association refused",
                  "HART-IP: DTLS handshake from " + from.Text() +
                      " dropped: " + std::to_string(kMaxAssociations) + " associations are held",
                  nowMs);
    return;
  }
  hartip::SecureContext::Listened listened = secure_->ListenDatagram(from, bytes);
  if (listened.channel == nullptr) {
    SendDatagram(from, listened.reply);
    return;
  }
  SendDatagram(from, listened.channel->TakeCiphertext());
  if (Failed(*listened.channel, "DTLS handshake from " + from.Text())) return;
  associations_.push_back(Association{from, std::move(listened.channel), nowMs, nowMs});
}

void HartIpServer::SendDatagram(const hartip::Endpoint& to, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  const sockaddr_in address = AddressOf(to);
  sendto(udp_, bytes.data(), bytes.size(), MSG_DONTWAIT,
         reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

bool HartIpServer::Failed(const hartip::SecureChannel& channel, const std::string& peer) {
  if (channel.state() != hartip::SecureChannel::State::Failed) return false;
  const std::size_t failed = failedHandshakes_.fetch_add(1, std::memory_order_relaxed) + 1;
  table_.Report("handshake failed",
                "HART-IP: " + peer + " failed: " + channel.Failure() + " (" +
                    std::to_string(failed) + " failed since start)",
                clock_.Milliseconds());
  return true;
}

// The security section as the file has it now, at most once a kSettingsPeriodMs; each problem
// in it is noted once.
void HartIpServer::RefreshSettings() {
  const uint32_t nowMs = clock_.Milliseconds();
  if (settingsRead_ && nowMs - settingsReadMs_ < kSettingsPeriodMs) return;
  settingsReadMs_ = nowMs;
  hartip::SecuritySettings settings = backend_.Security();
  for (const std::string& problem : settings.problems) {
    if (std::find(reported_.begin(), reported_.end(), problem) != reported_.end()) continue;
    reported_.push_back(problem);
    console_.Note(problem + "\r\n");
  }
  const std::vector<hartip::ClientEntry> none;
  if (settingsRead_ &&
      (settings.policy != policy_ || settings.clients != (secure_ ? secure_->Clients() : none))) {
    table_.SecurityChanged();
  }
  settingsRead_ = true;
  policy_ = settings.policy;
  table_.SetPolicy(policy_);
  // OpenSSL is set up only once the file has keys: an instance without them (most of a plant)
  // is spared the library's start-up work and memory.
  if (!secure_ && (policy_ != hartip::SecurityPolicy::Off || !settings.clients.empty())) {
    secure_ = std::make_unique<hartip::SecureContext>();
  }
  if (secure_) secure_->SetClients(std::move(settings.clients));
}

// Handshakes that take too long drop their peers; DTLS flights are resent when due; a DTLS
// association without a session is dropped after the grace a TCP connection gets, and one
// without datagrams after the longest inactivity timer.
void HartIpServer::TickSecurity() {
  const uint32_t nowMs = clock_.Milliseconds();
  for (Connection& connection : connections_) {
    if (connection.fd < 0 || connection.tls == nullptr ||
        connection.tls->state() != hartip::SecureChannel::State::Handshaking ||
        nowMs - connection.handshakeStartMs <= hartip::SessionTable::kHandshakeTimeoutMs) {
      continue;
    }
    table_.Report("handshake timeout",
                  "HART-IP: TLS handshake from " + connection.peer + " dropped: unfinished after " +
                      std::to_string(hartip::SessionTable::kHandshakeTimeoutMs) + " ms",
                  nowMs);
    table_.PeerClosed(connection.id);
  }
  std::erase_if(associations_, [&](Association& a) {
    const bool handshaking = a.dtls->state() == hartip::SecureChannel::State::Handshaking;
    if (handshaking && nowMs - a.startMs > hartip::SessionTable::kHandshakeTimeoutMs) {
      table_.Report("handshake timeout",
                    "HART-IP: DTLS handshake from " + a.peer.Text() +
                        " dropped: unfinished after " +
                        std::to_string(hartip::SessionTable::kHandshakeTimeoutMs) + " ms",
                    nowMs);
      return true;
    }
    if (handshaking) {
      a.dtls->Retransmit();
      SendDatagram(a.peer, a.dtls->TakeCiphertext());
      return false;
    }
    const uint32_t idleMs = nowMs - a.lastMs;
    return idleMs > hartip::kMaxInactivityMs ||
           (!table_.HasUdpSession(a.peer) && idleMs > hartip::SessionTable::kNoSessionTimeoutMs);
  });
}

// Writes what the socket takes of the connection's pending output. Over TLS the table's output
// is encrypted only while the socket keeps up, so a slow reader is still found by the table.
void HartIpServer::Flush(Connection& connection) {
  if (connection.tls == nullptr) {
    const std::span<const uint8_t> pending = table_.Pending(connection.id);
    if (pending.empty()) return;
    const ssize_t sent =
        send(connection.fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno != EAGAIN && errno != EINTR) table_.PeerClosed(connection.id);
      return;
    }
    Capture(connection.flow, false, pending.first(static_cast<std::size_t>(sent)));
    table_.Written(connection.id, static_cast<std::size_t>(sent));
    return;
  }
  const std::span<const uint8_t> pending = table_.Pending(connection.id);
  if (!pending.empty() && connection.ciphertext.empty() &&
      connection.tls->state() == hartip::SecureChannel::State::Open) {
    const std::size_t size = pending.size();
    if (connection.tls->Write(pending)) {
      Capture(connection.flow, false, pending);
      table_.Written(connection.id, size);
    }
    connection.ciphertext = connection.tls->TakeCiphertext();
  }
  if (connection.ciphertext.empty()) return;
  const ssize_t sent = send(connection.fd, connection.ciphertext.data(),
                            connection.ciphertext.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) {
    if (errno != EAGAIN && errno != EINTR) table_.PeerClosed(connection.id);
    return;
  }
  connection.ciphertext.erase(connection.ciphertext.begin(), connection.ciphertext.begin() + sent);
}

// Carries out what the table asks after an input: pending output written, notes to the console,
// datagrams sent, connections closed.
void HartIpServer::Apply() {
  for (Connection& connection : connections_) {
    if (connection.fd >= 0) Flush(connection);
  }
  const hartip::Output output = table_.TakeOutput();
  // The notes first: whoever sees a connection closed finds the note that says why.
  for (const std::string& note : output.notes) console_.Note(note + "\r\n");
  for (const hartip::Datagram& datagram : output.datagrams) {
    const auto association =
        std::find_if(associations_.begin(), associations_.end(),
                     [&](const Association& a) { return a.peer == datagram.to; });
    if (association == associations_.end()) {
      Capture(DatagramFlow(datagram.to), false, datagram.bytes);
      SendDatagram(datagram.to, datagram.bytes);
    } else if (association->dtls->Write(datagram.bytes)) {
      Capture(DatagramFlow(datagram.to), false, datagram.bytes);
      SendDatagram(datagram.to, association->dtls->TakeCiphertext());
    }
  }
  for (const hartip::ConnectionId id : output.closes) {
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [id](const Connection& c) { return c.id == id; });
    if (found != connections_.end() && found->fd >= 0) {
      close(found->fd);
      found->fd = -1;
    }
  }
  sessionCount_.store(table_.SessionCount(), std::memory_order_release);
}

}  // namespace qln
