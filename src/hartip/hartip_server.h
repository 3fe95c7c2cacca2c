// The HART-IP server: TCP and UDP on one port, on a thread of its own that waits in poll() and is
// stopped through an eventfd. It keeps at most kMaxSessions sessions (TCP connections and UDP
// peers together), closes a session that has been idle for its inactivity close timer, answers
// keep alive and session close, hands the HART frame of every token-passing PDU to the backend
// and sends the backend's reply back, and publishes burst frames to every session.
//
// Every message is checked by the codec (hartip_codec.h) first. Nothing received is kept beyond
// the message it belongs to, and every buffer is bounded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/console.h"
#include "base/result.h"
#include "hartip/hartip_backend.h"

namespace qln {

class HartIpServer {
 public:
  static constexpr uint16_t kDefaultPort = 5094;
  static constexpr std::size_t kMaxSessions = 8;
  // TCP connections held at once, sessions or not yet; one more is accepted and closed at once.
  static constexpr std::size_t kMaxConnections = 16;
  // A TCP connection that has not opened a session is closed after this long without a message.
  static constexpr uint32_t kNoSessionTimeoutMs = 10000;

  // The clock decides when sessions are idle; its milliseconds are read on the server's thread.
  HartIpServer(HartIpBackend& backend, Console& console, const Clock& clock);
  ~HartIpServer();
  HartIpServer(const HartIpServer&) = delete;
  HartIpServer& operator=(const HartIpServer&) = delete;

  // Binds TCP and UDP on the IPv4 address and port (port 0: a free port, the same for both) and
  // starts the thread; a failure says what went wrong. A running server is stopped first.
  Result<> Start(const std::string& address, uint16_t port);
  // Closes every session and the sockets and joins the thread. Any thread but the server's.
  void Stop();
  bool Running() const { return running_.load(std::memory_order_acquire); }
  // The port bound, once started.
  uint16_t Port() const { return port_.load(std::memory_order_acquire); }
  // Sessions open now; any thread.
  std::size_t SessionCount() const { return sessionCount_.load(std::memory_order_acquire); }

 private:
  struct Peer;
  void Run();
  void AcceptConnection();
  void ReadConnection(Peer& peer);
  void WriteConnection(Peer& peer);
  void ReadDatagram();
  void Handle(Peer& peer, std::span<const uint8_t> message);
  void Send(Peer& peer, const std::vector<uint8_t>& message);
  void CloseIdle();
  void PublishDueBurst();
  void EndSession(Peer& peer);
  void Note(const std::string& text);
  void CloseAll();

  HartIpBackend& backend_;
  Console& console_;
  const Clock& clock_;

  int tcp_ = -1;
  int udp_ = -1;
  int wake_ = -1;  // eventfd: stop
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<uint16_t> port_{0};
  std::atomic<std::size_t> sessionCount_{0};

  // Server thread only.
  std::vector<Peer> connections_;  // TCP
  std::vector<Peer> udpSessions_;  // UDP peers with an open session
  uint16_t publishSequence_ = 0;
  uint32_t lastBurstMs_ = 0;  // clock of the last look for a burst frame
};

}  // namespace qln
