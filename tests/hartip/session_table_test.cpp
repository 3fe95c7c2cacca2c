#include "hartip/session_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "hartip/fake_backend.h"
#include "hartip/hartip_client.h"
#include "link/link_harness.h"

namespace qln::hartip {
namespace {

using test::FakeBackend;
using test::InitiateBody;
using test::IpMessage;
using test::IpRequest;
using test::LongFrame;
using test::ParseIpMessage;
using test::ParseIpStream;

constexpr Endpoint kHostA{0x0A000007, 50123};  // 10.0.0.7:50123
constexpr Endpoint kHostB{0x0A000007, 50124};  // the same address, another port
constexpr Endpoint kHostC{0xC0A80102, 50123};  // another address, the same port
const std::array<uint8_t, 5> kAddress{0x11, 0x22, 0x33, 0x44, 0x55};
const std::vector<uint8_t> kBurst{0x81, 0xC1, 0x22, 0x33, 0x44, 0x55, 1, 7,
                                  0,    0,    0x20, 0x41, 0x20, 0,    0, 0x5A};

std::vector<uint8_t> Initiate(uint16_t sequence, bool primary = true,
                              uint32_t inactivityMs = 60000) {
  return IpRequest(0, sequence, InitiateBody(primary, inactivityMs));
}
std::vector<uint8_t> SessionClose(uint16_t sequence) { return IpRequest(1, sequence); }
std::vector<uint8_t> KeepAlive(uint16_t sequence) { return IpRequest(2, sequence); }
std::vector<uint8_t> Pdu(uint16_t sequence, uint8_t command = 1, bool primary = true) {
  return IpRequest(3, sequence, LongFrame(kAddress, command, {}, primary));
}

std::vector<uint8_t> Joined(std::initializer_list<std::vector<uint8_t>> messages) {
  std::vector<uint8_t> bytes;
  for (const std::vector<uint8_t>& message : messages) {
    bytes.insert(bytes.end(), message.begin(), message.end());
  }
  return bytes;
}

// Type, message ID, status and sequence number of the one message in `messages`; all -1 when
// there is not exactly one.
using Head = std::tuple<int, int, int, int>;
Head HeadOf(const std::vector<IpMessage>& messages) {
  if (messages.size() != 1) return {-1, -1, -1, -1};
  const IpMessage& m = messages[0];
  return {m.type, m.id, m.status, m.sequence};
}

std::vector<uint16_t> Sequences(const std::vector<IpMessage>& messages) {
  std::vector<uint16_t> sequences;
  for (const IpMessage& message : messages) sequences.push_back(message.sequence);
  return sequences;
}

// A session table at an invented time, with everything it asks for gathered: the notes, the
// connections it closes and the datagrams it sends.
class Driver {
 public:
  ConnectionId Connect(const Endpoint& from = kHostA) {
    const std::optional<ConnectionId> id = table.Accept(from, now);
    Gather();
    EXPECT_TRUE(id);
    return id.value_or(0);
  }
  // Bytes from the connection, its answers left unwritten.
  void Send(ConnectionId id, std::span<const uint8_t> bytes) {
    table.Received(id, bytes, now);
    Gather();
  }
  // Bytes from the connection; returns the messages it gets, written at once.
  std::vector<IpMessage> Tcp(ConnectionId id, std::span<const uint8_t> bytes) {
    table.Received(id, bytes, now);
    Gather();
    return WriteAll(id);
  }
  std::vector<IpMessage> WriteAll(ConnectionId id) {
    const std::span<const uint8_t> pending = table.Pending(id);
    std::vector<IpMessage> messages = ParseIpStream(pending);
    table.Written(id, pending.size());
    Gather();
    return messages;
  }
  // A datagram from `from`; returns the datagrams sent back to it.
  std::vector<IpMessage> Udp(const Endpoint& from, std::span<const uint8_t> bytes,
                             const ClientEntry* secured = nullptr) {
    table.DatagramReceived(from, bytes, now, secured);
    Gather();
    return DatagramsTo(from);
  }
  // The datagrams sent to `to` and not looked at yet.
  std::vector<IpMessage> DatagramsTo(const Endpoint& to) {
    std::vector<IpMessage> messages;
    for (const Datagram& datagram : datagrams) {
      if (datagram.to == to) messages.push_back(*ParseIpMessage(datagram.bytes));
    }
    std::erase_if(datagrams, [&](const Datagram& datagram) { return datagram.to == to; });
    return messages;
  }
  void TickAt(uint32_t ms) {
    now = ms;
    table.Tick(now);
    Gather();
  }
  ConnectionId TcpSession(const Endpoint& from, uint32_t inactivityMs = 60000) {
    const ConnectionId id = Connect(from);
    const std::vector<IpMessage> answer = Tcp(id, Initiate(1, true, inactivityMs));
    EXPECT_TRUE(answer.size() == 1 && answer[0].type == 1) << from.Text();
    return id;
  }
  void UdpSession(const Endpoint& from, uint32_t inactivityMs = 60000) {
    const std::vector<IpMessage> answer = Udp(from, Initiate(1, true, inactivityMs));
    EXPECT_TRUE(answer.size() == 1 && answer[0].type == 1) << from.Text();
  }
  bool Closed(ConnectionId id) const {
    return std::find(closes.begin(), closes.end(), id) != closes.end();
  }
  std::string Notes() const {
    std::string all;
    for (const std::string& note : notes) all += note + "\n";
    return all;
  }

  FakeBackend backend;
  test::FakeClock wall;  // 2024-12-31 13:45:07
  SessionTable table{backend, &wall};
  uint32_t now = 100000;
  std::vector<std::string> notes;
  std::vector<ConnectionId> closes;
  std::vector<Datagram> datagrams;

 private:
  void Gather() {
    Output output = table.TakeOutput();
    notes.insert(notes.end(), output.notes.begin(), output.notes.end());
    closes.insert(closes.end(), output.closes.begin(), output.closes.end());
    for (Datagram& datagram : output.datagrams) datagrams.push_back(std::move(datagram));
  }
};

Endpoint Host(uint16_t n) { return {0x0A000100u + n, static_cast<uint16_t>(40000 + n)}; }

TEST(HartIpEndpoint, TextIsDottedAddressAndPort) {
  EXPECT_EQ(kHostC.Text(), "192.168.1.2:50123");
  EXPECT_EQ((Endpoint{0, 0}.Text()), "0.0.0.0:0");
  EXPECT_EQ((Endpoint{0xFFFFFFFF, 65535}.Text()), "255.255.255.255:65535");
}

TEST(HartIpSessionTable, TcpSessionExecutesFramesKeepsAliveAndClosesOnceTheAnswerIsWritten) {
  Driver d;
  const ConnectionId id = d.Connect();
  auto answer = d.Tcp(id, Initiate(1, true, 30000));
  EXPECT_EQ(HeadOf(answer), Head(1, 0, 0, 1));
  EXPECT_EQ(answer.at(0).body, InitiateBody(true, 30000));
  EXPECT_EQ(d.table.SessionCount(), 1u);

  answer = d.Tcp(id, Pdu(2, 1));
  EXPECT_EQ(HeadOf(answer), Head(1, 3, 0, 2));
  EXPECT_EQ(answer.at(0).byteCount, 8 + 11);
  EXPECT_EQ(answer.at(0).body,
            (std::vector<uint8_t>{0x86, 0x11, 0x22, 0x33, 0x44, 0x55, 1, 2, 0, 0, 0x77}));
  ASSERT_EQ(d.backend.frames.size(), 1u);
  EXPECT_EQ(d.backend.frames[0], LongFrame(kAddress, 1));
  EXPECT_TRUE(d.backend.primaries[0]);
  EXPECT_EQ(d.backend.peers[0], "10.0.0.7:50123");

  // No device: status 35 and no frame.
  answer = d.Tcp(id, Pdu(3, 99));
  EXPECT_EQ(HeadOf(answer), Head(1, 3, 35, 3));
  EXPECT_TRUE(answer.at(0).body.empty());
  EXPECT_EQ(HeadOf(d.Tcp(id, KeepAlive(4))), Head(1, 2, 0, 4));

  // Session close: the connection stays until the whole response is written.
  d.Send(id, SessionClose(5));
  const std::vector<uint8_t> response(d.table.Pending(id).begin(), d.table.Pending(id).end());
  EXPECT_EQ(HeadOf(ParseIpStream(response)), Head(1, 1, 0, 5));
  d.table.Written(id, 3);
  d.TickAt(d.now);
  EXPECT_TRUE(d.closes.empty());
  EXPECT_EQ(d.table.Pending(id).size(), response.size() - 3);
  EXPECT_EQ(d.table.SessionCount(), 1u);
  d.WriteAll(id);
  EXPECT_EQ(d.closes, std::vector<ConnectionId>{id});
  EXPECT_EQ(d.table.SessionCount(), 0u);
  EXPECT_EQ(d.table.ConnectionCount(), 0u);
  EXPECT_TRUE(d.notes.empty());
  // The connection is forgotten: whatever still comes for it is dropped.
  d.table.Received(id, Pdu(6), d.now);
  EXPECT_TRUE(d.table.Pending(id).empty());
  EXPECT_EQ(d.backend.frames.size(), 2u);
}

TEST(HartIpSessionTable, MessagesOfOneStreamAreAnsweredInOrderUntilSessionClose) {
  const std::vector<uint8_t> stream = Joined(
      {Initiate(1), Pdu(2), KeepAlive(3), SessionClose(4), KeepAlive(5), Pdu(6), Initiate(7)});
  // However the stream is cut into reads, the answers are the same.
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{13}, stream.size()}) {
    SCOPED_TRACE(piece);
    Driver d;
    const ConnectionId id = d.Connect();
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      d.table.Received(id, std::span(stream).subspan(at, std::min(piece, stream.size() - at)),
                       d.now);
    }
    // Nothing after session close is read: the connection is on its way out.
    EXPECT_EQ(Sequences(d.WriteAll(id)), (std::vector<uint16_t>{1, 2, 3, 4}));
    EXPECT_EQ(d.backend.frames.size(), 1u);
    EXPECT_TRUE(d.Closed(id));
    EXPECT_EQ(d.table.SessionCount(), 0u);
  }
}

TEST(HartIpSessionTable, DirectPduRunsItsCommandsInOrderAndAnswersEach) {
  Driver d;
  const ConnectionId id = d.TcpSession(kHostA);
  // Status (2), then command 1 without data and command 524 with two bytes.
  const std::vector<uint8_t> body{0, 0, 0, 1, 0, 0x02, 0x0C, 2, 0xAB, 0xCD};
  const std::vector<IpMessage> answer = d.Tcp(id, IpRequest(4, 2, body));
  EXPECT_EQ(HeadOf(answer), Head(1, 4, 0, 2));
  EXPECT_EQ(d.backend.directCommands, (std::vector<uint16_t>{1, 524}));
  // The backend's status, then each command, byte count (response code and data), code, data.
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].body,
            (std::vector<uint8_t>{0x40, 0, 0, 1, 1, 0, 0x02, 0x0C, 3, 0, 0xCD, 0xAB}));
}

TEST(HartIpSessionTable, UdpSessionsBelongToTheirAddressAndPortAndItsMasterType) {
  Driver d;
  EXPECT_EQ(HeadOf(d.Udp(kHostA, Pdu(1))), Head(3, 3, 16, 1));
  const auto initiated = d.Udp(kHostB, Initiate(1, false));
  EXPECT_EQ(HeadOf(initiated), Head(1, 0, 0, 1));
  EXPECT_EQ(initiated.at(0).body, InitiateBody(false, 60000));
  EXPECT_EQ(d.table.SessionCount(), 1u);

  const auto reply = d.Udp(kHostB, Pdu(2, 48, false));
  EXPECT_EQ(HeadOf(reply), Head(1, 3, 0, 2));
  EXPECT_EQ(reply.at(0).body.size(), 11u);
  ASSERT_EQ(d.backend.primaries.size(), 1u);
  EXPECT_FALSE(d.backend.primaries[0]);
  EXPECT_EQ(d.backend.peers[0], "10.0.0.7:50124");

  // Another port of the same address, or the same port of another address, has no session.
  EXPECT_EQ(HeadOf(d.Udp(kHostA, KeepAlive(3))), Head(3, 2, 16, 3));
  EXPECT_EQ(HeadOf(d.Udp(kHostC, KeepAlive(3))), Head(3, 2, 16, 3));
  EXPECT_TRUE(d.datagrams.empty());

  // Session close ends a UDP session with its response.
  EXPECT_EQ(HeadOf(d.Udp(kHostB, SessionClose(4))), Head(1, 1, 0, 4));
  EXPECT_EQ(d.table.SessionCount(), 0u);
  EXPECT_TRUE(d.closes.empty());
  EXPECT_EQ(HeadOf(d.Udp(kHostB, KeepAlive(5))), Head(3, 2, 16, 5));
}

TEST(HartIpSessionTable, NinthSessionIsRefusedWithStatus15UntilOneCloses) {
  for (const bool ninthOverTcp : {true, false}) {
    SCOPED_TRACE(ninthOverTcp ? "TCP" : "UDP");
    Driver d;
    std::vector<ConnectionId> tcp;
    for (uint16_t n = 0; n < SessionTable::kMaxSessions; ++n) {
      if (n % 2 == 0) {
        tcp.push_back(d.TcpSession(Host(n)));
      } else {
        d.UdpSession(Host(n));
      }
    }
    EXPECT_EQ(d.table.SessionCount(), 8u);

    const Endpoint ninth = Host(8);
    std::vector<IpMessage> refused;
    ConnectionId ninthId = 0;
    if (ninthOverTcp) {
      ninthId = d.Connect(ninth);
      d.Send(ninthId, Initiate(77));
      EXPECT_FALSE(d.Closed(ninthId));  // not before the refusal is written
      refused = d.WriteAll(ninthId);
      EXPECT_TRUE(d.Closed(ninthId));
    } else {
      refused = d.Udp(ninth, Initiate(77));
      EXPECT_EQ(HeadOf(d.Udp(ninth, KeepAlive(78))), Head(3, 2, 16, 78));  // no session
    }
    EXPECT_EQ(HeadOf(refused), Head(3, 0, 15, 77));
    EXPECT_EQ(d.notes, std::vector<std::string>{"HART-IP: session from 10.0.1.8:40008 refused: 8 "
                                                "sessions are open"});
    EXPECT_EQ(d.table.SessionCount(), 8u);

    // A TCP session whose peer goes away frees its place.
    d.table.PeerClosed(tcp[0]);
    EXPECT_EQ(d.table.SessionCount(), 7u);
    EXPECT_EQ(HeadOf(d.Udp(ninth, Initiate(79))), Head(1, 0, 0, 79));
    EXPECT_EQ(d.table.SessionCount(), 8u);
  }
}

TEST(HartIpSessionTable, IdleSessionsCloseAfterTheirTimerAndEveryRequestRestartsIt) {
  struct Row {
    const char* name;
    bool tcp;
    std::optional<uint32_t> asked;  // the initiate's timer; none: no session
    uint32_t timer;                 // what the session gets
    uint8_t initiateStatus;
    uint32_t start;
  };
  const Row rows[] = {
      {"TCP session", true, 5000, 5000, 0, 100000},
      {"UDP session", false, 2000, 2000, 0, 100000},
      {"TCP timer raised to the shortest", true, 300, 1000, 8, 100000},
      {"UDP timer raised to the shortest", false, 0, 1000, 8, 100000},
      {"TCP timer lowered to the longest", true, 0xFFFFFFFF, kMaxInactivityMs, 8, 100000},
      {"TCP connection without a session", true, std::nullopt, 10000, 0, 100000},
      {"across the wrap of the clock", false, 3000, 3000, 0, 0xFFFFF000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Driver d;
    d.now = row.start;
    ConnectionId id = 0;
    auto request = [&](const std::vector<uint8_t>& message) {
      return row.tcp ? d.Tcp(id, message) : d.Udp(kHostA, message);
    };
    if (row.tcp) id = d.Connect(kHostA);
    if (row.asked) {
      const auto answer = request(Initiate(1, true, *row.asked));
      EXPECT_EQ(HeadOf(answer), Head(1, 0, row.initiateStatus, 1));
      EXPECT_EQ(answer.at(0).body, InitiateBody(true, row.timer));
    }
    // Idle for exactly the timer: still open. A request then restarts it, unless it is refused
    // (a keep alive without a session).
    d.TickAt(row.start + row.timer);
    EXPECT_TRUE(d.closes.empty());
    EXPECT_EQ(d.table.SessionCount(), row.asked ? 1u : 0u);
    EXPECT_EQ(request(KeepAlive(2)).size(), 1u);
    const uint32_t restarted = row.asked ? d.now : row.start;
    if (row.asked) {
      // A message that is no request (a host's response) does not count.
      d.TickAt(restarted + row.timer / 2);
      std::vector<uint8_t> response = KeepAlive(3);
      response[1] = 1;
      EXPECT_TRUE(request(response).empty());
      d.TickAt(restarted + row.timer);
      EXPECT_TRUE(d.notes.empty());
    }
    d.TickAt(restarted + row.timer + 1);
    EXPECT_EQ(d.notes,
              std::vector<std::string>{"HART-IP: session of 10.0.0.7:50123 closed after " +
                                       std::to_string(row.timer) + " ms without a request"});
    EXPECT_EQ(d.table.SessionCount(), 0u);
    if (row.tcp) {
      EXPECT_EQ(d.closes, std::vector<ConnectionId>{id});
      EXPECT_EQ(d.table.ConnectionCount(), 0u);
    } else {
      EXPECT_EQ(HeadOf(d.Udp(kHostA, KeepAlive(4))), Head(3, 2, 16, 4));
    }
  }
}

// Connections that open no session cannot keep others out: a newer one closes the oldest of
// them; the notes of a flood come once a second with a count.
TEST(HartIpSessionTable, ConnectionsWithoutASessionMakeRoomForNewerOnes) {
  Driver d;
  std::vector<ConnectionId> ids;
  for (uint16_t n = 0; n < 13; ++n)
    ids.push_back(n < 3 ? d.TcpSession(Host(n)) : d.Connect(Host(n)));
  EXPECT_EQ(std::set<ConnectionId>(ids.begin(), ids.end()).size(), ids.size());
  EXPECT_EQ(d.table.ConnectionCount(), 3 + SessionTable::kMaxWaitingConnections);
  const std::ptrdiff_t closed = 10 - SessionTable::kMaxWaitingConnections;  // the oldest waiting
  EXPECT_EQ(d.closes, std::vector<ConnectionId>(ids.begin() + 3, ids.begin() + 3 + closed));
  EXPECT_EQ(d.notes, std::vector<std::string>{"HART-IP: connection from 10.0.1.3:40003 closed: it "
                                              "opened no session, and a newer one came"});
  d.TickAt(d.now + 999);
  EXPECT_EQ(d.notes.size(), 1u);
  d.TickAt(d.now + 1);
  EXPECT_EQ(d.notes.back(), "HART-IP: " + std::to_string(closed - 1) +
                                " more notes \"waiting connection closed\" held back");
  d.notes.clear();
  // The newest waiting one can still open a session; the sessions were never touched.
  EXPECT_EQ(HeadOf(d.Tcp(ids.back(), Initiate(1))), Head(1, 0, 0, 1));
  EXPECT_EQ(d.table.SessionCount(), 4u);

  // A peer that goes away ends quietly; ids are not reused; input for a connection the table
  // does not hold is dropped.
  d.closes.clear();
  d.table.PeerClosed(ids[0]);
  d.TickAt(d.now);
  EXPECT_EQ(d.closes, std::vector<ConnectionId>{ids[0]});
  EXPECT_TRUE(d.notes.empty());
  const ConnectionId next = d.Connect(Host(16));
  EXPECT_EQ(std::count(ids.begin(), ids.end(), next), 0);
  d.table.PeerClosed(ids[0]);
  d.table.Written(ids[0], 10);
  d.table.Received(ids[0], KeepAlive(1), d.now);
  d.TickAt(d.now);
  EXPECT_EQ(d.closes.size(), 1u);
  EXPECT_TRUE(d.table.Pending(ids[0]).empty());
}

// Each session answers in its own version and keeps its own memory of the devices.
TEST(HartIpSessionTable, SessionsKeepTheirVersionAndDeviceMemory) {
  Driver d;
  d.backend.burst = kBurst;
  const ConnectionId v2 = d.Connect(kHostA);
  EXPECT_EQ(d.Tcp(v2, IpRequest(0, 1, InitiateBody(true, 60000), std::nullopt, 2)).at(0).version,
            2);
  d.UdpSession(kHostB);
  const auto pdu = d.Tcp(v2, IpRequest(3, 2, LongFrame(kAddress, 1), std::nullopt, 2));
  EXPECT_EQ(HeadOf(pdu), Head(1, 3, 0, 2));
  EXPECT_EQ(pdu.at(0).version, 2);
  EXPECT_EQ(d.Udp(kHostB, Pdu(3)).at(0).version, 1);
  EXPECT_EQ(d.Tcp(v2, IpRequest(3, 4, LongFrame(kAddress, 2), std::nullopt, 2)).at(0).version, 2);
  ASSERT_EQ(d.backend.memories.size(), 3u);
  EXPECT_EQ(d.backend.memories[0], d.backend.memories[2]);
  EXPECT_NE(d.backend.memories[0], d.backend.memories[1]);
  d.TickAt(d.now + 1000);
  EXPECT_EQ(ParseIpStream(d.table.Pending(v2)).at(0).version, 2);
  EXPECT_EQ(d.DatagramsTo(kHostB).at(0).version, 1);
}

TEST(HartIpSessionTable, ReaderThatFalls64KiBBehindIsDisconnected) {
  constexpr std::size_t kAnswer = 8 + 11;
  constexpr std::size_t kPublish = 8 + 16;
  Driver d;
  d.backend.burst = kBurst;
  d.TickAt(d.now);  // the first look for a burst frame, with no session yet
  const ConnectionId slow = d.TcpSession(kHostA);
  const ConnectionId quick = d.TcpSession(kHostB);

  // The slow reader writes nothing: answers and a published frame fill its output up to
  // exactly 64 KiB.
  const std::size_t fitting = (SessionTable::kMaxOutbox - kPublish) / kAnswer;
  std::vector<uint8_t> requests;
  for (std::size_t i = 0; i < fitting; ++i) {
    const std::vector<uint8_t> pdu = Pdu(static_cast<uint16_t>(i));
    requests.insert(requests.end(), pdu.begin(), pdu.end());
  }
  d.Send(slow, requests);
  d.TickAt(d.now + 1000);
  ASSERT_EQ(fitting * kAnswer + kPublish, SessionTable::kMaxOutbox);
  EXPECT_EQ(d.table.Pending(slow).size(), SessionTable::kMaxOutbox);
  EXPECT_TRUE(d.closes.empty());
  // The quick one reads as it goes, and got the same publish message.
  EXPECT_EQ(HeadOf(d.WriteAll(quick)), Head(2, 3, 0, 0));

  // One answer more and the slow reader is gone.
  d.Send(slow, KeepAlive(1));
  EXPECT_EQ(d.closes, std::vector<ConnectionId>{slow});
  EXPECT_EQ(d.notes, std::vector<std::string>{
                         "HART-IP: connection from 10.0.0.7:50123 closed: it does not read its "
                         "replies"});
  EXPECT_EQ(d.table.SessionCount(), 1u);
  EXPECT_TRUE(d.table.Pending(slow).empty());

  // A reader that keeps up is never cut off, however much it asks.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(d.Tcp(quick, requests).size(), fitting);
  }
  EXPECT_FALSE(d.Closed(quick));
}

TEST(HartIpSessionTable, MalformedMessagesAreRefusedOrCloseTheConnection) {
  // A refused message leaves the session as it was.
  Driver d;
  const ConnectionId id = d.TcpSession(kHostA);
  EXPECT_EQ(HeadOf(d.Tcp(id, IpRequest(2, 0x1234, {}, std::nullopt, 3))), Head(3, 2, 14, 0x1234));
  EXPECT_EQ(HeadOf(d.Tcp(id, KeepAlive(2))), Head(1, 2, 0, 2));
  // A datagram is one message: one longer than its byte count is refused.
  d.UdpSession(kHostB);
  std::vector<uint8_t> longer = KeepAlive(80);
  longer.push_back(0);
  EXPECT_EQ(HeadOf(d.Udp(kHostB, longer)), Head(3, 2, 5, 80));
  EXPECT_EQ(d.table.SessionCount(), 2u);
  EXPECT_TRUE(d.notes.empty());

  // A byte count outside 8..512 in the stream closes the connection, with a note.
  for (const uint16_t count : {600, 7}) {
    SCOPED_TRACE(count);
    Driver broken;
    const ConnectionId connection = broken.TcpSession(kHostA);
    EXPECT_TRUE(broken.Tcp(connection, IpRequest(2, 3, {}, count)).empty());
    EXPECT_EQ(broken.closes, std::vector<ConnectionId>{connection});
    EXPECT_EQ(broken.notes, std::vector<std::string>{"HART-IP: connection from 10.0.0.7:50123 "
                                                     "closed: byte count " +
                                                     std::to_string(count) + " is outside 8..512"});
    EXPECT_EQ(broken.table.SessionCount(), 0u);
  }
}

TEST(HartIpSessionTable, BurstFramesArePublishedToEverySessionOnceASecond) {
  Driver d;
  d.backend.burst = kBurst;
  // No session: nobody to publish to, and the backend is not asked.
  d.TickAt(100000);
  const ConnectionId tcp = d.TcpSession(kHostA);
  d.UdpSession(kHostB, 5000);
  const ConnectionId outsider = d.Connect(kHostC);  // connected, no session
  d.TickAt(100999);
  EXPECT_EQ(d.backend.burstAsked, 0);

  uint16_t sequence = 0;
  for (const uint32_t due : {101000u, 102000u, 103000u}) {
    SCOPED_TRACE(due);
    d.TickAt(due - 1);
    EXPECT_TRUE(d.WriteAll(tcp).empty());
    d.TickAt(due);
    for (const std::vector<IpMessage>& published : {d.WriteAll(tcp), d.DatagramsTo(kHostB)}) {
      EXPECT_EQ(HeadOf(published), Head(2, 3, 0, sequence));
      EXPECT_EQ(published.at(0).body, kBurst);
    }
    ++sequence;
    EXPECT_TRUE(d.table.Pending(outsider).empty());
    EXPECT_TRUE(d.datagrams.empty());
    d.Udp(kHostB, KeepAlive(sequence));  // keeps the UDP session open
  }
  EXPECT_EQ(d.backend.burstAsked, 3);

  // While no device bursts, nothing goes out; with no session, the backend is not asked.
  d.backend.burst.reset();
  d.TickAt(104000);
  EXPECT_TRUE(d.WriteAll(tcp).empty());
  EXPECT_TRUE(d.DatagramsTo(kHostB).empty());
  EXPECT_EQ(d.backend.burstAsked, 4);
  d.table.Clear();
  d.backend.burst = kBurst;
  d.TickAt(105000);
  EXPECT_EQ(d.backend.burstAsked, 4);
  EXPECT_TRUE(d.notes.empty());
  // After a clear the publish sequence goes on where it was.
  d.UdpSession(kHostA);
  d.TickAt(106000);
  EXPECT_EQ(HeadOf(d.DatagramsTo(kHostA)), Head(2, 3, 0, sequence));
}

// Every frame due at a look is published, each with a sequence number of its own and to the
// sessions that want its device; the backend says when the next look is due.
TEST(HartIpSessionTable, EveryFrameOfALookIsPublishedAndTheBackendSetsTheNextLook) {
  Driver d;
  const ConnectionId tcp = d.TcpSession(kHostA);
  d.backend.bursts = {Publication{0, kBurst}, Publication{3, kBurst}};
  d.backend.burstWait = 250;
  d.TickAt(d.now + 1000);
  const std::vector<IpMessage> published = d.WriteAll(tcp);
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(Sequences(published), (std::vector<uint16_t>{0, 1}));
  EXPECT_EQ(d.backend.burstAsked, 1);
  d.TickAt(d.now + 249);
  EXPECT_EQ(d.backend.burstAsked, 1);
  d.TickAt(d.now + 1);
  EXPECT_EQ(d.backend.burstAsked, 2);
  EXPECT_EQ(Sequences(d.WriteAll(tcp)), (std::vector<uint16_t>{2, 3}));
}

// Direct PDUs run their commands in order; the audit log has a record per session; a session
// that wrote a subscription gets only the publishes it asked for.
TEST(HartIpSessionTable, DirectPdusAuditLogAndSubscriptions) {
  Driver d;
  d.UdpSession(kHostA);
  const ConnectionId b = d.TcpSession(kHostC);
  const std::vector<uint8_t> two{0, 0, 0, 74, 0, 2, 20, 2, 0xAA, 0xBB};
  const std::vector<IpMessage> direct = d.Udp(kHostA, IpRequest(4, 2, two));
  EXPECT_EQ(HeadOf(direct), Head(1, 4, 0, 2));
  EXPECT_EQ(direct.at(0).body,
            (std::vector<uint8_t>{0x40, 0, 0, 74, 1, 0, 2, 20, 3, 0, 0xBB, 0xAA}));
  EXPECT_EQ(HeadOf(d.Udp(kHostA, IpRequest(4, 3, std::vector<uint8_t>{0, 0, 0, 1, 5, 1}))),
            Head(3, 4, 5, 3));  // the byte count promises five bytes: nothing executed
  EXPECT_EQ(d.backend.directCommands, (std::vector<uint16_t>{74, 532}));

  // Host A subscribes to device 4 only; B, which never subscribed, gets every burst.
  ASSERT_NE(d.backend.directMemory, nullptr);
  d.backend.directMemory->subscriptions.written = true;
  d.backend.directMemory->subscriptions.flags[4] = 1;
  d.backend.burst = kBurst;
  d.backend.burstDevice = 3;
  d.TickAt(d.now + 1000);
  EXPECT_TRUE(d.DatagramsTo(kHostA).empty());
  EXPECT_EQ(d.WriteAll(b).size(), 1u);
  d.backend.burstDevice = 4;
  d.TickAt(d.now + 1000);
  EXPECT_EQ(d.DatagramsTo(kHostA).size(), 1u);

  // B closes; A reads the log: B's record is closed, A's still open, both insecure.
  d.Tcp(b, SessionClose(9));
  const std::vector<IpMessage> log = d.Udp(kHostA, IpRequest(5, 4, std::vector<uint8_t>{0, 9}));
  ASSERT_EQ(HeadOf(log), Head(1, 5, 0, 4));
  const std::vector<uint8_t>& body = log[0].body;
  ASSERT_EQ(body.size(), 22u + 2 * kAuditRecordSize);
  EXPECT_EQ(body[1], 2);
  const auto number = [&](std::size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | body.at(at + i);
    return value;
  };
  EXPECT_EQ(number(2, 8), 1735652707u);  // power-up: the table's start
  const std::size_t a = 22, c = 22 + kAuditRecordSize;
  EXPECT_EQ(number(a, 4), kHostA.address);
  EXPECT_EQ(number(a + 20, 2), kHostA.port);
  EXPECT_EQ(number(a + 32, 8), 0u);  // still open
  EXPECT_EQ(number(a + 50, 4), 4u);  // initiate, two Direct PDUs and this read
  EXPECT_EQ(number(c, 4), kHostC.address);
  EXPECT_EQ(number(c + 24, 8), 1735652707u);
  EXPECT_EQ(number(c + 32, 8), 1735652707u);
  EXPECT_EQ(number(c + 40, 2), AuditRecord::kInsecure);
  EXPECT_EQ(number(c + 46, 4), 2u);  // both bursts published
  EXPECT_EQ(number(c + 50, 4), 2u);  // initiate and close
  EXPECT_EQ(number(c + 54, 4), 2u);  // initiate and close answered
}

TEST(HartIpSessionTable, RequirePolicyRefusesPlaintextAndWaitsForTheHandshakeAfterAV2Initiate) {
  Driver d;
  d.table.SetPolicy(SecurityPolicy::Require);
  const std::vector<uint8_t> v2 = IpRequest(0, 1, InitiateBody(true, 60000), std::nullopt, 2);
  // Version 1 over TCP and any plaintext initiate over UDP: access restricted.
  const ConnectionId v1 = d.Connect(kHostA);
  EXPECT_TRUE(d.table.MayStartTls(v1));
  EXPECT_EQ(HeadOf(d.Tcp(v1, Initiate(1))), Head(3, 0, 16, 1));
  EXPECT_TRUE(d.Closed(v1));
  EXPECT_EQ(HeadOf(d.Udp(kHostB, v2)), Head(3, 0, 16, 1));
  EXPECT_EQ(d.table.SessionCount(), 0u);
  // A v2 initiate over TCP opens the session TLS must secure; plaintext then closes it.
  const ConnectionId plain = d.Connect(kHostB);
  EXPECT_EQ(HeadOf(d.Tcp(plain, v2)), Head(1, 0, 0, 1));
  EXPECT_TRUE(d.table.MayStartTls(plain));
  EXPECT_EQ(HeadOf(d.Tcp(plain, Pdu(2))), Head(3, 3, 16, 2));
  EXPECT_TRUE(d.Closed(plain));
  // Secured after its initiate: frames run with the client's slot; no handshake in time: closed.
  const ConnectionId secured = d.Connect(kHostC);
  const ConnectionId stalled = d.Connect(Host(1));
  d.Tcp(secured, v2);
  d.Tcp(stalled, v2);
  d.table.Secure(secured, ClientEntry{2, "historian", {}}, d.now);
  EXPECT_FALSE(d.table.MayStartTls(secured));
  EXPECT_EQ(HeadOf(d.Tcp(secured, Pdu(3))), Head(1, 3, 0, 3));
  EXPECT_EQ(d.backend.memories.back()->security.slot, 2);
  d.TickAt(d.now + SessionTable::kHandshakeTimeoutMs + 1);
  EXPECT_TRUE(d.Closed(stalled));
  EXPECT_FALSE(d.Closed(secured));
  // A DTLS client's datagrams open a secured session; the audit log tells secured from plain.
  const ClientEntry tablet{1, "tablet", {}};
  EXPECT_EQ(HeadOf(d.Udp(kHostA, v2, &tablet)), Head(1, 0, 0, 1));
  EXPECT_TRUE(d.table.HasUdpSession(kHostA));
  // Plaintext from a DTLS session's peer is not its session's: no answer.
  EXPECT_TRUE(d.Udp(kHostA, KeepAlive(4)).empty());
  d.table.SecurityChanged();
  const std::vector<IpMessage> log =
      d.Udp(kHostA, IpRequest(5, 5, std::vector<uint8_t>{0, 9}, std::nullopt, 2), &tablet);
  ASSERT_EQ(log.size(), 1u);
  const std::vector<uint8_t>& body = log[0].body;
  EXPECT_EQ((std::vector<uint8_t>(body.begin() + 14, body.begin() + 18)),
            (std::vector<uint8_t>{0x67, 0x73, 0xF5, 0x63}));  // last security change: now
  ASSERT_EQ(body[1], 4);
  for (std::size_t record = 0; record < 4; ++record) {
    const uint8_t status = body.at(22 + record * kAuditRecordSize + 41);
    const bool insecure = (status & AuditRecord::kInsecure) != 0;
    EXPECT_EQ(insecure, record == 0 || record == 2) << record;  // B and the stalled one
  }
  EXPECT_NE(d.Notes().find("secured by TLS as client 2 \"historian\""), std::string::npos);
}

TEST(HartIpSecuritySettings, KeysPolicyAndProblemsFromTheSection) {
  std::vector<std::string> texts(kSecurityKeyCount);
  const auto set = [&](uint8_t slot, std::string identity, std::string key) {
    texts[1 + slot * kSecurityKeysPerSlot] = std::move(identity);
    texts[2 + slot * kSecurityKeysPerSlot] = std::move(key);
  };
  EXPECT_EQ(ParseSecuritySettings(texts).policy, SecurityPolicy::Off);  // no key: off
  texts[0] = "require";
  EXPECT_EQ(ParseSecuritySettings(texts).policy, SecurityPolicy::Off);
  set(0, "manager-01", "000102030405060708090a0b0c0d0e0f");
  set(1, "short", "0001020304050607");  // 8 bytes
  set(2, "odd", "000102030405060708090A0B0C0D0E0F1");
  set(3, "manager-01", "000102030405060708090A0B0C0D0E0F");  // a repeated identity
  set(4, "", "000102030405060708090A0B0C0D0E0F");            // no identity
  set(15, "historian", std::string(128, 'F'));               // 64 bytes, the longest
  const SecuritySettings settings = ParseSecuritySettings(texts);
  EXPECT_EQ(settings.policy, SecurityPolicy::Require);
  ASSERT_EQ(settings.clients.size(), 2u);
  EXPECT_EQ(settings.clients[0].key.size(), 16u);
  EXPECT_EQ(settings.Find("historian")->slot, 15);
  ASSERT_EQ(settings.problems.size(), 4u);
  for (const std::string& problem : settings.problems) {
    EXPECT_NE(problem.find("[HTDev_HartIpSecurity] Client"), std::string::npos) << problem;
    EXPECT_EQ(problem.find("0001020304"), std::string::npos) << problem;  // never the key
  }
  texts[0] = "";
  EXPECT_EQ(ParseSecuritySettings(texts).policy, SecurityPolicy::Allow);  // keys: allow
  texts[0] = "sometimes";
  EXPECT_EQ(ParseSecuritySettings(texts).problems.size(), 5u);
}

}  // namespace
}  // namespace qln::hartip
