#include "commands/common_practice_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "command_fixture.h"

namespace qln::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kConfigChangedBit = 0x40;
constexpr uint8_t kFixedCurrentBit = 0x08;

class CommonPracticeCommandsTest : public CommandTest {
 protected:
  // A command 35 request: units code, upper and lower range value.
  static Bytes RangeRequest(float upper, float lower) {
    Bytes request = {32};
    for (float value : {upper, lower}) {
      const Bytes bytes = FloatBytes(value);
      request.insert(request.end(), bytes.begin(), bytes.end());
    }
    return request;
  }
  // The primary variable of the device in both of its sections.
  static IniBuilder& SetPv(IniBuilder& ini, uint8_t device, const std::string& value) {
    return ini.Set(1, device, "PV1Value", value).Set(3, device, "PV1Value", value);
  }
  // The lower and upper range value as the file holds them.
  using Range = std::pair<std::string, std::string>;
  Range FileRange(uint8_t device) {
    return {FileKey(15, device, "LoRangeValue"), FileKey(15, device, "UpRangeValue")};
  }
};

TEST_F(CommonPracticeCommandsTest, Command33ReportsTheRequestedVariablesWithoutStatus) {
  Open();
  const Reply reply = Run(0, 33, {1, 244});
  ASSERT_EQ(reply.data.size(), 12u);
  EXPECT_EQ(Bytes(reply.data.begin(), reply.data.begin() + 2), (Bytes{1, 33}));
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 2), 24.5f);
  EXPECT_EQ(Bytes(reply.data.begin() + 6, reply.data.begin() + 8), (Bytes{244, 57}));
  EXPECT_FLOAT_EQ(FloatAt(reply.data, 8), 25.0f);  // PV 25 of 0..100
  EXPECT_EQ(reply.status & kConfigChangedBit, 0);

  const Reply many = Run(0, 33, Bytes(10, 245));  // the first eight codes are answered
  ASSERT_EQ(many.data.size(), 48u);
  EXPECT_EQ(Bytes(many.data.begin() + 42, many.data.begin() + 44), (Bytes{245, 39}));
  EXPECT_FLOAT_EQ(FloatAt(many.data, 44), 8.0f);
  EXPECT_TRUE(Run(0, 33).data.empty());
}

TEST_F(CommonPracticeCommandsTest, Command34AnswersEightWhenTheDampingChanges) {
  Open();
  const Reply same = Run(1, 34, FloatBytes(0.5f));
  EXPECT_EQ(same.code, 0);
  EXPECT_EQ(same.data, FloatBytes(0.5f));

  const Reply changed = Run(1, 34, FloatBytes(2.25f));
  EXPECT_EQ(changed.code, 8);
  EXPECT_EQ(changed.data, FloatBytes(2.25f));  // a warning: the data stay
  EXPECT_EQ(FileKey(15, 1, "PVDampValue"), "2.250000");
  EXPECT_FLOAT_EQ(FloatAt(Run(1, 15).data, 11), 2.25f);
  EXPECT_EQ(FileKey(0, 1, "CfgChgCnt_v6"), "14");  // both requests counted
  EXPECT_EQ(Run(1, 34, {0, 0, 0}).code, 5);
}

TEST_F(CommonPracticeCommandsTest, Command35RefusesInTheOrderOfItsChecksAndReportsTheStoredRange) {
  Open();
  const struct {
    float upper, lower;
    uint8_t code;
  } refusals[] = {
      {201, 300, 9},   // upper above the upper limit, before anything else
      {-51, -50, 10},  // upper below the lower limit
      {100, 201, 11},  // lower above the upper limit
      {100, -51, 12},  // lower below the lower limit
      {100, 95, 14},   // span 5 below the minimum span 10
  };
  for (const auto& r : refusals) {
    const Reply reply = Run(0, 35, RangeRequest(r.upper, r.lower));
    EXPECT_EQ(reply.code, r.code) << r.upper << " " << r.lower;
    ASSERT_EQ(reply.data.size(), 9u);
    EXPECT_EQ(reply.data[0], 32);
    EXPECT_FLOAT_EQ(FloatAt(reply.data, 1), 100.0f);
    EXPECT_FLOAT_EQ(FloatAt(reply.data, 5), 0.0f);
  }
  EXPECT_EQ(FileRange(0), (Range{"0.000000", "100.000000"}));
  // A value that is not a number is outside every limit.
  Bytes nan = RangeRequest(100, 0);
  std::copy_n(Bytes{0x7F, 0xC0, 0, 0}.begin(), 4, nan.begin() + 1);
  EXPECT_EQ(Run(0, 35, nan).code, 9);
  EXPECT_EQ(Run(0, 35, Bytes(8, 0)).code, 5);
}

TEST_F(CommonPracticeCommandsTest, Command35AcceptsValuesAtTheLimitsAndEitherOrder) {
  Open();
  const Reply limits = Run(0, 35, RangeRequest(200, -50));
  EXPECT_EQ(limits.code, 0);
  EXPECT_EQ(limits.data, RangeRequest(200, -50));
  EXPECT_EQ(FileRange(0), (Range{"-50.000000", "200.000000"}));
  EXPECT_EQ(Run(0, 35, RangeRequest(100, 90)).code, 0);  // exactly the minimum span
  EXPECT_EQ(Run(0, 35, RangeRequest(0, 50)).code, 0);    // upper below lower
  EXPECT_EQ(FileRange(0), (Range{"50.000000", "0.000000"}));
  const Reply loop = Run(0, 2);  // PV 25 in the inverted range
  EXPECT_FLOAT_EQ(FloatAt(loop.data, 0), 12.0f);
}

// The limits come from the addressed device, also when the last command read another device's.
TEST_F(CommonPracticeCommandsTest, Command35ChecksTheAddressedDevicesLimits) {
  Open(IniBuilder().Set(14, 1, "UpLimit", "500.000000"));
  EXPECT_FLOAT_EQ(FloatAt(Run(1, 14).data, 4), 500.0f);
  EXPECT_EQ(Run(0, 35, RangeRequest(300, 0)).code, 9);
  EXPECT_EQ(FileRange(0), (Range{"0.000000", "100.000000"}));
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 14).data, 4), 200.0f);
  EXPECT_EQ(Run(1, 35, RangeRequest(300, 0)).code, 0);
  EXPECT_EQ(FileRange(1), (Range{"0.000000", "300.000000"}));
}

TEST_F(CommonPracticeCommandsTest, Command36TakesTheAddressedDevicesPrimaryVariable) {
  Open();
  Run(5, 1);  // the record holds device 5's PV 30
  const Reply reply = Run(2, 36);
  EXPECT_EQ(reply.code, 0);
  EXPECT_TRUE(reply.data.empty());
  EXPECT_EQ(FileRange(2), (Range{"0.000000", "27.000000"}));
  EXPECT_EQ(FileRange(5), (Range{"0.000000", "100.000000"}));
}

TEST_F(CommonPracticeCommandsTest, Command37ShiftsTheRangeUnlessItLeavesTheLimit) {
  IniBuilder ini;
  ini.Set(14, 0, "UpLimit", "150.000000");
  Open(SetPv(ini, 0, "60.000000"));
  const Reply refused = Run(0, 37);  // 60 + span 100 above 150
  EXPECT_EQ(refused.code, 14);
  EXPECT_TRUE(refused.data.empty());
  EXPECT_EQ(FileRange(0), (Range{"0.000000", "100.000000"}));

  Open(SetPv(ini, 0, "40.000000"));
  EXPECT_EQ(Run(0, 37).code, 0);
  EXPECT_EQ(FileRange(0), (Range{"40.000000", "140.000000"}));
}

TEST_F(CommonPracticeCommandsTest, Command37UsesTheSpanLastComputedForTheDevice) {
  IniBuilder ini;
  ini.Set(15, 1, "UpRangeValue", "50.000000");
  Open(SetPv(ini, 0, "60.000000"));
  Run(0, 2);   // span 100 computed for device 0
  Run(0, 36);  // range 0..60; the span is not computed again
  EXPECT_EQ(Run(0, 37).code, 0);
  EXPECT_EQ(FileRange(0), (Range{"60.000000", "160.000000"}));

  // A span computed for another device is not this device's: device 2 shifts by its own 100.
  Run(1, 2);  // span 50 of device 1
  EXPECT_EQ(Run(2, 37).code, 0);
  EXPECT_EQ(FileRange(2), (Range{"27.000000", "127.000000"}));
}

TEST_F(CommonPracticeCommandsTest, Command40FixesAndReleasesTheCurrentOfDeviceZeroOnly) {
  Open();
  const Reply fixed = Run(0, 40, FloatBytes(12.0f));
  EXPECT_EQ(fixed.code, 0);
  EXPECT_EQ(fixed.data, FloatBytes(12.0f));
  EXPECT_EQ(fixed.status & (kFixedCurrentBit | kConfigChangedBit), kFixedCurrentBit);
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 2).data, 0), 12.0f);
  EXPECT_EQ(Run(0, 48).data[13], 0xFF);

  const Reply low = Run(0, 40, FloatBytes(3.5f));
  EXPECT_EQ(low.code, 7);
  EXPECT_EQ(low.data, FloatBytes(12.0f));             // the data stay; the current stays fixed
  EXPECT_EQ(Run(0, 40, {0x7F, 0xC0, 0, 0}).code, 7);  // not a number
  EXPECT_TRUE(state.FixedCurrentMode[0]);

  const Reply released = Run(0, 40, FloatBytes(0.0f));
  EXPECT_EQ(released.code, 0);
  EXPECT_EQ(released.data, FloatBytes(8.0f));  // follows PV 25 of 0..100 again
  EXPECT_EQ(released.status & kFixedCurrentBit, 0);
  EXPECT_EQ(Run(0, 48).data[13], 0);
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 2).data, 0), 8.0f);

  const Reply multidrop = Run(2, 40, FloatBytes(12.0f));
  EXPECT_EQ(multidrop.code, 11);
  EXPECT_EQ(multidrop.data, FloatBytes(4.0f));  // device 2's own fixed current
  EXPECT_TRUE(state.FixedCurrentMode[2]);
  EXPECT_FLOAT_EQ(state.FixedCurrentValue[2], 4.0f);
}

TEST_F(CommonPracticeCommandsTest, Command43MovesTheRangeToThePrimaryVariable) {
  IniBuilder ini;
  SetPv(ini, 5, "-60.000000");
  SetPv(ini, 6, "150.000000");
  Open(ini);
  const Reply zeroed = Run(4, 43);
  EXPECT_EQ(zeroed.code, 0);
  EXPECT_TRUE(zeroed.data.empty());
  EXPECT_EQ(FileRange(4), (Range{"29.000000", "129.000000"}));
  EXPECT_FLOAT_EQ(FloatAt(Run(4, 2).data, 0), 4.0f);  // device 4's current is fixed
  EXPECT_FLOAT_EQ(FloatAt(Run(4, 2).data, 4), 0.0f);

  const Reply below = Run(5, 43);  // PV below the lower limit -50
  EXPECT_EQ(below.code, 10);
  EXPECT_TRUE(below.data.empty());
  const Reply above = Run(6, 43);  // 100 + 150 above the upper limit 200
  EXPECT_EQ(above.code, 9);
  EXPECT_TRUE(above.data.empty());
  EXPECT_EQ(FileRange(5), (Range{"0.000000", "100.000000"}));
  EXPECT_EQ(FileRange(6), (Range{"0.000000", "100.000000"}));

  state.LockState = 1;
  EXPECT_EQ(Run(7, 43).code, 0);
  state.LockState = 2;
  EXPECT_EQ(Run(8, 43).code, 16);
}

TEST_F(CommonPracticeCommandsTest, Command43ChecksTheAddressedDevicesLimits) {
  IniBuilder ini;
  ini.Set(14, 7, "UpLimit", "500.000000");
  SetPv(ini, 6, "150.000000");
  SetPv(ini, 7, "150.000000");
  Open(ini);
  Run(7, 14);
  EXPECT_EQ(Run(6, 43).code, 9);
  Run(6, 14);
  EXPECT_EQ(Run(7, 43).code, 0);
  EXPECT_EQ(FileRange(7), (Range{"150.000000", "250.000000"}));
}

TEST_F(CommonPracticeCommandsTest, Command44ConvertsWithinAClassificationAndOnlyRelabelsAcross) {
  IniBuilder ini;
  for (uint8_t section : {1, 3}) ini.Set(section, 3, "PV1Unit", "7");  // bar
  SetPv(ini, 3, "2.000000");
  ini.Set(15, 3, "RangeUnit", "7").Set(15, 3, "UpRangeValue", "10.000000");
  ini.Set(14, 3, "LimitUnit", "7").Set(14, 3, "UpLimit", "20.000000");
  ini.Set(14, 3, "LoLimit", "-1.000000").Set(14, 3, "MinSpan", "0.500000");
  Open(ini);

  const Reply kpa = Run(3, 44, {12});
  EXPECT_EQ(kpa.code, 0);
  EXPECT_EQ(kpa.data, (Bytes{12}));
  EXPECT_TRUE(state.RefreshRequest.exchange(false));
  for (uint8_t section : {1, 3}) {
    EXPECT_EQ(FileKey(section, 3, "PV1Unit"), "12");
    EXPECT_EQ(FileKey(section, 3, "PV1Value"), "200.000000");
  }
  EXPECT_EQ(FileKey(14, 3, "LimitUnit"), "12");
  EXPECT_EQ(FileKey(14, 3, "UpLimit"), "2000.000000");
  EXPECT_EQ(FileKey(14, 3, "LoLimit"), "-100.000000");
  EXPECT_EQ(FileKey(14, 3, "MinSpan"), "50.000000");
  EXPECT_EQ(FileKey(15, 3, "RangeUnit"), "12");
  EXPECT_EQ(FileRange(3), (Range{"0.000000", "1000.000000"}));

  EXPECT_EQ(Run(3, 44, {32}).data, (Bytes{32}));  // kPa to Deg.C: the codes only
  EXPECT_TRUE(state.RefreshRequest.exchange(false));
  EXPECT_EQ(FileKey(1, 3, "PV1Unit"), "32");
  EXPECT_EQ(FileKey(1, 3, "PV1Value"), "200.000000");
  EXPECT_EQ(FileKey(14, 3, "LimitUnit"), "32");
  EXPECT_EQ(FileKey(14, 3, "UpLimit"), "2000.000000");
  EXPECT_EQ(FileRange(3), (Range{"0.000000", "1000.000000"}));
  EXPECT_EQ(Run(3, 44).code, 5);
}

TEST_F(CommonPracticeCommandsTest, Command44WithTheUnitInForceChangesNothing) {
  Open(IniBuilder().Set(15, 8, "RangeUnit", "33"));
  const Reply reply = Run(8, 44, {32});
  EXPECT_EQ(reply.code, 0);
  EXPECT_EQ(reply.data, (Bytes{33}));  // the range unit is reported
  EXPECT_FALSE(state.RefreshRequest);
  EXPECT_EQ(FileKey(15, 8, "RangeUnit"), "33");
  EXPECT_EQ(FileKey(14, 8, "LimitUnit"), "32");
}

TEST_F(CommonPracticeCommandsTest, Command47SelectsAKnownTransferFunctionForAllDevices) {
  Open();
  EXPECT_EQ(Run(0, 47, {9}).data, (Bytes{0}));
  EXPECT_EQ(Run(0, 47, {1}).data, (Bytes{1}));
  EXPECT_EQ(Run(0, 47, {9}).data, (Bytes{1}));
  EXPECT_FLOAT_EQ(FloatAt(Run(0, 2).data, 0), 5.0f);  // square root of PV 25
  EXPECT_EQ(FileKey(15, 0, "PVTransferFC"), "0");
  EXPECT_EQ(Run(0, 47).code, 5);
}

TEST_F(CommonPracticeCommandsTest, Command49WritesTheTransducerSerialNumber) {
  Open();
  EXPECT_EQ(Run(2, 49, {1, 2, 3}).data, (Bytes{1, 2, 3}));
  EXPECT_EQ(FileKey(14, 2, "TransducerSN1"), "3");
  EXPECT_EQ(FileKey(14, 2, "TransducerSN3"), "1");
  const Bytes transducer = Run(2, 14).data;
  EXPECT_EQ(Bytes(transducer.begin(), transducer.begin() + 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(Run(2, 49, {1, 2}).code, 5);
}

TEST_F(CommonPracticeCommandsTest, Commands50And51KeepTheAssignmentsPerDevice) {
  Open();
  EXPECT_EQ(Run(9, 51, {7, 244}).data, (Bytes{7, 244, 2, 3}));
  EXPECT_EQ(Run(9, 50).data, (Bytes{7, 244, 2, 3}));
  EXPECT_EQ(Run(8, 50).data, (Bytes{0, 1, 2, 3}));
  EXPECT_EQ(Run(9, 51).data, (Bytes{7, 244, 2, 3}));
  EXPECT_EQ(Run(9, 51, {0, 1, 2, 3, 4}).data, (Bytes{0, 1, 2, 3}));
}

TEST_F(CommonPracticeCommandsTest, EntryChecksRunInEachCommandsOrder) {
  Open(IniBuilder().Set(15, 1, "WrProtCode", "1"));
  const Bytes enough(9, 0x41);
  for (uint8_t command : {34, 35, 36, 37, 40, 43, 44, 47, 49, 51}) {
    const Reply reply = Run(1, command, enough);
    EXPECT_EQ(reply.code, 7) << int(command);
    EXPECT_TRUE(reply.data.empty());
  }
  state.LockState = 1;
  for (uint8_t command : {34, 35, 36, 37, 40}) {
    EXPECT_EQ(Run(0, command, {}).code, 16) << int(command);  // the lock before the byte count
  }
  for (uint8_t command : {43, 44, 47, 49, 51}) {
    EXPECT_EQ(Run(2, command, {32, 0, 0}).code, 0) << int(command);  // lock code 1 passes
  }
  state.LockState = 2;
  for (uint8_t command : {44, 47, 49}) {
    EXPECT_EQ(Run(0, command, {}).code, 5) << int(command);  // the byte count before the lock
  }
  EXPECT_EQ(Run(0, 51, {1}).code, 16);
  state.LockState = 0;
  EXPECT_EQ(Run(0, 40, {0, 0, 0}).code, 5);
  EXPECT_EQ(FileKey(15, 1, "UpRangeValue"), "100.000000");
}

}  // namespace
}  // namespace qln::test
