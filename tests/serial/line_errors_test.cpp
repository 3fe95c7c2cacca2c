#include "serial/line_errors.h"

#include <gtest/gtest.h>

#include <vector>

namespace qln {
namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
  Bytes data;
  bool marked;
};

Result DecodeWith(ParityMarkDecoder& decoder, const Bytes& raw) {
  Bytes out(raw.size());
  const ParityMarkDecoder::Decoded decoded = decoder.Decode(raw.data(), raw.size(), out.data());
  out.resize(decoded.count);
  return {out, decoded.marked};
}

Result Decode(const Bytes& raw) {
  ParityMarkDecoder decoder;
  return DecodeWith(decoder, raw);
}

TEST(LineErrorsDecoder, PassesUnmarkedBytesAndUndoesTheDoubledFF) {
  Result plain = Decode({0x02, 0x80, 0x00, 0x00, 0x82, 0x7F, 0xFE});
  EXPECT_EQ(plain.data, (Bytes{0x02, 0x80, 0x00, 0x00, 0x82, 0x7F, 0xFE}));
  EXPECT_FALSE(plain.marked);

  // Four preambles and a delimiter, as the driver hands them over.
  Result preambles = Decode({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02});
  EXPECT_EQ(preambles.data, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x02}));
  EXPECT_FALSE(preambles.marked);
}

TEST(LineErrorsDecoder, MarkedBytesKeepTheirValueAndMarkTheRead) {
  Result one = Decode({0x41, 0xFF, 0x00, 0x42, 0x43});
  EXPECT_EQ(one.data, (Bytes{0x41, 0x42, 0x43}));
  EXPECT_TRUE(one.marked);

  // A damaged 0xFF, and a break (a damaged 0x00), are data bytes too.
  Result ff = Decode({0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF});
  EXPECT_EQ(ff.data, (Bytes{0xFF, 0x00, 0xFF}));
  EXPECT_TRUE(ff.marked);
}

TEST(LineErrorsDecoder, TakesAnUnknownSequenceAfterFFAsADamagedByte) {
  Result result = Decode({0x10, 0xFF, 0x02, 0x11});
  EXPECT_EQ(result.data, (Bytes{0x10, 0x02, 0x11}));
  EXPECT_TRUE(result.marked);
}

TEST(LineErrorsDecoder, CarriesAMarkCutByTheEndOfARead) {
  const Bytes raw = {0x01, 0xFF, 0xFF, 0xFF, 0x00, 0x02, 0xFF, 0xFF};
  const Bytes data = {0x01, 0xFF, 0x02, 0xFF};
  const std::size_t damaged = 5;  // where the marked byte 0x02 lies in raw
  for (std::size_t cut = 0; cut <= raw.size(); ++cut) {
    SCOPED_TRACE(cut);
    ParityMarkDecoder decoder;
    Result first = DecodeWith(decoder, Bytes(raw.begin(), raw.begin() + cut));
    Result second = DecodeWith(decoder, Bytes(raw.begin() + cut, raw.end()));
    Bytes joined = first.data;
    joined.insert(joined.end(), second.data.begin(), second.data.end());
    EXPECT_EQ(joined, data);
    EXPECT_EQ(first.marked, cut > damaged);
    EXPECT_EQ(second.marked, cut <= damaged);
  }
}

TEST(LineErrorsDecoder, DecodesInPlaceAndForgetsAPartialMarkOnReset) {
  ParityMarkDecoder decoder;
  Bytes buffer = {0xFF, 0xFF, 0x01, 0xFF, 0x00, 0x02, 0xFF, 0xFF, 0x03};
  const ParityMarkDecoder::Decoded decoded =
      decoder.Decode(buffer.data(), buffer.size(), buffer.data());
  buffer.resize(decoded.count);
  EXPECT_EQ(buffer, (Bytes{0xFF, 0x01, 0x02, 0xFF, 0x03}));

  DecodeWith(decoder, {0x05, 0xFF, 0x00});
  decoder.Reset();
  Result after = DecodeWith(decoder, {0x00, 0x41});
  EXPECT_EQ(after.data, (Bytes{0x00, 0x41}));
  EXPECT_FALSE(after.marked);
}

TEST(LineErrorsCode, CombinesTheCountedErrorsAndTheMarks) {
  const LineErrorCounts before{.frame = 3, .overrun = 1, .bufOverrun = 0, .parity = 7, .brk = 0};
  struct Case {
    uint32_t frame, overrun, bufOverrun, parity, brk;  // added since before
    bool marked;
    uint8_t code;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, false, 0x00},
      {1, 0, 0, 0, 0, false, 0x90},
      {0, 0, 0, 0, 1, false, 0x90},
      {0, 1, 0, 0, 0, false, 0xA0},
      {0, 0, 2, 0, 0, false, 0xA0},
      {0, 0, 0, 1, 0, false, 0xC0},
      {1, 1, 0, 0, 0, false, 0xB0},
      {1, 1, 1, 1, 1, false, 0xF0},
      // The driver marks framing and parity errors alike; the counters tell which it was.
      {0, 0, 0, 0, 0, true, 0xC0},
      {1, 0, 0, 0, 0, true, 0x90},
      {0, 0, 0, 1, 0, true, 0xC0},
      {0, 1, 0, 0, 0, true, 0xE0},
  };
  for (const Case& c : cases) {
    const LineErrorCounts after{before.frame + c.frame, before.overrun + c.overrun,
                                before.bufOverrun + c.bufOverrun, before.parity + c.parity,
                                before.brk + c.brk};
    EXPECT_EQ(LineErrorCode(before, after, c.marked), c.code)
        << c.frame << c.overrun << c.bufOverrun << c.parity << c.brk << c.marked;
  }
  const LineErrorCounts nearWrap{.frame = 0xFFFFFFFF};
  EXPECT_EQ(LineErrorCode(nearWrap, LineErrorCounts{}, false), 0x90);
}

}  // namespace
}  // namespace qln
