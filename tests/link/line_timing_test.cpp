// The line shared by a bursting device, a master and the real command layer over a QLN.ini, timed
// as the serial worker times it: each pass is 10 ms of the injected clock (the worker's poll
// period), an empty poll is a tick of the link, and the command thread gets its turn after every
// pass unless it is still inside a write to the file. What a master would measure on the line
// (the first reply wait, the busy reply 40 ticks after the frame end, a burst frame about once a
// second) is decided here by ticks and the clock alone.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/encodings.h"
#include "device/profile_file.h"
#include "device/sections.h"
#include "dispatching_link.h"
#include "link/burst_sender.h"

namespace qln::test {
namespace {

constexpr uint32_t kPassMs = 10;
constexpr uint8_t kBurstDevice = 0;
constexpr uint8_t kWriter = 2;
constexpr std::size_t kPreambles = 5;

class LineTiming : public ::testing::Test {
 protected:
  LineTiming() {
    for (uint8_t device : {kBurstDevice, kWriter}) {
      h.EnableDevice(device, h.model.Table[device].LongAddress, kPreambles);
    }
    h.clock.milliseconds = 100'000;
    h.commandThread = [this] {
      RecordSends();
      CommandThreadTurn();
    };
  }

  std::array<uint8_t, 5> Address(uint8_t device) const { return h.model.Table[device].LongAddress; }

  // The simulator's command thread: the pending request, then the next burst frame once the last
  // one has been taken. Inside a write it has no turn: it is the one waiting for the disk.
  void CommandThreadTurn() {
    if (inWrite_) return;
    if (h.exchange.LoadState() == ExchangeState::RequestPending) m.transaction.Execute(h.exchange);
    if (h.model.Burst.Enable.load() != 0) {
      if (const uint8_t wanted = h.model.Burst.Prepared.WantedMessages(); wanted != 0) {
        h.model.Burst.Prepared.Put(m.transaction.BuildBursts(wanted));
      }
    }
  }

  // One pass of the serial worker, 10 ms after the one before. A due burst frame goes out in a
  // pass of its own, since the worker transmits before it reads; bursts go only while the line
  // is quiet, when an empty poll changes nothing, so the harness's empty poll carries it.
  // Otherwise the read returns `bytes`, or nothing (an empty poll). Returns whether it read them.
  bool Pass(const std::vector<uint8_t>& bytes = {}) {
    h.clock.milliseconds += kPassMs;
    const uint16_t burstsBefore = h.counters.BurstFrameCount.load();
    burst.BurstCheck();
    const bool read = !bytes.empty() && h.counters.BurstFrameCount.load() == burstsBefore;
    if (read) {
      h.Read(bytes);
    } else {
      h.Ticks(1);
    }
    RecordSends();
    return read;
  }
  void Poll(int passes) {
    for (int i = 0; i < passes; ++i) Pass();
  }
  // A request from the master, read at the first pass that reads (the bytes wait in the driver
  // while a burst frame goes out); the tick at which it was read.
  int Receive(const std::vector<uint8_t>& frame) {
    while (!Pass(WithPreambles(frame, kPreambles))) {
    }
    return h.tick;
  }
  // The master's request, then 20 passes: where the transmissions after it start in h.sent, and
  // the ticks from the request's read to the first of them (-1 when nothing went).
  struct Answer {
    std::size_t index;
    int ticks;
  };
  Answer Request(const std::vector<uint8_t>& frame) {
    const std::size_t before = h.sent.size();
    const int read = Receive(frame);
    Poll(20);
    return {before, before < h.sent.size() ? h.sent[before].tick - read : -1};
  }
  // Empty polls until a burst frame has gone; its index in h.sent.
  std::size_t PollUntilBurst() {
    const uint16_t before = h.counters.BurstFrameCount.load();
    for (int pass = 0; pass < 300 && h.counters.BurstFrameCount.load() == before; ++pass) Pass();
    EXPECT_NE(h.counters.BurstFrameCount.load(), before) << "no burst frame within 3 s";
    return h.sent.size() - 1;
  }

  // The frame of a transmission, behind its preambles.
  std::vector<uint8_t> FrameOf(std::size_t index) const {
    const std::vector<uint8_t>& bytes = h.sent.at(index).bytes;
    return {bytes.begin() + kPreambles, bytes.end()};
  }
  bool IsBurst(std::size_t index) const { return (FrameOf(index)[0] & 0x07) == 0x01; }

  // Device 0 bursts its command 1 from now on, as a master's command 109 turns it on.
  void TurnBurstModeOn() {
    Receive(LongFrame(Address(kBurstDevice), 109, {1}));
    Poll(20);
    ASSERT_FALSE(h.sent.empty());
    ASSERT_EQ(FrameOf(h.sent.size() - 1)[8], 0) << "command 109 refused";
  }

  // Every write to the file lasts this many passes of the line.
  void MakeWritesLast(int passes) {
    m.store.SetDiskHook([this, passes](ProfileFile::DiskOperation operation) {
      if (operation != ProfileFile::DiskOperation::Write) return;
      inWrite_ = true;
      Poll(passes);
      inWrite_ = false;
      ++writes;
      lastWriteEnd = h.clock.milliseconds;
    });
  }

  // When each transmission in h.sent went, by the clock.
  void RecordSends() {
    while (sentAt.size() < h.sent.size()) sentAt.push_back(h.clock.milliseconds);
  }

  // Checks a burst frame of device 0's command 1 (unit and value as the file holds them).
  void ExpectDeviceZeroBurst(std::size_t index) const {
    const std::vector<uint8_t> frame = FrameOf(index);
    ASSERT_EQ(frame.size(), 16u);
    EXPECT_EQ(frame[0], 0x81);
    const std::array<uint8_t, 5> address = Address(kBurstDevice);
    EXPECT_EQ(frame[1] & 0x3F, address[0] & 0x3F);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 2, frame.begin() + 6),
              std::vector<uint8_t>(address.begin() + 1, address.end()));
    EXPECT_EQ(frame[6], 1);
    EXPECT_EQ(frame[10], 32);
    EXPECT_FLOAT_EQ(DecodeFloat(frame.data() + 11), 25.0f);
    EXPECT_EQ(frame.back(), FrameChecksum(frame.data(), frame.size() - 1));
  }

  DispatchingLink m;
  LinkHarness& h = m.link;
  BurstSender burst{h.model.Burst, h.counters, h.link, h.clock};
  std::vector<uint32_t> sentAt;  // parallel to h.sent
  int writes = 0;                // to the file, since MakeWritesLast
  uint32_t lastWriteEnd = 0;     // by the clock
  bool inWrite_ = false;
};

// A master that talks right after each burst frame gets every reply at the first reply wait,
// since the command layer answers in the pass that sees the request; the bursts keep their second.
// A request that comes just before a burst is due holds the burst back until its reply has gone.
TEST_F(LineTiming, RepliesLeaveAtTheFirstReplyWaitAndBurstsComeAboutOnceASecond) {
  ASSERT_TRUE(m.loaded);
  TurnBurstModeOn();
  std::size_t last = PollUntilBurst();
  ExpectDeviceZeroBurst(last);

  const std::vector<std::vector<uint8_t>> requests = {
      ShortFrame(kWriter), LongFrame(Address(kWriter), 1), LongFrame(Address(kWriter), 3),
      LongFrame(Address(kBurstDevice), 1), ShortFrame(kBurstDevice)};
  std::vector<std::size_t> bursts{last};
  for (const std::vector<uint8_t>& request : requests) {
    SCOPED_TRACE("command " + std::to_string(request[0] == 0x02 ? 0 : request[6]));
    const Answer answer = Request(request);
    ASSERT_EQ(h.sent.size(), answer.index + 1);
    // The frame ends at the second empty poll; the reply leaves when the first reply wait of 10
    // ticks expires.
    EXPECT_EQ(answer.ticks, 12);
    const std::vector<uint8_t> reply = FrameOf(answer.index);
    EXPECT_EQ(reply[0] & 0x07, 0x06);
    EXPECT_EQ(reply[(reply[0] & 0x80) != 0 ? 8 : 4], 0) << "response code";
    bursts.push_back(PollUntilBurst());
  }
  for (std::size_t i = 1; i < bursts.size(); ++i) {
    ExpectDeviceZeroBurst(bursts[i]);
    // The first pass more than a second after the last burst frame.
    EXPECT_GT(sentAt[bursts[i]] - sentAt[bursts[i - 1]], 1000u);
    EXPECT_LE(sentAt[bursts[i]] - sentAt[bursts[i - 1]], 1000u + kPassMs);
  }

  // The master talks 950 ms after a burst: the next burst falls due during the reply wait and
  // follows in the pass after the reply.
  const uint32_t lastBurst = sentAt[bursts.back()];
  while (h.clock.milliseconds < lastBurst + 950) Pass();
  const Answer answer = Request(LongFrame(Address(kWriter), 1));
  const std::size_t before = answer.index;
  ASSERT_EQ(h.sent.size(), before + 2);
  EXPECT_EQ(answer.ticks, 12) << "the due burst does not delay the reply";
  EXPECT_EQ(FrameOf(before)[0], 0x86);
  EXPECT_TRUE(IsBurst(before + 1));
  EXPECT_GT(sentAt[before], lastBurst + 1000);
  EXPECT_EQ(sentAt[before + 1], sentAt[before] + kPassMs);
}

// A write to a file that takes two seconds of the line, twice (the message, then the change
// counter), holds the command layer for four: the master gets the busy reply 40 ticks after its
// frame end, the burst device keeps sending its last frame about once a second, and the master's
// retry after the write gets the real reply from its slot without a second execution.
TEST_F(LineTiming, AWriteThatOutlastsTheReplyWaitsIsBusyWhileBurstsGoOnAndTheRetryGetsItsReply) {
  ASSERT_TRUE(m.loaded);
  TurnBurstModeOn();
  PollUntilBurst();
  MakeWritesLast(200);

  std::vector<uint8_t> message(24);
  std::size_t packed = 0;
  PackAscii(std::string("A") + std::string(31, ' '), message.data(), &packed);
  const std::vector<uint8_t> request = LongFrame(Address(kWriter), 17, message);
  const uint16_t executedBefore = m.state.ExecutedCommandCount.load();
  const std::size_t before = h.sent.size();
  const int read = Receive(request);
  Poll(2);  // the frame end: the command thread executes the request, in the writes meanwhile
  EXPECT_EQ(writes, 2);
  EXPECT_EQ(m.state.ExecutedCommandCount.load(), executedBefore + 1);
  EXPECT_EQ(h.exchange.LoadState(), ExchangeState::ReplyReady) << "the reply, once written";

  ASSERT_GT(h.sent.size(), before);
  const std::vector<uint8_t> busy = FrameOf(before);
  EXPECT_EQ(h.sent[before].tick - read, 42) << "frame end at 2 ticks, then four reply waits";
  EXPECT_EQ(busy[0], 0x86);
  EXPECT_EQ(busy[6], 17);
  EXPECT_EQ(busy[7], 2) << "status bytes only";
  EXPECT_EQ(busy[8], kBusyResponse);

  // Everything else on the line while the writes lasted: burst frames, the last one prepared
  // before them sent again and again.
  std::vector<std::size_t> bursts;
  for (std::size_t i = before + 1; i < h.sent.size(); ++i) {
    ASSERT_TRUE(IsBurst(i)) << "transmission " << i;
    EXPECT_LE(sentAt[i], lastWriteEnd);
    bursts.push_back(i);
  }
  ASSERT_EQ(bursts.size(), 3u) << "1010, 2020 and 3030 ms after the one before the request";
  for (std::size_t i = 0; i < bursts.size(); ++i) {
    ExpectDeviceZeroBurst(bursts[i]);
    if (i == 0) continue;
    EXPECT_GT(sentAt[bursts[i]] - sentAt[bursts[i - 1]], 1000u);
    EXPECT_LE(sentAt[bursts[i]] - sentAt[bursts[i - 1]], 1000u + kPassMs);
  }

  // The master retries right after the next burst frame: the parked reply, at the frame end.
  PollUntilBurst();
  const Answer retried = Request(request);
  ASSERT_EQ(h.sent.size(), retried.index + 1);
  EXPECT_EQ(retried.ticks, 2);
  const std::vector<uint8_t> reply = FrameOf(retried.index);
  EXPECT_EQ(reply[8], 0);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 10, reply.end() - 1), message);
  EXPECT_EQ(m.state.ExecutedCommandCount.load(), executedBefore + 1) << "answered from the slot";
  EXPECT_EQ(m.store.Snapshot()->Read("HTDev02_Cmd012", "Message"), "A");
}

// Device 0 in HART 7 mode with two burst messages, command 1 every 0.5 s and command 2 once a
// second: each keeps its own period on the line, and a master that talks right after a burst
// still gets its reply at the first reply wait.
TEST_F(LineTiming, TwoBurstMessagesOfOneDeviceKeepTheirPeriods) {
  ASSERT_TRUE(m.loaded);
  ProfileFile file(m.dir.Path() / "QLN.ini");
  ASSERT_TRUE(file.Write(SectionName(0, kBurstDevice), "UnivCmdRev", "7"));
  ASSERT_TRUE(file.Write("HTDev00_Burst0", "UpdatePeriodMs", "500"));
  ASSERT_TRUE(file.Write("HTDev00_Burst1", "Command", "2"));
  for (const uint8_t message : {0, 1}) {
    Receive(LongFrame(Address(kBurstDevice), 109, {1, message}));
    Poll(20);
    ASSERT_EQ(FrameOf(h.sent.size() - 1)[8], 0) << "command 109 refused";
  }
  PollUntilBurst();
  EXPECT_EQ(Request(LongFrame(Address(kWriter), 1)).ticks, 12);

  const std::size_t start = h.sent.size();
  const uint32_t end = h.clock.milliseconds + 3000;
  while (h.clock.milliseconds < end) Pass();
  std::map<uint8_t, std::vector<uint32_t>> at;  // command: when its frames went
  for (std::size_t i = start; i < h.sent.size(); ++i) {
    ASSERT_TRUE(IsBurst(i));
    at[FrameOf(i)[6]].push_back(sentAt[i]);
  }
  ASSERT_EQ(at.size(), 2u);
  EXPECT_GE(at[1].size(), 5u);
  EXPECT_GE(at[2].size(), 2u);
  for (const auto& [command, times] : at) {
    SCOPED_TRACE(int{command});
    const uint32_t period = command == 1 ? 500 : 1000;
    for (std::size_t i = 1; i < times.size(); ++i) {
      EXPECT_GT(times[i] - times[i - 1], period);
      EXPECT_LE(times[i] - times[i - 1], period + 2 * kPassMs);
    }
  }
}

}  // namespace
}  // namespace qln::test
