// A disk that takes seconds to write (an SD card, a network mount) never costs the line its
// timing: the busy reply leaves 40 ticks after the frame end, a retry gets the real reply from
// its slot once the write is done, and the burst device keeps sending about once a second.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "base/encodings.h"
#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

std::chrono::milliseconds Since(SteadyTime start, SteadyTime end) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(end - start);
}

using SlowDisk = SimulatorOnPty;

TEST_F(SlowDisk, BusyReplyBurstsAndRetryKeepTheirTimingWhileAWriteTakesTwoSeconds) {
  Configure("HTDev15_Cmd109", "BurstMode", "1");  // device 0 bursts its command 1
  Start();
  const std::array<uint8_t, 5> address = LongAddress(2);
  simulator_.SetDiskHook([](ProfileFile::DiskOperation operation) {
    if (operation == ProfileFile::DiskOperation::Write) std::this_thread::sleep_for(2s);
  });

  std::vector<uint8_t> message(24);
  std::size_t packed = 0;
  PackAscii("A                               ", message.data(), &packed);
  std::vector<uint8_t> request = LongFrame(address, 17, message);
  std::optional<SlaveFrame> busy;
  // The master talks right after a burst frame, when the line is its own.
  std::optional<SlaveFrame> burst;
  while (!(burst = master_->ReadFrame(1500ms)) || !burst->IsBurst()) ASSERT_TRUE(burst);
  HartMaster::WaitUntilSent(*burst);
  // The write (and the change counter's, another two seconds) holds the command layer.
  std::vector<SteadyTime> bursts;
  const SteadyTime sent = master_->Send(WithPreambles(request, 5));
  const auto until = sent + 4500ms;
  while (std::chrono::steady_clock::now() < until) {
    std::optional<SlaveFrame> frame = master_->ReadFrame(200ms);
    if (!frame) continue;
    if (frame->IsBurst()) {
      bursts.push_back(frame->firstByte);
      EXPECT_EQ(frame->bytes[6], 1);
      EXPECT_EQ(frame->bytes[10], 32) << "device 0's unit";
      EXPECT_FLOAT_EQ(DecodeFloat(frame->bytes.data() + 11), 25.0f) << "device 0's value";
    } else {
      busy = frame;
    }
    HartMaster::WaitUntilSent(*frame);
  }
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->ResponseCode(), 32);
  // Frame end two ticks after the last byte, then four reply waits of ten ticks.
  EXPECT_GE(Since(sent, busy->firstByte), 400ms);
  EXPECT_LE(Since(sent, busy->firstByte), 480ms);
  ASSERT_GE(bursts.size(), 3u) << "bursts go on while the disk is busy";
  for (std::size_t i = 1; i < bursts.size(); ++i) {
    EXPECT_GE(Since(bursts[i - 1], bursts[i]), 950ms);
    EXPECT_LE(Since(bursts[i - 1], bursts[i]), 1500ms);
  }

  // The write is done: the retry gets the real reply from the slot without a second execution.
  const uint16_t executed = simulator_.State().ExecutedCommandCount.load();
  const auto retried = master_->Transact(request);
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->ResponseCode(), 0);
  EXPECT_EQ(retried->Data(), message);
  EXPECT_EQ(simulator_.State().ExecutedCommandCount.load(), executed) << "answered from the slot";
  // The write has landed (on a loaded machine the change counter's write may still be going).
  EXPECT_TRUE(Eventually([&] { return Stored("HTDev02_Cmd012", "Message") == "A"; }, 5s))
      << Stored("HTDev02_Cmd012", "Message") << "; problems: " << recorder_.Problems().size();
}

}  // namespace
}  // namespace qln::test
