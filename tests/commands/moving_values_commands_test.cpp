// Moving process values as the commands and burst frames report them.
#include <gtest/gtest.h>

#include "base/hart_frame.h"
#include "commands/burst_frames.h"
#include "commands/command_fixture.h"
#include "commands/universal_commands.h"
#include "scenario/moving_values.h"

namespace qln::test {
namespace {

using Bytes = std::vector<uint8_t>;

class MovingValuesCommandsTest : public CommandTest {
 protected:
  static IniBuilder& Simulate(IniBuilder& ini, uint8_t device, const std::string& pv,
                              const std::string& mode, const std::string& low,
                              const std::string& high, const std::string& period) {
    const std::string section = SimulationSectionName(device);
    return ini.Set(section, pv + "Mode", mode)
        .Set(section, pv + "Low", low)
        .Set(section, pv + "High", high)
        .Set(section, pv + "Period", period);
  }
  std::string SimulationKey(uint8_t device, const std::string& key) {
    return store.Snapshot()->Read(SimulationSectionName(device), key);
  }
  // Rewrites the file as a user's edit does. A growing key changes the file's size, so that the
  // store sees the edit however close in time to the last one it comes.
  void Edit(IniBuilder& ini) {
    ini.Set("Edits", "Count", std::string(++edits_, 'x'));
    WriteFile(IniPath(), ini.Text());
  }
  std::size_t edits_ = 0;
};

TEST_F(MovingValuesCommandsTest, ReadCommandsReportTheMovingPvAndTheLoopCurrentFollowsIt) {
  IniBuilder ini;
  Simulate(ini, 0, "PV1", "sine", "20", "80", "4");
  Simulate(ini, 0, "PV3", "square", "4", "20", "2");
  Open(ini);
  clock.milliseconds = 70000;
  // The first command starts the motion: the sine at mid-range.
  Reply r1 = Run(0, 1);
  EXPECT_EQ(r1.data[0], 32);
  EXPECT_FLOAT_EQ(FloatAt(r1.data, 1), 50.0f);

  clock.milliseconds += 1000;  // a quarter period: High
  const Reply r2 = Run(0, 2);
  EXPECT_FLOAT_EQ(FloatAt(r2.data, 0), 4.0f + 16.0f * 0.8f);  // range 0..100
  EXPECT_FLOAT_EQ(FloatAt(r2.data, 4), 80.0f);

  clock.milliseconds += 2000;  // three quarters: Low; the square in its second half: High
  const Reply r3 = Run(0, 3);
  EXPECT_FLOAT_EQ(FloatAt(r3.data, 0), 4.0f + 16.0f * 0.2f);
  EXPECT_FLOAT_EQ(FloatAt(r3.data, 5), 20.0f);   // PV
  EXPECT_FLOAT_EQ(FloatAt(r3.data, 10), 24.5f);  // SV stays fixed
  EXPECT_FLOAT_EQ(FloatAt(r3.data, 15), 20.0f);  // TV moves
  EXPECT_FLOAT_EQ(FloatAt(r3.data, 20), 50.0f);  // QV stays fixed

  clock.milliseconds += 1000;  // back to mid-range; the square at Low again
  const Reply r9 = Run(0, 9, {0, 2, kPercentOfRangeCode, kLoopCurrentCode});
  EXPECT_FLOAT_EQ(FloatAt(r9.data, 1 + 3), 50.0f);
  EXPECT_FLOAT_EQ(FloatAt(r9.data, 9 + 3), 4.0f);
  EXPECT_FLOAT_EQ(FloatAt(r9.data, 17 + 3), 50.0f);
  EXPECT_FLOAT_EQ(FloatAt(r9.data, 25 + 3), 12.0f);
  clock.milliseconds += 1000;
  const Reply r33 = Run(0, 33, {0});
  EXPECT_FLOAT_EQ(FloatAt(r33.data, 2), 80.0f);

  // Another device stays as stored, and the stored values are never rewritten.
  EXPECT_FLOAT_EQ(FloatAt(Run(1, 1).data, 1), 26.0f);
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 1).data, 1), 80.0f);  // and device 0 still moves after it
  EXPECT_EQ(FileKey(1, 0, "PV1Value"), "25.000000");
  EXPECT_EQ(FileKey(3, 0, "PV1Value"), "25.000000");
  EXPECT_EQ(FileKey(3, 0, "PV3Value"), "12.000000");
  EXPECT_TRUE(notifier.problems.empty());

  // An edit of the section counts at the next command: a new motion starts from its beginning.
  ini.Set(SimulationSectionName(0), "PV1Mode", "ramp");
  Edit(ini);
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 1).data, 1), 20.0f);
  clock.milliseconds += 2000;
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 1).data, 1), 50.0f);
  // Removing the mode gives the stored value back.
  ini.Set(SimulationSectionName(0), "PV1Mode", "fixed");
  Edit(ini);
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 1).data, 1), 25.0f);
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 2).data, 4), 25.0f);
}

TEST_F(MovingValuesCommandsTest, RangeCommandsTakeThePvNowAndUnitChangesConvertTheStoredOne) {
  IniBuilder ini;
  Simulate(ini, 2, "PV1", "ramp", "10", "90", "8").Set(SimulationSectionName(2), "PV1Noise", "1");
  for (uint8_t section : {1, 3}) ini.Set(section, 2, "PV1Unit", "7");  // bar
  ini.Set(15, 2, "RangeUnit", "7");
  Open(ini);
  Run(2, 1);  // the ramp starts
  clock.milliseconds += 4000;
  const float now = FloatAt(Run(2, 1).data, 1);
  EXPECT_NEAR(now, 50.0f, 1.0f);

  // Command 36: the upper range value becomes the PV of this moment (the ramp 1 s later).
  clock.milliseconds += 1000;
  EXPECT_EQ(Run(2, 36).code, 0);
  EXPECT_NEAR(std::stof(FileKey(15, 2, "UpRangeValue")), 60.0f, 1.0f);

  // Command 44 converts the stored PV, not the moving one, and the motion's
  // range and noise with it, so that the motion keeps its place in the range.
  EXPECT_EQ(Run(2, 44, {12}).code, 0);
  EXPECT_EQ(FileKey(1, 2, "PV1Value"), "2700.000000");  // the stored 27 bar
  EXPECT_EQ(FileKey(3, 2, "PV1Value"), "2700.000000");
  EXPECT_EQ(SimulationKey(2, "PV1Low"), "1000.000000");
  EXPECT_EQ(SimulationKey(2, "PV1High"), "9000.000000");
  EXPECT_EQ(SimulationKey(2, "PV1Noise"), "100.000000");
  EXPECT_EQ(SimulationKey(2, "PV1Mode"), "ramp");
  // The converted texts are a new motion: it starts again at the new Low.
  EXPECT_NEAR(FloatAt(Run(2, 1).data, 1), 1000.0f, 100.0f);
  EXPECT_TRUE(notifier.problems.empty());
}

TEST_F(MovingValuesCommandsTest, BadSectionIsReportedOnceAndTheVariableStaysFixed) {
  IniBuilder ini;
  Simulate(ini, 3, "PV1", "sine", "0", "100", "0");
  Open(ini);
  for (int i = 0; i < 3; ++i) {
    clock.milliseconds += 500;
    EXPECT_FLOAT_EQ(FloatAt(Run(3, 1).data, 1), 28.0f);
    EXPECT_FLOAT_EQ(FloatAt(Run(3, 3).data, 5), 28.0f);
  }
  EXPECT_EQ(notifier.problems, std::vector<std::string>{"Dev[3]_Simulation: PV1Period=0 is not a "
                                                        "period above 0; PV1 stays fixed"});
  // Another bad text is a change: reported once more.
  ini.Set(SimulationSectionName(3), "PV1Period", "-10");
  Edit(ini);
  Run(3, 1);
  Run(3, 2);
  ASSERT_EQ(notifier.problems.size(), 2u);
  EXPECT_EQ(notifier.problems[1],
            "Dev[3]_Simulation: PV1Period=-10 is not a period above 0; PV1 stays fixed");
  EXPECT_EQ(FileKey(1, 3, "PV1Value"), "28.000000");
  EXPECT_EQ(SimulationKey(3, "PV1Period"), "-10");  // nothing is written
}

TEST_F(MovingValuesCommandsTest, BurstFramesCarryTheMovingValue) {
  IniBuilder ini;
  Simulate(ini, 5, "PV1", "square", "-5", "5", "10");
  Simulate(ini, 5, "PV4", "ramp", "0", "100", "10");
  Open(ini);
  state.FixedCurrentMode[5] = false;
  const auto build = [&](uint32_t command) {
    std::lock_guard lock(model.Lock);
    model.Burst.Device = 5;
    model.Burst.LongAddress = model.Table[5].LongAddress;
    model.Table[5].BurstCmdNo = command;
    auto frame = BuildBurstFrame(ctx);
    return Bytes(frame->bytes.begin(), frame->bytes.begin() + frame->length);
  };
  clock.milliseconds = 1000;
  EXPECT_FLOAT_EQ(DecodeFloat(build(1).data() + 11), -5.0f);
  clock.milliseconds = 6000;  // the second half of the square, the ramp half way
  const Bytes frame = build(3);
  EXPECT_FLOAT_EQ(DecodeFloat(frame.data() + 10), 4.0f + 16.0f * 0.05f);  // loop current
  EXPECT_FLOAT_EQ(DecodeFloat(frame.data() + 15), 5.0f);
  EXPECT_FLOAT_EQ(DecodeFloat(frame.data() + 30), 50.0f);
  EXPECT_EQ(frame.back(), FrameChecksum(frame.data(), frame.size() - 1));
  // A command on another device in between leaves the burst device's values its own.
  Run(6, 3);
  EXPECT_FLOAT_EQ(DecodeFloat(build(1).data() + 11), 5.0f);
}

}  // namespace
}  // namespace qln::test
