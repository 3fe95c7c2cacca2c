// The HART 7 commands: 31 with 512/513 and 520/521, 53, 54, 72 and 79, answered by a device in
// HART 7 mode only, with their data in the file.
#include "commands/hart7_commands.h"

#include <gtest/gtest.h>

#include "commands/command_fixture.h"

namespace qln::test {
namespace {

constexpr uint8_t kHart6 = 1;
constexpr uint8_t kHart7 = 2;

class Hart7CommandsTest : public CommandTest {
 protected:
  void SetUp() override {
    Open(IniBuilder().Set(0, kHart7, "UnivCmdRev", "7"));
    ctx.notifier = &notifier;
  }
  std::string Stored(const std::string& section, const std::string& key) {
    return store.Snapshot()->Read(section, key);
  }
};

using Bytes = std::vector<uint8_t>;

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(Hart7CommandsTest, OlderRevisionsAnswer64AndHart7AnswersTheExtendedCommands) {
  for (const uint8_t command : {31, 53, 54, 72, 79}) {
    EXPECT_EQ(Run(kHart6, command, Bytes(8, 0)).code, kNotImplemented) << int(command);
  }
  Bytes unitTag(32, 0);
  std::copy_n("UNIT 7", 6, unitTag.begin());
  struct Case {
    Bytes request;
    uint8_t code;
    Bytes reply;
  };
  const Case cases[] = {
      {{2}, 5, {}},                                               // no command number
      {{0x02, 0x00}, 0, {0x02, 0x00, 'U', 'S', 0}},               // 512: the defaults
      {{0x02, 0x01, 'D', 'E', 1}, 0, {0x02, 0x01, 'D', 'E', 1}},  // 513
      {{0x02, 0x00}, 0, {0x02, 0x00, 'D', 'E', 1}},
      {{0x02, 0x01, 'd', 'e', 1}, 2, {0x02, 0x01}},  // not two capital letters: echoed
      {{0x02, 0x01, 'D', 'E'}, 5, {0x02, 0x01}},
      {{0x03, 0x00}, 64, {0x03, 0x00}},                                   // 768: none
      {Concat({0x02, 0x09}, unitTag), 0, Concat({0x02, 0x09}, unitTag)},  // 521
      {{0x02, 0x08}, 0, Concat({0x02, 0x08}, unitTag)},                   // 520
      {{0x02, 0x09, 'X'}, 5, {0x02, 0x09}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.request));
    const Reply reply = Run(kHart7, 31, c.request);
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(reply.data, c.reply);
  }
  EXPECT_EQ(Stored("HTDev02_Cmd512", "CountryCode"), "DE");
  EXPECT_EQ(Stored("HTDev02_Cmd520", "ProcessUnitTag"), "UNIT 7");
  EXPECT_EQ(FileKey(0, kHart7, "CfgChgCnt_v6"), "14");  // 513 and 521 counted
  // Write protection is answered with the number echoed.
  Open(IniBuilder().Set(0, kHart7, "UnivCmdRev", "7").Set(15, kHart7, "WrProtCode", "1"));
  EXPECT_EQ(Run(kHart7, 31, {0x02, 0x01, 'F', 'R', 0}).data, (Bytes{0x02, 0x01}));
  EXPECT_EQ(Run(kHart7, 31, {0x02, 0x01, 'F', 'R', 0}).code, kWriteProtected);
}

TEST_F(Hart7CommandsTest, DeviceVariableInformationAndUnits) {
  const Reply pv = Run(kHart7, 54, {0});
  ASSERT_EQ(pv.data.size(), 28u);
  EXPECT_EQ(pv.data[0], 0);
  EXPECT_EQ(pv.data[4], model.Active.LimitUnit);  // the limits of section 014
  EXPECT_EQ(FloatAt(pv.data, 5), model.Active.UpLimit);
  EXPECT_EQ(pv.data[27], 0x01);  // an input, not simulated
  EXPECT_EQ(Run(kHart7, 54, {9}).code, 17);
  EXPECT_EQ(Run(kHart7, 54, {}).code, kTooFewDataBytes);

  // The section's keys for the SV; a bad text is reported once and its default used.
  ASSERT_TRUE(ProfileFile(IniPath()).Write("HTDev02_Cmd054", "DV1UpperLimit", "850.5"));
  ASSERT_TRUE(ProfileFile(IniPath()).Write("HTDev02_Cmd054", "DV1AcquisitionMs", "fast"));
  for (int i = 0; i < 2; ++i) {
    const Reply sv = Run(kHart7, 54, {247});
    ASSERT_EQ(sv.data.size(), 28u);
    EXPECT_EQ(sv.data[0], 247);
    EXPECT_EQ(FloatAt(sv.data, 5), 850.5f);
    EXPECT_EQ(Get24(sv.data.data() + 24), 1000u * 32);  // 1 s in 1/32 ms (below 2^24)
  }
  ASSERT_EQ(notifier.problems.size(), 1u);
  EXPECT_NE(notifier.problems[0].find("[HTDev02_Cmd054] DV1AcquisitionMs=fast"), std::string::npos);

  // 53 writes the SV's unit; the PV's goes the way of 44, range and limits with it.
  EXPECT_EQ(Run(kHart7, 53, {1, 32}).data, (Bytes{1, 32}));
  EXPECT_EQ(FileKey(3, kHart7, "PV2Unit"), "32");
  EXPECT_EQ(Run(kHart7, 53, {0, 33}).data, (Bytes{0, 33}));
  EXPECT_EQ(FileKey(15, kHart7, "RangeUnit"), "33");
  EXPECT_EQ(Run(kHart7, 53, {7, 32}).code, 17);
}

TEST_F(Hart7CommandsTest, SimulationOverridesTheValueUntilNormalOrReset) {
  const Bytes fixed = Concat(Concat({1, 1, 32}, FloatBytes(50.0f)), {0xC0});
  EXPECT_EQ(Run(kHart7, 79, fixed).data, fixed);
  EXPECT_EQ(Stored("HTDev02_Cmd079", "DV1Simulated"), "1");
  const Reply dynamic = Run(kHart7, 3);
  EXPECT_EQ(dynamic.data[9], 32);
  EXPECT_EQ(FloatAt(dynamic.data, 10), 50.0f);
  const Reply nine = Run(kHart7, 9, {1});
  EXPECT_EQ(nine.data[0] & kFunctionCheck, kFunctionCheck);
  EXPECT_EQ(FloatAt(nine.data, 4), 50.0f);
  EXPECT_EQ(nine.data[8], 0xC0);  // the simulated status
  EXPECT_EQ(Run(kHart7, 48).data[8] & kSimulationActive, kSimulationActive);
  EXPECT_EQ(Run(kHart7, 54, {1}).data[27], 0x81);
  EXPECT_EQ(FileKey(3, kHart7, "PV2Value"), "24.500000");  // the stored value is untouched

  EXPECT_EQ(Run(kHart7, 79, {9, 1, 32, 0, 0, 0, 0, 0}).code, 17);
  EXPECT_EQ(Run(kHart7, 79, {1, 2, 32, 0, 0, 0, 0, 0}).code, kInvalidSelection);
  EXPECT_EQ(Run(kHart7, 79, {1, 1, 0, 0, 0, 0, 0, 0}).code, 12);  // no such unit
  EXPECT_EQ(Run(kHart7, 42).code, 0);                             // a reset ends the simulation
  EXPECT_EQ(Stored("HTDev02_Cmd079", "DV1Simulated"), "0");
  EXPECT_EQ(FloatAt(Run(kHart7, 3).data, 10), 24.5f);
  EXPECT_EQ(Run(kHart7, 48).data[8] & kSimulationActive, 0);
}

TEST_F(Hart7CommandsTest, SquawkOnceOnOrOff) {
  EXPECT_EQ(Run(kHart7, 72).data, Bytes{2});  // no data: once
  EXPECT_EQ(exchange.Note, ReplyNote::Squawk);
  EXPECT_EQ(state.SquawkFlashes[kHart7].load(), 1);
  EXPECT_EQ(Run(kHart7, 72, {1}).data, Bytes{1});
  EXPECT_EQ(state.SquawkFlashes[kHart7].load(), kSquawkOnFlashes);
  EXPECT_EQ(Run(kHart7, 72, {0}).data, Bytes{0});
  EXPECT_EQ(exchange.Note, ReplyNote::None);
  EXPECT_EQ(state.SquawkFlashes[kHart7].load(), 0);
  EXPECT_EQ(Run(kHart7, 72, {3}).code, kInvalidSelection);
}

}  // namespace
}  // namespace qln::test
