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
  uint32_t inactivityMs = kNoSessionTimeoutMs;
  uint32_t lastActivityMs = 0;
  // Session close, or a refused session initiate over TCP: the connection closes once its
  // output is written and reads nothing more.
  bool closeWhenSent = false;
  bool closed = false;
  StreamReassembler stream;
  std::vector<uint8_t> outbox;
};

SessionTable::SessionTable(HartIpBackend& backend) : backend_(backend) {}

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
  if (ConnectionCount() >= kMaxConnections) {
    output_.notes.push_back("HART-IP: connection from " + peer.Text() +
                            " refused: too many connections");
    return std::nullopt;
  }
  Peer& connection = connections_.emplace_back();
  connection.tcp = true;
  connection.id = nextId_++;
  connection.endpoint = peer;
  connection.text = peer.Text();
  connection.lastActivityMs = nowMs;
  return connection.id;
}

void SessionTable::Received(ConnectionId connection, std::span<const uint8_t> bytes,
                            uint32_t nowMs) {
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
      output_.notes.push_back("HART-IP: connection from " + peer->text + " closed: byte count " +
                              std::to_string(peer->stream.BadByteCount()) + " is outside 8..512");
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
  if (Peer* peer = FindConnection(connection)) End(*peer);
  Forget();
}

void SessionTable::DatagramReceived(const Endpoint& from, std::span<const uint8_t> bytes,
                                    uint32_t nowMs) {
  const auto known = std::find_if(udpSessions_.begin(), udpSessions_.end(),
                                  [&](const Peer& p) { return p.endpoint == from; });
  if (known != udpSessions_.end()) {
    Handle(*known, bytes, nowMs);
  } else {
    Peer stranger;
    stranger.endpoint = from;
    stranger.text = from.Text();
    Handle(stranger, bytes, nowMs);
    if (stranger.inSession) udpSessions_.push_back(std::move(stranger));
  }
  Forget();
}

void SessionTable::Tick(uint32_t nowMs) {
  CloseIdle(nowMs);
  PublishDueBurst(nowMs);
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
  peer.lastActivityMs = nowMs;
  switch (request.kind) {
    case RequestKind::SessionInitiate:
      if (sessionCount_ >= kMaxSessions) {
        request.kind = RequestKind::Refuse;
        request.status = kStatusSessionsInUse;
        peer.closeWhenSent = peer.tcp;
        output_.notes.push_back("HART-IP: session from " + peer.text +
                                " refused: " + std::to_string(kMaxSessions) + " sessions are open");
        break;
      }
      peer.inSession = true;
      peer.primaryMaster = request.primaryMaster;
      peer.inactivityMs = request.inactivityMs;
      ++sessionCount_;
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
  // A UDP peer's closing session ends here; a TCP connection ends once its output is written.
  if (peer.closeWhenSent && !peer.tcp) End(peer);
}

void SessionTable::Send(Peer& peer, const std::vector<uint8_t>& message) {
  if (peer.closed) return;
  if (!peer.tcp) {
    output_.datagrams.push_back({peer.endpoint, message});
    return;
  }
  if (peer.outbox.size() + message.size() > kMaxOutbox) {
    output_.notes.push_back("HART-IP: connection from " + peer.text +
                            " closed: it does not read its replies");
    End(peer);
    return;
  }
  peer.outbox.insert(peer.outbox.end(), message.begin(), message.end());
}

void SessionTable::CloseIdle(uint32_t nowMs) {
  for (std::vector<Peer>* peers : {&connections_, &udpSessions_}) {
    for (Peer& peer : *peers) {
      if (peer.closed || nowMs - peer.lastActivityMs <= peer.inactivityMs) continue;
      output_.notes.push_back("HART-IP: session of " + peer.text + " closed after " +
                              std::to_string(peer.inactivityMs) + " ms without a request");
      End(peer);
    }
  }
}

// The bursting device's frames reach the sessions about once a second, whether or not the serial
// port is open.
void SessionTable::PublishDueBurst(uint32_t nowMs) {
  if (nowMs - lastBurstMs_ < kBurstPeriodMs) return;
  lastBurstMs_ = nowMs;
  if (sessionCount_ == 0) return;
  const std::optional<std::vector<uint8_t>> frame = backend_.BurstFrame();
  if (!frame) return;
  const std::vector<uint8_t> message = EncodeMessage(
      MessageType::Publish, MessageId::TokenPassingPdu, kStatusSuccess, publishSequence_++, *frame);
  for (Peer& peer : connections_) {
    if (peer.inSession) Send(peer, message);
  }
  for (Peer& peer : udpSessions_) Send(peer, message);
}

void SessionTable::End(Peer& peer) {
  if (peer.closed) return;
  peer.closed = true;
  if (peer.inSession) --sessionCount_;
  peer.inSession = false;
  peer.outbox.clear();
  if (peer.tcp) output_.closes.push_back(peer.id);
}

// Drops the peers that have ended; called at the end of every input, never inside a loop over
// the peers.
void SessionTable::Forget() {
  for (std::vector<Peer>* peers : {&connections_, &udpSessions_}) {
    std::erase_if(*peers, [](const Peer& peer) { return peer.closed; });
  }
}

}  // namespace qln::hartip
