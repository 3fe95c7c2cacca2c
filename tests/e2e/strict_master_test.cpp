// HART masters that nobody here wrote: a strict receiver reads every kind of reply the simulator
// sends (every universal command a device answers, a communication-error reply, burst frames)
// behind two or five preambles, and each frame it reads is the frame the traffic log shows.
#include "e2e/strict_master.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/encodings.h"
#include "device/text_values.h"
#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> Packed(std::string text, std::size_t characters) {
  text.resize(characters, ' ');
  std::vector<uint8_t> bytes(characters * 3 / 4);
  std::size_t count = 0;
  PackAscii(text, bytes.data(), &count);
  return bytes;
}

// The bytes of a traffic log line after its arrow.
std::vector<uint8_t> LoggedBytes(const std::string& line) {
  std::vector<uint8_t> bytes;
  const std::size_t arrow = line.find("  ==>  ");
  for (std::size_t i = arrow + 7; i + 2 <= line.size(); i += 3) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

class StrictMaster : public SimulatorOnPty, public ::testing::WithParamInterface<unsigned> {
 protected:
  // Sends the request and keeps what the line carries until a reply has come and has had its
  // time on the wire (or, when none comes, for a time that only a failing test reaches).
  void Ask(const std::vector<uint8_t>& frame) {
    master_->Send(WithPreambles(frame, 5));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<uint8_t> got;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::vector<uint8_t> more = master_->ReadFor(20ms);
      got.insert(got.end(), more.begin(), more.end());
      bool replied = false;
      for (const auto& f : DecodeStrictly(got, 2).frames) replied |= (f[0] & 0x07) == 0x06;
      if (replied && more.empty()) break;
    }
    line_.insert(line_.end(), got.begin(), got.end());
    std::this_thread::sleep_for(WireTime(got.size()));
  }

  std::vector<uint8_t> line_;            // everything the master received, in order
  std::atomic<bool> slowWrites_{false};  // each write to the file takes 600 ms
  std::atomic<int> writesDone_{0};       // writes to the file that have ended
};

TEST_P(StrictMaster, ReadsEveryReplyAndBurstFrameAsTheLogShowsIt) {
  const unsigned preambles = GetParam();
  for (const char* section : {"HTDev00_Cmd059", "HTDev01_Cmd059"}) {
    Configure(section, "ResPreableNum", std::to_string(preambles));
  }
  simulator_.SetDiskHook([this](ProfileFile::DiskOperation operation) {
    if (operation != ProfileFile::DiskOperation::Write) return;
    if (slowWrites_) std::this_thread::sleep_for(600ms);
    ++writesDone_;
  });
  Start();
  const std::array<uint8_t, 5> a = LongAddress(1);
  std::vector<uint8_t> longTag;
  for (int i = 1; i <= 32; ++i) {
    longTag.push_back(static_cast<uint8_t>(
        ParseUnsigned(Stored("HTDev01_Cmd020", "LongTag" + std::to_string(i)))));
  }
  const std::vector<uint8_t> tag = Packed(Stored("HTDev01_Cmd013", "TagName"), 8);
  std::vector<uint8_t> tagDescriptorDate = tag;
  const std::vector<uint8_t> descriptor = Packed("STRICT MASTER", 16);
  tagDescriptorDate.insert(tagDescriptorDate.end(), descriptor.begin(), descriptor.end());
  tagDescriptorDate.insert(tagDescriptorDate.end(), {8, 12, 126});
  std::vector<uint8_t> damaged = LongFrame(a, 1);
  damaged.back() ^= 0x21;

  const std::vector<uint8_t> message = LongFrame(a, 17, Packed("READ BY A STRICT MASTER", 32));
  std::vector<std::vector<uint8_t>> requests = {LongFrame(a, 0),
                                                LongFrame(a, 1),
                                                LongFrame(a, 2),
                                                LongFrame(a, 3),
                                                LongFrame(a, 7),
                                                LongFrame(a, 8),
                                                LongFrame(a, 9, {0, 1, 245}),
                                                LongFrame(a, 11, tag),
                                                LongFrame(a, 12),
                                                LongFrame(a, 13),
                                                LongFrame(a, 14),
                                                LongFrame(a, 15),
                                                LongFrame(a, 16),
                                                LongFrame(a, 18, tagDescriptorDate),
                                                LongFrame(a, 19, {0, 1, 2}),
                                                LongFrame(a, 20),
                                                LongFrame({0, 0, 0, 0, 0}, 21, longTag),
                                                LongFrame(a, 22, longTag),
                                                LongFrame(a, 38),
                                                LongFrame(a, 48),
                                                damaged};
  std::vector<uint8_t> expectedCodes(requests.size(), 0);
  expectedCodes.back() = 0x88;
  for (const auto& request : requests) Ask(request);
  // A write that takes longer than the reply waits: busy, then the real reply to the retry, made
  // once the message and the change counter are in the file.
  const int writesBefore = writesDone_;
  slowWrites_ = true;
  Ask(message);
  slowWrites_ = false;
  ASSERT_TRUE(Eventually([&] { return writesDone_ >= writesBefore + 2; }));
  Ask(message);
  Ask(LongFrame(a, 109, {1}));
  requests.insert(requests.end(), {message, message, LongFrame(a, 109, {1})});
  expectedCodes.insert(expectedCodes.end(), {32, 0, 0});
  // A burst frame of device 1, behind the preambles of the device addressed last; the next one
  // is a second away when the simulator is closed.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  const auto burstRead = [this] {
    const std::vector<std::vector<uint8_t>> frames = DecodeStrictly(line_, 2).frames;
    return !frames.empty() && frames.back()[0] == 0x81;
  };
  while (!burstRead() && std::chrono::steady_clock::now() < deadline) {
    const std::vector<uint8_t> more = master_->ReadFor(20ms);
    line_.insert(line_.end(), more.begin(), more.end());
  }
  simulator_.Close();

  std::vector<std::vector<uint8_t>> logged;
  for (const std::string& line : recorder_.Lines()) {
    if (!line.starts_with("S ")) continue;
    std::vector<uint8_t> bytes = LoggedBytes(line);
    ASSERT_GE(bytes.size(), preambles);
    bytes.erase(bytes.begin(), bytes.begin() + preambles);
    logged.push_back(bytes);
  }
  ASSERT_FALSE(logged.empty());
  logged.erase(logged.begin());  // the identification that told the long address
  for (std::size_t minPreambles : {std::size_t{2}, std::size_t{5}}) {
    if (minPreambles > preambles) continue;
    SCOPED_TRACE("at least " + std::to_string(minPreambles) + " preambles");
    const StrictFrames read = DecodeStrictly(line_, minPreambles);
    EXPECT_EQ(read.badFrames, 0u);
    EXPECT_EQ(read.frames, logged);
    ASSERT_GE(read.frames.size(), requests.size() + 1) << "a reply to each request, and a burst";
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const std::vector<uint8_t>& reply = read.frames[i];
      EXPECT_EQ(reply[0], 0x86);
      EXPECT_EQ(reply[6], requests[i][6]) << "the reply to command " << int(requests[i][6]);
      EXPECT_EQ(reply[8], expectedCodes[i]) << int(requests[i][6]);
    }
    EXPECT_EQ(read.frames.back()[0], 0x81);
  }
}

INSTANTIATE_TEST_SUITE_P(Preambles, StrictMaster, ::testing::Values(2u, 5u, 20u));

// The old preamble marker, for converters that expect it: 0x02 0xCF at line positions 2 and 3,
// while the log shows plain preambles.
using EndToEndMarker = SimulatorOnPty;

TEST_F(EndToEndMarker, PreambleMarkerKeyPutsTheOldBytesOnTheLine) {
  Configure("HTDev_Sys", "PreambleMarker", "1");
  Start();
  master_->Send(WithPreambles(ShortFrame(0), 5));
  const std::vector<uint8_t> line = master_->ReadBytes(10, 1s);
  ASSERT_GE(line.size(), 8u);
  EXPECT_EQ(std::vector<uint8_t>(line.begin(), line.begin() + 8),
            (std::vector<uint8_t>{0xFF, 0xFF, 0x02, 0xCF, 0xFF, 0x06, 0x80, 0x00}));
  simulator_.Close();
  const std::vector<std::string> lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("  ==>  FF FF FF FF FF 06 80 00 "), std::string::npos) << lines[1];
}

}  // namespace
}  // namespace qln::test
