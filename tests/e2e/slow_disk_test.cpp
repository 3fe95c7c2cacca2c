// A disk that takes seconds to write (an SD card, a network mount) never costs the running
// program the line: while a write holds the command thread, the master gets the busy reply and
// the burst device keeps sending; once the write is done, the retry gets the real reply from its
// slot and the file holds the write. The timing of the busy reply and of the bursts is the
// link's, shown by ticks and an injected clock in tests/link/line_timing_test.cpp; here the write
// lasts until the test has seen what it waits for, so a loaded machine only makes it longer.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/encodings.h"
#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

// Holds every write to the file while it is closed. A write waits at most a minute, so that a
// failed test cannot hang the program's threads.
class DiskGate {
 public:
  void Write() {
    std::unique_lock lock(mutex_);
    ++writes_;
    changed_.notify_all();
    changed_.wait_for(lock, 60s, [this] { return open_; });
  }
  void Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // Waits until a write has come to the gate since it was closed.
  bool WaitForWrite(int writesBefore, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return writes_ > writesBefore; });
  }
  int Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int writes_ = 0;
};

using SlowDisk = SimulatorOnPty;

TEST_F(SlowDisk, BusyReplyAndBurstsGoOnWhileAWriteHangsAndTheRetryGetsTheLateReply) {
  Configure("HTDev00_Cmd109", "BurstMode", "1");  // device 0 bursts its command 1
  // Shared with the hook, which the simulator keeps; opened again whatever the test's outcome.
  const auto gate = std::make_shared<DiskGate>();
  simulator_.SetDiskHook([gate](ProfileFile::DiskOperation operation) {
    if (operation == ProfileFile::DiskOperation::Write) gate->Write();
  });
  struct OpenAtEnd {
    DiskGate& gate;
    ~OpenAtEnd() { gate.Open(); }
  } openAtEnd{*gate};
  Start();
  const std::array<uint8_t, 5> address = LongAddress(2);

  std::vector<uint8_t> message(24);
  std::size_t packed = 0;
  PackAscii("A                               ", message.data(), &packed);
  const std::vector<uint8_t> request = LongFrame(address, 17, message);
  // The master talks right after a burst frame, when the line is its own.
  std::optional<SlaveFrame> frame;
  while (!(frame = master_->ReadFrame(5s)) || !frame->IsBurst()) ASSERT_TRUE(frame);
  HartMaster::WaitUntilSent(*frame);

  const int writesBefore = gate->Writes();
  gate->Close();
  master_->Send(WithPreambles(request, 5));
  ASSERT_TRUE(gate->WaitForWrite(writesBefore, 10s)) << "the write never reached the disk";
  const uint16_t executed = simulator_.State().ExecutedCommandCount.load();

  // While the write hangs: the busy reply, and burst frames after it.
  std::optional<SlaveFrame> busy;
  int burstsAfterBusy = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while ((!busy || burstsAfterBusy < 2) && std::chrono::steady_clock::now() < deadline) {
    frame = master_->ReadFrame(500ms);
    if (!frame) continue;
    if (frame->IsBurst()) {
      EXPECT_EQ(frame->bytes[6], 1);
      EXPECT_EQ(frame->bytes[10], 32) << "device 0's unit";
      EXPECT_FLOAT_EQ(DecodeFloat(frame->bytes.data() + 11), 25.0f) << "device 0's value";
      EXPECT_TRUE(frame->ChecksumOk());
      burstsAfterBusy += busy ? 1 : 0;
    } else {
      EXPECT_FALSE(busy) << "one reply to one request";
      busy = frame;
    }
    HartMaster::WaitUntilSent(*frame);
  }
  ASSERT_TRUE(busy) << "no reply while the write hangs";
  EXPECT_EQ(busy->Command(), 17);
  EXPECT_EQ(busy->ResponseCode(), 32);
  EXPECT_TRUE(busy->Data().empty());
  EXPECT_GE(burstsAfterBusy, 2) << "bursts go on while the disk is busy";
  EXPECT_EQ(gate->Writes(), writesBefore + 1) << "still the first write";

  // The disk takes the write: the master retries while the reply is busy, as masters do, and
  // gets the real reply from the slot without a second execution.
  gate->Open();
  std::optional<SlaveFrame> retried;
  for (int attempt = 0; attempt < 20; ++attempt) {
    retried = master_->Transact(request);
    if (!retried || retried->ResponseCode() != 32) break;
  }
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->ResponseCode(), 0);
  EXPECT_EQ(retried->Data(), message);
  EXPECT_EQ(simulator_.State().ExecutedCommandCount.load(), executed) << "answered from the slot";
  EXPECT_TRUE(Eventually([&] { return Stored("HTDev02_Cmd012", "Message") == "A"; }))
      << Stored("HTDev02_Cmd012", "Message") << "; problems: " << recorder_.Problems().size();
}

}  // namespace
}  // namespace qln::test
