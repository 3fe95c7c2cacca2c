// The reply stage: one reply per accepted frame, on time, from the right parked reply, behind the
// right preambles.
#include <gtest/gtest.h>

#include <string>

#include "link_harness.h"

namespace qln::test {
namespace {

constexpr std::array<uint8_t, 5> kAddressA{0x26, 0x11, 0x22, 0x33, 0x44};
const std::string kStamp = "13:45:07.089";

std::vector<uint8_t> WithChecksum(std::vector<uint8_t> frame) {
  frame.push_back(FrameChecksum(frame.data(), frame.size()));
  return frame;
}

std::vector<uint8_t> ReplyOf(const Transmission& sent, std::size_t preambles = 5) {
  return {sent.bytes.begin() + static_cast<std::ptrdiff_t>(preambles), sent.bytes.end()};
}

// Replies with one data byte, the command number, and device status 0x10.
void ReplyWithCommand(CommandExchange& e) {
  e.ResponseCode = 0;
  e.DeviceStatus = 0x10;
  e.ByteCount = 1;
  e.Data[0] = e.Command;
}

TEST(ReplyStage, ReplyIsFramedAndSentAtAReplyWaitExpiry) {
  LinkHarness h;
  h.EnableDevice(3);
  h.dispatcher.execute = [](CommandExchange& e) {
    e.ResponseCode = 0;
    e.DeviceStatus = 0x10;
    e.ByteCount = 2;
    e.Data[0] = 0xFE;
    e.Data[1] = 0x26;
  };
  auto frame = ShortFrame(3);
  frame[1] |= 0x40;  // burst bit
  frame.back() = FrameChecksum(frame.data(), frame.size() - 1);
  h.Converse(frame);

  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].tick, 12);
  EXPECT_EQ(ReplyOf(h.sent[0]), WithChecksum({0x06, 0x83, 0x00, 0x04, 0x00, 0x10, 0xFE, 0x26}));
  EXPECT_EQ(h.link.LastDeviceStatus(), 0x10);
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{0});
}

TEST(ReplyStage, LateReplyLeavesAtTheNextExpiryAndBusyAfterFortyTicks) {
  struct Case {
    int delay;  // command-thread passes, the frame end's own pass first
    int tick;   // of the transmission
    uint8_t responseCode;
  };
  for (const Case c : {Case{1, 12, 0x00}, Case{10, 12, 0x00}, Case{11, 22, 0x00},
                       Case{25, 32, 0x00}, Case{40, 42, 0x00}, Case{41, 42, 0x20}}) {
    SCOPED_TRACE("delay " + std::to_string(c.delay));
    LinkHarness h;
    h.EnableDevice(0, kAddressA);
    h.dispatcher.delay = c.delay;
    h.dispatcher.execute = ReplyWithCommand;
    h.Converse(LongFrame(kAddressA, 1));
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].tick, c.tick);
    EXPECT_EQ(ReplyOf(h.sent[0])[8], c.responseCode);
  }
}

TEST(ReplyStage, RetryOfABusyCommandGetsTheParkedReplyWithoutExecutingAgain) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  h.dispatcher.delay = 41;
  h.dispatcher.execute = ReplyWithCommand;
  h.Converse(LongFrame(kAddressA, 1));
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(ReplyOf(h.sent[0]),
            WithChecksum({0x86, 0xA6, 0x11, 0x22, 0x33, 0x44, 0x01, 0x02, 0x20, 0x20}));
  ASSERT_EQ(h.exchange.LoadState(), ExchangeState::ReplyReady);

  h.dispatcher.delay = 1;
  h.Converse(LongFrame(kAddressA, 1));
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(h.sent[1].tick, h.sent[0].tick + 2);  // at the retry's frame end
  EXPECT_EQ(ReplyOf(h.sent[1]),
            WithChecksum({0x86, 0xA6, 0x11, 0x22, 0x33, 0x44, 0x01, 0x03, 0x00, 0x10, 0x01}));
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{1});
  EXPECT_EQ(h.link.LastDeviceStatus(), 0x10);
}

TEST(ReplyStage, RetryWithAnotherCommandDropsTheParkedReply) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  h.dispatcher.delay = 41;
  h.dispatcher.execute = ReplyWithCommand;
  h.Converse(LongFrame(kAddressA, 1));

  h.dispatcher.delay = 1;
  h.Converse(LongFrame(kAddressA, 2));
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(h.sent[1].tick, h.sent[0].tick + 12);
  EXPECT_EQ(ReplyOf(h.sent[1]),
            WithChecksum({0x86, 0xA6, 0x11, 0x22, 0x33, 0x44, 0x02, 0x03, 0x00, 0x10, 0x02}));
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{1, 2}));
}

TEST(ReplyStage, ParkedErrorReplyIsNotRepeated) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  h.dispatcher.delay = 41;
  h.dispatcher.execute = [](CommandExchange& e) {
    e.ResponseCode = 5;  // too few data bytes
    e.DeviceStatus = 0;
    e.ByteCount = 0;
  };
  h.Converse(LongFrame(kAddressA, 35));
  h.dispatcher.delay = 1;
  h.Converse(LongFrame(kAddressA, 35));
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{35, 35}));
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(h.sent[1].tick, h.sent[0].tick + 12);
  EXPECT_EQ(ReplyOf(h.sent[1])[8], 5);
}

TEST(ReplyStage, PrimaryAndSecondaryMastersHaveTheirOwnParkedReplies) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  int executions = 0;
  h.dispatcher.execute = [&executions](CommandExchange& e) {
    e.ResponseCode = 0;
    e.DeviceStatus = 0;
    e.ByteCount = 2;
    e.Data[0] = e.Master;
    e.Data[1] = static_cast<uint8_t>(++executions);
  };
  h.dispatcher.delay = 41;
  h.Converse(LongFrame(kAddressA, 1, {}, true));  // busy; its reply is finished right after

  h.dispatcher.delay = 1;
  h.Converse(LongFrame(kAddressA, 1, {}, false));
  h.Converse(LongFrame(kAddressA, 1, {}, true));

  ASSERT_EQ(h.sent.size(), 3u);
  EXPECT_EQ(ReplyOf(h.sent[1]),
            WithChecksum({0x86, 0x26, 0x11, 0x22, 0x33, 0x44, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02}));
  EXPECT_EQ(ReplyOf(h.sent[2]),
            WithChecksum({0x86, 0xA6, 0x11, 0x22, 0x33, 0x44, 0x01, 0x04, 0x00, 0x00, 0x01, 0x01}));
  EXPECT_EQ(executions, 2);
}

TEST(ReplyStage, ReplyWaitSendsOnlyTheParkedReplyOfTheCommandBeingAnswered) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  h.dispatcher.execute = ReplyWithCommand;
  // Command 1 gets busy; command 2 follows while the command layer still holds command 1,
  // whose reply arrives during command 2's wait.
  h.dispatcher.delay = 50;
  h.Converse(LongFrame(kAddressA, 1));
  h.Converse(LongFrame(kAddressA, 2));
  ASSERT_EQ(h.dispatcher.executed, std::vector<uint8_t>{1});
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(ReplyOf(h.sent[1]),
            WithChecksum({0x86, 0xA6, 0x11, 0x22, 0x33, 0x44, 0x02, 0x02, 0x20, 0x20}));

  // The retry of command 2 drops command 1's reply and is executed.
  h.dispatcher.delay = 1;
  h.Converse(LongFrame(kAddressA, 2));
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{1, 2}));
  ASSERT_EQ(h.sent.size(), 3u);
  EXPECT_EQ(ReplyOf(h.sent[2])[10], 0x02);
}

// A parked reply belongs to one device: the same command of the same master to another device
// is executed for that device, whether the reply for the first was finished in time or late.
TEST(ReplyStage, AParkedReplyNeverAnswersForAnotherDevice) {
  constexpr std::array<uint8_t, 5> kAddressB{0x26, 0x11, 0x22, 0x33, 0x45};
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  h.EnableDevice(1, kAddressB);
  h.dispatcher.execute = [](CommandExchange& e) {
    e.ResponseCode = 0;
    e.DeviceStatus = 0;
    e.ByteCount = 1;
    e.Data[0] = e.Device;
  };
  // Device 1 asked 50 ms after device 0, while device 0's reply waits for its reply wait.
  h.Request(LongFrame(kAddressA, 1));
  h.Ticks(5);
  h.Converse(LongFrame(kAddressB, 1));
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(ReplyOf(h.sent[0]), WithChecksum({0x86, 0xA6, 0x11, 0x22, 0x33, 0x45, 1, 3, 0, 0, 1}));

  // Device 0 answered busy; its late reply is not given to device 1's request.
  h.dispatcher.delay = 45;
  h.Converse(LongFrame(kAddressA, 1));
  EXPECT_EQ(ReplyOf(h.sent[1])[8], kBusyResponse);
  h.dispatcher.delay = 1;
  h.Converse(LongFrame(kAddressB, 1));
  ASSERT_EQ(h.sent.size(), 3u);
  EXPECT_EQ(ReplyOf(h.sent[2]), WithChecksum({0x86, 0xA6, 0x11, 0x22, 0x33, 0x45, 1, 3, 0, 0, 1}));
}

TEST(ReplyStage, AByteDuringTheWaitAbandonsTheReply) {
  LinkHarness h;
  h.EnableDevice(0);
  h.dispatcher.delay = 5;
  h.Request(ShortFrame(0));
  h.Ticks(3);
  h.Read({0x00});  // the reply is finished in this pass, then the stray byte's frame is ignored
  h.Ticks(40);
  EXPECT_TRUE(h.sent.empty());
  EXPECT_EQ(h.exchange.LoadState(), ExchangeState::Idle);

  h.dispatcher.delay = 1;
  h.Converse(ShortFrame(0));
  EXPECT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{0, 0}));
}

TEST(ReplyStage, AnIgnoredFrameLeavesARequestWithTheCommandLayer) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA);
  h.dispatcher.execute = ReplyWithCommand;
  h.dispatcher.delay = 10;
  h.Request(LongFrame(kAddressA, 1));
  h.Read({0x00});  // a stray byte: the wait is given up, the request stays handed over
  h.Ticks(40);
  EXPECT_TRUE(h.sent.empty());
  ASSERT_EQ(h.dispatcher.executed, std::vector<uint8_t>{1});
  ASSERT_EQ(h.exchange.LoadState(), ExchangeState::ReplyReady);

  // Its reply answers the master's retry without executing the command twice.
  h.Converse(LongFrame(kAddressA, 1));
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(ReplyOf(h.sent[0])[10], 0x01);
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{1});
}

TEST(ReplyStage, ErrorReplyCarriesTheLastDeviceStatus) {
  LinkHarness h;
  h.EnableDevice(0);
  h.dispatcher.execute = [](CommandExchange& e) {
    e.ResponseCode = 0;
    e.DeviceStatus = 0x50;
  };
  h.Converse(ShortFrame(0));
  auto damaged = ShortFrame(0);
  damaged.back() ^= 0xFF;
  h.Converse(damaged);
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(ReplyOf(h.sent[1]), WithChecksum({0x06, 0x80, 0x00, 0x02, 0x88, 0x50}));
}

// What the line carries is what the log shows: the device's preambles, then the frame. The
// preamble marker of old set-ups puts 0x02 0xCF at line positions 2 and 3 (overwritten by the
// frame when fewer than four preambles go first); the log shows them as 0xFF.
TEST(ReplyStage, PreamblesOnTheLineAndInTheLog) {
  const auto reply = WithChecksum({0x06, 0x80, 0x00, 0x02, 0x00, 0x00});
  const auto behind = [&reply](std::vector<uint8_t> head, std::size_t skip) {
    head.insert(head.end(), reply.begin() + static_cast<std::ptrdiff_t>(skip), reply.end());
    return head;
  };
  struct Case {
    bool marker;
    uint32_t preambles;
    std::vector<uint8_t> line;
    std::vector<uint8_t> logged;
  };
  std::vector<uint8_t> many(255, 0xFF);
  std::vector<uint8_t> manyMarked = many;
  manyMarked[2] = 0x02;
  manyMarked[3] = 0xCF;
  const Case cases[] = {
      {false, 5, behind({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0),
       behind({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0)},
      {false, 2, behind({0xFF, 0xFF}, 0), behind({0xFF, 0xFF}, 0)},
      {false, 0, reply, reply},
      {false, 1000, behind(many, 0), behind(many, 0)},
      {true, 5, behind({0xFF, 0xFF, 0x02, 0xCF, 0xFF}, 0),
       behind({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0)},
      {true, 3, behind({0xFF, 0xFF, 0x02}, 0), behind({0xFF, 0xFF, 0xFF, 0xFF}, 1)},
      {true, 2, behind({0xFF, 0xFF}, 0), behind({0xFF, 0xFF, 0xFF, 0xFF}, 2)},
      {true, 0, reply, behind({0x06, 0x80, 0xFF, 0xFF}, 4)},
      {true, 1000, behind(manyMarked, 0), behind(many, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("ResPreableNum " + std::to_string(c.preambles) + (c.marker ? ", marker" : ""));
    LinkHarness h;
    h.EnableDevice(0, {}, c.preambles);
    h.model.System.PreambleMarker = c.marker ? "1" : "";
    h.Converse(ShortFrame(0));
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].bytes, c.line);
    const auto lines = h.Lines(LogKind::Sent);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], kStamp + "  ==>  " + Hex(c.logged));
  }
}

TEST(ReplyStage, SendFrameUsesThePreamblesOfTheAddressedDevice) {
  LinkHarness h;
  h.EnableDevice(7, {}, 4);
  h.Converse(ShortFrame(7));
  const std::vector<uint8_t> burst(35, 0x5A);
  ASSERT_TRUE(h.link.SendFrame(burst));
  ASSERT_TRUE(h.link.TransmitPending());
  EXPECT_EQ(h.link.TransmitImage().size(), 4u + 35u);
  EXPECT_EQ(h.link.TransmitImage()[4], 0x5A);

  h.link.ResetForOpen();
  EXPECT_FALSE(h.link.TransmitPending());
  const std::vector<uint8_t> tooLong(kFrameCapacity + 1, 0x5A);
  EXPECT_FALSE(h.link.SendFrame(tooLong));
  EXPECT_FALSE(h.link.TransmitPending());
}

TEST(ReplyStage, LongestReplyFitsAndIsLoggedWhole) {
  LinkHarness h;
  h.EnableDevice(0, kAddressA, 255);
  h.dispatcher.execute = [](CommandExchange& e) {
    e.ResponseCode = 0;
    e.DeviceStatus = 0;
    e.ByteCount = 255;
    e.Data.fill(0x77);
  };
  h.Converse(LongFrame(kAddressA, 130));
  ASSERT_EQ(h.sent.size(), 1u);
  // Reply data beyond what the count field can announce is left out.
  const auto reply = ReplyOf(h.sent[0], 255);
  ASSERT_EQ(reply.size(), 8u + 2u + kMaxReplyData + 1u);
  EXPECT_EQ(reply[7], 255);
  EXPECT_EQ(reply.back(), FrameChecksum(reply.data(), reply.size() - 1));

  std::vector<uint8_t> logged(255, 0xFF);
  logged.insert(logged.end(), reply.begin(), reply.end());
  const auto lines = h.Lines(LogKind::Sent);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_GT(lines[0].size(), 1023u);
  EXPECT_EQ(lines[0], kStamp + "  ==>  " + Hex(logged));
}

TEST(ReplyStage, OpeningThePortForgetsParkedReplies) {
  LinkHarness h;
  h.EnableDevice(0);
  h.dispatcher.delay = 41;
  h.Converse(ShortFrame(0));
  ASSERT_EQ(h.exchange.LoadState(), ExchangeState::ReplyReady);

  h.link.ResetForOpen();
  EXPECT_EQ(h.exchange.LoadState(), ExchangeState::Idle);
  h.dispatcher.delay = 1;
  h.Converse(ShortFrame(0));
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{0, 0}));
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_EQ(h.sent[1].tick, h.sent[0].tick + 12);
}

}  // namespace
}  // namespace qln::test

namespace qln::test {
namespace {

TEST(ReplyStage, TheRequestKeepsTheDeviceItWasAcceptedFor) {
  LinkHarness h;
  h.EnableDevice(1);
  h.EnableDevice(2);
  h.dispatcher.delay = 1000;  // the command layer is slow
  h.Request(ShortFrame(1));
  ASSERT_EQ(h.exchange.LoadState(), ExchangeState::RequestPending);
  h.Request(ShortFrame(2, 0, {}, false));  // the other master addresses device 2 meanwhile
  EXPECT_EQ(h.link.AddressedDevice(), 2);
  EXPECT_EQ(h.exchange.Device, 1);
}

}  // namespace
}  // namespace qln::test
