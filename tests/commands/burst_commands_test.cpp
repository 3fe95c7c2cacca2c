// Burst messages of a device in HART 7 mode: commands 103, 104, 105, 107 and the HART 7 forms of
// 108 and 109, request and reply bytes by the public layouts, what the file keeps, and the frames
// built from it for the line and for HART-IP.
#include "commands/burst_commands.h"

#include <cmath>

#include "command_fixture.h"
#include "commands/burst_frames.h"
#include "commands/transaction.h"
#include "device/profile_file.h"

namespace qln::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kHart7 = 4;
constexpr uint8_t kHart6 = 5;
constexpr uint8_t kProtected = 6;

// An update period in 1/32 ms, most significant byte first.
Bytes Period(uint32_t ms) {
  const uint32_t v = ms * 32;
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes kNaN{0x7F, 0xA0, 0x00, 0x00};
const Bytes kTwoAndAHalf{0x40, 0x20, 0x00, 0x00};

IniBuilder BurstIni() {
  IniBuilder ini;
  ini.Set(0, kHart7, "UnivCmdRev", "7").Set(0, kProtected, "UnivCmdRev", "7");
  ini.Set(15, kProtected, "WrProtCode", "1");
  return ini;
}

class BurstCommandsTest : public CommandTest {
 protected:
  BurstCommandsTest() { ctx.notifier = &notifier; }
  std::string BurstKey(uint8_t device, uint8_t message, const std::string& key) {
    return store.Snapshot()->Read(BurstSection(device, message), key);
  }
};

struct Case {
  const char* what;
  uint8_t device;
  uint8_t command;
  Bytes request;
  uint8_t code;
  Bytes reply;  // none for a refusal
};

TEST_F(BurstCommandsTest, RequestsAndRepliesByTheTable) {
  const Bytes defaultMessage0 = Cat({{0, 31, 0, 1, 2, 3, 250, 250, 250, 250, 0, 3, 0, 1},
                                     Period(1000),
                                     Period(1000),
                                     {0, 0, 250},
                                     kNaN});
  const Case cases[] = {
      {"period kept", kHart7, 103, Cat({{1}, Period(1000), Period(2000)}), 0,
       Cat({{1}, Period(1000), Period(2000)})},
      {"below the floor", kHart7, 103, Cat({{0}, Period(100), Period(100)}), 8,
       Cat({{0}, Period(500), Period(500)})},
      {"not whole milliseconds",
       kHart7,
       103,
       {2, 0, 0, 0x7D, 0x01, 0, 0, 0x7D, 0x01},
       8,
       Cat({{2}, Period(1001), Period(1001)})},
      {"maximum below the period", kHart7, 103, Cat({{2}, Period(2000), Period(1000)}), 8,
       Cat({{2}, Period(2000), Period(2000)})},
      {"above an hour", kHart7, 103, Cat({{1}, Period(4'000'000), Period(4'000'000)}), 8,
       Cat({{1}, Period(3'600'000), Period(3'600'000)})},
      {"103 invalid message", kHart7, 103, Cat({{3}, Period(1000), Period(1000)}), 9, {}},
      {"103 too few bytes", kHart7, 103, {1, 0, 0}, 5, {}},
      {"window trigger", kHart7, 104, Cat({{1, 1, 69, 32}, kTwoAndAHalf}), 0,
       Cat({{1, 1, 69, 32}, kTwoAndAHalf})},
      {"continuous trigger has no level", kHart7, 104, Cat({{1, 0, 69, 32}, kTwoAndAHalf}), 0,
       Cat({{1, 0, 0, 250}, kNaN})},
      {"invalid trigger mode", kHart7, 104, Cat({{1, 5, 0, 250}, kNaN}), 13, {}},
      {"104 invalid message", kHart7, 104, Cat({{3, 0, 0, 250}, kNaN}), 9, {}},
      {"104 too few bytes", kHart7, 104, {1, 0}, 5, {}},
      {"105 without a message reads message 0", kHart7, 105, {}, 0, defaultMessage0},
      {"105 invalid message", kHart7, 105, {3}, 9, {}},
      {"eight slots",
       kHart7,
       107,
       {0, 1, 2, 3, 244, 245, 246, 247, 2},
       0,
       {0, 1, 2, 3, 244, 245, 246, 247, 2}},
      {"short slot form", kHart7, 107, {246, 247}, 0, {246, 247}},
      {"107 invalid message", kHart7, 107, {0, 1, 2, 3, 4, 5, 6, 7, 3}, 9, {}},
      {"108 one byte", kHart7, 108, {33}, 0, {33}},
      {"108 command and message", kHart7, 108, {9, 2}, 0, {9, 2}},
      {"108 16-bit command", kHart7, 108, {0, 48, 1}, 0, {0, 48, 1}},
      {"108 command without a frame", kHart7, 108, {5, 1}, 2, {}},
      {"108 command above 255", kHart7, 108, {1, 0, 1}, 2, {}},
      {"108 invalid message", kHart7, 108, {1, 3}, 9, {}},
      {"109 message 2 on", kHart7, 109, {1, 2}, 0, {1, 2}},
      {"109 invalid control", kHart7, 109, {5, 0}, 2, {}},
      {"109 invalid message", kHart7, 109, {1, 3}, 2, {}},
      {"HART 6: no 103", kHart6, 103, Cat({{1}, Period(1000), Period(1000)}), 64, {}},
      {"HART 6: no 104", kHart6, 104, Cat({{1, 0, 0, 250}, kNaN}), 64, {}},
      {"HART 6: no 105", kHart6, 105, {0}, 64, {}},
      {"HART 6: no 107", kHart6, 107, {0, 1, 2, 3}, 64, {}},
      {"protected 103", kProtected, 103, Cat({{1}, Period(1000), Period(1000)}), 7, {}},
      {"protected 104", kProtected, 104, Cat({{1, 0, 0, 250}, kNaN}), 7, {}},
      {"protected 107", kProtected, 107, {0, 1, 2, 3, 4, 5, 6, 7, 1}, 7, {}},
      {"protected 108", kProtected, 108, {9, 1}, 7, {}},
      {"protected 109", kProtected, 109, {1, 1}, 7, {}},
      {"protected 105 reads", kProtected, 105, {}, 0, defaultMessage0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open(BurstIni());
    const Reply reply = Run(c.device, c.command, c.request);
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(reply.data, c.reply);
  }
}

// A second message set up command by command is read back whole, bursts the device with the
// frame it describes, and is kept in its own section; switched off, the device stops.
TEST_F(BurstCommandsTest, AMessageSetUpByCommandsIsReadBackKeptAndBurst) {
  Open(BurstIni().Set(108, kHart7, "BurstCmdNo", "3"));
  const Bytes thirty{0x41, 0xF0, 0, 0};
  EXPECT_EQ(Run(kHart7, 103, Cat({{1}, Period(750), Period(5000)})).code, 0);
  EXPECT_EQ(Run(kHart7, 104, Cat({{1, 2, 69, 32}, thirty})).code, 0);
  EXPECT_EQ(Run(kHart7, 107, {0, 244, 250, 250, 250, 250, 250, 250, 1}).code, 0);
  EXPECT_EQ(Run(kHart7, 108, {0, 9, 1}).code, 0);
  EXPECT_EQ(Run(kHart7, 109, {1, 1}).code, 0);

  EXPECT_EQ(Run(kHart7, 105, {1}).data,
            Cat({{1, 31, 0, 244, 250, 250, 250, 250, 250, 250, 1, 3, 0, 9},
                 Period(750),
                 Period(5000),
                 {2, 69, 32},
                 thirty}));
  EXPECT_EQ(BurstKey(kHart7, 1, "UpdatePeriodMs"), "750");
  EXPECT_EQ(BurstKey(kHart7, 1, "Slot1"), "244");
  EXPECT_EQ(BurstKey(kHart7, 1, "TriggerLevel"), "30.000000");
  EXPECT_EQ(BurstKey(kHart7, 0, "Control"), "0");  // message 0 keeps what section 109 said
  EXPECT_EQ(BurstKey(kHart7, 0, "Command"), "3");  // and section 108
  EXPECT_EQ(FileKey(109, kHart7, "BurstMode"), "1");
  EXPECT_EQ(model.Burst.Device, kHart7);
  EXPECT_NE(model.Burst.Enable.load(), 0);

  {
    std::lock_guard lock(model.Lock);
    const std::vector<MessageFrame> built = BuildBurstFrames(ctx, 0b111);
    ASSERT_EQ(built.size(), 3u);
    EXPECT_FALSE(built[0].enabled);
    EXPECT_FALSE(built[2].enabled);
    ASSERT_TRUE(built[1].enabled && built[1].frame);
    EXPECT_EQ(built[1].periodMs, 750u);
    const BurstFrame& f = *built[1].frame;
    ASSERT_EQ(f.length, 10u + 21u + 1u);  // two device variables and the time stamp
    EXPECT_EQ(f.bytes[6], 9);
    EXPECT_EQ(f.bytes[7], 23);
    EXPECT_EQ(f.bytes[11], 0);    // slot 0: device variable 0
    EXPECT_EQ(f.bytes[19], 244);  // slot 1: percent of range
    EXPECT_EQ(f.bytes[f.length - 1], FrameChecksum(f.bytes.data(), f.length - 1));
  }

  EXPECT_EQ(Run(kHart7, 109, {0, 1}).data, (Bytes{0, 1}));
  EXPECT_EQ(FileKey(109, kHart7, "BurstMode"), "0");
  EXPECT_EQ(model.Burst.Enable.load(), 0);
}

// Hand-edited texts that are not values: reported once each, naming section, key and text, and
// answered from the default; a changed text is reported again.
TEST_F(BurstCommandsTest, BadTextsAreReportedOnceAndReadAsTheDefault) {
  Open(BurstIni()
           .Set(BurstSection(kHart7, 1), "Control", "1")
           .Set(BurstSection(kHart7, 1), "UpdatePeriodMs", "fast")
           .Set(BurstSection(kHart7, 1), "Command", "5")
           .Set(BurstSection(kHart7, 1), "Slot0", "300"));
  const Bytes read = Run(kHart7, 105, {1}).data;
  ASSERT_EQ(read.size(), 29u);
  EXPECT_EQ(read[0], 1);
  EXPECT_EQ(read[2], 0);
  EXPECT_EQ(Bytes(read.begin() + 12, read.begin() + 18), Cat({{0, 1}, Period(1000)}));
  ASSERT_EQ(notifier.problems.size(), 3u);
  EXPECT_EQ(notifier.problems[0],
            "QLN.ini [HTDev04_Burst1] Command=5 refused: no burst frame for this command; the "
            "default is used.");
  EXPECT_NE(notifier.problems[1].find("[HTDev04_Burst1] UpdatePeriodMs=fast refused"),
            std::string::npos);
  Run(kHart7, 105, {1});
  EXPECT_EQ(notifier.problems.size(), 3u);
  ASSERT_TRUE(ProfileFile(IniPath()).Write(BurstSection(kHart7, 1), "Command", "7"));
  Run(kHart7, 105, {1});
  ASSERT_EQ(notifier.problems.size(), 4u);
  EXPECT_NE(notifier.problems[3].find("Command=7"), std::string::npos);
}

// HART-IP has no shared line: every bursting device publishes each enabled message at its own
// period; a device in HART 5/6 mode its one message once a second.
TEST_F(BurstCommandsTest, HartIpPublishesEveryMessageOfEveryBurstingDeviceAtItsPeriod) {
  IniBuilder ini = BurstIni();
  ini.Set(109, kHart7, "BurstMode", "1").Set(109, kHart6, "BurstMode", "1");
  ini.Set(BurstSection(kHart7, 0), "Control", "1").Set(BurstSection(kHart7, 0), "Command", "1");
  ini.Set(BurstSection(kHart7, 0), "UpdatePeriodMs", "500");
  ini.Set(BurstSection(kHart7, 2), "Control", "4").Set(BurstSection(kHart7, 2), "Command", "33");
  ini.Set(BurstSection(kHart7, 2), "UpdatePeriodMs", "1500");
  Open(ini);
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    model.Table[device].DevEnable = 1;  // as the program's start sets it from the file
  }
  RecordingConsole console;
  Transaction transaction{{model, store, state, clock, counters, notifier, console}};
  Transaction::BurstSchedule schedule;
  std::map<std::pair<uint8_t, uint8_t>, std::vector<uint32_t>> sent;  // device, command: times
  uint32_t wait = 0;
  for (uint32_t now = 10'000; now <= 13'000; now += 50) {
    for (const BurstFrame& f : transaction.BuildDueBursts(now, schedule, wait)) {
      sent[{f.device, f.bytes[6]}].push_back(now);
      EXPECT_EQ(f.bytes[f.length - 1], FrameChecksum(f.bytes.data(), f.length - 1));
    }
    EXPECT_GE(wait, 1u);
    EXPECT_LE(wait, 1000u);
  }
  const auto times = [&](uint8_t device, uint8_t command) { return sent[{device, command}]; };
  using Times = std::vector<uint32_t>;
  EXPECT_EQ(times(kHart7, 1), (Times{10'000, 10'500, 11'000, 11'500, 12'000, 12'500, 13'000}));
  EXPECT_EQ(times(kHart7, 33), (Times{10'000, 11'500, 13'000}));
  EXPECT_EQ(times(kHart6, 1), (Times{10'000, 11'000, 12'000, 13'000}));
  EXPECT_EQ(sent.size(), 3u);
  EXPECT_EQ(counters.LoopBack.load(), 14);
}

}  // namespace
}  // namespace qln::test
