// The HART-IP server: TCP and UDP on one port, on a thread of its own that waits in poll() and is
// stopped through an eventfd. It keeps only the sockets: what arrives on them goes into the
// session table (session_table.h), which keeps every session rule, and what the table answers
// goes out on them (writes, datagrams, closes) or to the console (notes).
//
// Every message is checked by the codec (hartip_codec.h) first. Nothing received is kept beyond
// the message it belongs to, and every buffer is bounded.
//
// Security (secure_channel.h): the file's security section is read at most once a second. Unless
// its policy is off, a TCP connection whose first bytes, or whose first bytes after a version-2
// session initiate, are a TLS handshake record gets a TLS channel; a datagram that is a DTLS
// handshake record from a peer without an association goes to the DTLS cookie exchange. A
// channel's plaintext goes to the session table as the socket's bytes would, the table's output
// goes out through it. At most kMaxAssociations DTLS associations are held; a handshake that has
// not finished after SessionTable::kHandshakeTimeoutMs drops its peer; failed handshakes are
// counted and noted (rate-limited).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/capture_sink.h"
#include "base/clock.h"
#include "base/console.h"
#include "base/result.h"
#include "hartip/hartip_backend.h"
#include "hartip/secure_channel.h"
#include "hartip/session_table.h"

namespace qln {

class HartIpServer {
 public:
  static constexpr uint16_t kDefaultPort = 5094;
  static constexpr std::size_t kMaxSessions = hartip::SessionTable::kMaxSessions;
  static constexpr std::size_t kMaxConnections = hartip::SessionTable::kMaxConnections;
  static constexpr uint32_t kNoSessionTimeoutMs = hartip::SessionTable::kNoSessionTimeoutMs;
  // DTLS associations held at once (handshaking or open); a ClientHello beyond them is dropped.
  static constexpr std::size_t kMaxAssociations = hartip::SessionTable::kMaxConnections;
  // The file's security section is read again after this long.
  static constexpr uint32_t kSettingsPeriodMs = 1000;

  // The clock decides when sessions are idle; its milliseconds are read on the server's thread.
  // What the sessions receive and send (over TLS and DTLS the plaintext) is handed to `capture`
  // when given.
  HartIpServer(HartIpBackend& backend, Console& console, const Clock& clock,
               CaptureSink* capture = nullptr);
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
  // TLS and DTLS handshakes that failed since the server was made; any thread.
  std::size_t FailedHandshakes() const { return failedHandshakes_.load(std::memory_order_relaxed); }

 private:
  // An open TCP connection: the table's id and the socket.
  struct Connection {
    hartip::ConnectionId id = 0;
    int fd = -1;                                 // -1 once closed, until the entry is dropped
    std::string peer;                            // "address:port"
    HartIpFlow flow;                             // the peer's and the server's ends
    std::unique_ptr<hartip::SecureChannel> tls;  // none: plaintext
    uint32_t handshakeStartMs = 0;
    std::vector<uint8_t> ciphertext;  // TLS bytes the socket has not taken yet
  };
  // A DTLS association with a UDP peer.
  struct Association {
    hartip::Endpoint peer;
    std::unique_ptr<hartip::SecureChannel> dtls;
    uint32_t startMs = 0;
    uint32_t lastMs = 0;  // of its last datagram
  };

  void Run();
  void AcceptConnection();
  void ReadConnection(Connection& connection);
  void ReadSecured(Connection& connection, std::span<const uint8_t> bytes);
  void ReadDatagram();
  // False when the association has ended (failed or closed by the peer).
  bool ReadSecuredDatagram(Association& association, std::span<const uint8_t> bytes);
  void Listen(const hartip::Endpoint& from, std::span<const uint8_t> bytes);
  void Flush(Connection& connection);
  void SendDatagram(const hartip::Endpoint& to, std::span<const uint8_t> bytes);
  void Apply();
  void TickSecurity();
  void RefreshSettings();
  // A handshake or channel that failed: counted, noted (rate-limited); true when it did.
  bool Failed(const hartip::SecureChannel& channel, const std::string& peer);
  void CloseAll();
  // Hands the bytes to the capture, when one runs.
  void Capture(const HartIpFlow& flow, bool toServer, std::span<const uint8_t> bytes);
  HartIpFlow DatagramFlow(const hartip::Endpoint& peer) const;

  HartIpBackend& backend_;
  Console& console_;
  const Clock& clock_;
  CaptureSink* capture_;
  uint32_t udpAddress_ = 0;     // the address UDP is bound to (host byte order)
  hartip::SessionTable table_;  // server thread only, once started
  // Server thread only, once started; made when the file first has keys.
  std::unique_ptr<hartip::SecureContext> secure_;
  hartip::SecurityPolicy policy_ = hartip::SecurityPolicy::Off;
  uint32_t settingsReadMs_ = 0;
  bool settingsRead_ = false;
  std::vector<std::string> reported_;  // the settings' problems already noted
  std::atomic<std::size_t> failedHandshakes_{0};

  int tcp_ = -1;
  int udp_ = -1;
  int wake_ = -1;  // eventfd: stop
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<uint16_t> port_{0};
  std::atomic<std::size_t> sessionCount_{0};

  std::vector<Connection> connections_;    // server thread only
  std::vector<Association> associations_;  // server thread only
};

}  // namespace qln
