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

}  // namespace
}  // namespace qln::test
