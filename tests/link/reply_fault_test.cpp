// Faults the command layer marks on a reply: the link drops it, spoils its checksum or holds it
// for extra reply waits, and never answers a retry with a fault reply a second time.
#include <gtest/gtest.h>

#include <string>

#include "link_harness.h"

namespace qln::test {
namespace {

constexpr std::array<uint8_t, 5> kAddress{0x26, 0x05, 0x12, 0x34, 0x02};

// Command 1 to the device at kAddress (short frames carry command 0 only).
std::vector<uint8_t> Read1() { return LongFrame(kAddress, 1); }

std::vector<uint8_t> ReplyOf(const Transmission& sent) {
  return {sent.bytes.begin() + 5, sent.bytes.end()};
}

bool ChecksumOk(const std::vector<uint8_t>& frame) {
  return FrameChecksum(frame.data(), frame.size() - 1) == frame.back();
}

// The dispatcher's reply to command 1: one data byte, marked with the fault.
auto Marked(ReplyFault fault, uint8_t delayPeriods = 0) {
  return [fault, delayPeriods](CommandExchange& e) {
    e.ResponseCode = 0;
    e.DeviceStatus = 0x10;
    e.ByteCount = 1;
    e.Data[0] = 0x5A;
    e.Fault = fault;
    e.DelayPeriods = delayPeriods;
  };
}

TEST(ReplyFault, DroppedReplyIsSilenceWithoutBusyAndBurstsMayGoAgain) {
  LinkHarness h;
  h.EnableDevice(2, kAddress);
  h.dispatcher.execute = Marked(ReplyFault::Drop, 3);  // a delay does not revive it
  h.Request(Read1());
  EXPECT_TRUE(h.link.ReceptionActive());
  h.Ticks(80);
  EXPECT_TRUE(h.sent.empty());
  EXPECT_FALSE(h.link.ReceptionActive());
  EXPECT_TRUE(h.Lines(LogKind::Sent).empty());
  EXPECT_EQ(h.Lines(LogKind::Received).size(), 1u);

  // The next request (a retry of the same command) is executed anew and answered.
  h.dispatcher.execute = Marked(ReplyFault::None);
  h.Converse(Read1());
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].tick, 82 + 12);
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{1, 1}));
}

TEST(ReplyFault, SpoiledChecksumGoesOutAndIsLoggedAsSentThenTheNextReplyIsSound) {
  LinkHarness h;
  h.EnableDevice(2, kAddress);
  h.dispatcher.execute = Marked(ReplyFault::BadChecksum);
  h.Converse(Read1());
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].tick, 12);  // on time, like any reply
  const std::vector<uint8_t> spoiled = ReplyOf(h.sent[0]);
  EXPECT_FALSE(ChecksumOk(spoiled));
  EXPECT_EQ(spoiled.back(), FrameChecksum(spoiled.data(), spoiled.size() - 1) ^ 0xFF);
  EXPECT_EQ(spoiled[10], 0x5A);  // the data of the executed command
  EXPECT_TRUE(h.link.TransmitChecksumSpoiled());
  const std::vector<std::string> sentLines = h.Lines(LogKind::Sent);
  ASSERT_EQ(sentLines.size(), 1u);
  EXPECT_TRUE(sentLines[0].ends_with(Hex(h.sent[0].bytes))) << sentLines[0];

  h.dispatcher.execute = Marked(ReplyFault::None);
  h.Converse(Read1());
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_TRUE(ChecksumOk(ReplyOf(h.sent[1])));
  EXPECT_FALSE(h.link.TransmitChecksumSpoiled());
}

TEST(ReplyFault, DelayedReplyLeavesWholeReplyWaitsLaterAndNeverAsBusy) {
  struct Case {
    int dispatcherDelay;  // command-thread passes
    uint8_t periods;
    int tick;
    uint8_t responseCode;
  };
  // Ready at the first wait: 12, plus 10 per period, also past the 40-tick busy deadline. Ready
  // at the third wait: 32 plus the periods. Not ready within 40 ticks: the busy reply, on time.
  for (const Case c :
       {Case{1, 1, 22, 0x00}, Case{1, 5, 62, 0x00}, Case{25, 2, 52, 0x00}, Case{41, 2, 42, 0x20}}) {
    SCOPED_TRACE("delay " + std::to_string(c.dispatcherDelay) + " periods " +
                 std::to_string(c.periods));
    LinkHarness h;
    h.EnableDevice(0, kAddress);
    h.dispatcher.delay = c.dispatcherDelay;
    h.dispatcher.execute = Marked(ReplyFault::None, c.periods);
    h.Request(Read1());
    h.Ticks(100);
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].tick, c.tick);
    EXPECT_EQ(ReplyOf(h.sent[0])[8], c.responseCode);
  }
}

TEST(ReplyFault, HeldReplyAnswersARetryThatCameMeanwhileAfterTheRestOfItsDelay) {
  LinkHarness h;
  h.EnableDevice(0, kAddress);
  h.dispatcher.execute = Marked(ReplyFault::None, 3);
  h.Request(Read1());
  h.Ticks(15);  // ready at tick 12, held: one period used
  EXPECT_TRUE(h.sent.empty());
  h.Request(Read1());  // the master retries: the wait is abandoned
  h.Ticks(40);
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].tick, 19 + 20);  // the two periods left, from the retry's frame end
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{1});
}

TEST(ReplyFault, LateFaultReplyAnswersOneRetryOnlyAndIsNeverSentTwice) {
  LinkHarness h;
  h.EnableDevice(0, kAddress);
  h.dispatcher.delay = 41;  // later than the busy deadline
  h.dispatcher.execute = Marked(ReplyFault::BadChecksum);
  h.Converse(Read1());
  h.Ticks(5);
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(ReplyOf(h.sent[0])[8], 0x20);  // the link's own busy reply, sound
  EXPECT_TRUE(ChecksumOk(ReplyOf(h.sent[0])));

  // The retry gets the parked reply with its fault, at once, without executing again.
  h.dispatcher.delay = 1;
  h.dispatcher.execute = Marked(ReplyFault::None);
  h.Converse(Read1());
  ASSERT_EQ(h.sent.size(), 2u);
  EXPECT_FALSE(ChecksumOk(ReplyOf(h.sent[1])));
  EXPECT_EQ(h.dispatcher.executed, std::vector<uint8_t>{1});

  // A second retry is executed anew: the fault reply is gone from the slot.
  h.Converse(Read1());
  ASSERT_EQ(h.sent.size(), 3u);
  EXPECT_TRUE(ChecksumOk(ReplyOf(h.sent[2])));
  EXPECT_EQ(h.dispatcher.executed, (std::vector<uint8_t>{1, 1}));
}

TEST(ReplyFault, ACommandLayerThatMarksNothingInheritsNoEarlierFault) {
  LinkHarness h;
  h.EnableDevice(0, kAddress);
  h.dispatcher.execute = Marked(ReplyFault::Drop, 4);
  h.Converse(Read1());
  EXPECT_TRUE(h.sent.empty());
  // A dispatcher that leaves the fault fields alone: the hand-over has cleared them.
  h.dispatcher.execute = [](CommandExchange& e) {
    e.ResponseCode = 0;
    e.ByteCount = 0;
  };
  h.Converse(Read1());
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].tick, 42 + 12);
}

}  // namespace
}  // namespace qln::test
