#include "scenario/moving_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace qln {
namespace {

// A device whose PV moves as given and whose other variables stay fixed.
DeviceMotionTexts PvMoving(MotionTexts pv) {
  DeviceMotionTexts texts;
  texts[0] = std::move(pv);
  return texts;
}

class MovingValuesTest : public ::testing::Test {
 protected:
  // The PV of device 2 at nowMs.
  double Pv(uint32_t nowMs) {
    const auto values = motion.Evaluate(2, nowMs);
    EXPECT_TRUE(values[0].has_value());
    EXPECT_FALSE(values[1] || values[2] || values[3]);  // the fixed variables stay fixed
    return values[0].value_or(NAN);
  }
  void Set(MotionTexts pv) { motion.SetTexts(2, PvMoving(std::move(pv)), problems); }

  MovingValues motion;
  std::vector<std::string> problems;
};

TEST_F(MovingValuesTest, PeriodicShapesAtChosenInstantsAcrossTheClocksWrap) {
  // The variable's time starts at its first evaluation, here 2 s before the counter wraps.
  const uint32_t start = 0xFFFFFFFFu - 1999u;
  Set({"Sine", "0", "100", "8", ""});
  EXPECT_NEAR(Pv(start), 50.0, 1e-9);            // mid-range, rising
  EXPECT_NEAR(Pv(start + 1000), 85.3553, 1e-3);  // 1/8 period
  EXPECT_NEAR(Pv(start + 2000), 100.0, 1e-9);    // a quarter period: High, just past the wrap
  EXPECT_NEAR(Pv(start + 4000), 50.0, 1e-9);
  EXPECT_NEAR(Pv(start + 6000), 0.0, 1e-9);           // three quarters: Low
  EXPECT_NEAR(Pv(start + 8000 + 2000), 100.0, 1e-9);  // the next period repeats

  Set({"TRIANGLE", "-10", "10", "4", ""});  // new texts: the time starts again
  EXPECT_NEAR(Pv(100000), -10.0, 1e-9);
  EXPECT_NEAR(Pv(101000), 0.0, 1e-9);
  EXPECT_NEAR(Pv(102000), 10.0, 1e-9);
  EXPECT_NEAR(Pv(103000), 0.0, 1e-9);
  EXPECT_NEAR(Pv(104000), -10.0, 1e-9);

  Set({"ramp", "20", "30", "10", ""});
  EXPECT_NEAR(Pv(0), 20.0, 1e-9);
  EXPECT_NEAR(Pv(5000), 25.0, 1e-9);
  EXPECT_NEAR(Pv(9999), 29.999, 1e-9);  // just before the wrap: almost High
  EXPECT_NEAR(Pv(10000), 20.0, 1e-9);   // the wrap: back to Low
  EXPECT_NEAR(Pv(12500), 22.5, 1e-9);

  Set({" square ", "1", "5", "2", ""});
  EXPECT_EQ(Pv(0), 1.0);
  EXPECT_EQ(Pv(999), 1.0);   // Low for the first half period
  EXPECT_EQ(Pv(1000), 5.0);  // the rising edge
  EXPECT_EQ(Pv(1999), 5.0);
  EXPECT_EQ(Pv(2000), 1.0);  // the falling edge, a period on
}

TEST_F(MovingValuesTest, RandomWalkStaysInItsBoundsAndMovesAtMostItsRate) {
  Set({"random", "10", "20", "5", ""});  // at most 2 units a second
  uint32_t now = 0xFFFF0000u;            // the walk crosses the clock's wrap too
  double last = Pv(now);
  EXPECT_EQ(last, 15.0);  // starts at mid-range
  double lowest = last, highest = last;
  for (int step = 0; step < 10000; ++step) {
    now += 250;
    const double value = Pv(now);
    ASSERT_GE(value, 10.0);
    ASSERT_LE(value, 20.0);
    ASSERT_LE(std::fabs(value - last), 0.5 + 1e-12) << "step " << step;
    lowest = std::min(lowest, value);
    highest = std::max(highest, value);
    last = value;
  }
  // It wanders over most of its range and meets the bounds.
  EXPECT_EQ(lowest, 10.0);
  EXPECT_EQ(highest, 20.0);

  // A long pause still keeps it within its bounds.
  EXPECT_GE(Pv(now + 3'600'000), 10.0);

  // The same texts give the same walk: a run is reproducible.
  MovingValues again;
  again.SetTexts(2, PvMoving({"random", "10", "20", "5", ""}), problems);
  MovingValues first;
  first.SetTexts(2, PvMoving({"random", "10", "20", "5", ""}), problems);
  for (uint32_t t = 0; t < 5000; t += 100) {
    EXPECT_EQ(first.Evaluate(2, t)[0], again.Evaluate(2, t)[0]);
  }
  EXPECT_TRUE(problems.empty());
}

TEST_F(MovingValuesTest, NoiseStaysWithinItsAmplitudeAroundTheShape) {
  Set({"square", "0", "10", "2", "0.5"});
  bool varied = false;
  double previous = NAN;
  for (uint32_t t = 0; t < 4000; t += 10) {
    const double shape = (t % 2000) < 1000 ? 0.0 : 10.0;
    const double value = Pv(t);
    ASSERT_LE(std::fabs(value - shape), 0.5) << "at " << t;
    varied |= !std::isnan(previous) && value != previous;
    previous = value;
  }
  EXPECT_TRUE(varied);
}

TEST_F(MovingValuesTest, BadTextsAreDescribedOnceAndLeaveTheVariableFixed) {
  const struct {
    MotionTexts texts;
    std::string problem;
  } cases[] = {
      {{"wobble", "0", "1", "1", ""},
       "Dev[2]_Simulation: PV1Mode=wobble is not a mode (fixed, sine, triangle, ramp, square or "
       "random); PV1 stays fixed"},
      {{"sine", "0", "100", "0", ""},
       "Dev[2]_Simulation: PV1Period=0 is not a period above 0; PV1 stays fixed"},
      {{"sine", "0", "100", "-3", ""},
       "Dev[2]_Simulation: PV1Period=-3 is not a period above 0; PV1 stays fixed"},
      {{"sine", "5", "1", "2", ""},
       "Dev[2]_Simulation: PV1Low=5 is above PV1High; PV1 stays fixed"},
      {{"sine", "nan", "1", "2", ""},
       "Dev[2]_Simulation: PV1Low=nan is not a number; PV1 stays fixed"},
      {{"ramp", "0", "12abc", "2", ""},
       "Dev[2]_Simulation: PV1High=12abc is not a number; PV1 stays fixed"},
      {{"ramp", "0", "1e39", "2", ""},
       "Dev[2]_Simulation: PV1High=1e39 is not a number; PV1 stays fixed"},
      {{"ramp", "0", "1", "inf", ""},
       "Dev[2]_Simulation: PV1Period=inf is not a period above 0; PV1 stays fixed"},
      {{"random", "", "1", "2", ""}, "Dev[2]_Simulation: PV1Low= is not a number; PV1 stays fixed"},
      {{"random", "0", "1", "2", "-0.1"},
       "Dev[2]_Simulation: PV1Noise=-0.1 is not a noise amplitude of 0 or more; PV1 stays fixed"},
  };
  for (const auto& c : cases) {
    problems.clear();
    Set(c.texts);
    Set(c.texts);  // the same texts again: no second report
    EXPECT_EQ(problems, std::vector<std::string>{c.problem});
    EXPECT_FALSE(motion.Evaluate(2, 1000)[0].has_value()) << c.problem;
    EXPECT_FALSE(motion.AnyMoving(2));
  }

  // Another variable's fault names its own key; good texts move again.
  problems.clear();
  DeviceMotionTexts texts;
  texts[3] = {"sine", "0", "1", "0", ""};
  motion.SetTexts(7, texts, problems);
  EXPECT_EQ(problems,
            std::vector<std::string>{
                "Dev[7]_Simulation: PV4Period=0 is not a period above 0; PV4 stays fixed"});
  texts[3].period = "2";
  motion.SetTexts(7, texts, problems);
  EXPECT_EQ(problems.size(), 1u);
  EXPECT_TRUE(motion.Evaluate(7, 0)[3].has_value());
  EXPECT_EQ(DescribeMotion(*motion.Settings(7, 3)), "sine 0..1 over 2 s");
  // Fixed, in any spelling, or absent, is no fault and no motion.
  texts[3] = {"FIXED", "9", "1", "0", ""};
  motion.SetTexts(7, texts, problems);
  EXPECT_EQ(problems.size(), 1u);
  EXPECT_FALSE(motion.AnyMoving(7));
}

}  // namespace
}  // namespace qln
