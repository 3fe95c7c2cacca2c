// The operator's operations of the simulator, with the port closed: what they show of the
// devices is what the file holds, and what they store reaches the file and the devices.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "base/console.h"
#include "device/profile_file.h"
#include "simulator/simulator.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace qln {
namespace {

class SimulatorOperations : public ::testing::Test {
 protected:
  SimulatorOperations() {
    std::filesystem::copy_file(std::filesystem::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini",
                               Ini());
  }

  std::filesystem::path Ini() const { return dir_ / "QLN.ini"; }
  void Configure(std::string_view section, std::string_view key, std::string_view value) {
    ASSERT_TRUE(ProfileFile(Ini()).Write(section, key, value));
  }
  std::string Stored(std::string_view section, std::string_view key) const {
    return ProfileFile(Ini()).Snapshot()->Read(section, key);
  }
  void StartUp() {
    int comNumber = 0;
    ASSERT_TRUE(simulator_.StartUp(comNumber));
  }

  test::TempDir dir_;
  test::FakeNotifier notifier_;
  StderrConsole console_;
  test::FakeClock clock_;
  Simulator simulator_{notifier_, console_, clock_, dir_.Path(), nullptr};
};

TEST_F(SimulatorOperations, TheGridIsACopyOfTheDevicesAndAStoredRowChangesThemAndTheFile) {
  StartUp();
  DeviceGrid grid = simulator_.Grid();
  ASSERT_EQ(grid.Texts.size(), kDeviceCount);
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    EXPECT_EQ(grid.Enabled[device], device < 8) << int{device};  // Dev00_En .. Dev07_En
  }
  EXPECT_EQ(grid.Texts[0].Get(0, "MfrID"), "38");
  EXPECT_EQ(grid.Texts[0].Get(3, "PV2Value"), "24.500000");
  EXPECT_EQ(grid.Revision, 7);
  EXPECT_EQ(simulator_.Revision(), 7);

  RowEntry row;
  row.Device = 9;
  row.Enabled = true;
  row.LongAddress = "0A0B00C0DE";
  row.MfrIDv7 = "1234";
  row.Values[0] = "-1.5";
  row.Units[0] = 33;
  EXPECT_TRUE(simulator_.StoreRows(std::span(&row, 1)));
  EXPECT_EQ(Stored("HTDev_Sys", "Dev09_En"), "1");
  EXPECT_EQ(Stored("HTDev09_Cmd000", "MfrDevType"), "11");
  EXPECT_EQ(Stored("HTDev09_Cmd000", "DevIDNo"), std::to_string(0x00C0DE));
  EXPECT_EQ(Stored("HTDev09_Cmd003", "PV1Value"), "-1.500000");
  EXPECT_EQ(Stored("HTDev09_Cmd003", "PV1Unit"), "33");

  // The copy taken before stays as it was; a new one shows the change.
  EXPECT_FALSE(grid.Enabled[9]);
  grid = simulator_.Grid();
  EXPECT_TRUE(grid.Enabled[9]);
  EXPECT_EQ(grid.Texts[9].Get(0, "MfrID_v7"), std::to_string(0x1234));
  EXPECT_EQ(grid.Texts[9].Get(3, "PV1Value"), "-1.500000");

  // Disabled again: the flag goes with the row. A device beyond the sixteen stores nothing.
  row.Enabled = false;
  EXPECT_TRUE(simulator_.StoreRows(std::span(&row, 1)));
  EXPECT_FALSE(simulator_.Grid().Enabled[9]);
  EXPECT_EQ(Stored("HTDev_Sys", "Dev09_En"), "0");
  const std::string file = test::ReadFile(Ini());
  row.Device = kDeviceCount;
  EXPECT_FALSE(simulator_.StoreRows(std::span(&row, 1)));
  EXPECT_EQ(test::ReadFile(Ini()), file);
}

TEST_F(SimulatorOperations, TheRevisionSwitchSetsTheRecordAndEveryDevice) {
  StartUp();
  EXPECT_TRUE(simulator_.SwitchRevision(6));
  EXPECT_EQ(simulator_.Revision(), 6);
  EXPECT_EQ(simulator_.Grid().Revision, 6);
  for (int device = 0; device < kDeviceCount; ++device) {
    char section[32];
    std::snprintf(section, sizeof section, "HTDev%02d_Cmd000", device);
    EXPECT_EQ(Stored(section, "UnivCmdRev"), "6") << section;
  }
  EXPECT_TRUE(simulator_.SwitchRevision(7));
  EXPECT_EQ(simulator_.Revision(), 7);
  EXPECT_EQ(Stored("HTDev15_Cmd000", "UnivCmdRev"), "7");
}

// A hand edit shows after a reload; a missing file is warned about and changes nothing shown.
TEST_F(SimulatorOperations, ReloadAllTakesHandEditsAndWarnsOfAMissingFile) {
  StartUp();
  Configure("HTDev05_Cmd003", "PV3Value", "1.500000");
  EXPECT_EQ(simulator_.Grid().Texts[5].Get(3, "PV3Value"), "9.760000");
  EXPECT_TRUE(simulator_.ReloadAll());
  EXPECT_EQ(simulator_.Grid().Texts[5].Get(3, "PV3Value"), "1.500000");

  std::filesystem::remove(Ini());
  EXPECT_FALSE(simulator_.ReloadAll());
  ASSERT_EQ(notifier_.warnings.size(), 1u);
  EXPECT_EQ(notifier_.warnings[0].first, "QLN.ini not found ...");
  EXPECT_EQ(simulator_.Grid().Texts[5].Get(3, "PV3Value"), "1.500000");
}

// With the port closed no command thread writes again what the file did not take: the owner's
// retry does, once the retry interval has passed.
TEST_F(SimulatorOperations, ARowTheFileDidNotTakeIsWrittenByTheRetryWhileThePortIsClosed) {
  StartUp();
  ASSERT_EQ(::chmod(Ini().c_str(), 0444), 0);
  RowEntry row;
  row.Enabled = true;
  row.LongAddress = "2605123456";
  row.Values[0] = "77";
  EXPECT_FALSE(simulator_.StoreRows(std::span(&row, 1)));
  EXPECT_EQ(simulator_.Grid().Texts[0].Get(3, "PV1Value"), "77.000000");  // kept in memory
  EXPECT_EQ(Stored("HTDev00_Cmd003", "PV1Value"), "25.000000");
  ASSERT_FALSE(notifier_.problems.empty());

  ASSERT_EQ(::chmod(Ini().c_str(), 0644), 0);
  simulator_.RetryPendingWrites();  // too soon after the failed write
  EXPECT_EQ(Stored("HTDev00_Cmd003", "PV1Value"), "25.000000");
  clock_.milliseconds += ConfigStore::kRetryIntervalMs;
  simulator_.RetryPendingWrites();
  EXPECT_EQ(Stored("HTDev00_Cmd003", "PV1Value"), "77.000000");
}

TEST_F(SimulatorOperations, SimulationSectionsAreStoredAndMoveWithTheClock) {
  StartUp();
  DeviceMotionTexts texts;
  texts[1] = {"ramp", "10", "20", "5", ""};
  EXPECT_TRUE(simulator_.StoreSimulation(5, texts));
  EXPECT_EQ(Stored("HTDev05_Simulation", "PV2Mode"), "ramp");
  EXPECT_EQ(Stored("HTDev05_Simulation", "PV2Period"), "5");
  EXPECT_EQ(simulator_.SimulationTexts(5), texts);

  auto now = simulator_.MovingValuesNow();
  ASSERT_TRUE(now[5][1].Value && now[5][1].Settings);
  EXPECT_DOUBLE_EQ(*now[5][1].Value, 10.0);  // a ramp starts at Low
  EXPECT_EQ(now[5][1].Settings->mode, MotionMode::Ramp);
  EXPECT_FALSE(now[5][0].Value || now[5][0].Settings);  // PV stays fixed
  EXPECT_FALSE(now[4][1].Value);
  // The example's device 6 moves its PV on a sine with noise from 1000 to 1500.
  ASSERT_TRUE(now[6][0].Value);
  EXPECT_NEAR(*now[6][0].Value, 1250.0, 5.0);

  clock_.milliseconds += 2500;
  now = simulator_.MovingValuesNow();
  EXPECT_DOUBLE_EQ(*now[5][1].Value, 15.0);
  EXPECT_NEAR(*now[6][0].Value, 1250.0 + 250.0 * std::sin(3.14159265358979 / 4), 5.0);

  // A bad text leaves the variable fixed and is reported once.
  texts[1].period = "0";
  EXPECT_TRUE(simulator_.StoreSimulation(5, texts));
  const std::size_t problems = notifier_.problems.size();
  EXPECT_FALSE(simulator_.MovingValuesNow()[5][1].Value);
  EXPECT_FALSE(simulator_.MovingValuesNow()[5][1].Value);
  ASSERT_EQ(notifier_.problems.size(), problems + 1);
  EXPECT_EQ(notifier_.problems.back(),
            "Dev[5]_Simulation: PV2Period=0 is not a period above 0; PV2 stays fixed");
}

TEST_F(SimulatorOperations, DeviceSpecificCommandEntriesGoToTheFileAndComeBack) {
  SpecCmdEntry entry;
  entry.CommandNumber = 200;
  entry.ParamNum = 3;
  entry.Data[0] = 0x01;
  entry.Data[1] = 0xAB;
  entry.Data[2] = 0xFF;
  entry.Data[3] = 0x44;  // above the count: stored as 0
  EXPECT_TRUE(simulator_.SaveSpecCmd(entry));
  EXPECT_EQ(Stored("HTDevAll_SpecCmd200", "ParamNum"), "3");
  EXPECT_EQ(Stored("HTDevAll_SpecCmd200", "Param2"), "171");
  EXPECT_EQ(Stored("HTDevAll_SpecCmd200", "Param4"), "0");

  SpecCmdEntry loaded;
  loaded.CommandNumber = 200;
  loaded.ParamNum = 0;
  loaded.Data.fill(0x5A);
  simulator_.LoadSpecCmd(loaded);
  EXPECT_EQ(loaded.ParamNum, 3);
  EXPECT_EQ(loaded.Data[1], 0xAB);
  EXPECT_EQ(loaded.Data[2], 0xFF);
  EXPECT_EQ(loaded.Data[3], 0x5A) << "bytes above the count keep their values";
}

TEST_F(SimulatorOperations, PortDevicesNameWhatEachComNumberOpens) {
  Configure("HTDev_Sys", "COM3Path", "pty:/tmp/hart");
  Configure("HTDev_Sys", "COM255Path", "/dev/ttyUSB1");
  const std::vector<std::string> devices = simulator_.PortDevices();
  ASSERT_EQ(devices.size(), std::size_t{Simulator::kComPorts});
  EXPECT_EQ(devices[0], "/dev/ttyS0");
  EXPECT_EQ(devices[2], "pty:/tmp/hart");
  EXPECT_EQ(devices[99], "/dev/ttyS99");
  EXPECT_EQ(devices[254], "/dev/ttyUSB1");
}

}  // namespace
}  // namespace qln
