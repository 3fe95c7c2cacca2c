#include "device/spec_cmd_table.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "support/fakes.h"
#include "support/temp_dir.h"

namespace qln {
namespace {

class SpecCmdTableTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  test::FakeNotifier notifier;
  test::FakeClock clock;
  DeviceModel model;
  ConfigStore store{notifier, clock, dir.Path()};
  std::unique_lock<ModelMutex> lock{model.Lock};

  void WriteSection(uint8_t command, int count, int firstValue) {
    std::string text =
        "[" + SectionName(command, 0) + "]\nParamNum=" + std::to_string(count) + "\n";
    for (int i = 1; i <= 255; ++i) {
      text += "Param" + std::to_string(i) + "=" + std::to_string(firstValue + i - 1) + "\n";
    }
    test::WriteFile(dir / "QLN.ini", text);
  }
  const SpecCmdReply& Decoded(uint8_t device, uint8_t command) {
    ReadSpecCmd(store, model, device, command);
    DecodeSpecCmd(model, device, command);
    return model.SpecCmd;
  }
};

TEST_F(SpecCmdTableTest, ReplyIsReadForAnyDeviceFromTheSharedSection) {
  test::WriteFile(dir / "QLN.ini",
                  "[HTDevAll_SpecCmd130]\nParamNum=3\nParam1=18\nParam2=52\nParam3=86\n");
  for (uint8_t device : {0, 9}) {
    const SpecCmdReply& reply = Decoded(device, 130);
    ASSERT_EQ(reply.Count, 3);
    EXPECT_EQ(reply.Data[0], 0x12);
    EXPECT_EQ(reply.Data[1], 0x34);
    EXPECT_EQ(reply.Data[2], 0x56);
  }
  EXPECT_EQ(Decoded(AllDevices, 130).Count, 3);
  EXPECT_EQ(Decoded(4, 131).Count, 0);  // no section: no data bytes
}

TEST_F(SpecCmdTableTest, HandEditedCountsKeepTheirLowBitsAndAreBoundedByTheFrame) {
  WriteSection(200, 100, 1);
  const SpecCmdReply& reply = Decoded(1, 200);
  ASSERT_EQ(reply.Count, 100);
  EXPECT_EQ(reply.Data[99], 100);
  WriteSection(200, 300, 1);  // low 8 bits: 44
  EXPECT_EQ(Decoded(1, 200).Count, 44);
  WriteSection(200, 255, 0);  // more than a reply frame carries
  EXPECT_EQ(Decoded(1, 200).Count, 253);
  EXPECT_EQ(model.SpecCmd.Data[252], 252);
}

TEST_F(SpecCmdTableTest, SaveWritesAllSixtyFourKeysAndLoadShowsTheCount) {
  SpecCmdEntry entry;
  entry.CommandNumber = 140;
  entry.ParamNum = 5;
  for (uint8_t i = 0; i < 5; ++i) entry.Data[i] = static_cast<uint8_t>(0xA0 + i);
  ASSERT_TRUE(SaveSpecCmd(store, model, entry));
  entry.ParamNum = 2;
  ASSERT_TRUE(SaveSpecCmd(store, model, entry));
  const auto file = store.Snapshot();
  EXPECT_EQ(file->Read("HTDevAll_SpecCmd140", "ParamNum"), "2");
  EXPECT_EQ(file->Read("HTDevAll_SpecCmd140", "Param2"), std::to_string(0xA1));
  EXPECT_EQ(file->Read("HTDevAll_SpecCmd140", "Param3"), "0");
  EXPECT_EQ(file->Read("HTDevAll_SpecCmd140", "Param64"), "0");

  SpecCmdEntry loaded;
  loaded.CommandNumber = 140;
  loaded.Data.fill(0x77);
  LoadSpecCmd(store, loaded);
  EXPECT_EQ(loaded.ParamNum, 2);
  EXPECT_EQ(loaded.Data[1], 0xA1);
  EXPECT_EQ(loaded.Data[2], 0x77);  // above the count: unchanged
}

TEST_F(SpecCmdTableTest, LoadCutsLargeCountsToTheWindowsSixtyFourBytes) {
  WriteSection(150, 100, 2);
  SpecCmdEntry entry;
  entry.CommandNumber = 150;
  LoadSpecCmd(store, entry);
  EXPECT_EQ(entry.ParamNum, 64);
  EXPECT_EQ(entry.Data[63], 65);
}

}  // namespace
}  // namespace qln
