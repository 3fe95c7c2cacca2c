// Reception, frame end and the frame check: which frames a simulated device answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/encodings.h"
#include "link_harness.h"

namespace qln::test {
namespace {

constexpr std::array<uint8_t, 5> kAddressA{0x26, 0x11, 0x22, 0x33, 0x44};
constexpr std::array<uint8_t, 5> kAddressB{0x0A, 0x55, 0x01, 0x02, 0x03};
const std::string kStamp = "13:45:07.089";

// The reply frame behind the given number of preambles of a transmission.
std::vector<uint8_t> ReplyOf(const Transmission& sent, std::size_t preambles = 5) {
  return {sent.bytes.begin() + static_cast<std::ptrdiff_t>(preambles), sent.bytes.end()};
}

bool Ignored(const LinkHarness& h) {
  return h.sent.empty() && h.dispatcher.executed.empty() &&
         h.exchange.LoadState() == ExchangeState::Idle;
}

// Reads the bytes with the line-error code on the byte at position (counted from the delimiter),
// then lets the frame end.
void RequestWithErrorAt(LinkHarness& h, const std::vector<uint8_t>& frame, std::size_t position,
                        uint8_t lineError) {
  h.Read(WithPreambles({frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(position)}));
  h.Read({frame[position]}, lineError);
  // A read that returns nothing is an empty poll: only bytes that remain make a read.
  if (position + 1 < frame.size()) {
    h.Read({frame.begin() + static_cast<std::ptrdiff_t>(position) + 1, frame.end()});
  }
  h.Ticks(2);
}

TEST(FrameReceiver, NeedsTwoPreamblesAndLogsEveryOneCounted) {
  LinkHarness h;
  h.EnableDevice(0);
  const auto frame = ShortFrame(0);
  ASSERT_EQ(frame, (std::vector<uint8_t>{0x02, 0x80, 0x00, 0x00, 0x82}));

  h.Converse(frame, 1);
  EXPECT_TRUE(Ignored(h));

  h.Converse(frame, 2);
  h.Converse(frame, 20);
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(h.Lines(LogKind::Received),
            (std::vector<std::string>{kStamp + "  <==  ", kStamp + "  <==  FF FF 02 80 00 00 82 ",
                                      kStamp + "  <==  " + Hex(WithPreambles(frame, 20))}));
  EXPECT_EQ(h.ReceivedFrames(), 3);
}

TEST(FrameReceiver, ReceptionEndingBeforeTheDelimiterIsLoggedAndIgnored) {
  LinkHarness h;
  h.EnableDevice(0);
  h.Read({0xFF});
  h.Ticks(2);
  h.Read({0xFF, 0xFF, 0xFF});
  h.Ticks(2);
  EXPECT_TRUE(Ignored(h));
  EXPECT_EQ(h.Lines(LogKind::Received),
            (std::vector<std::string>{kStamp + "  <==  FF ", kStamp + "  <==  FF FF FF "}));
  EXPECT_EQ(h.ReceivedFrames(), 2);
}

TEST(FrameReceiver, DisabledDeviceIsLoggedButNotAnswered) {
  LinkHarness h;
  h.Converse(ShortFrame(0));
  EXPECT_TRUE(Ignored(h));
  EXPECT_EQ(h.Lines(LogKind::Received).size(), 1u);
  EXPECT_FALSE(h.link.ReceptionActive());
}

TEST(FrameReceiver, ShortFramesServeCommandZeroOfDevicesZeroToFifteen) {
  LinkHarness h;
  h.EnableDevice(3, kAddressA);
  h.Converse(ShortFrame(3));
  ASSERT_EQ(h.link.AddressedDevice(), 3);

  h.Converse(ShortFrame(3, 1));
  h.Converse(ShortFrame(20));
  EXPECT_EQ(h.link.AddressedDevice(), 3);
  EXPECT_EQ(h.dispatcher.executed.size(), 1u);

  // A disabled device never becomes the addressed device: a broadcast command 11 that follows
  // a poll of it is answered by the device addressed before.
  h.Converse(ShortFrame(5));
  EXPECT_EQ(h.link.AddressedDevice(), 3);
  EXPECT_EQ(h.sent.size(), 1u);
  h.Converse(LongFrame({0, 0, 0, 0, 0}, 11, {0x20, 0x82, 0x08, 0x20, 0x82, 0x08}));
  EXPECT_EQ(h.dispatcher.executed.size(), 2u);
  EXPECT_EQ(h.link.AddressedDevice(), 3);
}

TEST(FrameReceiver, LongAddressIgnoresMasterAndBurstBits) {
  LinkHarness h;
  h.EnableDevice(2, kAddressA);
  h.dispatcher.execute = [](CommandExchange& e) {
    e.ResponseCode = 0;
    e.DeviceStatus = 0;
    e.ByteCount = 2;
    e.Data[0] = 0x01;
    e.Data[1] = 0x02;
  };
  auto frame = LongFrame(kAddressA, 1);
  frame[1] = 0xE6;  // master, burst, low six bits 0x26
  frame.back() = FrameChecksum(frame.data(), frame.size() - 1);
  h.Converse(frame);

  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.link.AddressedDevice(), 2);
  std::vector<uint8_t> reply{0x86, 0xA6, 0x11, 0x22, 0x33, 0x44,
                             0x01, 0x04, 0x00, 0x00, 0x01, 0x02};
  reply.push_back(FrameChecksum(reply.data(), reply.size()));
  EXPECT_EQ(ReplyOf(h.sent[0]), reply);
}

TEST(FrameReceiver, LowestEnabledDeviceWithTheLongAddressAnswers) {
  LinkHarness h;
  h.EnableDevice(4, kAddressA, 6);
  h.EnableDevice(9, kAddressA, 9);
  h.Converse(LongFrame(kAddressA, 1));
  EXPECT_EQ(h.link.AddressedDevice(), 4);

  h.model.Table[4].DevEnable = 0;
  h.Converse(LongFrame(kAddressA, 2));
  EXPECT_EQ(h.link.AddressedDevice(), 9);
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(h.sent[0].bytes.size(), 6u + 11u);
  EXPECT_EQ(h.sent[1].bytes.size(), 9u + 11u);

  h.Converse(LongFrame(kAddressB, 1));
  EXPECT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(h.link.AddressedDevice(), 9);
}

std::vector<uint8_t> PackedTag(const std::string& text) {
  std::vector<uint8_t> packed(6);
  std::size_t count = 0;
  PackAscii(text, packed.data(), &count);
  return packed;
}

TEST(FrameReceiver, CommandElevenMatchesTheTagOrTheBroadcastAddress) {
  LinkHarness h;
  h.EnableDevice(1, kAddressA, 7);
  h.model.Table[1].Texts.Set(13, "TagName", "PT-101");
  h.EnableDevice(6, kAddressB, 3);

  h.Converse(LongFrame(kAddressA, 11, PackedTag("PT-102  ")));
  EXPECT_TRUE(h.dispatcher.executed.empty());
  h.Converse(LongFrame(kAddressA, 11, PackedTag("PT-101  ")));
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{11});
  EXPECT_EQ(h.link.AddressedDevice(), 1);

  // Broadcast: no tag compared; the device addressed before answers.
  h.Converse(ShortFrame(6));
  h.Converse(LongFrame({0, 0, 0, 0, 0}, 11, PackedTag("ANYTAG  ")));
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{11, 0, 11}));
  EXPECT_EQ(h.link.AddressedDevice(), 6);
  EXPECT_EQ(h.sent.back().bytes.size(), 3u + 17u);

  // Without a match any other address is ignored, and so is a request without a whole tag.
  h.Converse(LongFrame({0, 0, 0, 0, 1}, 11, PackedTag("ANYTAG  ")));
  h.Converse(LongFrame(kAddressA, 11, {0x40, 0x41, 0x42, 0x43, 0x44}));
  EXPECT_EQ(h.dispatcher.executed.size(), 3u);
}

TEST(FrameReceiver, CommandTwentyOneComparesOnlyTheLongTagTheFrameCarries) {
  LinkHarness h;
  h.EnableDevice(1, kAddressA);
  std::vector<uint8_t> longTag(32);
  for (std::size_t i = 0; i < 31; ++i) longTag[i] = static_cast<uint8_t>(0x41 + i);
  // The checksum of a request with the first 31 tag bytes equals the last tag byte, so a
  // comparison running past the data would find all 32 "equal".
  const auto shortRequest = LongFrame({0, 0, 0, 0, 0}, 21, {longTag.begin(), longTag.begin() + 31});
  longTag[31] = shortRequest.back();
  for (std::size_t i = 0; i < 32; ++i) {
    h.model.Table[1].Texts.Set(20, "LongTag" + std::to_string(i + 1), std::to_string(longTag[i]));
  }
  h.Converse(ShortFrame(1));

  h.Converse(shortRequest);
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{0});

  // No address match needed: the tag of the device addressed before is compared.
  h.Converse(LongFrame({0, 0, 0, 0, 0}, 21, longTag));
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{0, 21}));
  longTag[5] ^= 1;
  h.Converse(LongFrame({0, 0, 0, 0, 0}, 21, longTag));
  EXPECT_EQ(h.dispatcher.executed.size(), 2u);
}

TEST(FrameReceiver, WrongChecksumIsAnsweredAtOnceWithTheErrorByte) {
  LinkHarness h;
  h.EnableDevice(0);
  auto frame = ShortFrame(0);
  frame.back() ^= 0x01;
  h.Request(frame);

  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].tick, 2);
  std::vector<uint8_t> reply{0x06, 0x80, 0x00, 0x02, 0x88, 0x20};
  reply.push_back(FrameChecksum(reply.data(), reply.size()));
  EXPECT_EQ(ReplyOf(h.sent[0]), reply);
  h.Ticks(40);
  EXPECT_EQ(h.sent.size(), 1u);
  EXPECT_TRUE(h.dispatcher.executed.empty());
}

// A line error in the part of the frame that names the device makes it unanswerable; anywhere
// else the frame is answered with the error byte, without looking at the checksum.
TEST(FrameReceiver, LineErrorsIgnoreDamagedAddressingAndAnswerTheRest) {
  struct Case {
    std::vector<uint8_t> frame;
    std::size_t countPos;
    std::vector<std::size_t> addressing;  // positions whose damage makes the frame ignored
  };
  const Case cases[] = {
      {ShortFrame(0), 3, {0, 1, 3}},
      {LongFrame(kAddressA, 1), 7, {0, 1, 2, 3, 4, 5, 7}},
      {LongFrame(kAddressA, 3, {9, 9, 9, 9, 9, 9}), 7, {0, 1, 2, 3, 4, 5, 7}},
      {LongFrame(kAddressA, 11, PackedTag("PT-101  ")),
       7,
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
  };
  for (const Case& c : cases) {
    for (std::size_t position = 0; position < c.frame.size(); ++position) {
      for (uint8_t lineError : {uint8_t{0x90}, uint8_t{0xC0}}) {
        SCOPED_TRACE("frame " + Hex(c.frame) + "position " + std::to_string(position));
        LinkHarness h;
        h.EnableDevice(0, kAddressA);
        h.model.Table[0].Texts.Set(13, "TagName", "PT-101");
        auto frame = c.frame;
        frame.back() ^= 0x01;  // not tested once a line error is recorded
        RequestWithErrorAt(h, frame, position, lineError);
        h.Ticks(40);
        const bool addressing =
            std::find(c.addressing.begin(), c.addressing.end(), position) != c.addressing.end();
        if (addressing) {
          EXPECT_TRUE(Ignored(h));
        } else {
          ASSERT_EQ(h.sent.size(), 1u);
          EXPECT_EQ(h.sent[0].tick, 2);
          EXPECT_EQ(ReplyOf(h.sent[0])[c.countPos + 1], lineError);
          EXPECT_TRUE(h.dispatcher.executed.empty());
        }
      }
    }
  }
}

TEST(FrameReceiver, OverrunBytesInsideAFrameAreDropped) {
  LinkHarness h;
  h.EnableDevice(0);
  h.Read({0xFF, 0xFF, 0xFF, 0x02, 0x80});
  h.Read({0x55}, 0xA0);
  h.Read({0x00, 0x00, 0x82});
  h.Ticks(40);
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{0});
  EXPECT_EQ(h.Lines(LogKind::Received)[0], kStamp + "  <==  FF FF FF 02 80 00 00 82 ");
}

TEST(FrameReceiver, BytesAfterTheChecksumDoNotPreventAcceptance) {
  LinkHarness h;
  h.EnableDevice(0);
  auto bytes = WithPreambles(ShortFrame(0));
  bytes.insert(bytes.end(), {0x12, 0x34, 0x56});
  h.Read(bytes);
  h.Ticks(40);
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{0});
  EXPECT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.Lines(LogKind::Received)[0], kStamp + "  <==  " + Hex(bytes));
}

TEST(FrameReceiver, BytesBeyondTheBufferAreAnsweredAsOverflow) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  auto bytes = WithPreambles(LongFrame(kAddressA, 130, std::vector<uint8_t>(255, 0x33)));
  ASSERT_EQ(bytes.size(), 5u + 264u);
  bytes.insert(bytes.end(), 30, 0x44);
  h.Request(bytes, 0);

  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(ReplyOf(h.sent[0])[8], 0x82);
  EXPECT_TRUE(h.dispatcher.executed.empty());
  // The log shows what was stored: the buffer's 284 bytes behind the five preambles.
  EXPECT_EQ(h.Lines(LogKind::Received)[0], kStamp + "  <==  " + Hex({bytes.data(), 5u + 284u}));
}

TEST(FrameReceiver, TruncatedAndForeignFramesAreIgnored) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  auto truncated = ShortFrame(0, 0, {1, 2, 3});
  truncated.resize(truncated.size() - 2);
  auto slaveReply = LongFrame(kAddressA, 1);
  slaveReply[0] = 0x86;
  slaveReply.back() = FrameChecksum(slaveReply.data(), slaveReply.size() - 1);
  h.Converse(truncated);
  h.Converse(slaveReply);
  h.Converse({0x82, 0xA6, 0x11});
  EXPECT_TRUE(Ignored(h));
  EXPECT_EQ(h.ReceivedFrames(), 3);
}

}  // namespace
}  // namespace qln::test
