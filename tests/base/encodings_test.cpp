#include "base/encodings.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "support/fakes.h"

namespace qln {
namespace {

std::array<uint8_t, 4> Encoded(float value) {
  std::array<uint8_t, 4> out{};
  EncodeFloat(value, out.data());
  return out;
}

using Bytes4 = std::array<uint8_t, 4>;

TEST(EncodeFloat, NormalValuesGiveTheirIeeePatternMostSignificantByteFirst) {
  EXPECT_EQ(Encoded(1.0f), (Bytes4{0x3F, 0x80, 0x00, 0x00}));
  EXPECT_EQ(Encoded(-2.5f), (Bytes4{0xC0, 0x20, 0x00, 0x00}));
  EXPECT_EQ(Encoded(100.0f), (Bytes4{0x42, 0xC8, 0x00, 0x00}));
  EXPECT_EQ(Encoded(std::numeric_limits<float>::max()), (Bytes4{0x7F, 0x7F, 0xFF, 0xFF}));
  EXPECT_EQ(Encoded(std::numeric_limits<float>::min()), (Bytes4{0x00, 0x80, 0x00, 0x00}));
  // Every normal single round-trips through its bytes.
  for (float v : {3.14159f, -6951.42f, 1e-30f, 12345678.0f, -0.0113f}) {
    const Bytes4 bytes = Encoded(v);
    EXPECT_EQ(DecodeFloat(bytes.data()), v);
  }
}

TEST(EncodeFloat, ZeroNanAndTinyValuesGiveAllZeroBytes) {
  const Bytes4 zero{0, 0, 0, 0};
  EXPECT_EQ(Encoded(0.0f), zero);
  EXPECT_EQ(Encoded(-0.0f), zero);
  EXPECT_EQ(Encoded(std::numeric_limits<float>::quiet_NaN()), zero);
  EXPECT_EQ(Encoded(-std::numeric_limits<float>::quiet_NaN()), zero);
  EXPECT_EQ(Encoded(std::ldexp(1.0f, -130)), zero);
  EXPECT_EQ(Encoded(-std::ldexp(1.0f, -130)), zero);
}

TEST(EncodeFloat, ValuesJustBelowTheSmallestNormalKeepSignAndFractionWithExponentZero) {
  // 2^-127 * 1.5: exponent field 0, fraction bits of 1.5 (0x400000).
  EXPECT_EQ(Encoded(-1.5f * std::ldexp(1.0f, -127)), (Bytes4{0x80, 0x40, 0x00, 0x00}));
}

TEST(EncodeFloat, InfinitiesGiveTheirIeeePattern) {
  EXPECT_EQ(Encoded(std::numeric_limits<float>::infinity()), (Bytes4{0x7F, 0x80, 0x00, 0x00}));
  EXPECT_EQ(Encoded(-std::numeric_limits<float>::infinity()), (Bytes4{0xFF, 0x80, 0x00, 0x00}));
}

TEST(DecodeFloat, ReadsBigEndianBytes) {
  const uint8_t bytes[] = {0x42, 0xC8, 0x00, 0x00};
  EXPECT_EQ(DecodeFloat(bytes), 100.0f);
}

TEST(SwapBytes, ReversesTwoThreeAndFourBytes) {
  uint8_t two[] = {1, 2};
  uint8_t three[] = {1, 2, 3};
  uint8_t four[] = {1, 2, 3, 4};
  SwapBytes(two, 2);
  SwapBytes(three, 3);
  SwapBytes(four, 4);
  EXPECT_EQ(two[0], 2);
  EXPECT_EQ(three[0], 3);
  EXPECT_EQ(three[2], 1);
  EXPECT_EQ(four[0], 4);
  EXPECT_EQ(four[3], 1);
}

TEST(Integers, SixteenAndTwentyFourBitsMostSignificantFirst) {
  uint8_t out[4] = {};
  Put16(out, 0x12345);  // only the low 16 bits
  EXPECT_EQ(out[0], 0x23);
  EXPECT_EQ(out[1], 0x45);
  EXPECT_EQ(Get16(out), 0x2345);
  Put24(out, 0x123456);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[2], 0x56);
  EXPECT_EQ(Get24(out), 0x123456u);
  Put32(out, 0xA1B2C3D4);
  EXPECT_EQ(out[0], 0xA1);
  EXPECT_EQ(out[3], 0xD4);
}

TEST(PackAscii, PacksFourCharactersIntoThreeBytesAndUnpacksThemBack) {
  uint8_t packed[6];
  std::size_t count = 0;
  ASSERT_TRUE(PackAscii("ABCDEFGH", packed, &count));
  ASSERT_EQ(count, 6u);
  const uint8_t expected[] = {0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8};
  EXPECT_TRUE(std::equal(packed, packed + 6, expected));

  char text[8];
  ASSERT_TRUE(UnpackAscii(packed, 6, text, &count));
  EXPECT_EQ(std::string(text, count), "ABCDEFGH");
}

TEST(PackAscii, LowerCaseIsNotConvertedAndComesBackAsPunctuation) {
  uint8_t packed[3];
  char text[4];
  std::size_t count = 0;
  ASSERT_TRUE(PackAscii("abc_", packed, &count));
  ASSERT_TRUE(UnpackAscii(packed, 3, text, &count));
  EXPECT_EQ(std::string(text, count), "!\"#_");
}

TEST(PackAscii, EmptyTextFailsAndWritesNothing) {
  uint8_t packed[3] = {0xAA, 0xAA, 0xAA};
  std::size_t count = 99;
  EXPECT_FALSE(PackAscii("", packed, &count));
  EXPECT_EQ(packed[0], 0xAA);
  EXPECT_EQ(count, 99u);
}

TEST(UnpackAscii, RefusesLengthsThatAreNotNonzeroMultiplesOfThree) {
  const uint8_t bytes[7] = {0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  char text[12];
  std::size_t count = 5;
  EXPECT_FALSE(UnpackAscii(bytes, 7, text, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(UnpackAscii(bytes, 0, text, &count));
  ASSERT_TRUE(UnpackAscii(bytes, 3, text, &count));
  EXPECT_EQ(std::string(text, count), "????");
}

TEST(TimeStamp, FormatsLocalTimeWithMilliseconds) {
  test::FakeClock clock;
  clock.now = {2024, 12, 31, 9, 5, 7, 42};
  EXPECT_EQ(TimeStamp(clock), "09:05:07.042");
}

TEST(TimeOfDay32, CountsThirtySecondsOfAMillisecondSinceMidnight) {
  EXPECT_EQ(TimeOfDay32({2024, 1, 1, 0, 0, 0, 1}), 32u);
  EXPECT_EQ(TimeOfDay32({2024, 1, 1, 23, 59, 59, 999}), 86399999u * 32u);
}

TEST(PutDate, YearByteIsYearMinus1900) {
  uint8_t out[3];
  PutDate(out, 31, 12, static_cast<uint8_t>(2024 - 1900));
  EXPECT_EQ(out[0], 0x1F);
  EXPECT_EQ(out[1], 0x0C);
  EXPECT_EQ(out[2], 0x7C);
}

}  // namespace
}  // namespace qln
