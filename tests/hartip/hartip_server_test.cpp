#include "hartip/hartip_server.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "hartip/fake_backend.h"
#include "hartip/hartip_client.h"
#include "hartip/s_client.h"
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

const std::array<uint8_t, 5> kAddress{0x11, 0x22, 0x33, 0x44, 0x55};

// The sockets around the session table (whose rules have their own tests): a real server on
// the loopback, real TCP and UDP hosts.
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

TEST_F(HartIpServerThreaded, TcpSessionRoundTrip) {
  EXPECT_TRUE(server_.Running());
  EXPECT_NE(server_.Port(), 0);
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
  // A keep alive sent in two pieces is one message.
  const std::vector<uint8_t> alive = IpRequest(2, 77);
  client->SendRaw({alive.data(), 5});
  EXPECT_FALSE(client->Receive(100ms));
  client->SendRaw({alive.data() + 5, 3});
  const auto answered = client->Receive();
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->id, 2);
  EXPECT_EQ(answered->sequence, 77);

  // The server closes the connection once the response to session close is out.
  const auto closed = client->Request(1);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->type, 1);
  EXPECT_EQ(closed->id, 1);
  EXPECT_TRUE(client->ClosedByServer());
  EXPECT_TRUE(SessionsBecome(0));
}

TEST_F(HartIpServerThreaded, UdpSessionRoundTripOnTheSamePort) {
  auto outsider = Client(Transport::Udp);
  const auto refused = outsider->Pdu(LongFrame(kAddress, 1));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->type, 3);
  EXPECT_EQ(refused->status, 16);

  auto secondary = Client(Transport::Udp);
  ASSERT_TRUE(secondary->Initiate(false));
  EXPECT_TRUE(SessionsBecome(1));
  const auto reply = secondary->Pdu(LongFrame(kAddress, 48, {}, false));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 0);
  EXPECT_EQ(reply->body.size(), 11u);
  // No device: status 35 and no frame.
  const auto none = secondary->Pdu(LongFrame(kAddress, 99, {}, false));
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 35);
  EXPECT_TRUE(none->body.empty());
  {
    std::lock_guard lock(backend_.mutex);
    ASSERT_EQ(backend_.primaries.size(), 2u);
    EXPECT_FALSE(backend_.primaries[0]);
  }
  EXPECT_EQ(secondary->Request(1)->id, 1);
  EXPECT_TRUE(SessionsBecome(0));
  EXPECT_EQ(secondary->Request(2)->status, 16);  // closed: keep alive outside a session
}

// The server's clock drives the table: idle sessions close and burst frames go out.
TEST_F(HartIpServerThreaded, TimersRunOnTheServerThread) {
  auto tcp = Client();
  auto udp = Client(Transport::Udp);
  auto outsider = Client();  // connected, no session
  ASSERT_EQ(tcp->Initiate(true, 5000)->status, 0);
  ASSERT_EQ(udp->Initiate(false, 2000)->status, 0);
  EXPECT_TRUE(SessionsBecome(2));
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
  {
    std::lock_guard lock(backend_.mutex);
    backend_.burst.reset();
  }

  clock_.ms += 1500;  // 2500 ms since the UDP session's last request
  EXPECT_TRUE(SessionsBecome(1));
  EXPECT_EQ(udp->Request(2)->status, 16);
  clock_.ms += 3000;  // 5500 ms since the TCP session's last request
  EXPECT_TRUE(tcp->ClosedByServer());
  EXPECT_TRUE(SessionsBecome(0));
  clock_.ms += 5000;  // 11 s since the outsider connected
  EXPECT_TRUE(outsider->ClosedByServer());
  const std::string notes = console_.Notes();
  EXPECT_NE(notes.find("closed after 2000 ms without a request\r\n"), std::string::npos);
  EXPECT_NE(notes.find("closed after 5000 ms without a request\r\n"), std::string::npos);
  EXPECT_NE(notes.find("closed after 10000 ms without a request\r\n"), std::string::npos);
}

TEST_F(HartIpServerThreaded, StopsClosingEverySessionAndStartsAgain) {
  auto tcp = Client();
  ASSERT_EQ(tcp->Initiate()->status, 0);
  auto udp = Client(Transport::Udp);
  ASSERT_EQ(udp->Initiate()->status, 0);
  EXPECT_TRUE(SessionsBecome(2));

  server_.Stop();
  EXPECT_FALSE(server_.Running());
  EXPECT_EQ(server_.Port(), 0);
  EXPECT_EQ(server_.SessionCount(), 0u);
  EXPECT_TRUE(tcp->ClosedByServer());

  ASSERT_TRUE(server_.Start("127.0.0.1", 0));
  EXPECT_TRUE(server_.Running());
  auto again = Client();
  EXPECT_EQ(again->Initiate()->status, 0);
  EXPECT_TRUE(SessionsBecome(1));
  // Starting a running server stops it first: its sessions go.
  ASSERT_TRUE(server_.Start("127.0.0.1", 0));
  EXPECT_EQ(server_.SessionCount(), 0u);
  EXPECT_TRUE(again->ClosedByServer());
  EXPECT_EQ(Client()->Initiate()->status, 0);
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

// The server with security allowed and one client, the security manager.
class HartIpServerSecureThreaded : public HartIpServerThreaded {
 protected:
  void SetUp() override {
    backend_.security.policy = hartip::SecurityPolicy::Allow;
    backend_.security.clients.push_back({0, "manager-01", kKey});
    HartIpServerThreaded::SetUp();
  }
  // A TLS 1.2 session from OpenSSL's s_client: initiate and one frame answered.
  void TlsRoundTrip() {
    SClient tls(server_.Port(), "-tls1_2", "manager-01", hartip::HexText(kKey));
    const auto initiated = tls.Request(0, InitiateBody(true, 60000));
    ASSERT_TRUE(initiated && initiated->status == 0) << "no TLS session";
    const auto answered = tls.Request(3, LongFrame(kAddress, 1));
    ASSERT_TRUE(answered && answered->status == 0 && answered->id == 3);
    EXPECT_EQ(answered->body[6], 1);
  }
  static const std::vector<uint8_t> kKey;
  // A TLS record header announcing a ClientHello of 128 bytes, and the start of it only.
  static constexpr std::array<uint8_t, 11> kPartialHello{0x16, 0x03, 0x01, 0x00, 0x80, 0x01,
                                                         0x00, 0x00, 0x7C, 0x03, 0x03};
};
const std::vector<uint8_t> HartIpServerSecureThreaded::kKey{0, 1, 2,  3,  4,  5,  6,  7,
                                                            8, 9, 10, 11, 12, 13, 14, 15};

TEST_F(HartIpServerSecureThreaded, UnfinishedTlsHandshakeIsDroppedAfterItsTimeout) {
  if (OpenSslProgram().empty()) GTEST_SKIP() << "the openssl program is not on PATH";
  auto stalled = Client();
  stalled->SendRaw(kPartialHello);
  // Three UDP round trips: by the third the server has read the stalled connection's bytes.
  auto udp = Client(Transport::Udp);
  ASSERT_TRUE(udp->Initiate());
  ASSERT_TRUE(udp->Request(2));
  ASSERT_TRUE(udp->Request(2));
  clock_.ms += hartip::SessionTable::kHandshakeTimeoutMs;
  EXPECT_FALSE(stalled->ClosedByServer(100ms)) << "dropped before its time";
  TlsRoundTrip();  // the stalled handshake holds up no other
  clock_.ms += 1;
  EXPECT_TRUE(stalled->ClosedByServer());
  EXPECT_NE(console_.Notes().find("dropped: unfinished after 5000 ms"), std::string::npos)
      << console_.Notes();
}

TEST_F(HartIpServerSecureThreaded, HandshakeFloodLeavesRoomForARealHandshake) {
  if (OpenSslProgram().empty()) GTEST_SKIP() << "the openssl program is not on PATH";
  // Each connection is accepted before the next is made (a UDP round trip between them): the
  // listen backlog is short, and connections beyond it would wait for SYN retries.
  auto paced = Client(Transport::Udp);
  ASSERT_TRUE(paced->Initiate());
  std::vector<std::unique_ptr<HartIpClient>> flood;
  for (int i = 0; i < 50; ++i) {
    flood.push_back(std::make_unique<HartIpClient>(Transport::Tcp, server_.Port()));
    flood.back()->SendRaw(kPartialHello);
    ASSERT_TRUE(paced->Request(2));
  }
  // DTLS ClientHello records (epoch 0, sequence i) without a cookie, from one peer.
  auto udp = Client(Transport::Udp);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> hello{0x16, 0xFE, 0xFD, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(i),
                               0,    40};
    hello.resize(13 + 40, static_cast<uint8_t>(i));
    hello[13] = 0x01;  // ClientHello
    udp->SendRaw(hello);
  }
  TlsRoundTrip();
  EXPECT_TRUE(server_.Running());
}

}  // namespace
}  // namespace qln::test
