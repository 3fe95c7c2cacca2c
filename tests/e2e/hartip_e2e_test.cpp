// HART-IP served by the whole simulator: the same devices, the same command layer and the same
// file as the serial line, with the serial port open or closed.
#include <array>
#include <string>
#include <vector>

#include "base/encodings.h"
#include "e2e/e2e_fixture.h"
#include "hartip/hartip_client.h"

namespace qln::test {
namespace {

using Transport = HartIpClient::Transport;
using namespace std::chrono_literals;

// The reply frame's data after the two status bytes.
std::vector<uint8_t> ReplyData(const std::vector<uint8_t>& frame) {
  const std::size_t countPos = (frame[0] & 0x80) != 0 ? 7 : 3;
  return {frame.begin() + static_cast<std::ptrdiff_t>(countPos) + 3, frame.end() - 1};
}

class HartIpSimulator : public SimulatorOnPty {
 protected:
  std::unique_ptr<HartIpClient> Session(Transport transport = Transport::Tcp, bool primary = true) {
    if (!simulator_.HartIpRunning()) {
      // These rigs address device N at poll address N, as on the serial line.
      Configure("HTDev_Sys", "HartIpView", "flat");
      const Result<> started = simulator_.StartHartIp("127.0.0.1", 0);
      EXPECT_TRUE(started) << started.error();
    }
    auto client = std::make_unique<HartIpClient>(transport, simulator_.HartIpPort());
    const auto initiated = client->Initiate(primary);
    EXPECT_TRUE(initiated && initiated->status == 0);
    return client;
  }
  // The reply frame of a token-passing PDU; empty when the response carries none.
  static std::vector<uint8_t> Frame(HartIpClient& client, const std::vector<uint8_t>& request) {
    const auto response = client.Pdu(request);
    EXPECT_TRUE(response && response->type == 1 && response->id == 3);
    return response ? response->body : std::vector<uint8_t>{};
  }
  static std::array<uint8_t, 5> AddressOf(const std::vector<uint8_t>& command0Reply) {
    const std::vector<uint8_t> d = ReplyData(command0Reply);
    if (d.size() < 12) return {};
    return {static_cast<uint8_t>(d[1] & 0x3F), d[2], d[9], d[10], d[11]};
  }
};

TEST_F(HartIpSimulator, SerialLineAndHartIpGiveTheSameReplyFrames) {
  Start();
  auto client = Session();
  // The first reply reports the cold start once; after it both transports report alike.
  ASSERT_TRUE(master_->Transact(ShortFrame(0)));
  for (uint8_t poll : {0, 3}) {
    const auto serial = master_->Transact(ShortFrame(poll));
    ASSERT_TRUE(serial);
    EXPECT_EQ(Frame(*client, ShortFrame(poll)), serial->bytes) << int(poll);
    const std::array<uint8_t, 5> address = LongAddress(poll);
    for (uint8_t command : {1, 3, 12, 48}) {
      const auto onLine = master_->Transact(LongFrame(address, command));
      ASSERT_TRUE(onLine);
      EXPECT_EQ(Frame(*client, LongFrame(address, command)), onLine->bytes)
          << int(poll) << " command " << int(command);
    }
  }
  // Both kinds of traffic are in the log, the HART-IP lines marked with the peer.
  EXPECT_TRUE(Eventually([&] {
    int received = 0, sent = 0;
    for (const std::string& line : recorder_.Lines()) {
      if (line.find("<==  [IP 127.0.0.1:") != std::string::npos && line[0] == 'R') ++received;
      if (line.find("==>  [IP 127.0.0.1:") != std::string::npos && line[0] == 'S') ++sent;
    }
    return received == 10 && sent == 10;
  }));
}

TEST_F(HartIpSimulator, SessionsReachEveryEnabledDeviceAndWriteTheFile) {
  int comNumber = 0;
  ASSERT_TRUE(simulator_.StartUp(comNumber));  // no serial port opened
  auto primary = Session(Transport::Tcp, true);
  auto secondary = Session(Transport::Udp, false);

  // Command 0 by poll address, then 1, 3 and 48 by long address, for several devices.
  std::vector<std::array<uint8_t, 5>> addresses;
  for (uint8_t poll : {0, 2, 7}) {
    const std::vector<uint8_t> identity = Frame(*primary, ShortFrame(poll));
    ASSERT_GE(identity.size(), 18u);
    EXPECT_EQ(identity[0], 0x06);
    addresses.push_back(AddressOf(identity));
  }
  EXPECT_NE(addresses[0], addresses[1]);
  for (const auto& address : addresses) {
    for (uint8_t command : {1, 3, 48}) {
      const std::vector<uint8_t> reply = Frame(*secondary, LongFrame(address, command, {}, false));
      ASSERT_GE(reply.size(), 12u) << int(command);
      EXPECT_EQ(reply[0], 0x86);
      EXPECT_EQ(reply[6], command);
      EXPECT_EQ(reply[8], 0) << "response code of command " << int(command);
    }
  }
  EXPECT_EQ(ReplyData(Frame(*primary, LongFrame(addresses[0], 1))).size(), 5u);

  // Command 17 writes the message into the file; command 12 reads it back.
  const std::string before = Stored("HTDev02_Cmd012", "Message");
  std::vector<uint8_t> message(24);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(0x11 * i);
  const std::vector<uint8_t> written = Frame(*primary, LongFrame(addresses[1], 17, message));
  ASSERT_GE(written.size(), 12u);
  EXPECT_EQ(written[8], 0);
  EXPECT_EQ(ReplyData(written), message);
  EXPECT_NE(Stored("HTDev02_Cmd012", "Message"), before);
  EXPECT_EQ(ReplyData(Frame(*secondary, LongFrame(addresses[1], 12, {}, false))), message);

  // A dropped reply armed for device 0 is no reply over HART-IP too, once.
  Configure("HTDev00_Faults", "DropReplies", "1");
  const auto dropped = primary->Pdu(LongFrame(addresses[0], 1));
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->status, 35);
  EXPECT_EQ(ReplyData(Frame(*primary, LongFrame(addresses[0], 1))).size(), 5u);
  EXPECT_EQ(Stored("HTDev00_Faults", "DropReplies"), "0");

  // A disabled device (8), an unknown address and a short frame to it: no HART reply.
  const std::array<uint8_t, 5> unknown{1, 2, 3, 4, 5};
  for (const auto& request : {ShortFrame(8), LongFrame(unknown, 1)}) {
    const auto none = primary->Pdu(request);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 35);
    EXPECT_TRUE(none->body.empty());
  }
  // The traffic reaches the log with the port closed.
  EXPECT_TRUE(Eventually([&] {
    for (const std::string& line : recorder_.Lines()) {
      if (line.find("==>  [IP 127.0.0.1:") != std::string::npos) return true;
    }
    return false;
  }));

  // Device 0 bursts its command 1: its frames reach both sessions about once a second, with the
  // port closed, the master bit alternating.
  const std::vector<uint8_t> burstOn = Frame(*primary, LongFrame(addresses[0], 109, {1}));
  ASSERT_GE(burstOn.size(), 9u);
  EXPECT_EQ(burstOn[8], 0);
  for (HartIpClient* client : {primary.get(), secondary.get()}) {
    std::vector<std::vector<uint8_t>> published;
    while (published.size() < 2) {
      const auto received = client->Receive(std::chrono::milliseconds(1500));
      ASSERT_TRUE(received);
      if (received->type == 2) published.push_back(received->body);
    }
    for (const std::vector<uint8_t>& burst : published) {
      ASSERT_EQ(burst.size(), 16u);
      EXPECT_EQ(burst[0], 0x81);
      EXPECT_EQ(burst[6], 1);
      EXPECT_EQ(burst[15], FrameChecksum(burst.data(), 15));
    }
    EXPECT_NE(published[0][1] & 0x80, published[1][1] & 0x80);
  }
}

TEST_F(HartIpSimulator, PortKeyIsStoredAndReadBack) {
  int comNumber = 0;
  ASSERT_TRUE(simulator_.StartUp(comNumber));
  EXPECT_EQ(simulator_.ConfiguredHartIpPort(), 0);  // absent: off
  EXPECT_TRUE(simulator_.SaveHartIpPort(5094));
  EXPECT_EQ(Stored("HTDev_Sys", "HartIpPort"), "5094");
  EXPECT_EQ(simulator_.ConfiguredHartIpPort(), 5094);
  Configure("HTDev_Sys", "HartIpPort", "70000");  // no port number: off
  EXPECT_EQ(simulator_.ConfiguredHartIpPort(), 0);
  EXPECT_TRUE(simulator_.SaveHartIpPort(0));
  EXPECT_EQ(Stored("HTDev_Sys", "COMNo"), "3");  // the rest of the section stays
}

// A HART 7 device's variable simulated by command 79 over the serial line reads the same through
// 3 and 9 over HART-IP and in its burst frames; a HART 5 device answers 64 to 79.
TEST_F(HartIpSimulator, ASimulatedVariableIsSeenOnEveryPathUntilReset) {
  Configure("HTDev03_Cmd000", "UnivCmdRev", "7");
  Configure("HTDev04_Cmd000", "UnivCmdRev", "5");
  Start();
  const std::array<uint8_t, 5> device3 = LongAddress(3);
  std::vector<uint8_t> fixed{1, 1, 32, 0, 0, 0, 0, 0xC0};  // SV fixed at 50 degC, status 0xC0
  EncodeFloat(50.0f, fixed.data() + 3);
  const auto simulated = master_->Transact(LongFrame(device3, 79, fixed));
  ASSERT_TRUE(simulated);
  EXPECT_EQ(simulated->ResponseCode(), 0);
  const auto old = master_->Transact(LongFrame(LongAddress(4), 79, fixed));
  ASSERT_TRUE(old);
  EXPECT_EQ(old->ResponseCode(), 64);

  auto client = Session();
  const std::vector<uint8_t> dynamic = ReplyData(Frame(*client, LongFrame(device3, 3)));
  ASSERT_GE(dynamic.size(), 14u);
  EXPECT_EQ(dynamic[9], 32);
  EXPECT_EQ(DecodeFloat(dynamic.data() + 10), 50.0f);
  const std::vector<uint8_t> nine = ReplyData(Frame(*client, LongFrame(device3, 9, {1})));
  ASSERT_GE(nine.size(), 9u);
  EXPECT_EQ(nine[8], 0xC0);

  // Device 3 bursts command 3: its frames carry the simulated SV.
  ASSERT_TRUE(master_->Transact(LongFrame(device3, 108, {3})));
  ASSERT_TRUE(master_->Transact(LongFrame(device3, 109, {1})));
  std::optional<SlaveFrame> burst;
  for (int i = 0; i < 10 && !(burst && burst->IsBurst()); ++i) burst = master_->ReadFrame(500ms);
  ASSERT_TRUE(burst && burst->IsBurst());
  EXPECT_EQ(DecodeFloat(burst->Data().data() + 10), 50.0f);
  ASSERT_TRUE(master_->Transact(LongFrame(device3, 109, {0})));

  ASSERT_TRUE(master_->Transact(LongFrame(device3, 42)));  // a reset ends it
  const std::vector<uint8_t> stored = ReplyData(Frame(*client, LongFrame(device3, 3)));
  ASSERT_GE(stored.size(), 14u);
  EXPECT_NE(DecodeFloat(stored.data() + 10), 50.0f);
  EXPECT_EQ(Stored("HTDev03_Cmd079", "DV1Simulated"), "0");
}

}  // namespace
}  // namespace qln::test
