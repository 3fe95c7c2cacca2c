#include "commands/device_management_commands.h"

#include <gtest/gtest.h>

#include "command_fixture.h"

namespace qln::test {
namespace {

using Bytes = std::vector<uint8_t>;
using DeviceManagementCommandsTest = CommandTest;

constexpr uint8_t kConfigChangedBit = 0x40;

TEST_F(DeviceManagementCommandsTest, SelfTestAndResetLeaveTheirNotesWithTheirReplies) {
  Open();
  const Reply test = Run(4, 41);
  EXPECT_EQ(test.code, 0);
  EXPECT_TRUE(test.data.empty());
  EXPECT_EQ(exchange.Note, ReplyNote::SelfTest);

  state.LockState = 1;
  EXPECT_EQ(Run(4, 41).code, 16);  // a self test needs an unlocked device
  const Reply reset = Run(4, 42);  // a reset releases lock code 1
  EXPECT_EQ(reset.code, 0);
  EXPECT_TRUE(reset.data.empty());
  EXPECT_EQ(exchange.Note, ReplyNote::Reset);
  EXPECT_EQ(state.LockState, 0);
  EXPECT_EQ(reset.status & kConfigChangedBit, 0);
  EXPECT_EQ(FileKey(0, 4, "CfgChgCnt_v6"), "12");
}

TEST_F(DeviceManagementCommandsTest, Command59AcceptsTwoToTwentyPreambles) {
  Open();
  const Reply few = Run(6, 59, {1});
  EXPECT_EQ(few.code, 4);
  EXPECT_TRUE(few.data.empty());
  EXPECT_EQ(Run(6, 59, {21}).code, 3);
  EXPECT_EQ(model.Table[6].ResPreableNum, 5u);
  EXPECT_EQ(Run(6, 59).code, 5);

  const Reply most = Run(6, 59, {20});
  EXPECT_EQ(most.code, 0);
  EXPECT_EQ(most.data, (Bytes{20}));
  EXPECT_EQ(model.Table[6].ResPreableNum, 20u);
  EXPECT_EQ(FileKey(59, 6, "ResPreableNum"), "20");
  EXPECT_EQ(model.Table[5].ResPreableNum, 5u);
  EXPECT_EQ(FileKey(0, 6, "CfgChgCnt_v6"), "16");  // refusals count as changes too
}

TEST_F(DeviceManagementCommandsTest, LockCodeOneIsSharedAndReleasedByAReset) {
  Open();
  EXPECT_EQ(Run(0, 71, {1}).data, (Bytes{1}));
  EXPECT_EQ(Run(7, 76).data, (Bytes{1}));
  EXPECT_EQ(Run(7, 17, Bytes(24, 0x41)).code, 16);
  const Reply relock = Run(7, 71, {0});
  EXPECT_EQ(relock.code, 16);
  EXPECT_TRUE(relock.data.empty());
  EXPECT_EQ(Run(9, 42).code, 0);
  EXPECT_EQ(Run(7, 76).data, (Bytes{0}));
  EXPECT_EQ(Run(7, 17, Bytes(24, 0x41)).code, 0);
  EXPECT_EQ(Run(7, 71, {0}).data, (Bytes{0}));  // code 0 leaves the device unlocked
  EXPECT_EQ(Run(7, 71).code, 5);
}

TEST_F(DeviceManagementCommandsTest, HigherLockCodesOutliveAReset) {
  Open();
  EXPECT_EQ(Run(3, 71, {2}).data, (Bytes{2}));
  const Reply reset = Run(3, 42);
  EXPECT_EQ(reset.code, 16);
  EXPECT_EQ(exchange.Note, ReplyNote::None);
  EXPECT_EQ(Run(3, 76).data, (Bytes{2}));

  state.LockState = 0;
  EXPECT_EQ(Run(3, 71, {7}).data, (Bytes{7}));
  for (int i = 0; i < 3; ++i) {
    const Reply again = Run(static_cast<uint8_t>(i), 71, {0});
    EXPECT_EQ(again.code, 10);
    EXPECT_TRUE(again.data.empty());
  }
  EXPECT_EQ(Run(3, 42).code, 16);
  EXPECT_EQ(Run(3, 76).data, (Bytes{7}));
}

TEST_F(DeviceManagementCommandsTest, ClockCommandsReportThePcClock) {
  Open(IniBuilder().Set(15, 2, "WrProtCode", "1"));
  clock.now = {2024, 3, 9, 1, 2, 3, 4};
  const uint32_t time = ((1 * 60 + 2) * 60 + 3) * 1000 * 32 + 4 * 32;
  const Bytes timeBytes = {uint8_t(time >> 24), uint8_t(time >> 16), uint8_t(time >> 8),
                           uint8_t(time)};
  Bytes set = {0, 9, 3, 124};
  set.insert(set.end(), timeBytes.begin(), timeBytes.end());
  const Reply reply = Run(1, 89, Bytes(10, 0));
  EXPECT_EQ(reply.code, 0);
  EXPECT_EQ(reply.data, set);
  const Reply other = Run(1, 89, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(other.code, 16);
  EXPECT_TRUE(other.data.empty());
  EXPECT_EQ(Run(1, 89, Bytes(9, 0)).code, 5);
  EXPECT_EQ(Run(2, 89, Bytes(10, 0)).code, 7);

  Bytes read = set;
  read.insert(read.end(), {1, 1, 0, 0, 0, 0, 0, 1});
  EXPECT_EQ(Run(2, 90).data, read);
}

TEST_F(DeviceManagementCommandsTest, Command95ReportsTheSharedCounters) {
  Open();
  counters.ReceivedFrameCount = 0x1234;
  counters.BurstFrameCount = 0xFFFF;
  Run(0, 1);
  EXPECT_EQ(Run(5, 95).data, (Bytes{0x12, 0x34, 0, 2, 0xFF, 0xFF}));  // this request counted
}

TEST_F(DeviceManagementCommandsTest, Command108AcceptsBurstCommandsOneToThree) {
  Open();
  const Reply refused = Run(10, 108, {4});
  EXPECT_EQ(refused.code, 2);
  EXPECT_TRUE(refused.data.empty());
  EXPECT_EQ(Run(10, 108, {0}).code, 2);
  EXPECT_EQ(model.Table[10].BurstCmdNo, 1u);

  EXPECT_EQ(Run(10, 108, {2}).data, (Bytes{2}));
  EXPECT_EQ(model.Table[10].BurstCmdNo, 2u);
  EXPECT_EQ(FileKey(108, 10, "BurstCmdNo"), "2");
  EXPECT_EQ(model.Table[11].BurstCmdNo, 1u);
}

TEST_F(DeviceManagementCommandsTest, Command109MovesTheBurstToTheAddressedDevice) {
  Open(IniBuilder().Set(15, 4, "WrProtCode", "1"));
  exchange.Data[1] = 0x55;  // left over from an earlier exchange
  const Reply first = Run(3, 109, {1});
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.data, (Bytes{1, 0}));
  EXPECT_EQ(model.Burst.Device, 3);
  EXPECT_EQ(model.Burst.LongAddress, (std::array<uint8_t, 5>{38, 5, 0x12, 0x34, 0x03}));
  EXPECT_EQ(model.Burst.Enable.load(), 1);
  EXPECT_EQ(FileKey(109, 3, "BurstMode"), "1");  // kept in the bursting device's own section

  EXPECT_EQ(Run(5, 109, {1, 9}).data, (Bytes{1, 9}));
  EXPECT_EQ(model.Burst.Device, 5);
  EXPECT_EQ(model.Burst.LongAddress[4], 0x05);
  EXPECT_EQ(FileKey(109, 3, "BurstMode"), "0");
  EXPECT_EQ(FileKey(109, 5, "BurstMode"), "1");

  EXPECT_EQ(Run(4, 109, {0}).code, 7);  // a refusal leaves the burst where it is
  EXPECT_EQ(model.Burst.Device, 5);
  EXPECT_EQ(model.Burst.Enable.load(), 1);
  EXPECT_EQ(Run(5, 109, {0}).data, (Bytes{0, 0}));
  EXPECT_EQ(model.Burst.Enable.load(), 0);
  EXPECT_EQ(FileKey(109, 5, "BurstMode"), "0");
}

// At load the bursting device is the lowest enabled one whose own section says so: never a
// disabled device, never a device other than the one the section belongs to.
TEST_F(DeviceManagementCommandsTest, ABurstSwitchedOnInTheFileNamesItsDevice) {
  IniBuilder ini;
  ini.Set("HTDev_Sys", "Dev15_En", "0").Set(109, 15, "BurstMode", "1");
  Open(ini);
  model.Table[15].DevEnable = 0;
  for (uint8_t d = 0; d < 15; ++d) model.Table[d].DevEnable = 1;
  SelectBurstDevice(model);
  EXPECT_EQ(model.Burst.Enable.load(), 0);  // only the disabled device 15 says so
  ini.Set(109, 7, "BurstMode", "1").Set(109, 3, "BurstMode", "1");
  Open(ini);
  for (uint8_t d = 0; d < 15; ++d) model.Table[d].DevEnable = 1;
  SelectBurstDevice(model);
  EXPECT_EQ(model.Burst.Enable.load(), 1);
  EXPECT_EQ(model.Burst.Device, 3);
  EXPECT_EQ(model.Burst.LongAddress[4], 0x03);
}

}  // namespace
}  // namespace qln::test
