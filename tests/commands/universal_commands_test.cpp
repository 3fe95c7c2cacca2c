#include "commands/universal_commands.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "command_fixture.h"

namespace qln::test {
namespace {

using Bytes = std::vector<uint8_t>;
using UniversalCommandsTest = CommandTest;

TEST_F(UniversalCommandsTest, Command0AnswersSeventeenOrTwentyTwoBytesByRevision) {
  Open(IniBuilder().Set(0, 5, "UnivCmdRev", "7"));
  const Bytes hart6 = {254, 38, 5, 5, 6, 1, 3, 9, 0, 0x12, 0x34, 0x04, 5, 4, 0, 12, 0};
  EXPECT_EQ(Run(4, 0).data, hart6);
  const Bytes hart7 = {254,  38, 5, 5, 7,  1, 3, 9,  0, 0x12, 0x34,
                       0x05, 5,  4, 0, 12, 0, 0, 38, 0, 39,   1};
  EXPECT_EQ(Run(5, 0).data, hart7);
  EXPECT_EQ(Run(5, 11).data, hart7);
  EXPECT_EQ(Run(5, 21).data, hart7);
  EXPECT_TRUE(notifier.warnings.empty());
}

TEST_F(UniversalCommandsTest, Command0ChecksTheFileAgain) {
  Open();
  std::filesystem::rename(IniPath(), dir / "elsewhere.ini");
  // Answered with device 3's own identity as the model holds it, not with device 15's, which
  // the full load left in the record.
  const Reply reply = Run(3, 0);
  EXPECT_EQ(reply.code, 0);
  EXPECT_EQ(reply.data[11], 0x03);
  ASSERT_EQ(notifier.warnings.size(), 1u);
  EXPECT_EQ(notifier.warnings[0].first, "QLN.ini not found ...");
  EXPECT_FALSE(store.ConfigFileFound());

  std::filesystem::rename(dir / "elsewhere.ini", IniPath());
  EXPECT_EQ(Run(3, 0).data[11], 0x03);
  EXPECT_TRUE(store.ConfigFileFound());
  EXPECT_EQ(notifier.warnings.size(), 1u);
}

TEST_F(UniversalCommandsTest, Commands1And2ReadThePrimaryVariableAndLoopCurrent) {
  Open(IniBuilder().Set(1, 0, "PV1Value", "50.000000").Set(3, 0, "PV1Value", "75.000000"));
  const Reply pv = Run(0, 1);
  ASSERT_EQ(pv.data.size(), 5u);
  EXPECT_EQ(pv.data[0], 32);
  EXPECT_FLOAT_EQ(FloatAt(pv.data, 1), 50.0f);  // section 001's copy
  const Reply loop = Run(0, 2);
  ASSERT_EQ(loop.data.size(), 8u);
  EXPECT_FLOAT_EQ(FloatAt(loop.data, 0), 12.0f);
  EXPECT_FLOAT_EQ(FloatAt(loop.data, 4), 50.0f);
}

TEST_F(UniversalCommandsTest, Command3ReportsTheAssignedVariables) {
  Open(IniBuilder().Set(3, 0, "PV1Value", "75.000000"));
  state.VariableCodes[0] = {245, 244, 1, 0};
  const Reply reply = Run(0, 3);
  ASSERT_EQ(reply.data.size(), 24u);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 0), 16.0f);
  EXPECT_EQ(reply.data[4], 39);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 5), 16.0f);
  EXPECT_EQ(reply.data[9], 57);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 10), 75.0f);
  EXPECT_EQ(reply.data[14], 33);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 15), 24.5f);
  EXPECT_EQ(reply.data[19], 32);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 20), 75.0f);
}

TEST_F(UniversalCommandsTest, FixedCurrentOverridesOnlyTheLoopCurrent) {
  Open(IniBuilder().Set(3, 3, "PV1Value", "75.000000"));
  state.FixedCurrentValue[3] = 9.5f;
  const Reply reply = Run(3, 3);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 0), 9.5f);
  state.VariableCodes[3] = {244, 245, 2, 3};
  const Reply percent = Run(3, 3);
  EXPECT_FLOAT_EQ(FloatAt(percent.data, 5), 75.0f);
  EXPECT_FLOAT_EQ(FloatAt(percent.data, 10), 9.5f);
}

TEST_F(UniversalCommandsTest, Command7ReportsPollAddressAndSignalling) {
  Open();
  EXPECT_EQ(Run(0, 7).data, (Bytes{0, 1}));
  EXPECT_EQ(Run(5, 7).data, (Bytes{5, 0}));
}

TEST_F(UniversalCommandsTest, Command8ReportsAndKeepsTheClassifications) {
  Open(IniBuilder().Set(3, 2, "PV4Unit", "250"));
  state.VariableCodes[2] = {3, 3, 3, 3};  // the classes follow the units, not the assignments
  EXPECT_EQ(Run(2, 8).data, (Bytes{64, 64, 84, 0}));
  EXPECT_EQ(state.VariableClasses, (std::array<uint8_t, 4>{64, 64, 84, 0}));
}

TEST_F(UniversalCommandsTest, Command9ReportsVariablesWithStatusAndTimeStamp) {
  Open(IniBuilder().Set(0, 1, "UnivCmdRev", "7"));
  state.UserStatusByte = 0x80;
  const Reply reply = Run(1, 9, {0, 245});
  ASSERT_EQ(reply.data.size(), 21u);
  EXPECT_EQ(reply.data[0], 1);
  EXPECT_EQ(Bytes(reply.data.begin() + 1, reply.data.begin() + 4), (Bytes{0, 64, 32}));
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 4), 26.0f);
  EXPECT_EQ(reply.data[8], 0);
  EXPECT_EQ(Bytes(reply.data.begin() + 9, reply.data.begin() + 12), (Bytes{245, 84, 39}));
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 12), 4.0f);  // device 1's fixed current
  const uint32_t stamp = TimeOfDay32(clock.now);
  EXPECT_EQ(
      Bytes(reply.data.begin() + 17, reply.data.end()),
      (Bytes{uint8_t(stamp >> 24), uint8_t(stamp >> 16), uint8_t(stamp >> 8), uint8_t(stamp)}));

  state.UserStatusByte = 0x7F;
  EXPECT_EQ(Run(0, 9).data, (Bytes{0}));
  const Reply many = Run(0, 9, Bytes(10, 2));  // the first eight codes are answered
  ASSERT_EQ(many.data.size(), 65u);
  EXPECT_EQ(many.data[57], 2);
  EXPECT_EQ(many.data[59], 39);
}

TEST_F(UniversalCommandsTest, Commands12And13ReadTheTexts) {
  Open();
  EXPECT_EQ(Run(6, 12).data, Packed("MESSAGE OF DEVICE 6             "));
  Bytes expected = Packed("TT-106  INLET           ");
  expected.insert(expected.end(), {15, 6, 115});
  EXPECT_EQ(Run(6, 13).data, expected);
}

TEST_F(UniversalCommandsTest, Command14TakesThePvUnitAsLimitUnitAndStoresIt) {
  Open(IniBuilder().Set(14, 2, "LimitUnit", "12"));
  const Reply reply = Run(2, 14);
  ASSERT_EQ(reply.data.size(), 16u);
  EXPECT_EQ(Bytes(reply.data.begin(), reply.data.begin() + 4), (Bytes{0, 0x30, 0x39, 32}));
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 4), 200.0f);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 8), -50.0f);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 12), 10.0f);
  EXPECT_EQ(FileKey(14, 2, "LimitUnit"), "32");
  EXPECT_EQ(FileKey(14, 2, "UpLimit"), "200.000000");
  EXPECT_EQ(FileKey(14, 2, "MinSpan"), "10.000000");
}

TEST_F(UniversalCommandsTest, Command14StoresTheLimitUnitAlsoWithoutTheFile) {
  Open(IniBuilder().Set(14, 15, "LimitUnit", "7"));
  // The file was not found at the last check: the record still holds device 15's limit unit 7
  // from the full load, and the correction is written all the same.
  store.SetConfigFileFound(false);
  EXPECT_EQ(Run(15, 14).data[3], 32);
  EXPECT_EQ(FileKey(14, 15, "LimitUnit"), "32");
}

TEST_F(UniversalCommandsTest, Command15ReportsDeviceInformationByRevision) {
  Open(IniBuilder().Set(15, 1, "WrProtCode", "1").Set(0, 2, "UnivCmdRev", "7"));
  const Reply reply = Run(1, 15);
  ASSERT_EQ(reply.data.size(), 18u);
  EXPECT_EQ(reply.data[2], 32);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 3), 100.0f);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 7), 0.0f);
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 11), 0.5f);
  EXPECT_EQ(reply.data[15], 1);
  EXPECT_EQ(reply.data[16], 38);
  EXPECT_EQ(Run(2, 15).data[16], 250);
}

TEST_F(UniversalCommandsTest, Command17StoresANewMessageAndRefusesAShortOne) {
  Open();
  const Reply refused = Run(7, 17, Bytes(23, 0x41));
  EXPECT_EQ(refused.code, 5);
  EXPECT_TRUE(refused.data.empty());
  EXPECT_EQ(refused.status & 0x40, 0x40);
  EXPECT_EQ(FileKey(0, 7, "CfgChgCnt_v6"), "13");
  EXPECT_EQ(FileKey(12, 7, "Message"), "MESSAGE OF DEVICE 7");

  const Bytes message = Packed("A NEW MESSAGE FOR DEVICE SEVEN  ");
  EXPECT_EQ(Run(7, 17, message).data, message);
  EXPECT_EQ(FileKey(12, 7, "Message"), "A NEW MESSAGE FOR DEVICE SEVEN");
  EXPECT_EQ(FileKey(0, 7, "CfgChgCnt_v6"), "14");
  EXPECT_EQ(Run(7, 12).data, message);
}

TEST_F(UniversalCommandsTest, Command18RewritesTheSectionEvenWithIdenticalData) {
  Open(IniBuilder().Set(13, 8, "Day", "015").Set(13, 8, "Year", "2015 AD"));
  const Bytes stored = Run(8, 13).data;
  EXPECT_EQ(Run(8, 18, stored).data, stored);
  EXPECT_EQ(FileKey(13, 8, "Day"), "15");
  EXPECT_EQ(FileKey(13, 8, "Year"), "2015");
  EXPECT_EQ(FileKey(13, 8, "TagName"), "TT-108");

  Bytes changed = Packed("PT-2    HEADER PRESSURE ");
  changed.insert(changed.end(), {31, 12, 124});
  EXPECT_EQ(Run(8, 18, changed).data, changed);
  EXPECT_EQ(FileKey(13, 8, "Descriptor"), "HEADER PRESSURE");
  EXPECT_EQ(FileKey(13, 8, "Year"), "2024");
  EXPECT_EQ(Run(8, 13).data, changed);
}

TEST_F(UniversalCommandsTest, Commands16And19ReadAndWriteTheFinalAssemblyNumber) {
  Open(IniBuilder().Set(16, 9, "FinalAssemblyNum2", "2").Set(16, 9, "FinalAssemblyNum3", "3"));
  EXPECT_EQ(Run(9, 16).data, (Bytes{3, 2, 1}));
  EXPECT_EQ(Run(9, 19, {0xAB, 0xCD, 0xEF}).data, (Bytes{0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(FileKey(16, 9, "FinalAssemblyNum1"), "239");
  EXPECT_EQ(FileKey(16, 9, "FinalAssemblyNum2"), "205");
  EXPECT_EQ(FileKey(16, 9, "FinalAssemblyNum3"), "171");
  EXPECT_EQ(Run(9, 19, {1, 2}).code, 5);
}

TEST_F(UniversalCommandsTest, Commands20And22ReadAndWriteTheLongTag) {
  Open(IniBuilder().Set(20, 10, "LongTag1", "84").Set(20, 10, "LongTag32", "033"));
  Bytes tag(32, 32);
  tag[0] = 84;
  tag[31] = 33;
  EXPECT_EQ(Run(10, 20).data, tag);
  EXPECT_EQ(Run(10, 22, tag).data, tag);  // identical: still written
  EXPECT_EQ(FileKey(20, 10, "LongTag32"), "33");

  Bytes other(32, 0);
  other[5] = 200;
  EXPECT_EQ(Run(10, 22, other).data, other);
  EXPECT_EQ(FileKey(20, 10, "LongTag1"), "0");
  EXPECT_EQ(FileKey(20, 10, "LongTag6"), "200");
  EXPECT_EQ(Run(10, 20).data, other);
  EXPECT_EQ(Run(10, 22, Bytes(31, 1)).code, 5);
}

TEST_F(UniversalCommandsTest, Command38ResetsTheFlagOnlyWithTheCurrentCounter) {
  Open();
  Run(11, 17, Packed("CHANGED                         "));  // counter 12 -> 13
  const Reply wrong = Run(11, 38, {0, 12});
  EXPECT_EQ(wrong.code, 9);
  EXPECT_TRUE(wrong.data.empty());
  EXPECT_EQ(wrong.status & 0x40, 0x40);
  EXPECT_EQ(Run(11, 38, {0}).code, 5);

  const Reply right = Run(11, 38, {0, 13});
  EXPECT_EQ(right.code, 0);
  EXPECT_EQ(right.data, (Bytes{0, 13}));
  EXPECT_EQ(right.status & 0x40, 0);
  EXPECT_EQ(Run(11, 1).status & 0x40, 0);

  Run(11, 6);
  EXPECT_EQ(Run(11, 38).status & 0x40, 0);  // no counter: reset unconditionally
  EXPECT_EQ(FileKey(0, 11, "CfgChgCnt_v6"), "14");
}

TEST_F(UniversalCommandsTest, Command48ComparesAndReportsTheAdditionalStatus) {
  Open(IniBuilder().Set(48, 12, "DevSpecSta0", "5").Set(48, 12, "AnalogChFix13", "255"));
  state.MoreStatusAvailable = true;
  Bytes status(25, 0);
  status[0] = 5;
  const Reply partial = Run(12, 48, Bytes(10, 0));
  EXPECT_EQ(partial.code, 0);
  EXPECT_TRUE(partial.data.empty());
  EXPECT_FALSE(state.MoreStatusAvailable);

  state.MoreStatusAvailable = true;
  EXPECT_EQ(Run(12, 48, Bytes(25, 0)).code, 14);
  EXPECT_TRUE(state.MoreStatusAvailable);
  EXPECT_EQ(Run(12, 48, status).data, status);
  EXPECT_FALSE(state.MoreStatusAvailable);

  state.AnalogFixedByte = 0xFF;  // the current fixed by command 40
  status[13] = 0xFF;
  EXPECT_EQ(Run(12, 48).data, status);
}

TEST_F(UniversalCommandsTest, WithoutTheFileWritesChangeTheRecordOnly) {
  Open();
  store.SetConfigFileFound(false);
  const Bytes message = Packed("KEPT IN MEMORY                  ");
  EXPECT_EQ(Run(13, 17, message).code, 0);
  EXPECT_EQ(FileKey(12, 13, "Message"), "MESSAGE OF DEVICE 13");
  EXPECT_EQ(FileKey(0, 13, "CfgChgCnt_v6"), "13");  // the counter is written in any case
  EXPECT_EQ(Run(13, 12).data, message);
}

// The file goes missing while the port is open: every device keeps answering with its own data
// as the model holds it, and the change counter's write recreates the whole file, not a file of
// one key, without zeroing the device's long address.
TEST_F(UniversalCommandsTest, VanishedFileAnswersEachDeviceWithItsOwnDataAndComesBackWhole) {
  Open();
  const Reply identity0 = Run(0, 0);
  const Reply pv0 = Run(0, 1);
  const std::string tag15 = FileKey(13, 15, "TagName");
  const auto address0 = model.Table[0].LongAddress;
  const std::string counter0 = FileKey(0, 0, "CfgChgCnt_v6");
  std::filesystem::rename(IniPath(), dir / "elsewhere.ini");

  Run(15, 0);  // the record now holds device 15's section 000
  EXPECT_FALSE(store.ConfigFileFound());
  EXPECT_EQ(Run(0, 0).data, identity0.data);
  EXPECT_EQ(Run(3, 0).data[11], 0x03);
  Run(15, 1);
  EXPECT_EQ(Run(0, 1).data, pv0.data);

  // A configuration-changing command: the counter counts on from the held texts.
  EXPECT_EQ(Run(0, 17, Packed("WHILE THE FILE WAS AWAY         ")).code, 0);
  EXPECT_EQ(model.Table[0].LongAddress, address0);
  ASSERT_TRUE(std::filesystem::exists(IniPath()));
  EXPECT_EQ(FileKey(0, 0, "CfgChgCnt_v6"), std::to_string(std::stoi(counter0) + 1));
  EXPECT_EQ(FileKey(13, 15, "TagName"), tag15);
  EXPECT_EQ(FileKey(0, 0, "MfrID"), std::to_string(address0[0]));
  EXPECT_EQ(Run(0, 0).data[11], identity0.data[11]);
}

}  // namespace
}  // namespace qln::test
