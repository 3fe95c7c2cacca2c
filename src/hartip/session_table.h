// The HART-IP sessions without I/O: the table is told what happened on the network (a TCP
// connection accepted, bytes received on it, bytes of its output written, the peer gone, a
// datagram received, the time) and answers with what to do (bytes to write to a connection,
// datagrams to send, connections to close, console notes). The server (hartip_server.h) keeps
// only the sockets and moves bytes between them and the table, so every session rule can be
// driven and checked with plain calls and an invented time.
//
// The rules kept here:
// - at most kMaxSessions sessions, TCP connections and UDP peers together; one more session
//   initiate is refused with status 15, and over TCP its connection closed once the refusal is
//   written;
// - a session idle for its inactivity close timer (at most kMaxInactivityMs) is closed, and so
//   is a TCP connection that has sent no accepted message for kNoSessionTimeoutMs without
//   opening a session (a refused message does not keep it);
// - at most kMaxWaitingConnections TCP connections without a session: a newer one takes the
//   place of the oldest, so connections that never open a session cannot keep clients out; at
//   most kMaxConnections TCP connections in all, one more is refused;
// - each session answers in its own version (1 or 2) and keeps its own DeviceMemory;
// - a console note of one kind is given at most once a second; the ones held back are counted
//   in the next of that kind, or in a line of their own once the second is over;
// - session close ends a UDP session at once and a TCP connection once the response is written;
// - a TCP reader whose unwritten output would pass kMaxOutbox is disconnected;
// - a UDP peer becomes a session by its session initiate and is known by its address and port;
// - the burst frames of every bursting device's messages are published at their periods to
//   every session that has not subscribed (command 533) or subscribed to the bursting device;
// - each session opened leaves a record in the audit log (Read Audit Log), the newest
//   kMaxAuditRecords of them kept, marked insecure unless it runs over TLS or DTLS;
// - under the security policy "require" a plaintext session initiate is refused with status 16,
//   except a version-2 initiate over TCP, which opens the session a TLS handshake must then
//   secure (the way version-2 clients start): any other plaintext message on it is refused with
//   status 16 and the connection closed, and so is the session when no handshake has secured it
//   kHandshakeTimeoutMs after the initiate;
// - a TCP session that has just been opened by a version-2 initiate gets no publish until its
//   next message, so a client that starts TLS there finds only its handshake on the stream.
//
// Not thread-safe: one thread (the server's) drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "hartip/hartip_backend.h"
#include "hartip/hartip_codec.h"
#include "hartip/security_settings.h"

namespace qln::hartip {

// An IPv4 peer: address (host byte order) and port.
struct Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;

  bool operator==(const Endpoint&) const = default;
  // "127.0.0.1:50123": how notes and the traffic log name the peer.
  std::string Text() const;
};

// A TCP connection, as the table numbers them (from 1, never reused by one table).
using ConnectionId = uint32_t;

struct Datagram {
  Endpoint to;
  std::vector<uint8_t> bytes;
};

// What the table asks of the I/O around it since it was last asked.
struct Output {
  std::vector<Datagram> datagrams;   // to send, in this order
  std::vector<ConnectionId> closes;  // to close now; the table has forgotten them
  std::vector<std::string> notes;    // console notes, without line end
};

class SessionTable {
 public:
  static constexpr std::size_t kMaxSessions = 8;
  // TCP connections held at once, sessions or not yet; one more is refused.
  static constexpr std::size_t kMaxConnections = 16;
  // TCP connections without a session held at once; a newer one closes the oldest. As many as
  // sessions, so that a client opening all its sessions at once over TLS (whose session
  // initiate comes only after the handshake) loses none of them.
  static constexpr std::size_t kMaxWaitingConnections = kMaxSessions;
  // Notes of one kind given at most this often; the others are counted.
  static constexpr uint32_t kNotePeriodMs = 1000;
  // A TCP connection that has not opened a session is closed after this long without a message.
  static constexpr uint32_t kNoSessionTimeoutMs = 10000;
  // Output waiting for a slow TCP reader; a reader further behind is disconnected.
  static constexpr std::size_t kMaxOutbox = 64 * 1024;

  // Records of the audit log kept; older ones are dropped.
  static constexpr std::size_t kMaxAuditRecords = 64;
  // How long a TLS or DTLS handshake may take before the peer is dropped.
  static constexpr uint32_t kHandshakeTimeoutMs = 5000;

  // `wallClock` dates the audit log (none: every time is 0).
  explicit SessionTable(HartIpBackend& backend, const Clock* wallClock = nullptr);
  // The port the server listens on, for the audit log's records.
  void SetServerPort(uint16_t port) { serverPort_ = port; }
  ~SessionTable();
  SessionTable(const SessionTable&) = delete;
  SessionTable& operator=(const SessionTable&) = delete;

  // --- What happened. `nowMs` is the caller's millisecond clock (wrapping at 2^32).

  // A TCP connection from `peer` was accepted: its id, or nothing when kMaxConnections are open
  // (the caller closes it at once; a note says so).
  std::optional<ConnectionId> Accept(const Endpoint& peer, uint32_t nowMs);
  // Bytes read from the connection, any amount; messages may be split or joined.
  void Received(ConnectionId connection, std::span<const uint8_t> bytes, uint32_t nowMs);
  // The first `count` bytes of Pending(connection) were written.
  void Written(ConnectionId connection, std::size_t count);
  // The peer closed the connection, or reading or writing it failed.
  void PeerClosed(ConnectionId connection);
  // A datagram from `from`, whole: its length is checked against its byte count. `secured`: the
  // client a DTLS association proved (the datagram's plaintext), or none for plaintext.
  void DatagramReceived(const Endpoint& from, std::span<const uint8_t> bytes, uint32_t nowMs,
                        const ClientEntry* secured = nullptr);
  // The connection's TLS handshake proved the client: its session (open or to come) is secured.
  void Secure(ConnectionId connection, const ClientEntry& client, uint32_t nowMs);
  // Whether the connection's next bytes may start a TLS handshake: nothing received yet, or only
  // a version-2 session initiate, and no message begun.
  bool MayStartTls(ConnectionId connection) const;
  // Whether the UDP peer has a session open.
  bool HasUdpSession(const Endpoint& peer) const;
  // The security policy sessions are opened under (off until set).
  void SetPolicy(SecurityPolicy policy) { policy_ = policy; }
  // The clients or the policy changed: the audit log's "last security change" is now.
  void SecurityChanged() { securityChangeSeconds_ = WallSeconds(); }
  // A console note of the server's (handshakes), rate-limited per kind as the table's own.
  void Report(std::string_view kind, std::string text, uint32_t nowMs);
  // Time passes: idle sessions and connections close, a due burst frame is published. Call it
  // often (the server does at least every 50 ms).
  void Tick(uint32_t nowMs);
  // Forgets every connection, session and output, without notes (the server stops). The burst
  // period and publish sequence number go on.
  void Clear();

  // --- What to do.

  // Bytes waiting to be written to the connection (empty for an unknown one). Valid until the
  // next call of a non-const member.
  std::span<const uint8_t> Pending(ConnectionId connection) const;
  // The datagrams, closes and notes gathered since the last call; the table keeps none of them.
  Output TakeOutput();

  // Sessions open now.
  std::size_t SessionCount() const { return sessionCount_; }
  // TCP connections open now, in a session or not.
  std::size_t ConnectionCount() const;

 private:
  struct Peer;
  Peer* FindConnection(ConnectionId connection);
  const Peer* FindConnection(ConnectionId connection) const;
  void Handle(Peer& peer, std::span<const uint8_t> message, uint32_t nowMs);
  void Send(Peer& peer, const std::vector<uint8_t>& message);
  void CloseIdle(uint32_t nowMs);
  void PublishDueBurst(uint32_t nowMs);
  // Ends the peer; a session's audit record gets its disconnect time and the status bits.
  void End(Peer& peer, uint16_t auditStatus = 0);
  void Forget();
  // A console note of a kind (a short name of what happened), within kNotePeriodMs per kind.
  void Note(std::string_view kind, std::string text);
  void FlushHeldNotes();
  void CloseOldestWaiting();
  void ExecuteDirect(Peer& peer, const Request& request);
  void OpenAudit(Peer& peer);
  AuditRecord* Audit(const Peer& peer);
  uint64_t WallSeconds() const;

  HartIpBackend& backend_;
  const Clock* wallClock_;
  SecurityPolicy policy_ = SecurityPolicy::Off;
  uint64_t powerUpSeconds_;
  uint64_t securityChangeSeconds_ = 0;  // 0: not since the start
  uint16_t serverPort_ = 0;
  std::vector<std::pair<uint64_t, AuditRecord>> audit_;  // by serial number, oldest first
  uint64_t nextAudit_ = 1;
  std::vector<Peer> connections_;  // TCP
  std::vector<Peer> udpSessions_;  // UDP peers with an open session
  std::size_t sessionCount_ = 0;
  ConnectionId nextId_ = 1;
  uint16_t publishSequence_ = 0;
  uint32_t lastBurstMs_ = 0;               // time of the last look for a burst frame
  uint32_t burstWaitMs_ = kBurstPeriodMs;  // from that look to the next
  uint32_t nowMs_ = 0;                     // the time of the input being handled
  struct NoteKind {
    std::string kind;
    uint32_t lastMs = 0;
    std::size_t held = 0;  // notes held back since lastMs
  };
  std::vector<NoteKind> noteKinds_;
  Output output_;
};

}  // namespace qln::hartip
