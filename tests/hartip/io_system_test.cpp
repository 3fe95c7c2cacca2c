// HART-IP's I/O system: its commands and their response codes, the sub-devices behind it, and
// which frames reach it, a device, or nobody.
#include "hartip/io_system.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "commands/command_fixture.h"
#include "device/profile_file.h"
#include "hartip/command_backend.h"
#include "link/link_harness.h"

namespace qln::test {
namespace {

constexpr uint8_t kDisabled = 2;  // sub-devices: 0, 1, 3..15 at indexes 1..15
const std::array<uint8_t, 5> kIoAddress{0x26, 0x80, 0x51, 0x4C, 0x4E};
std::array<uint8_t, 5> AddressOf(uint8_t device) {
  return {38, 5, 0x12, 0x34, static_cast<uint8_t>(device)};
}

class IoSystemTest : public ::testing::Test {
 protected:
  IoSystemTest() {
    WriteFile(dir_.Path() / "QLN.ini", IniBuilder().Text());
    EXPECT_TRUE(store_.CheckAndLoadForOpen(model_));
    SetEnabled([](uint8_t d) { return d != kDisabled; });
  }
  void SetEnabled(bool (*enabled)(uint8_t)) {
    std::lock_guard lock(model_.Lock);  // released: the link's view follows
    for (uint8_t d = 0; d < kDeviceCount; ++d) model_.Table[d].DevEnable = enabled(d) ? 1 : 0;
  }
  std::optional<std::vector<uint8_t>> Send(const std::vector<uint8_t>& frame) {
    return backend_.Execute(frame, true, "127.0.0.1:5000", memory_);
  }
  // The I/O system's answer to a command by poll address 0: response code and data.
  std::pair<uint8_t, std::vector<uint8_t>> Ask(uint8_t command, std::vector<uint8_t> data = {}) {
    const auto reply = Send(ShortFrame(0, command, data));
    EXPECT_TRUE(reply);
    if (!reply) return {};
    return {(*reply)[4], {reply->begin() + 6, reply->end() - 1}};
  }
  std::string Stored(const std::string& key) {
    return ProfileFile(dir_.Path() / "QLN.ini").Snapshot()->Read("HTDev_IOSystem", key);
  }

  TempDir dir_;
  FakeNotifier notifier_;
  RecordingConsole console_;
  FakeClock clock_;
  RecordingLogSink log_;
  DeviceModel model_;
  ConfigStore store_{notifier_, clock_, dir_.Path()};
  CommandState state_;
  CommunicationCounters counters_;
  Transaction transaction_{{model_, store_, state_, clock_, counters_, notifier_, console_}};
  CommandBackend backend_{{transaction_, clock_, log_, model_.Link, counters_, nullptr}};
  SessionMemory memory_;
};

// A 541 (password) or 542 (pre-shared key and its CRC) request for a client slot. The reserved
// byte is set: the reply must clear it.
std::vector<uint8_t> Credentials(uint16_t command, uint8_t slot, std::string_view secret,
                                 std::string_view identity) {
  std::vector<uint8_t> data{slot, 0xEE};
  if (command == 542) data.push_back(static_cast<uint8_t>(secret.size()));
  data.insert(data.end(), secret.begin(), secret.end());
  data.resize(command == 542 ? 69 : 66, 0);
  data.insert(data.end(), identity.begin(), identity.end());
  data.resize(data.size() + 128 - identity.size(), 0);
  return data;
}

// A 40-byte key (A0 A1 .. C7) and its CRC-16/CCITT-FALSE, 0x533C.
std::string KeyWithCrc() {
  std::string key;
  for (int i = 0; i < 40; ++i) key += static_cast<char>(0xA0 + i);
  return key + "\x53\x3C";
}

std::vector<uint8_t> Wrapped(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> data{0, 0, 5};
  data.insert(data.end(), frame.begin(), frame.end() - 1);  // no checksum
  return data;
}

TEST_F(IoSystemTest, AnswersItsCommandsWithThePublicResponseCodes) {
  const std::vector<uint8_t> read1 = LongFrame(AddressOf(1), 1);
  std::vector<uint8_t> nested = Wrapped(LongFrame(AddressOf(1), 77, Wrapped(read1)));
  std::vector<uint8_t> lying = Wrapped(read1);
  lying.back() = 9;  // the byte count promises nine data bytes
  struct Case {
    uint8_t command;
    std::vector<uint8_t> data;
    uint8_t code;
    std::vector<uint8_t> start;  // the reply data begin with these
    std::size_t size;
  };
  const Case cases[] = {
      {74, {}, 0, {1, 1, 16, 0, 16, 0, 1, 3}, 8},  // 15 sub-devices and the I/O system
      {84, {0, 2}, 0, {0, 2, 0, 0, 0, 38, 38, 5, 0x12, 0x34, 0x01, 6}, 48},
      {84, {0, 0}, 0, {0, 0, 0, 0, 0, 38, 0x26, 0x80, 0x51, 0x4C, 0x4E, 7}, 48},
      {84, {0, 16}, 2, {}, 0},
      {84, {0}, 5, {}, 0},
      {85, {1, 0}, 21, {}, 0},
      {85, {0, 1}, 22, {}, 0},
      {75, {0, 0, 3}, 0, {254, 38, 5}, 17},  // device 3's identity, a HART 6 device
      {75, {0, 0, kDisabled}, 35, {}, 0},
      {77, Wrapped(read1), 0, {0, 0, 0x86, 0x80 | 38, 5, 0x12, 0x34, 1, 1, 7, 0}, 17},
      {77, nested, 0, {0, 0, 0x86, 0x80 | 38, 5, 0x12, 0x34, 1, 77, 2, 64}, 12},
      {77, lying, 5, {}, 0},
      {77, {1, 0, 5, 2, 0x81, 0, 0}, 21, {}, 0},
      {77, Wrapped(LongFrame(AddressOf(kDisabled), 1)), 35, {}, 0},
      {87, {2}, 2, {}, 0},
      {88, {9}, 3, {}, 0},
      {88, {1}, 4, {}, 0},
      {88, {4}, 0, {4}, 1},
      {99, {}, 64, {}, 0},
      {31, {0, 74}, 0, {0, 74, 1, 1, 16}, 10},  // a 16-bit number through a frame
      {31, {2}, 5, {}, 0},
      {31, {0, 99}, 64, {0, 99}, 2},  // the number is repeated with an error
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.command) + " with " + std::to_string(c.data.size()) + " bytes");
    const auto [code, data] = Ask(c.command, c.data);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(data.size(), c.size);
    EXPECT_TRUE(data.size() >= c.start.size() &&
                std::equal(c.start.begin(), c.start.end(), data.begin()))
        << "data differ";
  }
  // Its identity: a HART 7 protocol bridge of profile 68, written to the file on first use and
  // its retry count stored with the change counted.
  const auto [code, identity] = Ask(0);
  ASSERT_EQ(identity.size(), 22u);
  EXPECT_EQ(identity[4], 7);
  EXPECT_EQ(identity[8], IoSystem::kProtocolBridge);
  EXPECT_EQ(identity[21], IoSystem::kProfile);
  EXPECT_EQ(Stored("Tag"), "QUILLON");
  EXPECT_EQ(Stored("RetryCount"), "4");
  EXPECT_EQ(Stored("CfgChgCnt"), "1");
  // The tunnelled command was the device's own: counted for it (index 2 is device 1), and logged
  // as tunnelled.
  const auto [statsCode, stats] = Ask(86, {0, 2});
  EXPECT_EQ(stats, (std::vector<uint8_t>{0, 2, 0, 2, 0, 2, 0, 0}));  // read1 and the nested 77
  EXPECT_EQ(counters_.LoopStx.load(), 3);  // 75 and two 77 reached a device
  const auto tunnelled = std::count_if(log_.lines.begin(), log_.lines.end(), [](const auto& l) {
    return l.second.find("[IP 127.0.0.1:5000 tunnelled]") != std::string::npos;
  });
  EXPECT_EQ(tunnelled, 5 + 3);  // five requests, three replies (the disabled device is silent)
}

TEST_F(IoSystemTest, FramesReachTheIoSystemADeviceOrNobody) {
  EXPECT_FALSE(Send(ShortFrame(5)));                     // poll addresses 1..63: no device
  EXPECT_TRUE(Send(LongFrame(kIoAddress, 20)));          // its own long address
  const auto direct = Send(LongFrame(AddressOf(5), 1));  // a device's long address: the device
  ASSERT_TRUE(direct);
  EXPECT_EQ((*direct)[1] & 0x3F, 38);
  std::vector<uint8_t> tag(6);
  std::size_t count = 0;
  PackAscii("QUILLON ", tag.data(), &count);
  EXPECT_TRUE(Send(LongFrame({0, 0, 0, 0, 0}, 11, tag)));  // broadcast 11 by its tag
  backend_.ServeFlat(true);
  const auto flat = Send(ShortFrame(5));
  ASSERT_TRUE(flat);
  EXPECT_EQ((*flat)[1] & 0x3F, 5);
}

TEST_F(IoSystemTest, AChangedSubDeviceListIsReportedOnceByCommand48) {
  EXPECT_EQ(Ask(48).second[11], 0);
  SetEnabled([](uint8_t d) { return d < 4; });
  const auto reply = Send(ShortFrame(0, 74));
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)[5] & 0x10, 0x10);  // more status available
  EXPECT_EQ((*reply)[10], 5);           // four sub-devices and the I/O system
  EXPECT_EQ(Ask(48).second[11], IoSystem::kListChangedBit);
  EXPECT_EQ(Ask(48).second[11], 0);
}

TEST_F(IoSystemTest, SubscriptionsNameADeviceByItsUniqueIdOrEveryDevice) {
  const auto direct = [&](uint16_t command, std::vector<uint8_t> data) {
    return backend_.ExecuteDirect(command, data, true, "127.0.0.1:5000", memory_);
  };
  EXPECT_TRUE(memory_.subscriptions.Wants(3));  // nothing written: every device
  EXPECT_EQ(direct(533, {38, 5, 0x12, 0x34, 0x77, 0, 1}).responseCode, 65);
  EXPECT_EQ(direct(533, {38, 5, 0x12}).responseCode, 5);
  const DirectAnswer one = direct(533, {38, 5, 0x12, 0x34, 0x01, 0, 1});
  EXPECT_EQ(one.responseCode, 0);
  EXPECT_EQ(one.data, (std::vector<uint8_t>{38, 5, 0x12, 0x34, 0x01, 0, 1}));
  EXPECT_TRUE(memory_.subscriptions.Wants(1));
  EXPECT_FALSE(memory_.subscriptions.Wants(3));
  EXPECT_EQ(direct(532, {0, 0, 0, 0, 0}).data.back(), 1);
  EXPECT_EQ(direct(74, {}).data.size(), 8u);  // the I/O system's commands by 16-bit number
}

TEST_F(IoSystemTest, OnlyTheSecurityManagerWritesClientCredentials) {
  const SessionSecurity manager{true, 0, "manager"};
  const std::string good = KeyWithCrc();
  const std::string damaged = good.substr(0, 41) + "\x3D";
  const std::string tooShort = good.substr(25);  // 15 bytes and the CRC
  const std::vector<uint8_t> key = Credentials(542, 0x53, good, "plant-historian");
  struct Case {
    const char* what;
    uint16_t command;
    std::vector<uint8_t> data;
    SessionSecurity security;
    uint8_t code;
  };
  // In order: the duplicate is of the identity the first case writes. The refusals aim at slot 5.
  const Case cases[] = {
      {"key", 542, key, manager, 0},
      {"password", 541, Credentials(541, 4, "correct horse", "field-tablet"), manager, 0},
      {"password of slot 3's client", 541, Credentials(541, 3, "battery staple", "plant-historian"),
       manager, 0},
      {"key of a new client in slot 4", 542, Credentials(542, 4, good, "field-tablet-2"), manager,
       0},
      {"too few bytes", 542, {key.begin(), key.end() - 1}, manager, 5},
      {"key too short", 542, Credentials(542, 5, tooShort, "tablet-2"), manager, 10},
      {"key damaged", 542, Credentials(542, 5, damaged, "tablet-2"), manager, 65},
      {"password too short", 541, Credentials(541, 5, "horse", "tablet-2"), manager, 10},
      {"identity too short", 542, Credentials(542, 5, good, "tablet"), manager, 67},
      {"identity of slot 3", 542, Credentials(542, 5, good, "plant-historian"), manager, 13},
      {"line break", 542, Credentials(542, 5, good, "tablet\nClient0Key=00"), manager, 2},
      {"plaintext session", 542, Credentials(542, 5, good, "tablet-2"), {}, 16},
      {"another client", 542, Credentials(542, 5, good, "tablet-2"), {true, 3, "x"}, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    memory_.security = c.security;
    const DirectAnswer answer =
        backend_.ExecuteDirect(c.command, c.data, true, "127.0.0.1:5000", memory_);
    EXPECT_EQ(answer.responseCode, c.code);
    if (c.code != 0) continue;
    std::vector<uint8_t> echo = c.data;
    echo[1] = 0;
    EXPECT_EQ(answer.data, echo);
  }
  const auto section = [&](const std::string& name) {
    return ProfileFile(dir_.Path() / "QLN.ini").Snapshot()->ReadWhole("HTDev_HartIpSecurity", name);
  };
  EXPECT_EQ(section("Client3Identity"), "plant-historian");
  EXPECT_EQ(section("Client3Key"), hartip::HexText(std::span(key).subspan(3, 40)));
  EXPECT_EQ(section("Client3Password"), "battery staple");  // the same client keeps its key
  // A new client does not inherit the slot's old password.
  EXPECT_EQ(section("Client4Identity"), "field-tablet-2");
  EXPECT_EQ(section("Client4Password"), "");
  EXPECT_EQ(section("Client5Identity"), "");
  // The whole 80-digit key comes back as the client's: read without the file's usual cut.
  const hartip::SecuritySettings settings = backend_.Security();
  ASSERT_NE(settings.Find("plant-historian"), nullptr);
  EXPECT_EQ(settings.Find("plant-historian")->key.size(), 40u);
}

TEST_F(IoSystemTest, CredentialsThroughAFrameStayOutOfTheTrafficLog) {
  memory_.security = {true, 0, "manager"};
  std::vector<uint8_t> data{0x02, 0x1E};  // 542
  const std::vector<uint8_t> request = Credentials(542, 1, KeyWithCrc(), "plant-historian");
  data.insert(data.end(), request.begin(), request.end());
  const auto [code, reply] = Ask(31, data);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 2), (std::vector<uint8_t>{2, 30}));
  ASSERT_EQ(log_.lines.size(), 2u);
  for (const auto& [kind, line] : log_.lines) {
    EXPECT_TRUE(line.ends_with(" 02 1E  (credentials withheld)")) << line;
    EXPECT_EQ(line.find("A0 A1"), std::string::npos) << line;
  }
  // Sent by mistake to a sub-device through 77: neither the 77 nor the tunnelled frame shows it.
  log_.lines.clear();
  Ask(77, Wrapped(ShortFrame(1, 31, data)));
  ASSERT_GE(log_.lines.size(), 3u);  // the 77, its reply, and the tunnelled frame
  for (const auto& [kind, line] : log_.lines) {
    EXPECT_TRUE(line.ends_with("  (credentials withheld)")) << line;
    EXPECT_EQ(line.find("A0 A1"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace qln::test
