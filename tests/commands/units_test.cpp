#include "commands/units.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

namespace qln {
namespace {

TEST(UnitTable, HoldsNinetySevenUnitsInTwentyFiveContiguousGroups) {
  const auto table = UnitTable();
  ASSERT_EQ(table.size(), 97u);
  std::vector<std::pair<uint8_t, int>> groups;  // classification, size
  for (const UnitEntry& unit : table) {
    if (groups.empty() || groups.back().first != unit.Classification) {
      groups.emplace_back(unit.Classification, 0);
    }
    ++groups.back().second;
  }
  const std::vector<std::pair<uint8_t, int>> expected = {
      {65, 9}, {66, 12}, {72, 9}, {64, 4}, {67, 6}, {68, 7}, {69, 5}, {70, 4}, {71, 3},
      {73, 8}, {74, 2},  {83, 2}, {84, 1}, {85, 2}, {77, 7}, {79, 5}, {75, 3}, {80, 1},
      {81, 1}, {87, 1},  {78, 1}, {90, 1}, {86, 1}, {76, 1}, {82, 1}};
  EXPECT_EQ(groups, expected);
  std::set<uint8_t> codes;
  for (const UnitEntry& unit : table) codes.insert(unit.Code);
  EXPECT_EQ(codes.size(), 97u);
  EXPECT_EQ(table[0].Code, 6);
  EXPECT_EQ(table[0].Name, "psi");
  EXPECT_EQ(table[96].Code, 153);
  EXPECT_EQ(table[96].Name, "pF");
}

TEST(UnitTable, ClassifiesCodesAndLeavesUnknownOnesUnclassified) {
  EXPECT_EQ(ClassOfUnit(13), 65);
  EXPECT_EQ(ClassOfUnit(32), 64);
  EXPECT_EQ(ClassOfUnit(57), 81);
  EXPECT_EQ(ClassOfUnit(39), 84);
  EXPECT_EQ(ClassOfUnit(153), 82);
  EXPECT_EQ(ClassOfUnit(237), 65);
  EXPECT_EQ(ClassOfUnit(250), 0);
  EXPECT_EQ(ClassOfUnit(251), 0);
  EXPECT_EQ(ClassOfUnit(4), 0);  // mmH2O has a pressure position but no table entry
}

TEST(UnitTable, PositionsInClassFollowTheGroupsAndPressureHasItsOwn) {
  EXPECT_EQ(UnitIndexInClass(65, 10), 0u);   // kg/cm2
  EXPECT_EQ(UnitIndexInClass(65, 237), 1u);  // MPa
  EXPECT_EQ(UnitIndexInClass(65, 7), 2u);    // bar
  EXPECT_EQ(UnitIndexInClass(65, 6), 5u);    // psi
  EXPECT_EQ(UnitIndexInClass(65, 4), 6u);    // mmH2O
  EXPECT_EQ(UnitIndexInClass(65, 14), 8u);   // atm
  EXPECT_EQ(UnitIndexInClass(65, 11), 9u);   // Pa
  EXPECT_EQ(UnitIndexInClass(65, 9), 0u);    // g/cm2 counts as kg/cm2
  EXPECT_EQ(UnitIndexInClass(64, 35), 3u);   // Kelvin
  EXPECT_EQ(UnitIndexInClass(66, 19), 8u);   // m3/hr
  EXPECT_EQ(UnitIndexInClass(77, 165), 6u);  // Btu
  EXPECT_EQ(UnitIndexInClass(64, 7), 0u);    // bar is no temperature
}

float Convert(float value, uint8_t classification, uint8_t from, uint8_t to) {
  const auto factor = ConversionFactor(classification, UnitIndexInClass(classification, from),
                                       UnitIndexInClass(classification, to));
  EXPECT_TRUE(factor.has_value());
  return value * factor.value_or(NAN);
}

TEST(ConversionTable, ConvertsWithinAClassification) {
  EXPECT_FLOAT_EQ(Convert(2.0f, 65, 7, 12), 200.0f);        // bar to kPa
  EXPECT_FLOAT_EQ(Convert(25.0f, 64, 32, 33), 845.0f);      // Deg.C to Deg.F, multiplicative
  EXPECT_NEAR(Convert(1.0f, 66, 19, 17), 16.6667f, 1e-4);   // m3/hr to l/min
  EXPECT_NEAR(Convert(1.0f, 66, 22, 17), 227.1247f, 1e-3);  // gal/sec to l/min
  EXPECT_NEAR(Convert(1.0f, 68, 43, 112), 35.3147f, 1e-4);  // m3 to ft3
  EXPECT_NEAR(Convert(1.0f, 68, 112, 41), 28.3168f, 1e-4);  // ft3 to liter
  EXPECT_NEAR(Convert(1.0f, 68, 41, 40), 0.264172f, 1e-6);  // liter to gal
  EXPECT_FLOAT_EQ(Convert(3.0f, 83, 58, 36), 3000.0f);      // V to mV
  EXPECT_FLOAT_EQ(Convert(7.0f, 74, 54, 55), 7.0f);         // cSt and cpoise are equal
  EXPECT_FLOAT_EQ(Convert(1.0f, 64, 35, 33), -457.87f);     // Kelvin to Deg.F
}

TEST(ConversionTable, PressureAndDensityRowsAreTheDocumentedOnes) {
  const float kgcm2[] = {1,        0.0980665f, 0.980665f, 98.0665f, 980.665f,
                         14.2231f, 10000,      735.559f,  0.96784f, 98066.5f};
  const float psi[] = {0.07031f, 0.006895f, 0.06895f, 6.895f,   68.95f,
                       1,        703.08f,   51.7157f, 0.06805f, 6895};
  for (std::size_t j = 0; j < 10; ++j) {
    EXPECT_FLOAT_EQ(*ConversionFactor(65, 0, j), kgcm2[j]) << j;
    EXPECT_FLOAT_EQ(*ConversionFactor(65, 5, j), psi[j]) << j;
  }
  const float gcm3[] = {1, 1, 1000, 8.3454f, 62.4264f, 1, 1, 1000};
  for (std::size_t j = 0; j < 8; ++j) {
    for (std::size_t i : {0, 1, 5, 6}) EXPECT_FLOAT_EQ(*ConversionFactor(73, i, j), gcm3[j]);
    EXPECT_FLOAT_EQ(*ConversionFactor(73, 2, j), *ConversionFactor(73, 7, j));
  }
  EXPECT_FLOAT_EQ(*ConversionFactor(77, 0, 1), 9.478e-09f);
  EXPECT_FLOAT_EQ(*ConversionFactor(77, 0, 6), 0.000948f);
  EXPECT_FLOAT_EQ(*ConversionFactor(84, 1, 0), 1000.0f);
  EXPECT_FLOAT_EQ(*ConversionFactor(84, 0, 1), 0.001f);
}

TEST(ConversionTable, HasNoFactorsOutsideItsTables) {
  EXPECT_FALSE(ConversionFactor(85, 0, 1));  // Ohm, kOhm
  EXPECT_FALSE(ConversionFactor(81, 0, 0));
  EXPECT_FALSE(ConversionFactor(0, 0, 0));
  EXPECT_FALSE(ConversionFactor(90, 0, 0));
  EXPECT_FALSE(ConversionFactor(65, 0, 10));
  EXPECT_FALSE(ConversionFactor(84, 2, 0));
}

struct Loop {
  float current, percent, span;
};
Loop Compute(uint8_t function, float pv, float lower = 0, float upper = 100) {
  DeviceRecord r;
  r.LoRangeValue = lower;
  r.UpRangeValue = upper;
  UpdateLoopCurrent(r, function, pv);
  return {r.LoopCurrent, r.PercentOfRange, r.Span};
}

TEST(LoopCurrent, LinearFunctionFollowsTheRangeWithoutClamping) {
  Loop l = Compute(kTransferLinear, 50);
  EXPECT_FLOAT_EQ(l.current, 12);
  EXPECT_FLOAT_EQ(l.percent, 50);
  EXPECT_FLOAT_EQ(l.span, 100);
  l = Compute(kTransferLinear, 150);
  EXPECT_FLOAT_EQ(l.current, 28);
  EXPECT_FLOAT_EQ(l.percent, 150);
  l = Compute(kTransferLinear, -50, -100, 300);
  EXPECT_FLOAT_EQ(l.current, 6);
  EXPECT_FLOAT_EQ(l.percent, 12.5);
  l = Compute(kTransferLinear, -20);
  EXPECT_FLOAT_EQ(l.current, 0.8f);
  EXPECT_FLOAT_EQ(l.percent, -20);
}

TEST(LoopCurrent, OtherFunctionsActOnThePvAlone) {
  Loop l = Compute(kTransferSquareRoot, 100, 500, 900);
  EXPECT_FLOAT_EQ(l.current, 10);
  EXPECT_FLOAT_EQ(l.percent, 37.5);
  EXPECT_FLOAT_EQ(l.span, 400);
  EXPECT_FLOAT_EQ(Compute(kTransferRootOfCube, 4).current, 8);
  EXPECT_FLOAT_EQ(Compute(kTransferRootOfFifthPower, 4).current, 32);
  EXPECT_FLOAT_EQ(Compute(kTransferIdentity, 7.5f).current, 7.5f);
  EXPECT_FLOAT_EQ(Compute(kTransferSquare, 3).current, 9);
}

TEST(LoopCurrent, ZeroSpanAndNegativeRootsGiveIeeeValues) {
  const Loop zeroSpan = Compute(kTransferLinear, 50, 10, 10);
  EXPECT_EQ(zeroSpan.span, 0);
  EXPECT_TRUE(std::isinf(zeroSpan.current));
  EXPECT_TRUE(std::isnan(Compute(kTransferLinear, 10, 10, 10).current));  // 0 / 0
  EXPECT_TRUE(std::isnan(Compute(kTransferSquareRoot, -1).current));
  EXPECT_TRUE(std::isnan(Compute(kTransferRootOfFifthPower, -1).percent));
}

}  // namespace
}  // namespace qln
