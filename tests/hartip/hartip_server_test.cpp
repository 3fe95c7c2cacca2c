#include "hartip/hartip_server.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "hartip/hartip_client.h"
#include "link/link_harness.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;
using Transport = HartIpClient::Transport;

class SteppedClock final : public Clock {
 public:
  uint32_t Milliseconds() const override { return ms.load(); }
  LocalTime Now() const override { return {}; }
  std::atomic<uint32_t> ms{1000};
};

class NoteRecorder final : public Console {
 public:
  void Note(const std::string& text) override {
    std::lock_guard lock(mutex);
    notes += text;
  }
  std::string Notes() {
    std::lock_guard lock(mutex);
    return notes;
  }
  std::mutex mutex;
  std::string notes;
};

// Answers every frame whose command is not 99 with a fixed reply, and records what it saw.
class FakeBackend final : public HartIpBackend {
 public:
  std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame, bool primary,
                                              std::string_view peer) override {
    std::lock_guard lock(mutex);
    frames.emplace_back(frame.begin(), frame.end());
    primaries.push_back(primary);
    peers.emplace_back(peer);
    if (frame[6] == 99) return std::nullopt;
    return std::vector<uint8_t>{0x86, 0x11, 0x22, 0x33, 0x44, 0x55, frame[6], 2, 0, 0, 0x77};
  }
  std::optional<std::vector<uint8_t>> BurstFrame() override {
    std::lock_guard lock(mutex);
    return burst;
  }
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<bool> primaries;
  std::vector<std::string> peers;
  std::optional<std::vector<uint8_t>> burst;  // what BurstFrame gives
};

const std::array<uint8_t, 5> kAddress{0x11, 0x22, 0x33, 0x44, 0x55};

class HartIpServerThreaded : public ::testing::Test {
 protected:
  void SetUp() override {
    const Result<> started = server_.Start("127.0.0.1", 0);
    ASSERT_TRUE(started) << started.error();
  }
  std::unique_ptr<HartIpClient> Client(Transport transport = Transport::Tcp) {
    auto client = std::make_unique<HartIpClient>(transport, server_.Port());
    EXPECT_TRUE(client->Connected());
    return client;
  }
  bool SessionsBecome(std::size_t count) {
    for (int i = 0; i < 200 && server_.SessionCount() != count; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    return server_.SessionCount() == count;
  }

  SteppedClock clock_;
  NoteRecorder console_;
  FakeBackend backend_;
  HartIpServer server_{backend_, console_, clock_};
};

TEST_F(HartIpServerThreaded, TcpSessionExecutesFramesKeepsAliveAndCloses) {
  auto client = Client();
  const auto initiated = client->Initiate(true, 30000);
  ASSERT_TRUE(initiated);
  EXPECT_EQ(initiated->type, 1);
  EXPECT_EQ(initiated->status, 0);
  EXPECT_EQ(initiated->sequence, client->LastSequence());
  EXPECT_TRUE(SessionsBecome(1));

  const auto reply = client->Pdu(LongFrame(kAddress, 1));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 1);
  EXPECT_EQ(reply->id, 3);
  EXPECT_EQ(reply->status, 0);
  EXPECT_EQ(reply->sequence, client->LastSequence());
  EXPECT_EQ(reply->byteCount, 8 + 11);
  EXPECT_EQ(reply->body.size(), 11u);
  {
    std::lock_guard lock(backend_.mutex);
    ASSERT_EQ(backend_.frames.size(), 1u);
    EXPECT_EQ(backend_.frames[0], LongFrame(kAddress, 1));
    EXPECT_TRUE(backend_.primaries[0]);
    EXPECT_EQ(backend_.peers[0].rfind("127.0.0.1:", 0), 0u);
  }
  // No device: a response with status 35 and no frame.
  const auto none = client->Pdu(LongFrame(kAddress, 99));
  ASSERT_TRUE(none);
  EXPECT_EQ(none->type, 1);
  EXPECT_EQ(none->status, 35);
  EXPECT_TRUE(none->body.empty());

  const auto alive = client->Request(2);
  ASSERT_TRUE(alive);
  EXPECT_EQ(alive->id, 2);
  EXPECT_EQ(alive->status, 0);
  EXPECT_EQ(alive->sequence, client->LastSequence());

  const auto closed = client->Request(1);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->type, 1);
  EXPECT_EQ(closed->id, 1);
  EXPECT_TRUE(client->ClosedByServer());
  EXPECT_TRUE(SessionsBecome(0));
}

TEST_F(HartIpServerThreaded, UdpSessionsBelongToTheirPeerAndItsMasterType) {
  auto outsider = Client(Transport::Udp);
  const auto refused = outsider->Pdu(LongFrame(kAddress, 1));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->type, 3);
  EXPECT_EQ(refused->status, 16);

  auto secondary = Client(Transport::Udp);
  ASSERT_TRUE(secondary->Initiate(false));
  const auto reply = secondary->Pdu(LongFrame(kAddress, 48, {}, false));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 0);
  EXPECT_EQ(reply->body.size(), 11u);
  // The session is the secondary's only: the outsider is still refused.
  EXPECT_EQ(outsider->Pdu(LongFrame(kAddress, 1))->status, 16);
  {
    std::lock_guard lock(backend_.mutex);
    ASSERT_EQ(backend_.primaries.size(), 1u);
    EXPECT_FALSE(backend_.primaries[0]);
  }
  EXPECT_EQ(secondary->Request(1)->id, 1);
  EXPECT_TRUE(SessionsBecome(0));
  EXPECT_EQ(secondary->Request(2)->status, 16);  // closed: keep alive outside a session
}

TEST_F(HartIpServerThreaded, IdleSessionsCloseAfterTheirTimerAndRequestsKeepThemOpen) {
  auto tcp = Client();
  auto udp = Client(Transport::Udp);
  ASSERT_EQ(tcp->Initiate(true, 5000)->status, 0);
  ASSERT_EQ(udp->Initiate(true, 2000)->status, 0);
  EXPECT_TRUE(SessionsBecome(2));

  clock_.ms += 1500;
  ASSERT_TRUE(udp->Request(2));  // keeps the UDP session for another 2000 ms
  clock_.ms += 1500;
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(server_.SessionCount(), 2u);
  clock_.ms += 600;  // 2100 ms since the UDP keep alive
  EXPECT_TRUE(SessionsBecome(1));
  EXPECT_EQ(udp->Request(2)->status, 16);
  clock_.ms += 2000;  // 5600 ms since the TCP session's last request
  EXPECT_TRUE(tcp->ClosedByServer());
  EXPECT_TRUE(SessionsBecome(0));
  EXPECT_NE(console_.Notes().find("closed after 5000 ms without a request"), std::string::npos);
}

TEST_F(HartIpServerThreaded, NinthSessionIsRefusedAsServiceUnavailable) {
  std::vector<std::unique_ptr<HartIpClient>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(Client(i % 2 == 0 ? Transport::Tcp : Transport::Udp));
    ASSERT_EQ(clients.back()->Initiate()->status, 0) << i;
  }
  EXPECT_TRUE(SessionsBecome(8));
  for (Transport transport : {Transport::Tcp, Transport::Udp}) {
    auto ninth = Client(transport);
    const auto refused = ninth->Initiate();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->type, 3);
    EXPECT_EQ(refused->status, 15);
    if (transport == Transport::Tcp) {
      EXPECT_TRUE(ninth->ClosedByServer());
    }
  }
  EXPECT_EQ(server_.SessionCount(), 8u);
  // One closes: the next host gets its session.
  clients[0].reset();
  EXPECT_TRUE(SessionsBecome(7));
  EXPECT_EQ(Client()->Initiate()->status, 0);
}

TEST_F(HartIpServerThreaded, MalformedHeadersAreRefusedOrCloseTheConnection) {
  auto client = Client();
  ASSERT_TRUE(client->Initiate());
  // Wrong version: an error echoing ID and sequence; the session goes on.
  client->SendRaw(IpRequest(2, 0x1234, {}, std::nullopt, 2));
  auto error = client->Receive();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->type, 3);
  EXPECT_EQ(error->status, 14);
  EXPECT_EQ(error->sequence, 0x1234);
  // A token-passing PDU whose frame is cut short.
  const std::vector<uint8_t> frame = LongFrame(kAddress, 3);
  error = client->Pdu({frame.data(), frame.size() - 1});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->status, 5);
  // A short header, completed later, is one message.
  const std::vector<uint8_t> alive = IpRequest(2, 77);
  client->SendRaw({alive.data(), 5});
  EXPECT_FALSE(client->Receive(100ms));
  client->SendRaw({alive.data() + 5, 3});
  EXPECT_EQ(client->Receive()->sequence, 77);
  // A byte count above 512 closes the connection, with a note.
  client->SendRaw(IpRequest(2, 78, {}, 600));
  EXPECT_TRUE(client->ClosedByServer());
  EXPECT_NE(console_.Notes().find("byte count 600 is outside 8..512"), std::string::npos);

  auto other = Client();
  ASSERT_TRUE(other->Initiate());
  other->SendRaw(IpRequest(2, 79, {}, 7));
  EXPECT_TRUE(other->ClosedByServer());
  EXPECT_TRUE(SessionsBecome(0));
  // A datagram longer than its byte count is refused.
  auto udp = Client(Transport::Udp);
  std::vector<uint8_t> longer = IpRequest(2, 80);
  longer.push_back(0);
  udp->SendRaw(longer);
  EXPECT_EQ(udp->Receive()->status, 5);
}

TEST_F(HartIpServerThreaded, PublishedBurstFramesReachEverySession) {
  auto tcp = Client();
  auto udp = Client(Transport::Udp);
  auto outsider = Client();  // connected, no session
  ASSERT_TRUE(tcp->Initiate());
  ASSERT_TRUE(udp->Initiate(false));
  const std::vector<uint8_t> burst{0x81, 0xC1, 0x22, 0x33, 0x44, 0x55, 1, 7,
                                   0,    0,    0x20, 0x41, 0x20, 0,    0, 0x5A};
  {
    std::lock_guard lock(backend_.mutex);
    backend_.burst = burst;
  }
  clock_.ms += 1000;  // a burst is due once a second
  for (HartIpClient* client : {tcp.get(), udp.get()}) {
    const auto published = client->Receive();
    ASSERT_TRUE(published);
    EXPECT_EQ(published->type, 2);
    EXPECT_EQ(published->id, 3);
    EXPECT_EQ(published->body, burst);
  }
  EXPECT_FALSE(outsider->Receive(200ms));
}

TEST_F(HartIpServerThreaded, StartFailuresSayWhatWentWrong) {
  const uint16_t taken = server_.Port();
  SteppedClock clock;
  NoteRecorder console;
  FakeBackend backend;
  HartIpServer other(backend, console, clock);

  Result<> started = other.Start("localhost", 0);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error(), "HART-IP: localhost is no IPv4 address");
  EXPECT_FALSE(other.Running());

  started = other.Start("127.0.0.1", taken);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().rfind(
                "HART-IP: cannot listen on TCP 127.0.0.1:" + std::to_string(taken) + ": ", 0),
            0u)
      << started.error();
  EXPECT_FALSE(other.Running());
  EXPECT_EQ(other.Port(), 0);
  // The first server goes on serving.
  EXPECT_EQ(Client()->Initiate()->status, 0);
}

}  // namespace
}  // namespace qln::test
