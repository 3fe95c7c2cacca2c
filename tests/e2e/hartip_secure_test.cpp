// HART-IP over TLS and DTLS with pre-shared keys, served by the whole simulator, with OpenSSL's
// own `openssl s_client` as the client: the file's security section decides who gets in, a
// secured session reaches the I/O system as a plaintext one does, and the security manager
// writes another client's credentials that a new handshake then uses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "hartip/hartip_client.h"
#include "hartip/s_client.h"

namespace qln::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Transport = HartIpClient::Transport;
using namespace std::chrono_literals;

const std::string kManager = "manager-01";
const std::string kManagerKey = "000102030405060708090A0B0C0D0E0F";
const Bytes kCommand0{0x02, 0x80, 0x00, 0x00, 0x82};  // poll address 0: the I/O system

// A TCP socket to 127.0.0.1:port (connected), or a listening one on a free port (port 0).
int TcpSocket(uint16_t port, bool listening = false) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const auto* at = reinterpret_cast<const sockaddr*>(&address);
  if (listening ? bind(fd, at, sizeof address) != 0 || listen(fd, 1) != 0
                : connect(fd, at, sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
uint16_t LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Relays bytes, on a thread of its own, between a TCP connection to the server (it takes it) and
// the first connection to a listening socket of its own, until it goes.
class Relay {
 public:
  explicit Relay(int server) : server_(server), thread_([this] { Run(); }) {}
  ~Relay() {
    stop_.store(true);
    shutdown(listener_, SHUT_RDWR);  // ends an accept still waiting
    thread_.join();
    close(listener_);
    close(server_);
  }
  uint16_t Port() const { return LocalPort(listener_); }

 private:
  void Run() {
    const int peer = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    pollfd fds[2] = {{peer, POLLIN, 0}, {server_, POLLIN, 0}};
    uint8_t buffer[4096];
    while (peer >= 0 && !stop_.load()) {
      if (poll(fds, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        const ssize_t got = recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (got <= 0) stop_.store(true);
        if (got > 0) send(fds[1 - i].fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL);
      }
    }
    if (peer >= 0) close(peer);
  }

  int server_;
  int listener_ = TcpSocket(0, true);
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class HartIpSecure : public SimulatorOnPty {
 protected:
  void SetUp() override {
    if (OpenSslProgram().empty()) GTEST_SKIP() << "the openssl program is not on PATH";
  }
  // The simulator without a serial port, HART-IP on a free port, slot 0 the security manager.
  void StartSecure(const std::string& policy) {
    Configure("HTDev_HartIpSecurity", "Policy", policy);
    Configure("HTDev_HartIpSecurity", "Client0Identity", kManager);
    Configure("HTDev_HartIpSecurity", "Client0Key", kManagerKey);
    int comNumber = 0;
    ASSERT_TRUE(simulator_.StartUp(comNumber));
    const Result<> started = simulator_.StartHartIp("127.0.0.1", 0);
    ASSERT_TRUE(started) << started.error();
    port_ = simulator_.HartIpPort();
  }
  // Whether a console note holds one of the texts, within a few seconds.
  bool NotedAny(const std::vector<std::string>& texts) {
    return Eventually([&] {
      for (const std::string& note : recorder_.Notes()) {
        for (const std::string& text : texts) {
          if (note.find(text) != std::string::npos) return true;
        }
      }
      return false;
    });
  }
  bool Noted(const std::string& text) { return NotedAny({text}); }
  // A version-2 session and command 0 to the I/O system over the client: both responses as
  // they should be.
  static void RoundTrip(SClient& client, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(client.Started());
    const auto initiated = client.Request(0, InitiateBody(true, 60000));
    ASSERT_TRUE(initiated) << "no response to the session initiate";
    EXPECT_EQ(initiated->version, 2);
    EXPECT_EQ(initiated->type, 1);
    EXPECT_EQ(initiated->id, 0);
    EXPECT_EQ(initiated->status, 0);
    EXPECT_EQ(initiated->sequence, client.LastSequence());
    const auto answered = client.Request(3, kCommand0);
    ExpectCommand0(answered, client.LastSequence());
  }
  static void ExpectCommand0(const std::optional<IpMessage>& response, uint16_t sequence) {
    ASSERT_TRUE(response) << "no response to command 0";
    EXPECT_EQ(response->version, 2);
    EXPECT_EQ(response->type, 1);
    EXPECT_EQ(response->id, 3);
    EXPECT_EQ(response->status, 0);
    EXPECT_EQ(response->sequence, sequence);
    const Bytes& frame = response->body;
    ASSERT_GT(frame.size(), 6u);
    EXPECT_EQ(frame[0], 0x06);  // a short-frame ACK
    EXPECT_EQ(frame[1], 0x80);
    EXPECT_EQ(frame[2], 0);
    EXPECT_EQ(frame[4], 0) << "response code";
    EXPECT_EQ(frame.size(), frame[3] + 5u);
  }
  // The status of every audit record, oldest first, by Read Audit Log over the client.
  static std::vector<int> AuditStatuses(SClient& client) {
    const auto log = client.Request(5, Bytes{0, 10});
    EXPECT_TRUE(log && log->status == 0 && log->id == 5);
    if (!log || log->body.size() < 22) return {};
    const Bytes& body = log->body;
    EXPECT_EQ(body.size(), 22u + body[1] * 58u);
    std::vector<int> status;
    for (std::size_t at = 22 + 40; at + 2 <= body.size() && status.size() < body[1]; at += 58) {
      status.push_back(body[at] << 8 | body[at + 1]);
    }
    return status;
  }
  std::string FileText() const {
    std::ifstream in(IniPath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  uint16_t port_ = 0;
};

TEST_F(HartIpSecure, TlsSessionsReachTheIoSystemAndAreAuditedAsSecure) {
  StartSecure("allow");
  {
    HartIpClient plain(Transport::Tcp, port_);
    const auto initiated = plain.Initiate();
    ASSERT_TRUE(initiated && initiated->status == 0);
  }
  SClient tls12(port_, "-tls1_2", kManager, kManagerKey);
  RoundTrip(tls12, "TLS 1.2");
  EXPECT_TRUE(Noted("secured by TLS as client 0 \"" + kManager + "\""));
  SClient tls13(port_, "-tls1_3", kManager, kManagerKey);
  RoundTrip(tls13, "TLS 1.3");
  // The plaintext session's audit record is marked insecure, those of the sessions over TLS
  // are not.
  const std::vector<int> status = AuditStatuses(tls13);
  ASSERT_EQ(status.size(), 3u);
  EXPECT_NE(status[0] & 0x10, 0) << "plaintext";
  EXPECT_EQ(status[1] & 0x10, 0) << "TLS 1.2";
  EXPECT_EQ(status[2] & 0x10, 0) << "TLS 1.3";
}

TEST_F(HartIpSecure, DtlsSessionReachesTheIoSystem) {
  StartSecure("allow");
  SClient dtls(port_, "-dtls1_2", kManager, kManagerKey);
  RoundTrip(dtls, "DTLS 1.2");
  EXPECT_EQ(simulator_.HartIpSessions(), 1u);
}

TEST_F(HartIpSecure, WrongKeyAndUnknownIdentityAreRefusedAndCounted) {
  StartSecure("allow");
  SClient stranger(port_, "-tls1_2", "intruder", kManagerKey);
  stranger.Send(IpRequest(0, 1, InitiateBody(true, 60000), std::nullopt, 2));
  EXPECT_FALSE(stranger.Receive(3s)) << "a HART-IP response to an unknown identity";
  EXPECT_TRUE(Noted("failed: unknown PSK identity \"intruder\" (1 failed since start)"));
  SClient wrongKey(port_, "-tls1_2", kManager, "0F0E0D0C0B0A09080706050403020100");
  wrongKey.Send(IpRequest(0, 1, InitiateBody(true, 60000), std::nullopt, 2));
  EXPECT_FALSE(wrongKey.Receive(3s)) << "a HART-IP response to a wrong key";
  // The second failure falls in the same second as the first: its note is held back, counted.
  EXPECT_TRUE(NotedAny({"(2 failed since start)", "notes \"handshake failed\" held back"}));
  EXPECT_EQ(simulator_.HartIpSessions(), 0u);
}

TEST_F(HartIpSecure, RequireRefusesPlaintextAndServesTlsAfterAPlaintextInitiate) {
  StartSecure("require");
  HartIpClient v1(Transport::Tcp, port_);
  const auto refusedTcp = v1.Initiate();
  ASSERT_TRUE(refusedTcp);
  EXPECT_EQ(refusedTcp->status, 16);
  EXPECT_TRUE(v1.ClosedByServer());
  HartIpClient udp(Transport::Udp, port_);
  const auto refusedUdp = udp.Initiate();
  ASSERT_TRUE(refusedUdp);
  EXPECT_EQ(refusedUdp->status, 16);

  // A version-2 initiate over TCP is answered; what follows must be TLS, a plaintext request
  // is refused and the connection closed.
  const Bytes initiate = IpRequest(0, 1, InitiateBody(true, 60000), std::nullopt, 2);
  HartIpClient plainAfter(Transport::Tcp, port_);
  plainAfter.SendRaw(initiate);
  const auto answered = plainAfter.Receive();
  ASSERT_TRUE(answered && answered->status == 0);
  plainAfter.SendRaw(IpRequest(3, 2, kCommand0, std::nullopt, 2));
  const auto refused = plainAfter.Receive();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 16);
  EXPECT_TRUE(plainAfter.ClosedByServer());

  // The same start, then TLS: this test relays between the server and s_client.
  const int server = TcpSocket(port_);
  ASSERT_GE(server, 0);
  ASSERT_EQ(send(server, initiate.data(), initiate.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(initiate.size()));
  Bytes response(13);
  ASSERT_EQ(recv(server, response.data(), response.size(), MSG_WAITALL), 13);
  EXPECT_EQ(response[3], 0) << "status";
  Relay relay(server);
  SClient tls("127.0.0.1:" + std::to_string(relay.Port()), "-tls1_2", kManager, kManagerKey);
  tls.SetSequence(2);
  ExpectCommand0(tls.Request(3, kCommand0), 2);
  EXPECT_TRUE(Noted("secured by TLS as client 0"));
  // The session opened in plaintext and then secured is audited as secure; the one that sent
  // plaintext after its initiate is not.
  const std::vector<int> status = AuditStatuses(tls);
  ASSERT_EQ(status.size(), 2u);
  EXPECT_NE(status[0] & 0x10, 0);
  EXPECT_EQ(status[1] & 0x10, 0);
  // A TLS connection from its first byte is served as well.
  SClient direct(port_, "-tls1_2", kManager, kManagerKey);
  RoundTrip(direct, "TLS from the first byte");
}

// Command 542 through command 31 to the I/O system: slot, reserved, the key's length with its
// CRC, the 66-byte field of key, CRC and padding, the 128-byte identity field.
Bytes KeyWrite(uint8_t slot, const Bytes& key, const std::string& identity) {
  Bytes data{0x02, 0x1E, slot, 0, static_cast<uint8_t>(key.size() + 2)};
  data.insert(data.end(), key.begin(), key.end());
  uint16_t crc = 0xFFFF;  // CRC-16/CCITT-FALSE
  for (const uint8_t b : key) {
    crc = static_cast<uint16_t>(crc ^ (b << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  data.insert(data.end(), {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
  data.resize(2 + 69, 0);
  data.insert(data.end(), identity.begin(), identity.end());
  data.resize(2 + 197, 0);
  return ShortFrame(0, 31, data);
}

TEST_F(HartIpSecure, ManagerWritesAKeyThatANewClientThenUses) {
  StartSecure("allow");
  const Bytes key{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18, 0x29, 0x3A,
                  0x4B, 0x5C, 0x6D, 0x7E, 0x8F, 0x90, 0x11, 0x22, 0x33, 0x44};
  SClient manager(port_, "-tls1_2", kManager, kManagerKey);
  RoundTrip(manager, "manager");
  const Bytes request = KeyWrite(2, key, "operator-02");
  ASSERT_EQ(request.size(), 4u + 199 + 1);
  const auto written = manager.Request(3, request);
  ASSERT_TRUE(written && written->status == 0);
  ASSERT_GT(written->body.size(), 6u);
  EXPECT_EQ(written->body[4], 0) << "response code of 542";
  const std::string hex = "A1B2C3D4E5F60718293A4B5C6D7E8F9011223344";
  EXPECT_TRUE(Eventually([&] {
    const std::string text = FileText();
    return text.find("Client2Identity=operator-02") != std::string::npos &&
           text.find("Client2Key=" + hex) != std::string::npos;
  })) << FileText();
  // The file is read again within a second; until then the handshake may be refused.
  bool through = false;
  for (const auto deadline = std::chrono::steady_clock::now() + 3s;
       !through && std::chrono::steady_clock::now() < deadline;) {
    SClient second(port_, "-tls1_2", "operator-02", hex);
    const auto initiated = second.Request(0, InitiateBody(true, 60000));
    through = initiated && initiated->status == 0;
    if (!through) continue;
    const auto answered = second.Request(3, kCommand0);
    ExpectCommand0(answered, second.LastSequence());
  }
  EXPECT_TRUE(through) << "the written key does not open a session";
  // The note names the client, unless it falls within a second of the manager's, which holds it
  // back.
  EXPECT_TRUE(
      NotedAny({"secured by TLS as client 2 \"operator-02\"", "notes \"secured\" held back"}));
  // The traffic log shows the frame, never the key.
  std::string spaced;
  for (const uint8_t b : key) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X ", b);
    spaced += text;
  }
  for (const std::string& line : recorder_.Lines()) {
    EXPECT_EQ(line.find(hex), std::string::npos) << line;
    EXPECT_EQ(line.find(spaced.substr(0, 24)), std::string::npos) << line;
  }
}

TEST_F(HartIpSecure, StalledHandshakeDoesNotHoldUpAnotherSession) {
  StartSecure("allow");
  const int stalled = TcpSocket(port_);
  ASSERT_GE(stalled, 0);
  const uint8_t partial[] = {0x16, 0x03, 0x01, 0x00, 0x80, 0x01, 0x00, 0x00, 0x7C, 0x03, 0x03};
  ASSERT_EQ(send(stalled, partial, sizeof partial, MSG_NOSIGNAL),
            static_cast<ssize_t>(sizeof partial));
  SClient tls(port_, "-tls1_2", kManager, kManagerKey);
  RoundTrip(tls, "beside a stalled handshake");
  SClient dtls(port_, "-dtls1_2", kManager, kManagerKey);
  RoundTrip(dtls, "DTLS beside a stalled handshake");
  close(stalled);
}

}  // namespace
}  // namespace qln::test
