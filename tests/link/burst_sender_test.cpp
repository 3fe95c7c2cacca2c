#include "link/burst_sender.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "base/encodings.h"
#include "commands/burst_frames.h"
#include "link_harness.h"
#include "support/temp_dir.h"

namespace qln::test {
namespace {

class BurstSenderTest : public ::testing::Test {
 protected:
  BurstSenderTest() {
    WriteFile(dir / "QLN.ini",
              "[HTDev05_Cmd001]\nPV1Unit=7\nPV1Value=50.0\n"
              "[HTDev05_Cmd003]\nPV1Unit=7\nPV1Value=50.0\nPV2Unit=32\nPV2Value=21.5\n"
              "PV3Unit=39\nPV3Value=12.0\nPV4Unit=57\nPV4Value=50.0\n"
              "[HTDev05_Cmd015]\nRangeUnit=7\nUpRangeValue=100.0\nLoRangeValue=0.0\n");
    store.SetConfigFileFound(true);
    h.clock.milliseconds = 5000;
    state.FixedCurrentMode[5] = false;
    StartBurst(5, {0x26, 0x05, 0x12, 0x34, 0x56}, 1);
  }

  void StartBurst(uint8_t device, const std::array<uint8_t, 5>& address, uint32_t command) {
    std::lock_guard lock(h.model.Lock);
    h.model.Burst.Device = device;
    h.model.Burst.LongAddress = address;
    h.model.Table[device].BurstCmdNo = command;
    h.model.Burst.Enable.store(1);
  }

  std::optional<BurstFrame> Build() {
    std::lock_guard lock(h.model.Lock);
    return BuildBurstFrame(ctx);
  }

  // Burst checks every 10 ms for the given time, the command thread preparing the next frame
  // whenever one has been taken; what went on the line.
  void Run(uint32_t milliseconds) {
    for (uint32_t t = 0; t < milliseconds; t += 10) {
      h.clock.milliseconds += 10;
      if (h.model.Burst.Prepared.Wanted()) h.model.Burst.Prepared.Put(Build());
      burst.BurstCheck();
      if (h.link.TransmitPending()) {
        const auto image = h.link.TransmitImage();
        h.sent.push_back({{image.begin(), image.end()}, h.tick});
        h.link.TransmissionDone();
      }
    }
  }

  TempDir dir;
  FakeNotifier notifier;
  LinkHarness h;
  ConfigStore store{notifier, h.clock, dir.Path()};
  CommandState state;
  CommandContext ctx{h.model, store, h.exchange, state, h.clock, h.counters};
  BurstSender burst{h.model.Burst, h.counters, h.link, h.clock};
};

TEST_F(BurstSenderTest, FrameOfCommandOneCarriesTheBurstDevicesPrimaryVariable) {
  const auto frame = Build();
  ASSERT_TRUE(frame.has_value());
  ASSERT_EQ(frame->length, 16u);
  const uint8_t* f = frame->bytes.data();
  EXPECT_EQ(f[0], 0x81);
  EXPECT_EQ(f[1], 0xE6);  // 0x26 with the burst bit; the sender sets the master bit
  EXPECT_EQ(f[5], 0x56);
  EXPECT_EQ(f[6], 1);
  EXPECT_EQ(f[7], 7);
  EXPECT_EQ(f[8], 0);
  EXPECT_EQ(f[9], 0);
  EXPECT_EQ(f[10], 7);
  EXPECT_EQ(DecodeFloat(f + 11), 50.0f);
  EXPECT_EQ(f[15], FrameChecksum(f, 15));
}

TEST_F(BurstSenderTest, StatusOnlyCommandsAndCommandsWithoutALayout) {
  StartBurst(5, {0x26, 0x05, 0x12, 0x34, 0x56}, 9);
  const auto frame = Build();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->length, 11u);
  EXPECT_EQ(frame->bytes[7], 2);
  StartBurst(5, {0x26, 0x05, 0x12, 0x34, 0x56}, 5);
  EXPECT_FALSE(Build().has_value());
}

TEST_F(BurstSenderTest, FixedCurrentReplacesTheLoopCurrentButNotThePercentOfRange) {
  state.FixedCurrentMode[5] = true;
  state.FixedCurrentValue[5] = 12.0f;
  {
    std::lock_guard lock(h.model.Lock);
    h.model.Table[5].BurstCmdNo = 2;
  }
  const auto frame = Build();
  ASSERT_TRUE(frame.has_value());
  ASSERT_EQ(frame->length, 19u);
  EXPECT_EQ(DecodeFloat(frame->bytes.data() + 10), 12.0f);
  EXPECT_EQ(DecodeFloat(frame->bytes.data() + 14), 50.0f);  // PV 50 of range 0..100
}

TEST_F(BurstSenderTest, CommandThreeUsesTheBurstDevicesRangeAndVariables) {
  {
    std::lock_guard lock(h.model.Lock);
    h.model.Table[5].BurstCmdNo = 3;
    // Another device's range left in the active record.
    h.model.Active.UpRangeValue = 1000.0f;
    h.model.DecodedFor[15] = 2;
  }
  const auto frame = Build();
  ASSERT_TRUE(frame.has_value());
  ASSERT_EQ(frame->length, 35u);
  const uint8_t* d = frame->bytes.data() + 10;
  EXPECT_EQ(DecodeFloat(d), 12.0f);  // 50 % of 4..20 mA
  EXPECT_EQ(d[4], 7);
  EXPECT_EQ(DecodeFloat(d + 5), 50.0f);
  EXPECT_EQ(d[9], 32);
  EXPECT_EQ(DecodeFloat(d + 10), 21.5f);
  EXPECT_EQ(d[19], 57);
}

TEST_F(BurstSenderTest, SendsAboutOnceASecondWithAlternatingMasterBit) {
  Run(3500);
  ASSERT_EQ(h.sent.size(), 4u);  // at once, then after each further 1000 ms
  EXPECT_EQ(h.counters.BurstFrameCount.load(), 4);
  for (std::size_t i = 0; i < h.sent.size(); ++i) {
    const std::vector<uint8_t>& line = h.sent[i].bytes;
    EXPECT_EQ(line[5 + 1], i % 2 == 0 ? 0x66 : 0xE6);  // the master bit alternates, from 0
    EXPECT_EQ(line.back(), FrameChecksum(line.data() + 5, line.size() - 6));
  }
  // Sent behind the preambles of the addressed device, and logged like a reply.
  EXPECT_EQ(h.sent[0].bytes.size(), 5u + 16u);
  EXPECT_EQ(h.log.TakeAll().size(), 4u);
}

// Two messages of the burst device, every 500 ms and every 1000 ms: each goes out at its own
// period, one frame a pass; when both are due the longer overdue goes first, the other a pass
// later.
TEST_F(BurstSenderTest, TwoMessagesGoOutEachAtItsOwnPeriod) {
  const std::optional<BurstFrame> fast = Build();
  ASSERT_TRUE(fast.has_value());
  std::optional<BurstFrame> slow = fast;
  slow->bytes[6] = 2;                       // told apart on the line by the command byte
  std::map<int, std::vector<uint32_t>> at;  // command: when it went
  for (uint32_t t = 0; t < 3000; t += 10) {
    h.clock.milliseconds += 10;
    const uint8_t wanted = h.model.Burst.Prepared.WantedMessages();
    if ((wanted & 1) != 0) h.model.Burst.Prepared.Put(0, fast, 500);
    if ((wanted & 2) != 0) h.model.Burst.Prepared.Put(1, slow, 1000);
    burst.BurstCheck();
    if (h.link.TransmitPending()) {
      const auto image = h.link.TransmitImage();
      at[image[5 + 6]].push_back(h.clock.milliseconds);
      h.link.TransmissionDone();
    }
  }
  ASSERT_EQ(at[1].size(), 6u);
  ASSERT_EQ(at[2].size(), 3u);
  EXPECT_EQ(at[2][0], at[1][0] + 10);  // both due at once: message 0 first
  for (const auto& [command, times] : at) {
    const uint32_t period = command == 1 ? 500 : 1000;
    for (std::size_t i = 1; i < times.size(); ++i) {
      SCOPED_TRACE(command);
      EXPECT_GT(times[i] - times[i - 1], period);
      EXPECT_LE(times[i] - times[i - 1], period + 20);
    }
  }
  EXPECT_EQ(h.counters.BurstFrameCount.load(), 9);
}

TEST_F(BurstSenderTest, ReceptionHoldsBurstsBackAndOffStopsThem) {
  const uint8_t noise[] = {0x00};
  h.link.Receive(noise, 0);  // a reception is in progress
  Run(2000);
  EXPECT_TRUE(h.sent.empty());
  h.link.TransmissionDone();  // the reception ended with a transmission
  Run(20);
  EXPECT_EQ(h.sent.size(), 1u);
  // A port closed while a reception was in progress and opened again does not hold bursts back.
  h.link.Receive(noise, 0);
  h.link.ResetForOpen();
  Run(1000);
  EXPECT_EQ(h.sent.size(), 2u);
  h.model.Burst.Enable.store(0);
  Run(3000);
  EXPECT_EQ(h.sent.size(), 2u);
}

}  // namespace
}  // namespace qln::test
