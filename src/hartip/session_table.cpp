#include "hartip/session_table.h"

#include <algorithm>
#include <utility>

#include "base/burst_frame.h"

namespace qln::hartip {

std::string Endpoint::Text() const {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF) + ":" +
         std::to_string(port);
}

struct SessionTable::Peer {
  bool tcp = false;
  ConnectionId id = 0;  // TCP
  Endpoint endpoint;
  std::string text;
  bool inSession = false;
  bool primaryMaster = true;
  uint8_t version = kVersion;  // of the session's initiate
  SessionMemory memory;
  uint64_t audit = 0;  // serial number of the session's audit record, 0 before the session
  uint32_t inactivityMs = kNoSessionTimeoutMs;
  uint32_t lastActivityMs = 0;
  // Session close, or a refused session initiate over TCP: the connection closes once its
  // output is written and reads nothing more.
  bool closeWhenSent = false;
  bool closed = false;
  // TCP: the next bytes may start a TLS handshake (nothing yet, or only a version-2 initiate).
  bool tlsWindow = true;
  // A plaintext version-2 session under the policy "require": TLS must follow.
  bool awaitingTls = false;
  StreamReassembler stream;
  std::vector<uint8_t> outbox;
};

SessionTable::SessionTable(HartIpBackend& backend, const Clock* wallClock)
    : backend_(backend), wallClock_(wallClock), powerUpSeconds_(WallSeconds()) {}

// Seconds since 1970 of the wall clock's local time (taken as UTC: the log is read by people).
uint64_t SessionTable::WallSeconds() const {
  if (wallClock_ == nullptr) return 0;
  const LocalTime t = wallClock_->Now();
  // Days from 1970-01-01 of the proleptic Gregorian calendar.
  const int y = t.year - (t.month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = int64_t{era} * 146097 + doe - 719468;
  const int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
}

void SessionTable::OpenAudit(Peer& peer) {
  if (audit_.size() >= kMaxAuditRecords) audit_.erase(audit_.begin());
  AuditRecord record;
  record.clientAddress = peer.endpoint.address;
  record.clientPort = peer.endpoint.port;
  record.serverPort = serverPort_;
  record.connectSeconds = WallSeconds();
  if (peer.memory.security.secured) record.status &= ~AuditRecord::kInsecure;
  record.requests = 1;  // the session initiate, whose response is counted as it is sent
  peer.audit = nextAudit_++;
  audit_.emplace_back(peer.audit, record);
}

AuditRecord* SessionTable::Audit(const Peer& peer) {
  const auto found = std::find_if(audit_.begin(), audit_.end(),
                                  [&](const auto& entry) { return entry.first == peer.audit; });
  return peer.audit == 0 || found == audit_.end() ? nullptr : &found->second;
}

SessionTable::~SessionTable() = default;

SessionTable::Peer* SessionTable::FindConnection(ConnectionId connection) {
  const auto found = std::find_if(connections_.begin(), connections_.end(),
                                  [&](const Peer& p) { return p.id == connection && !p.closed; });
  return found == connections_.end() ? nullptr : &*found;
}

const SessionTable::Peer* SessionTable::FindConnection(ConnectionId connection) const {
  return const_cast<SessionTable*>(this)->FindConnection(connection);
}

std::size_t SessionTable::ConnectionCount() const {
  return static_cast<std::size_t>(std::count_if(connections_.begin(), connections_.end(),
                                                [](const Peer& p) { return !p.closed; }));
}

std::optional<ConnectionId> SessionTable::Accept(const Endpoint& peer, uint32_t nowMs) {
  nowMs_ = nowMs;
  if (ConnectionCount() >= kMaxConnections) {
    Note("connection refused",
         "HART-IP: connection from " + peer.Text() + " refused: too many connections");
    return std::nullopt;
  }
  CloseOldestWaiting();
  Peer& connection = connections_.emplace_back();
  connection.tcp = true;
  connection.id = nextId_++;
  connection.endpoint = peer;
  connection.text = peer.Text();
  connection.lastActivityMs = nowMs;
  const ConnectionId id = connection.id;
  Forget();
  return id;
}

// Makes room for one more connection without a session by closing the oldest of them when
// kMaxWaitingConnections are held.
void SessionTable::CloseOldestWaiting() {
  const auto waiting = [](const Peer& p) { return !p.closed && !p.inSession && !p.closeWhenSent; };
  if (static_cast<std::size_t>(std::count_if(connections_.begin(), connections_.end(), waiting)) <
      kMaxWaitingConnections) {
    return;
  }
  Peer& oldest = *std::find_if(connections_.begin(), connections_.end(), waiting);
  Note("waiting connection closed", "HART-IP: connection from " + oldest.text +
                                        " closed: it opened no session, and a newer one came");
  End(oldest);
}

void SessionTable::Received(ConnectionId connection, std::span<const uint8_t> bytes,
                            uint32_t nowMs) {
  nowMs_ = nowMs;
  Peer* peer = FindConnection(connection);
  if (peer == nullptr) return;
  // The reassembler holds one message at most: take its messages out as it fills.
  while (!bytes.empty() && !peer->closed && !peer->closeWhenSent) {
    bytes = bytes.subspan(peer->stream.Feed(bytes));
    while (!peer->closed && !peer->closeWhenSent) {
      const std::optional<std::vector<uint8_t>> message = peer->stream.Next();
      if (!message) break;
      Handle(*peer, *message, nowMs);
    }
    if (peer->stream.Broken()) {
      Note("bad byte count", "HART-IP: connection from " + peer->text + " closed: byte count " +
                                 std::to_string(peer->stream.BadByteCount()) +
                                 " is outside 8..512");
      End(*peer);
    }
  }
  Forget();
}

void SessionTable::Written(ConnectionId connection, std::size_t count) {
  Peer* peer = FindConnection(connection);
  if (peer == nullptr) return;
  count = std::min(count, peer->outbox.size());
  peer->outbox.erase(peer->outbox.begin(),
                     peer->outbox.begin() + static_cast<std::ptrdiff_t>(count));
  if (peer->outbox.empty() && peer->closeWhenSent) End(*peer);
  Forget();
}

void SessionTable::PeerClosed(ConnectionId connection) {
  if (Peer* peer = FindConnection(connection))
    End(*peer, peer->closeWhenSent ? 0 : AuditRecord::kAborted);
  Forget();
}

void SessionTable::DatagramReceived(const Endpoint& from, std::span<const uint8_t> bytes,
                                    uint32_t nowMs, const ClientEntry* secured) {
  nowMs_ = nowMs;
  const auto known = std::find_if(udpSessions_.begin(), udpSessions_.end(),
                                  [&](const Peer& p) { return p.endpoint == from; });
  if (known != udpSessions_.end()) {
    // A session keeps the security it was opened with: plaintext never reaches a DTLS session.
    if (known->memory.security.secured == (secured != nullptr)) Handle(*known, bytes, nowMs);
  } else {
    Peer stranger;
    stranger.endpoint = from;
    stranger.text = from.Text();
    if (secured != nullptr) stranger.memory.security = {true, secured->slot, secured->identity};
    Handle(stranger, bytes, nowMs);
    if (stranger.inSession) udpSessions_.push_back(std::move(stranger));
  }
  Forget();
}

void SessionTable::Secure(ConnectionId connection, const ClientEntry& client, uint32_t nowMs) {
  nowMs_ = nowMs;
  Peer* peer = FindConnection(connection);
  if (peer == nullptr) return;
  peer->memory.security = {true, client.slot, client.identity};
  peer->awaitingTls = false;
  peer->tlsWindow = false;
  if (AuditRecord* record = Audit(*peer)) record->status &= ~AuditRecord::kInsecure;
  Note("secured", "HART-IP: connection from " + peer->text + " secured by TLS as client " +
                      std::to_string(client.slot) + " \"" + client.identity + "\"");
}

bool SessionTable::MayStartTls(ConnectionId connection) const {
  const Peer* peer = FindConnection(connection);
  return peer != nullptr && peer->tlsWindow && !peer->memory.security.secured &&
         !peer->closeWhenSent && peer->stream.Empty();
}

bool SessionTable::HasUdpSession(const Endpoint& peer) const {
  return std::any_of(udpSessions_.begin(), udpSessions_.end(),
                     [&](const Peer& p) { return p.endpoint == peer && !p.closed; });
}

void SessionTable::Report(std::string_view kind, std::string text, uint32_t nowMs) {
  nowMs_ = nowMs;
  Note(kind, std::move(text));
}

void SessionTable::Tick(uint32_t nowMs) {
  nowMs_ = nowMs;
  CloseIdle(nowMs);
  PublishDueBurst(nowMs);
  FlushHeldNotes();
  Forget();
}

void SessionTable::Clear() {
  connections_.clear();
  udpSessions_.clear();
  sessionCount_ = 0;
  output_ = {};
}

std::span<const uint8_t> SessionTable::Pending(ConnectionId connection) const {
  const Peer* peer = FindConnection(connection);
  if (peer == nullptr) return {};
  return peer->outbox;
}

Output SessionTable::TakeOutput() { return std::exchange(output_, {}); }

void SessionTable::Handle(Peer& peer, std::span<const uint8_t> message, uint32_t nowMs) {
  Request request = ClassifyRequest(message, peer.inSession);
  if (request.kind == RequestKind::Ignore) return;
  peer.tlsWindow = false;
  if (peer.awaitingTls) {
    // Plaintext where the policy wants the TLS handshake the session initiate promised.
    request.kind = RequestKind::Refuse;
    request.status = kStatusAccessRestricted;
    peer.closeWhenSent = true;
    Note("plaintext refused", "HART-IP: connection from " + peer.text +
                                  " closed: plaintext after its session initiate, and the "
                                  "security policy requires TLS");
  }
  // A refused message keeps nothing open: a connection that only sends those is closed when its
  // grace ends.
  if (request.kind != RequestKind::Refuse) peer.lastActivityMs = nowMs;
  if (AuditRecord* record = Audit(peer)) ++record->requests;
  switch (request.kind) {
    case RequestKind::SessionInitiate:
      if (sessionCount_ >= kMaxSessions) {
        request.kind = RequestKind::Refuse;
        request.status = kStatusSessionsInUse;
        peer.closeWhenSent = peer.tcp;
        Note("session refused", "HART-IP: session from " + peer.text + " refused: " +
                                    std::to_string(kMaxSessions) + " sessions are open");
        break;
      }
      if (policy_ == SecurityPolicy::Require && !peer.memory.security.secured) {
        if (peer.tcp && request.header.version >= kLatestVersion) {
          peer.awaitingTls = true;  // the client starts TLS once it has the response
        } else {
          request.kind = RequestKind::Refuse;
          request.status = kStatusAccessRestricted;
          peer.closeWhenSent = peer.tcp;
          Note("insecure session refused", "HART-IP: session from " + peer.text +
                                               " refused: the security policy requires " +
                                               (peer.tcp ? "TLS" : "DTLS"));
          break;
        }
      }
      peer.tlsWindow =
          peer.tcp && request.header.version >= kLatestVersion && !peer.memory.security.secured;
      peer.inSession = true;
      peer.version = request.header.version;
      peer.primaryMaster = request.primaryMaster;
      peer.inactivityMs = request.inactivityMs;
      ++sessionCount_;
      OpenAudit(peer);
      break;
    case RequestKind::SessionClose:
      peer.closeWhenSent = true;
      break;
    case RequestKind::TokenPassingPdu:
      Send(peer, AnswerPdu(request.header, backend_.Execute(request.frame, peer.primaryMaster,
                                                            peer.text, peer.memory)));
      return;
    case RequestKind::DirectPdu:
      ExecuteDirect(peer, request);
      return;
    case RequestKind::ReadAuditLog: {
      std::vector<AuditRecord> records;
      for (const auto& [serial, record] : audit_) records.push_back(record);
      Send(peer, AnswerAuditLog(request, powerUpSeconds_, securityChangeSeconds_, records));
      return;
    }
    default:
      break;
  }
  if (const std::optional<std::vector<uint8_t>> answer = AnswerRequest(request)) {
    Send(peer, *answer);
  }
  // A UDP peer's closing session ends here; a TCP connection ends once its output is written.
  if (peer.closeWhenSent && !peer.tcp) End(peer);
}

// The commands of a Direct PDU, in order, as long as their replies fit the response (a command
// whose reply might not fit is not executed: a write is never done without its answer).
void SessionTable::ExecuteDirect(Peer& peer, const Request& request) {
  constexpr std::size_t kLongestReply = 4 + 253;
  std::vector<DirectReply> replies;
  std::size_t size = kHeaderSize + 2;
  const std::optional<std::vector<DirectCommand>> commands = ParseDirectPdu(request.body);
  for (const DirectCommand& command : commands.value_or(std::vector<DirectCommand>{})) {
    if (size + kLongestReply > kMaxMessageSize) break;
    DirectAnswer answer = backend_.ExecuteDirect(command.command, command.data, peer.primaryMaster,
                                                 peer.text, peer.memory);
    size += 4 + answer.data.size();
    replies.push_back({command.command, answer.responseCode, std::move(answer.data)});
  }
  Send(peer, AnswerDirectPdu(request.header, backend_.DirectStatus(), replies));
}

void SessionTable::Send(Peer& peer, const std::vector<uint8_t>& message) {
  if (peer.closed) return;
  if (AuditRecord* record = Audit(peer); record != nullptr && message.size() > 1) {
    if (message[1] == static_cast<uint8_t>(MessageType::Publish)) ++record->publishes;
    if (message[1] == static_cast<uint8_t>(MessageType::Response)) ++record->responses;
  }
  if (!peer.tcp) {
    output_.datagrams.push_back({peer.endpoint, message});
    return;
  }
  if (peer.outbox.size() + message.size() > kMaxOutbox) {
    Note("slow reader",
         "HART-IP: connection from " + peer.text + " closed: it does not read its replies");
    End(peer);
    return;
  }
  peer.outbox.insert(peer.outbox.end(), message.begin(), message.end());
}

void SessionTable::CloseIdle(uint32_t nowMs) {
  for (std::vector<Peer>* peers : {&connections_, &udpSessions_}) {
    for (Peer& peer : *peers) {
      if (!peer.closed && peer.awaitingTls && nowMs - peer.lastActivityMs > kHandshakeTimeoutMs) {
        Note("no handshake", "HART-IP: session of " + peer.text + " closed: no TLS handshake " +
                                 std::to_string(kHandshakeTimeoutMs) + " ms after its initiate");
        End(peer, AuditRecord::kAborted);
        continue;
      }
      if (peer.closed || nowMs - peer.lastActivityMs <= peer.inactivityMs) continue;
      Note("idle", "HART-IP: session of " + peer.text + " closed after " +
                       std::to_string(peer.inactivityMs) + " ms without a request");
      End(peer, AuditRecord::kTimedOut);
    }
  }
}

// The bursting devices' frames reach the sessions at their messages' periods, whether or not the
// serial port is open; the backend says when to look again.
void SessionTable::PublishDueBurst(uint32_t nowMs) {
  if (nowMs - lastBurstMs_ < burstWaitMs_) return;
  lastBurstMs_ = nowMs;
  if (sessionCount_ == 0) return;
  const Publications due = backend_.BurstFrames(nowMs);
  burstWaitMs_ = std::clamp<uint32_t>(due.waitMs, 1, kBurstPeriodMs);
  for (const Publication& burst : due.frames) {
    const uint16_t sequence = publishSequence_++;
    const auto publish = [&](Peer& peer) {
      if (!peer.memory.subscriptions.Wants(burst.device) || peer.tlsWindow) return;
      Send(peer, EncodeMessage(MessageType::Publish, MessageId::TokenPassingPdu, kStatusSuccess,
                               sequence, burst.frame, peer.version));
    };
    for (Peer& peer : connections_) {
      if (peer.inSession) publish(peer);
    }
    for (Peer& peer : udpSessions_) publish(peer);
  }
}

void SessionTable::End(Peer& peer, uint16_t auditStatus) {
  if (peer.closed) return;
  if (AuditRecord* record = Audit(peer)) {
    record->disconnectSeconds = WallSeconds();
    record->status |= auditStatus;
    if (peer.memory.devices.wrote) record->status |= AuditRecord::kWritesOccurred;
  }
  peer.closed = true;
  if (peer.inSession) --sessionCount_;
  peer.inSession = false;
  peer.outbox.clear();
  if (peer.tcp) output_.closes.push_back(peer.id);
}

void SessionTable::Note(std::string_view kind, std::string text) {
  const auto found = std::find_if(noteKinds_.begin(), noteKinds_.end(),
                                  [&](const NoteKind& k) { return k.kind == kind; });
  if (found == noteKinds_.end()) {
    noteKinds_.push_back({std::string(kind), nowMs_, 0});
  } else if (nowMs_ - found->lastMs < kNotePeriodMs) {
    ++found->held;
    return;
  } else {
    if (found->held > 0) text += " (and " + std::to_string(found->held) + " more held back)";
    found->held = 0;
    found->lastMs = nowMs_;
  }
  output_.notes.push_back(std::move(text));
}

// The notes held back for a second and more, counted in one line per kind.
void SessionTable::FlushHeldNotes() {
  for (NoteKind& k : noteKinds_) {
    if (k.held == 0 || nowMs_ - k.lastMs < kNotePeriodMs) continue;
    output_.notes.push_back("HART-IP: " + std::to_string(k.held) + " more notes \"" + k.kind +
                            "\" held back");
    k.held = 0;
    k.lastMs = nowMs_;
  }
}

// Drops the peers that have ended; called at the end of every input, never inside a loop over
// the peers.
void SessionTable::Forget() {
  for (std::vector<Peer>* peers : {&connections_, &udpSessions_}) {
    std::erase_if(*peers, [](const Peer& peer) { return peer.closed; });
  }
}

}  // namespace qln::hartip
