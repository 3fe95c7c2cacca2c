#include "device/device_model.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "base/encodings.h"
#include "device/text_values.h"

namespace qln {
namespace {

std::string Unpacked(const uint8_t* bytes, std::size_t length) {
  char text[64];
  std::size_t count = 0;
  UnpackAscii(bytes, length, text, &count);
  return std::string(text, count);
}

TEST(TextValues, IntegersReadLikeTheStoreDecodesThem) {
  EXPECT_EQ(ParseUnsigned("12abc"), 12u);
  EXPECT_EQ(ParseUnsigned("  +7"), 7u);
  EXPECT_EQ(ParseUnsigned("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseUnsigned("abc"), 0u);
  EXPECT_EQ(ParseUnsigned(""), 0u);
  EXPECT_EQ(ParseUnsigned("99999999999"), 0xFFFFFFFFu);
  EXPECT_EQ(static_cast<uint8_t>(ParseUnsigned("300")), 44);
}

TEST(TextValues, FloatsAndHexAndTheFixedFormat) {
  EXPECT_DOUBLE_EQ(ParseDouble(" -12.5e1xyz"), -125.0);
  EXPECT_DOUBLE_EQ(ParseDouble("junk"), 0.0);
  EXPECT_EQ(ParseHex("1.2"), 1u);
  EXPECT_EQ(ParseHex("fF"), 255u);
  EXPECT_EQ(ParseHex(""), 0u);
  EXPECT_EQ(FormatFixed6(12.5), "12.500000");
  EXPECT_EQ(FormatFixed6(1.23456789), "1.234568");
  EXPECT_EQ(FormatFixed6(0.0000001), "0.000000");
  EXPECT_EQ(FormatFixed6(-0.0000001), "-0.000000");
}

TEST(DeviceModel, StartsWithTheInitialContents) {
  DeviceModel model;
  EXPECT_EQ(model.Table[0].ResPreableNum, 5u);
  EXPECT_EQ(model.Table[0].BurstCmdNo, 3u);
  EXPECT_EQ(model.Table[1].ResPreableNum, 0u);
  EXPECT_EQ(model.Table[7].DevEnable, 0);
  const DeviceRecord& r = model.Active;
  EXPECT_EQ(r.MfrID, 21);
  EXPECT_EQ(r.DevIDNo, 0x178533u);
  EXPECT_EQ(r.PV1Value, -6951.42f);
  EXPECT_EQ(std::bit_cast<uint32_t>(r.PVDampValue), 0x41199999u);
  EXPECT_EQ(r.Cmd48Status[0], 1);
  EXPECT_EQ(r.Cmd48Status[13], 0);
  EXPECT_EQ(r.Cmd48Status[24], 1);
  EXPECT_EQ(Unpacked(r.Descriptor.data(), 12), std::string(16, ' '));
  EXPECT_EQ(Unpacked(r.TagName.data(), 6).size(), 8u);
  EXPECT_EQ(model.DecodedFor[0], kNoDevice);
}

TEST(DecodeSection, IdentityDecodesWithCutsAndSetsTheLongAddress) {
  DeviceModel model;
  SectionTexts& t = model.Table[4].Texts;
  t.Set(0, "MfrID", "300");  // 8 bits: 44
  t.Set(0, "MfrDevType", "-1");
  t.Set(0, "DevIDNo", "16777217");  // 24 bits: 1
  t.Set(0, "CfgChgCnt_v6", "65537");
  t.Set(0, "UnivCmdRev", "7abc");
  DecodeSection(model, 0, 4);
  EXPECT_EQ(model.Active.MfrID, 44);
  EXPECT_EQ(model.Active.MfrDevType, 255);
  EXPECT_EQ(model.Active.DevIDNo, 1u);
  EXPECT_EQ(model.Active.CfgChgCnt_v6, 1);
  EXPECT_EQ(model.Active.UnivCmdRev, 7);
  EXPECT_EQ(model.Active.ReqPreambleNum, 0);  // missing key
  EXPECT_EQ(model.Table[4].LongAddress, (std::array<uint8_t, 5>{44, 255, 0, 0, 1}));
  EXPECT_EQ(model.DecodedFor[0], 4);
}

TEST(DecodeSection, TextsArePaddedAndTheYearIsCountedFrom1900) {
  DeviceModel model;
  SectionTexts& t = model.Table[0].Texts;
  t.Set(13, "TagName", "TT-101");
  t.Set(13, "Year", "2015");
  t.Set(12, "Message", std::string(40, 'M'));  // longer than the field: the first 32 count
  DecodeSection(model, 13, 0);
  DecodeSection(model, 12, 0);
  EXPECT_EQ(Unpacked(model.Active.TagName.data(), 6), "TT-101  ");
  EXPECT_EQ(Unpacked(model.Active.Descriptor.data(), 12), std::string(16, ' '));
  EXPECT_EQ(model.Active.Year, 115);
  EXPECT_EQ(Unpacked(model.Active.Message.data(), 24), std::string(32, 'M'));

  t.Set(13, "Year", "1899");
  DecodeSection(model, 13, 0);
  EXPECT_EQ(model.Active.Year, 255);
}

TEST(DecodeSection, ThreeKeyNumbersLongTagAndStatusBytes) {
  DeviceModel model;
  SectionTexts& t = model.Table[2].Texts;
  t.Set(14, "TransducerSN1", "1");
  t.Set(14, "TransducerSN2", "2");
  t.Set(14, "TransducerSN3", "3");
  t.Set(16, "FinalAssemblyNum1", "1");
  t.Set(16, "FinalAssemblyNum2", "2");
  t.Set(16, "FinalAssemblyNum3", "3");
  t.Set(20, "LongTag1", "84");
  t.Set(20, "LongTag32", "32");
  t.Set(48, "DevSpecSta0", "7");
  t.Set(48, "AnalogChFix13", "255");
  t.Set(48, "DevSpecSta24", "9");
  for (uint8_t s : {14, 16, 20, 48}) DecodeSection(model, s, 2);
  EXPECT_EQ(model.Active.TransducerSN, 0x030201u);
  EXPECT_EQ(model.Active.FinalAssemblyNum, 0x030201u);
  EXPECT_EQ(model.Active.LongTag[0], 84);
  EXPECT_EQ(model.Active.LongTag[1], 0);
  EXPECT_EQ(model.Active.LongTag[31], 32);
  EXPECT_EQ(model.Active.Cmd48Status[0], 7);
  EXPECT_EQ(model.Active.Cmd48Status[13], 0);  // not taken from the file
  EXPECT_EQ(model.Active.Cmd48Status[24], 9);
}

TEST(DecodeAll, AllDevicesLeavesDeviceFifteenInTheRecordAndSetsEveryTableEntry) {
  DeviceModel model;
  for (uint8_t d = 0; d < kDeviceCount; ++d) {
    SectionTexts& t = model.Table[d].Texts;
    t.Set(0, "MfrID", std::to_string(d + 1));
    t.Set(0, "UnivCmdRev", d == 15 ? "6" : "7");
    t.Set(59, "ResPreableNum", std::to_string(d + 2));
    t.Set(108, "BurstCmdNo", "2");
    t.Set(3, "PV2Value", std::to_string(d) + ".5");
  }
  DecodeAll(model, AllDevices);
  EXPECT_EQ(model.Active.MfrID, 16);
  EXPECT_EQ(model.Active.UnivCmdRev, 6);
  EXPECT_EQ(model.Active.PV2Value, 15.5f);
  for (uint8_t d = 0; d < kDeviceCount; ++d) {
    EXPECT_EQ(model.Table[d].LongAddress[0], d + 1);
    EXPECT_EQ(model.Table[d].ResPreableNum, d + 2u);
    EXPECT_EQ(model.Table[d].BurstCmdNo, 2u);
  }
  EXPECT_EQ(model.DecodedFor[3], 15);
  // DevEnable is never taken from a load.
  EXPECT_EQ(model.Table[0].DevEnable, 0);
}

TEST(SectionTexts, CutsTextsTo63CharactersAndKnowsOnlyTheSectionsKeys) {
  SectionTexts texts;
  texts.Set(12, "Message", std::string(200, 'x'));
  EXPECT_EQ(texts.Get(12, "Message").size(), 63u);
  texts.Set(12, "NotAKey", "1");
  EXPECT_EQ(texts.Get(12, "NotAKey"), "");
  texts.Set(200, "Param255", "7");
  texts.Set(200, "ParamNum", "1");
  EXPECT_EQ(texts.Get(200, "Param255"), "7");
  EXPECT_EQ(texts.Get(200, std::size_t{255}), "7");
  EXPECT_EQ(texts.Get(200, "Param256"), "");
  EXPECT_EQ(texts.Get(200, "Param0"), "");
}

TEST(SectionNames, FollowTheFileLayout) {
  EXPECT_EQ(SectionName(15, 7), "HTDev07_Cmd015");
  EXPECT_EQ(SectionName(0, 12), "HTDev12_Cmd000");
  EXPECT_EQ(SectionName(130, 3), "HTDevAll_SpecCmd130");
  EXPECT_EQ(DevEnableKey(9), "Dev09_En");
  EXPECT_EQ(SpecCmdKey(0), "ParamNum");
  EXPECT_EQ(SpecCmdKey(64), "Param64");
}

}  // namespace
}  // namespace qln
