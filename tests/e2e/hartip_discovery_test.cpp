// HART-IP hosts find Quillon's devices as they find those of an I/O system: a short-frame poll
// until something answers, that answer a HART 7 protocol bridge, then its sub-devices listed by
// commands 74 and 84 and reached through command 77. The host here reads every reply itself, by
// the public layouts, and holds the results against the file.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/sections.h"
#include "e2e/e2e_fixture.h"
#include "e2e/pcap_writer.h"
#include "hartip/hart_reply.h"
#include "hartip/hartip_client.h"

namespace qln::test {
namespace {

using Transport = HartIpClient::Transport;
// A Direct PDU's body: status bytes, then per command its number, byte count and data.
struct DirectCommand {
  uint16_t command;
  Bytes data;
};
Bytes DirectBody(const std::vector<DirectCommand>& commands) {
  Bytes body{0, 0};
  for (const auto& [command, data] : commands) {
    body.insert(body.end(), {static_cast<uint8_t>(command >> 8), static_cast<uint8_t>(command),
                             static_cast<uint8_t>(data.size())});
    body.insert(body.end(), data.begin(), data.end());
  }
  return body;
}
// The replies of a Direct PDU response, by command: response code and data.
std::vector<std::pair<uint16_t, HartReply>> DirectReplies(const Bytes& body) {
  std::vector<std::pair<uint16_t, HartReply>> replies;
  for (std::size_t at = 2; at + 4 <= body.size() && at + 3 + body[at + 2] <= body.size();
       at += 3 + body[at + 2]) {
    const auto from = body.begin() + static_cast<std::ptrdiff_t>(at);
    replies.push_back({static_cast<uint16_t>(Big(body, at, 2)),
                       {body[at + 3], body[0], Bytes(from + 4, from + 3 + body[at + 2])}});
  }
  return replies;
}

// One host session; every message it sends and gets is kept for a capture.
class Host {
 public:
  Host(Transport transport, uint16_t port) : client_(transport, port) {
    const auto initiated = Request(0, InitiateBody(true, 60000));
    EXPECT_TRUE(initiated && initiated->status == 0);
  }
  std::optional<IpMessage> Request(uint8_t id, const Bytes& body) {
    auto response = client_.Request(id, body);
    transcript_.push_back({true, IpRequest(id, client_.LastSequence(), body)});
    if (response) transcript_.push_back({false, Serialize(*response)});
    return response;
  }
  // The reply to a frame in a token-passing PDU; nothing when no device answers.
  std::optional<HartReply> Command(const Bytes& frame) {
    const auto response = Request(3, frame);
    if (!response || response->status != 0) return std::nullopt;
    return ReadReply(response->body, true);
  }
  std::optional<HartReply> Command(const Address& to, uint8_t command, const Bytes& data = {}) {
    return Command(LongFrame(to, command, data));
  }
  std::vector<std::pair<uint16_t, HartReply>> Direct(const std::vector<DirectCommand>& commands) {
    const auto response = Request(4, DirectBody(commands));
    EXPECT_TRUE(response && response->type == 1 && response->status == 0);
    return response ? DirectReplies(response->body) : decltype(DirectReplies({})){};
  }
  HartIpClient& Client() { return client_; }
  const std::vector<std::pair<bool, Bytes>>& Transcript() const { return transcript_; }

 private:
  HartIpClient client_;
  std::vector<std::pair<bool, Bytes>> transcript_;  // to the server?, message
};

// What the file holds of an enabled device, as command 84 and command 20 give it.
struct Expected {
  uint8_t device;
  uint16_t manufacturer, deviceType;
  uint32_t deviceId;
  Bytes longTag;
};

class HartIpDiscovery : public SimulatorOnPty {
 protected:
  void StartServer() {
    // Fixed process values, so that two reads of command 9 agree.
    for (const char* section : {"HTDev06_Simulation", "HTDev07_Simulation"})
      Configure(section, "PV1Mode", "fixed");
    int comNumber = 0;
    ASSERT_TRUE(simulator_.StartUp(comNumber));
    const Result<> started = simulator_.StartHartIp("127.0.0.1", 0);
    ASSERT_TRUE(started) << started.error();
  }
  unsigned Number(const std::string& section, const char* key) const {
    return static_cast<unsigned>(std::strtoul(Stored(section, key).c_str(), nullptr, 10));
  }
  Expected FromFile(uint8_t device) const {
    const std::string identity = SectionName(0, device);
    Expected e{
        device,
        static_cast<uint16_t>(Number(identity, "MfrID_v7")),
        static_cast<uint16_t>(Number(identity, "MfrID") << 8 | Number(identity, "MfrDevType")),
        Number(identity, "DevIDNo"),
        {}};
    for (int i = 1; i <= 32; ++i) {
      const std::string key = "LongTag" + std::to_string(i);
      e.longTag.push_back(static_cast<uint8_t>(Number(SectionName(20, device), key.c_str())));
    }
    return e;
  }
  std::vector<Expected> EnabledInFile() const {
    std::vector<Expected> devices;
    for (uint8_t d = 0; d < kDeviceCount; ++d) {
      if (Stored("HTDev_Sys", DevEnableKey(d)) == "1") devices.push_back(FromFile(d));
    }
    return devices;
  }
  // Through the grid, as the operator does it, the device's identity kept.
  void SetEnabled(const Expected& device, bool enabled) {
    RowEntry row;
    row.Device = device.device;
    row.Enabled = enabled;
    char text[16];
    std::snprintf(text, sizeof text, "%04X%06X", device.deviceType, device.deviceId);
    row.LongAddress = text;
    std::snprintf(text, sizeof text, "%X", device.manufacturer);
    row.MfrIDv7 = text;
    ASSERT_TRUE(simulator_.StoreRows(std::span(&row, 1)));
  }
  // A capture of the host's messages; the analyser must find a HART-IP message in each packet,
  // and nothing malformed.
  void ExpectCleanCapture(const Host& host, Transport transport) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) return;
    PcapWriter pcap;
    if (transport == Transport::Tcp) {
      pcap.Tcp(true, 0x02);
      pcap.Tcp(false, 0x12);
      pcap.Tcp(true, 0x10);
    }
    for (const auto& [toServer, message] : host.Transcript()) {
      transport == Transport::Tcp ? pcap.Tcp(toServer, 0x18, message) : pcap.Udp(toServer, message);
    }
    const std::string file = (dir_.Path() / "discovery.pcap").string();
    pcap.Write(file);
    const std::string tshark = "tshark -n -r " + file + " ";
    const std::string hartIp = Output(tshark + "-Y hart_ip -T fields -e frame.number 2>/dev/null");
    EXPECT_EQ(std::count(hartIp.begin(), hartIp.end(), '\n'),
              static_cast<std::ptrdiff_t>(host.Transcript().size()));
    EXPECT_EQ(Output(tshark + "-Y '_ws.malformed || _ws.expert.severity >= error' 2>/dev/null"),
              "");
  }
};

class DiscoveryOver : public HartIpDiscovery, public ::testing::WithParamInterface<Transport> {};

TEST_P(DiscoveryOver, FindsTheFilesDevicesBehindTheIoSystemAndTheirListChanges) {
  StartServer();
  Host host(GetParam(), simulator_.HartIpPort());

  // The first poll address that answers: the I/O system, a HART 7 bridge of profile 68.
  std::optional<HartReply> identity;
  uint8_t poll = 0;
  for (; poll < 64 && !identity; ++poll) identity = host.Command(ShortFrame(poll));
  ASSERT_TRUE(identity && identity->data.size() >= 22);
  EXPECT_EQ(poll - 1, 0);
  const Bytes& id0 = identity->data;
  EXPECT_NE(id0[8] & 0x04, 0);
  EXPECT_GE(id0[4], 7);
  EXPECT_EQ(id0[21], 68);
  const Address io = AddressIn(id0, 1, 9);
  EXPECT_EQ(io,
            AddressOf(Number("HTDev_IOSystem", "ExpDevType"), Number("HTDev_IOSystem", "DevIDNo")));
  const auto longTag = host.Command(io, 20);
  ASSERT_TRUE(longTag && longTag->data.size() == 32);
  EXPECT_EQ(
      std::string(longTag->data.begin(), std::find(longTag->data.begin(), longTag->data.end(), 0)),
      Stored("HTDev_IOSystem", "LongTag"));

  const std::vector<Expected> expected = EnabledInFile();
  const auto capabilities = host.Command(io, 74);
  ASSERT_TRUE(capabilities && capabilities->data.size() >= 8);
  EXPECT_EQ(Big(capabilities->data, 3, 2), expected.size() + 1);

  // Each sub-device by 84, then through 77 by its long address and directly: the same replies.
  struct Asked {
    uint8_t command;
    Bytes data;
    uint8_t code;
  };
  const std::vector<Asked> commands{{0, {}, 0},           {13, {}, 0},  {20, {}, 0},  {50, {}, 0},
                                    {9, {0, 1, 2, 3}, 0}, {105, {}, 0}, {106, {}, 64}};
  std::vector<std::string> logged;  // the tunnelled lines the log must show
  for (uint16_t index = 1; index <= expected.size(); ++index) {
    const Expected& want = expected[index - 1];
    const auto summary = host.Command(io, 84, {0, static_cast<uint8_t>(index)});
    ASSERT_TRUE(summary && summary->code == 0 && summary->data.size() >= 48) << index;
    const Bytes& s = summary->data;
    EXPECT_EQ(Big(s, 0, 2), index);
    EXPECT_EQ(Big(s, 2, 2), 0u);  // card 0, channel 0
    EXPECT_EQ(Big(s, 4, 2), want.manufacturer) << index;
    EXPECT_EQ(Big(s, 6, 2), want.deviceType) << index;
    EXPECT_EQ(Big(s, 8, 3), want.deviceId) << index;
    EXPECT_EQ(Bytes(s.begin() + 12, s.begin() + 44), want.longTag) << index;
    const Address sub = AddressIn(s, 6, 8);
    for (const auto& [command, data, code] : commands) {
      const Bytes frame = LongFrame(sub, command, data);
      const auto outer = host.Command(io, 77, Through77(frame));
      ASSERT_TRUE(outer && outer->code == 0 && outer->data.size() > 2) << int(command);
      EXPECT_EQ(Big(outer->data, 0, 2), 0u);
      const std::span<const uint8_t> replyFrame = std::span(outer->data).subspan(2);
      const auto tunnelled = ReadReply(replyFrame, false);
      const auto direct = host.Command(frame);
      ASSERT_TRUE(tunnelled && direct) << int(command);
      EXPECT_EQ(tunnelled->code, code) << int(command);
      EXPECT_EQ(direct->code, code) << int(command);
      // Command 9 ends with the time of its reading.
      const std::size_t compared = direct->data.size() - (command == 9 ? 4 : 0);
      ASSERT_EQ(tunnelled->data.size(), direct->data.size()) << int(command);
      EXPECT_TRUE(std::equal(direct->data.begin(), direct->data.begin() + compared,
                             tunnelled->data.begin()))
          << int(command);
      if (command == 20) {
        EXPECT_EQ(tunnelled->data, want.longTag);
      }
      Bytes withChecksum(replyFrame.begin(), replyFrame.end());
      withChecksum.push_back(FrameChecksum(withChecksum.data(), withChecksum.size()));
      logged.push_back("R " + Hex(frame));
      logged.push_back("S " + Hex(withChecksum));
    }
  }
  // The log shows each tunnelled request and reply, marked so.
  EXPECT_TRUE(Eventually([&] {
    const std::vector<std::string> lines = recorder_.Lines();
    return std::all_of(logged.begin(), logged.end(), [&](const std::string& want) {
      return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, 2, want, 0, 2) == 0 &&
               line.find("tunnelled]  " + want.substr(2)) != std::string::npos;
      });
    });
  })) << logged.size()
      << " lines expected";

  // A device enabled and disabled while running: 74 counts it, 48 tells the change once.
  const auto listChanged = [&] {
    const auto status = host.Command(io, 48);
    EXPECT_TRUE(status && status->data.size() >= 12);
    return status && status->data.size() >= 12 && (status->data[11] & 0x01) != 0;
  };
  EXPECT_FALSE(listChanged());
  const Expected added = FromFile(8);
  for (const bool enabled : {true, false}) {
    SetEnabled(added, enabled);
    const auto count = host.Command(io, 74);
    ASSERT_TRUE(count && count->data.size() >= 5);
    EXPECT_EQ(Big(count->data, 3, 2), expected.size() + (enabled ? 2 : 1));
    EXPECT_NE(count->status & 0x10, 0);  // more status available
    const auto last = host.Command(io, 84, {0, static_cast<uint8_t>(expected.size() + 1)});
    ASSERT_TRUE(last);
    EXPECT_EQ(last->code, enabled ? 0 : 2);
    if (enabled) {
      EXPECT_EQ(Big(last->data, 8, 3), added.deviceId);
    }
    EXPECT_TRUE(listChanged());
    EXPECT_FALSE(listChanged());
  }
  ExpectCleanCapture(host, GetParam());
}

TEST_F(HartIpDiscovery, DirectPduAndAuditLogRoundTripAndBadRequestsGetTheirErrors) {
  StartServer();
  const uint16_t port = simulator_.HartIpPort();
  {  // an earlier session, closed: initiate, one frame, close
    Host earlier(Transport::Tcp, port);
    ASSERT_TRUE(earlier.Command(ShortFrame(0)));
    ASSERT_TRUE(earlier.Request(1, {}));
    EXPECT_TRUE(earlier.Client().ClosedByServer());
  }
  Host host(Transport::Udp, port);
  const std::vector<Expected> expected = EnabledInFile();

  // Commands 0, 74 and 84 in one message; 0 answers as in a frame.
  const auto first = host.Direct({{0, {}}, {74, {}}, {84, {0, 1}}});
  ASSERT_EQ(first.size(), 3u);
  const auto identity = host.Command(ShortFrame(0));
  ASSERT_TRUE(identity && identity->data.size() >= 12);
  EXPECT_EQ(first[0].first, 0);
  EXPECT_EQ(first[0].second.data, identity->data);
  EXPECT_EQ(first[1].first, 74);
  EXPECT_EQ(Big(first[1].second.data, 3, 2), expected.size() + 1);
  ASSERT_EQ(first[2].second.data.size(), 48u);
  EXPECT_EQ(Big(first[2].second.data, 8, 3), expected[0].deviceId);
  const Address io = AddressIn(identity->data, 1, 9);
  const Address sub = AddressIn(first[2].second.data, 6, 8);

  // The audit log: the closed session with its disconnect time and counts, this one open.
  const auto audit = host.Request(5, {0, 8});
  ASSERT_TRUE(audit && audit->type == 1 && audit->status == 0 && audit->body.size() >= 22);
  const Bytes& log = audit->body;
  ASSERT_EQ(log[1], 2);
  ASSERT_EQ(Big(log, 20, 2), 58u);
  ASSERT_EQ(log.size(), 22u + 2 * 58);
  const auto record = [&](std::size_t n, std::size_t at, std::size_t count) {
    return Big(log, 22 + 58 * n + at, count);
  };
  for (std::size_t n = 0; n < 2; ++n) {
    EXPECT_EQ(record(n, 0, 4), 0x7F000001u) << n;
    EXPECT_EQ(record(n, 22, 2), port) << n;
    EXPECT_GT(record(n, 24, 8), 0u) << n;
  }
  EXPECT_GE(record(0, 32, 8), record(0, 24, 8));
  EXPECT_EQ(record(0, 40, 2), 0x10u);  // insecure; neither aborted, timed out nor written
  EXPECT_EQ(record(0, 50, 4), 3u);     // requests: initiate, frame, close
  EXPECT_EQ(record(0, 54, 4), 3u);     // responses
  EXPECT_EQ(record(1, 32, 8), 0u);     // still open
  const auto& sent = host.Transcript();
  const auto requests = std::count_if(sent.begin(), sent.end(), [](auto& m) { return m.first; });
  EXPECT_EQ(record(1, 50, 4), static_cast<uint64_t>(requests));
  EXPECT_EQ(record(1, 54, 4), static_cast<uint64_t>(sent.size() - requests - 1));

  // 77s and an 84 in one message, good and bad: each its own response code.
  const Bytes to20 = LongFrame(sub, 20);
  Bytes overlong = Through77(to20);
  overlong[3 + 7] = 10;  // the embedded byte count promises ten bytes; none follow
  struct Case {
    const char* what;
    uint16_t command;
    Bytes data;
    uint8_t code;
    std::optional<uint8_t> inner;  // the sub-device's response code
  };
  const std::vector<Case> cases{
      {"to the sub-device", 77, Through77(to20), 0, 0},
      {"77 in 77 for the sub-device", 77, Through77(LongFrame(sub, 77, Through77(to20))), 0, 64},
      {"77 in 77 for the I/O system", 77, Through77(LongFrame(io, 77, Through77(to20))), 35, {}},
      {"byte count past the request", 77, overlong, 5, {}},
      {"card 1", 77, Through77(to20, 1, 0), 21, {}},
      {"channel 1", 77, Through77(to20, 0, 1), 22, {}},
      {"index past the end", 84, {0, static_cast<uint8_t>(expected.size() + 1)}, 2, {}},
  };
  std::vector<DirectCommand> commands;
  for (const Case& c : cases) commands.push_back({c.command, c.data});
  const auto replies = host.Direct(commands);
  ASSERT_EQ(replies.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const HartReply& reply = replies[i].second;
    EXPECT_EQ(replies[i].first, cases[i].command) << cases[i].what;
    EXPECT_EQ(reply.code, cases[i].code) << cases[i].what;
    if (!cases[i].inner) {
      EXPECT_TRUE(reply.data.empty()) << cases[i].what;
      continue;
    }
    const auto inner =
        reply.data.size() > 2 ? ReadReply(std::span(reply.data).subspan(2), false) : std::nullopt;
    ASSERT_TRUE(inner) << cases[i].what;
    EXPECT_EQ(inner->code, *cases[i].inner) << cases[i].what;
    if (*cases[i].inner == 0) {
      EXPECT_EQ(inner->data, expected[0].longTag);
    }
  }

  // Byte counts that lie, of a command and of the message: error status 5, the session kept.
  HartIpClient& client = host.Client();
  const Bytes lyingCommand{0, 0, 0, 0, 5, 1};
  const Bytes goodBody = DirectBody({{0, {}}});
  for (const Bytes& message :
       {IpRequest(4, 100, lyingCommand), IpRequest(4, 101, goodBody, goodBody.size() + 8 + 4)}) {
    client.SendRaw(message);
    const auto refused = client.Receive();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->type, 3);
    EXPECT_EQ(refused->status, 5);
    EXPECT_TRUE(refused->body.empty());
  }
  const auto after = host.Direct({{0, {}}});
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].second.data, identity->data);
}

TEST_F(HartIpDiscovery, ASubscribedSessionGetsOnlyThePublishesItAskedFor) {
  StartServer();
  Host a(Transport::Tcp, simulator_.HartIpPort());
  Host b(Transport::Udp, simulator_.HartIpPort());
  // Device 0 bursts; A subscribes to another device only (one whose manufacturer sets the top
  // bits of the expanded device type, as its unique ID carries them); B never subscribes.
  const std::vector<Expected> expected = EnabledInFile();
  const auto other = std::find_if(expected.begin(), expected.end(),
                                  [](const Expected& e) { return e.deviceType >= 0x4000; });
  ASSERT_NE(other, expected.end());
  const Address bursting = AddressOf(expected[0].deviceType, expected[0].deviceId);
  const Bytes burstingId = UniqueId(expected[0].deviceType, expected[0].deviceId);
  Bytes subscribe = UniqueId(other->deviceType, other->deviceId);
  subscribe.insert(subscribe.end(), {0, 1});
  const auto subscribed = a.Direct({{533, subscribe}, {532, burstingId}});
  ASSERT_EQ(subscribed.size(), 2u);
  EXPECT_EQ(subscribed[0].second.code, 0);
  EXPECT_EQ(subscribed[0].second.data, subscribe);
  EXPECT_EQ(subscribed[1].second.code, 0);
  EXPECT_EQ(Big(subscribed[1].second.data, 5, 2), 0u);
  const auto armed = a.Command(bursting, 109, {1});
  ASSERT_TRUE(armed);
  EXPECT_EQ(armed->code, 0);

  const auto nextPublish = [](HartIpClient& client, std::chrono::milliseconds timeout) {
    while (const auto message = client.Receive(timeout)) {
      if (message->type == 2) return std::optional<Bytes>(message->body);
    }
    return std::optional<Bytes>();
  };
  for (int i = 0; i < 2; ++i) {
    const auto burst = nextPublish(b.Client(), std::chrono::milliseconds(2500));
    ASSERT_TRUE(burst && burst->size() > 6) << i;
    EXPECT_EQ(AddressIn(*burst, 1, 3), bursting);
  }
  // Both sessions are published to at once: whatever A had would be here by now.
  EXPECT_FALSE(nextPublish(a.Client(), std::chrono::milliseconds(300)));
  EXPECT_TRUE(a.Client().Published().empty());

  // Subscribed to every device, A gets them too.
  Bytes everyDevice(5, 0);
  everyDevice.insert(everyDevice.end(), {0, 1});
  ASSERT_EQ(a.Direct({{533, everyDevice}}).at(0).second.code, 0);
  EXPECT_TRUE(nextPublish(a.Client(), std::chrono::milliseconds(2500)));
}

// A host configures a second burst message of device 0 (HART 7) with commands 103, 104, 107, 108
// and 109: both messages go out at their own periods on the serial line, and are published to a
// session that never subscribed. Short periods keep the run to a few seconds.
TEST_F(HartIpDiscovery, TwoBurstMessagesGoOutAtTheirPeriodsOnTheLineAndOverHartIp) {
  int comNumber = 0;
  ASSERT_TRUE(simulator_.StartUp(comNumber));
  const Result<std::string> opened = simulator_.Open(comNumber, "pty:" + Link());
  ASSERT_TRUE(opened) << opened.error();
  Connect();
  ASSERT_TRUE(simulator_.StartHartIp("127.0.0.1", 0));
  Host a(Transport::Tcp, simulator_.HartIpPort());
  Host b(Transport::Udp, simulator_.HartIpPort());
  const Expected zero = FromFile(0);
  const Address device = AddressOf(zero.deviceType, zero.deviceId);
  const auto expectCode = [&](uint8_t command, const Bytes& data, uint8_t code) {
    const auto reply = a.Command(device, command, data);
    ASSERT_TRUE(reply) << int{command};
    EXPECT_EQ(reply->code, code) << int{command};
  };
  // Message 1: command 9 of device variables 0 and 1 every 0.5 s; message 0 (command 1, as
  // section 108 says) once a second.
  expectCode(103, {1, 0, 0, 0x3E, 0x80, 0, 0, 0x3E, 0x80}, 0);  // 16000/32 ms = 0.5 s
  expectCode(104, {1, 0, 0, 250, 0x7F, 0xA0, 0, 0}, 0);
  expectCode(107, {0, 1, 250, 250, 250, 250, 250, 250, 1}, 0);
  expectCode(108, {0, 9, 1}, 0);
  expectCode(109, {1, 1}, 0);
  expectCode(109, {1, 0}, 0);
  EXPECT_EQ(Stored("HTDev00_Burst1", "UpdatePeriodMs"), "500");
  EXPECT_EQ(Stored("HTDev00_Burst1", "Command"), "9");

  // The line: when each command's frames arrive.
  const auto spacings = [](const std::vector<std::chrono::steady_clock::time_point>& at) {
    std::vector<long> ms;
    for (std::size_t i = 1; i < at.size(); ++i) {
      ms.push_back(static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(at[i] - at[i - 1]).count()));
    }
    return ms;
  };
  std::vector<std::chrono::steady_clock::time_point> ones, nines;
  const auto lineEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(2300);
  while (std::chrono::steady_clock::now() < lineEnd) {
    const auto frame = master_->ReadFrame(std::chrono::milliseconds(100));
    if (!frame) continue;
    ASSERT_TRUE(frame->IsBurst());
    EXPECT_TRUE(frame->ChecksumOk());
    (frame->Command() == 9 ? nines : ones).push_back(std::chrono::steady_clock::now());
    if (frame->Command() == 9) {
      EXPECT_EQ(frame->Data().size(), 1u + 2 * 8 + 4);  // two device variables and the time
    }
  }
  ASSERT_GE(nines.size(), 3u);
  ASSERT_GE(ones.size(), 2u);
  for (const long ms : spacings(nines)) {
    EXPECT_GT(ms, 400);
    EXPECT_LT(ms, 800);
  }
  for (const long ms : spacings(ones)) {
    EXPECT_GT(ms, 900);
    EXPECT_LT(ms, 1300);
  }

  // HART-IP: the session that never subscribed gets both messages at their periods.
  while (b.Client().Receive(std::chrono::milliseconds(20))) {  // what came in meanwhile
  }
  ones.clear();
  nines.clear();
  const auto ipEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(2300);
  while (std::chrono::steady_clock::now() < ipEnd) {
    const auto message = b.Client().Receive(std::chrono::milliseconds(100));
    if (!message || message->type != 2) continue;
    const Bytes& burst = message->body;
    ASSERT_GT(burst.size(), 7u);
    EXPECT_EQ(AddressIn(burst, 1, 3), device);
    (burst[6] == 9 ? nines : ones).push_back(std::chrono::steady_clock::now());
  }
  ASSERT_GE(nines.size(), 3u);
  ASSERT_GE(ones.size(), 2u);
  for (const long ms : spacings(nines)) {
    EXPECT_GT(ms, 400);
    EXPECT_LT(ms, 700);
  }
  for (const long ms : spacings(ones)) {
    EXPECT_GT(ms, 900);
    EXPECT_LT(ms, 1200);
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, DiscoveryOver,
                         ::testing::Values(Transport::Tcp, Transport::Udp), [](const auto& param) {
                           return param.param == Transport::Tcp ? "Tcp" : "Udp";
                         });

}  // namespace
}  // namespace qln::test
