#include "hartip/session_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hartip/hartip_client.h"
#include "link/link_harness.h"

namespace qln::hartip {
namespace {

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

// Answers every frame whose command is not 99 with a fixed reply, and records what it saw.
class FakeBackend final : public HartIpBackend {
 public:
  std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame, bool primary,
                                              std::string_view peer) override {
    frames.emplace_back(frame.begin(), frame.end());
    primaries.push_back(primary);
    peers.emplace_back(peer);
    if (frame[6] == 99) return std::nullopt;
    return std::vector<uint8_t>{0x86, 0x11, 0x22, 0x33, 0x44, 0x55, frame[6], 2, 0, 0, 0x77};
  }
  std::optional<std::vector<uint8_t>> BurstFrame() override {
    ++burstAsked;
    return burst;
  }
  std::vector<std::vector<uint8_t>> frames;
  std::vector<bool> primaries;
  std::vector<std::string> peers;
  std::optional<std::vector<uint8_t>> burst;  // what BurstFrame gives
  int burstAsked = 0;
};

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
  std::vector<IpMessage> Udp(const Endpoint& from, std::span<const uint8_t> bytes) {
    table.DatagramReceived(from, bytes, now);
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
  SessionTable table{backend};
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
  EXPECT_EQ(kHostA.Text(), "10.0.0.7:50123");
  EXPECT_EQ(kHostC.Text(), "192.168.1.2:50123");
  EXPECT_EQ((Endpoint{0, 0}.Text()), "0.0.0.0:0");
  EXPECT_EQ((Endpoint{0xFFFFFFFF, 65535}.Text()), "255.255.255.255:65535");
}

TEST(HartIpSessionTable, TcpSessionExecutesFramesKeepsAliveAndClosesOnceTheAnswerIsWritten) {
  Driver d;
  const ConnectionId id = d.Connect();
  auto answer = d.Tcp(id, Initiate(1, true, 30000));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].type, 1);
  EXPECT_EQ(answer[0].id, 0);
  EXPECT_EQ(answer[0].status, 0);
  EXPECT_EQ(answer[0].sequence, 1);
  EXPECT_EQ(answer[0].body, InitiateBody(true, 30000));
  EXPECT_EQ(d.table.SessionCount(), 1u);

  answer = d.Tcp(id, Pdu(2, 1));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].type, 1);
  EXPECT_EQ(answer[0].id, 3);
  EXPECT_EQ(answer[0].status, 0);
  EXPECT_EQ(answer[0].sequence, 2);
  EXPECT_EQ(answer[0].byteCount, 8 + 11);
  EXPECT_EQ(answer[0].body,
            (std::vector<uint8_t>{0x86, 0x11, 0x22, 0x33, 0x44, 0x55, 1, 2, 0, 0, 0x77}));
  ASSERT_EQ(d.backend.frames.size(), 1u);
  EXPECT_EQ(d.backend.frames[0], LongFrame(kAddress, 1));
  EXPECT_TRUE(d.backend.primaries[0]);
  EXPECT_EQ(d.backend.peers[0], "10.0.0.7:50123");

  // No device: status 35 and no frame.
  answer = d.Tcp(id, Pdu(3, 99));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].status, 35);
  EXPECT_TRUE(answer[0].body.empty());

  answer = d.Tcp(id, KeepAlive(4));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].type, 1);
  EXPECT_EQ(answer[0].id, 2);
  EXPECT_EQ(answer[0].sequence, 4);

  // Session close: the connection stays until the whole response is written.
  d.Send(id, SessionClose(5));
  const std::vector<uint8_t> response(d.table.Pending(id).begin(), d.table.Pending(id).end());
  ASSERT_EQ(ParseIpStream(response).size(), 1u);
  EXPECT_EQ(ParseIpStream(response)[0].id, 1);
  EXPECT_EQ(ParseIpStream(response)[0].type, 1);
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

TEST(HartIpSessionTable, UdpSessionsBelongToTheirAddressAndPortAndItsMasterType) {
  Driver d;
  auto answer = d.Udp(kHostA, Pdu(1));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].type, 3);
  EXPECT_EQ(answer[0].status, 16);

  answer = d.Udp(kHostB, Initiate(1, false));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].status, 0);
  EXPECT_EQ(answer[0].body, InitiateBody(false, 60000));
  EXPECT_EQ(d.table.SessionCount(), 1u);

  answer = d.Udp(kHostB, Pdu(2, 48, false));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].status, 0);
  EXPECT_EQ(answer[0].body.size(), 11u);
  ASSERT_EQ(d.backend.primaries.size(), 1u);
  EXPECT_FALSE(d.backend.primaries[0]);
  EXPECT_EQ(d.backend.peers[0], "10.0.0.7:50124");

  // Another port of the same address, or the same port of another address, has no session.
  for (const Endpoint& other : {kHostA, kHostC}) {
    answer = d.Udp(other, KeepAlive(3));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 16) << other.Text();
  }
  EXPECT_TRUE(d.datagrams.empty());

  // Session close ends a UDP session with its response.
  answer = d.Udp(kHostB, SessionClose(4));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].type, 1);
  EXPECT_EQ(answer[0].id, 1);
  EXPECT_EQ(d.table.SessionCount(), 0u);
  EXPECT_TRUE(d.closes.empty());
  EXPECT_EQ(d.Udp(kHostB, KeepAlive(5))[0].status, 16);
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
    } else {
      refused = d.Udp(ninth, Initiate(77));
    }
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].type, 3);
    EXPECT_EQ(refused[0].id, 0);
    EXPECT_EQ(refused[0].status, 15);
    EXPECT_EQ(refused[0].sequence, 77);
    EXPECT_NE(
        d.Notes().find("HART-IP: session from " + ninth.Text() + " refused: 8 sessions are open"),
        std::string::npos);
    EXPECT_EQ(d.table.SessionCount(), 8u);
    if (ninthOverTcp) {
      EXPECT_TRUE(d.Closed(ninthId));
    } else {
      EXPECT_EQ(d.Udp(ninth, KeepAlive(78))[0].status, 16);  // no session came of it
    }

    // A TCP session whose peer goes away frees its place.
    d.table.PeerClosed(tcp[0]);
    EXPECT_EQ(d.table.SessionCount(), 7u);
    EXPECT_EQ(d.Udp(ninth, Initiate(79))[0].status, 0);
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
      ASSERT_EQ(answer.size(), 1u);
      EXPECT_EQ(answer[0].status, row.initiateStatus);
      EXPECT_EQ(answer[0].body, InitiateBody(true, row.timer));
    }
    // Idle for exactly the timer: still open. A request then (even a refused one) restarts it.
    d.TickAt(row.start + row.timer);
    EXPECT_TRUE(d.closes.empty());
    EXPECT_EQ(d.table.SessionCount(), row.asked ? 1u : 0u);
    EXPECT_EQ(request(KeepAlive(2)).size(), 1u);
    const uint32_t restarted = d.now;
    // A message that is no request (a host's response) does not count.
    std::vector<uint8_t> response = KeepAlive(3);
    response[1] = 1;
    EXPECT_TRUE(request(response).empty());
    d.TickAt(restarted + row.timer);
    EXPECT_TRUE(d.notes.empty());
    d.TickAt(restarted + row.timer + 1);
    EXPECT_EQ(d.notes,
              std::vector<std::string>{"HART-IP: session of 10.0.0.7:50123 closed after " +
                                       std::to_string(row.timer) + " ms without a request"});
    EXPECT_EQ(d.table.SessionCount(), 0u);
    if (row.tcp) {
      EXPECT_EQ(d.closes, std::vector<ConnectionId>{id});
      EXPECT_EQ(d.table.ConnectionCount(), 0u);
    } else {
      EXPECT_EQ(d.Udp(kHostA, KeepAlive(4))[0].status, 16);
    }
  }
}

TEST(HartIpSessionTable, SixteenConnectionsAtMostWithOrWithoutSessions) {
  Driver d;
  std::vector<ConnectionId> ids;
  for (uint16_t n = 0; n < SessionTable::kMaxConnections; ++n) {
    ids.push_back(n < 3 ? d.TcpSession(Host(n)) : d.Connect(Host(n)));
  }
  EXPECT_EQ(std::set<ConnectionId>(ids.begin(), ids.end()).size(), ids.size());
  EXPECT_FALSE(d.table.Accept(Host(16), d.now));
  d.TickAt(d.now);  // gathers the output
  EXPECT_EQ(d.notes, std::vector<std::string>{"HART-IP: connection from 10.0.1.16:40016 refused: "
                                              "too many connections"});
  EXPECT_EQ(d.table.ConnectionCount(), 16u);

  // A peer that goes away ends quietly and makes room; ids are not reused.
  d.table.PeerClosed(ids[0]);
  d.TickAt(d.now);
  EXPECT_EQ(d.closes, std::vector<ConnectionId>{ids[0]});
  EXPECT_EQ(d.notes.size(), 1u);
  EXPECT_EQ(d.table.SessionCount(), 2u);
  const ConnectionId next = d.Connect(Host(16));
  EXPECT_EQ(std::count(ids.begin(), ids.end(), next), 0);
  // Input for a connection the table does not hold is dropped.
  d.table.PeerClosed(ids[0]);
  d.table.Written(ids[0], 10);
  d.table.Received(ids[0], KeepAlive(1), d.now);
  d.TickAt(d.now);
  EXPECT_EQ(d.closes.size(), 1u);
  EXPECT_TRUE(d.table.Pending(ids[0]).empty());
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
  const std::vector<IpMessage> published = d.WriteAll(quick);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].type, 2);
  EXPECT_EQ(published[0].body, kBurst);

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
    const std::vector<IpMessage> answers = d.Tcp(quick, requests);
    EXPECT_EQ(answers.size(), fitting);
  }
  EXPECT_FALSE(d.Closed(quick));
}

TEST(HartIpSessionTable, MalformedMessagesAreRefusedOrCloseTheConnection) {
  const std::vector<uint8_t> frame = LongFrame(kAddress, 3);
  struct Row {
    const char* name;
    std::vector<uint8_t> message;
    uint8_t status;  // of the error; 0: the connection closes
    std::string note;
  };
  const Row rows[] = {
      {"version 2", IpRequest(2, 0x1234, {}, std::nullopt, 2), 14, ""},
      {"PDU with a frame cut short", IpRequest(3, 0x1234, {frame.data(), frame.size() - 1}), 5, ""},
      {"unknown message ID", IpRequest(9, 0x1234), 2, ""},
      {"second session initiate", Initiate(0x1234), 16, ""},
      {"byte count 600", IpRequest(2, 0x1234, {}, 600), 0, "byte count 600 is outside 8..512"},
      {"byte count 7", IpRequest(2, 0x1234, {}, 7), 0, "byte count 7 is outside 8..512"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Driver d;
    const ConnectionId id = d.TcpSession(kHostA);
    const std::vector<IpMessage> answer = d.Tcp(id, row.message);
    if (row.status != 0) {
      ASSERT_EQ(answer.size(), 1u);
      EXPECT_EQ(answer[0].type, 3);
      EXPECT_EQ(answer[0].id, row.message[2]);
      EXPECT_EQ(answer[0].status, row.status);
      EXPECT_EQ(answer[0].sequence, 0x1234);
      // The session goes on.
      EXPECT_EQ(d.Tcp(id, KeepAlive(2)).size(), 1u);
      EXPECT_TRUE(d.closes.empty());
    } else {
      EXPECT_TRUE(answer.empty());
      EXPECT_EQ(d.closes, std::vector<ConnectionId>{id});
      EXPECT_EQ(d.notes, std::vector<std::string>{"HART-IP: connection from 10.0.0.7:50123 "
                                                  "closed: " +
                                                  row.note});
      EXPECT_EQ(d.table.SessionCount(), 0u);
    }
    EXPECT_EQ(d.backend.frames.size(), 0u);
  }

  // A datagram is one message: one longer than its byte count is refused.
  Driver d;
  d.UdpSession(kHostA);
  std::vector<uint8_t> longer = KeepAlive(80);
  longer.push_back(0);
  const std::vector<IpMessage> answer = d.Udp(kHostA, longer);
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].status, 5);
  EXPECT_EQ(d.table.SessionCount(), 1u);
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
    d.TickAt(due - 1);
    EXPECT_TRUE(d.WriteAll(tcp).empty());
    d.TickAt(due);
    const std::vector<IpMessage> overTcp = d.WriteAll(tcp);
    const std::vector<IpMessage> overUdp = d.DatagramsTo(kHostB);
    for (const std::vector<IpMessage>* published : {&overTcp, &overUdp}) {
      ASSERT_EQ(published->size(), 1u) << due;
      EXPECT_EQ((*published)[0].type, 2);
      EXPECT_EQ((*published)[0].id, 3);
      EXPECT_EQ((*published)[0].status, 0);
      EXPECT_EQ((*published)[0].sequence, sequence);
      EXPECT_EQ((*published)[0].body, kBurst);
    }
    ++sequence;
    EXPECT_TRUE(d.table.Pending(outsider).empty());
    EXPECT_TRUE(d.datagrams.empty());
    // Keeps the UDP session from closing while time passes.
    d.Udp(kHostB, KeepAlive(sequence));
  }
  EXPECT_EQ(d.backend.burstAsked, 3);

  // While no device bursts, nothing goes out; sessions gone, the backend is not asked.
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
  const std::vector<IpMessage> published = d.DatagramsTo(kHostA);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].sequence, sequence);
}

}  // namespace
}  // namespace qln::hartip
