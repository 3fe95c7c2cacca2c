// The HART-IP server: TCP and UDP on one port, on a thread of its own that waits in poll() and is
// stopped through an eventfd. It keeps only the sockets: what arrives on them goes into the
// session table (session_table.h), which keeps every session rule, and what the table answers
// goes out on them (writes, datagrams, closes) or to the console (notes).
//
// Every message is checked by the codec (hartip_codec.h) first. Nothing received is kept beyond
// the message it belongs to, and every buffer is bounded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/console.h"
#include "base/result.h"
#include "hartip/hartip_backend.h"
#include "hartip/session_table.h"

namespace qln {

class HartIpServer {
 public:
  static constexpr uint16_t kDefaultPort = 5094;
  static constexpr std::size_t kMaxSessions = hartip::SessionTable::kMaxSessions;
  static constexpr std::size_t kMaxConnections = hartip::SessionTable::kMaxConnections;
  static constexpr uint32_t kNoSessionTimeoutMs = hartip::SessionTable::kNoSessionTimeoutMs;

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
  // An open TCP connection: the table's id and the socket.
  struct Connection {
    hartip::ConnectionId id = 0;
    int fd = -1;  // -1 once closed, until the entry is dropped
  };

  void Run();
  void AcceptConnection();
  void ReadConnection(Connection& connection);
  void ReadDatagram();
  void Flush(Connection& connection);
  void Apply();
  void CloseAll();

  Console& console_;
  const Clock& clock_;
  hartip::SessionTable table_;  // server thread only, once started

  int tcp_ = -1;
  int udp_ = -1;
  int wake_ = -1;  // eventfd: stop
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<uint16_t> port_{0};
  std::atomic<std::size_t> sessionCount_{0};

  std::vector<Connection> connections_;  // server thread only
};

}  // namespace qln
