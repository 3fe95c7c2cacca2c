#include "base/pcapng_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/capture_format.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace qln {
namespace {

struct CapturedPacket {
  int64_t time = 0;
  std::size_t length = 0;  // of the IPv4 packet
  std::string comment;
};

uint32_t Read32(const std::string& bytes, std::size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}
uint16_t Read16(const std::string& bytes, std::size_t at) {
  uint16_t v = 0;
  std::memcpy(&v, bytes.data() + at, 2);
  return v;
}

// Reads one file block by block, failing the test where a reader would stop: a section header
// first, then the interface, then packets, every block's two lengths equal and 4-aligned and the
// blocks filling the file exactly.
std::vector<CapturedPacket> ParseFile(const std::filesystem::path& path) {
  SCOPED_TRACE(path.string());
  const std::string bytes = test::ReadFile(path);
  std::vector<CapturedPacket> packets;
  std::size_t at = 0;
  for (int block = 0; at < bytes.size(); ++block) {
    EXPECT_LE(at + 12, bytes.size()) << "block " << block << " cut short";
    if (at + 12 > bytes.size()) break;
    const uint32_t type = Read32(bytes, at);
    const uint32_t length = Read32(bytes, at + 4);
    EXPECT_EQ(length % 4, 0u);
    EXPECT_LE(at + length, bytes.size()) << "block " << block << " runs past the end";
    if (length < 12 || length % 4 != 0 || at + length > bytes.size()) break;
    EXPECT_EQ(Read32(bytes, at + length - 4), length) << "block " << block;
    if (block == 0) {
      EXPECT_EQ(type, 0x0A0D0D0Au);
      EXPECT_EQ(Read32(bytes, at + 8), 0x1A2B3C4Du);
    } else if (block == 1) {
      EXPECT_EQ(type, 1u);
      EXPECT_EQ(Read16(bytes, at + 8), kCaptureLinkType);
    } else {
      EXPECT_EQ(type, 6u);
      CapturedPacket packet;
      packet.time =
          static_cast<int64_t>((uint64_t{Read32(bytes, at + 12)} << 32) | Read32(bytes, at + 16));
      const uint32_t captured = Read32(bytes, at + 20);
      packet.length = Read32(bytes, at + 24);
      EXPECT_EQ(captured, packet.length);
      // Options after the padded packet: a comment, then the end of options.
      std::size_t option = at + 28 + (captured + 3) / 4 * 4;
      if (option < at + length - 4) {
        EXPECT_EQ(Read16(bytes, option), 1u);
        const uint16_t size = Read16(bytes, option + 2);
        packet.comment = bytes.substr(option + 4, size);
        option += 4 + (size + 3u) / 4 * 4;
        EXPECT_EQ(Read32(bytes, option), 0u);
        EXPECT_EQ(option + 4, at + length - 4);
      }
      packets.push_back(packet);
    }
    at += length;
  }
  EXPECT_EQ(at, bytes.size());
  return packets;
}

// Frames through the queued writer with a limit of two plain packets a file: the files rotate
// under the numbered names, each a capture of its own; the comments stay with their frames, and a
// frame too big for the queue is dropped and counted on the next frame written, or reported when
// none follows.
TEST(PcapngCaptureThreaded, RotatesIntoCompleteFilesAndCountsWhatItDrops) {
  test::TempDir dir;
  test::FakeClock clock;
  std::vector<std::string> problems;
  const std::filesystem::path first = dir / "line.pcapng";
  {
    PcapngCapture capture(clock, [&](const std::string& p) { problems.push_back(p); });
    // Section header 28 and interface 20 bytes; a 20-byte frame makes an 88-byte packet block,
    // 108 with a short comment. Room for two of them, not three.
    ASSERT_TRUE(capture.Start(first, 48 + 2 * 110));
    EXPECT_TRUE(capture.Capturing());
    const std::vector<uint8_t> frame(20, 0x82);
    capture.SerialFrame(SerialFrameKind::Request, frame, "line error");
    for (int i = 0; i < 4; ++i) capture.SerialFrame(SerialFrameKind::Response, frame, "");
    const std::vector<uint8_t> huge(PcapngCapture::kQueueBytes + 1, 0);
    capture.HartIp(HartIpFlow{0x7F000001, 40000, 0x7F000001, kHartIpPort, true}, true, huge);
    capture.SerialFrame(SerialFrameKind::Publish, frame, "");
    // Dropped after the last frame: no packet to carry the count, so a problem says it.
    capture.HartIp(HartIpFlow{0x7F000001, 40000, 0x7F000001, kHartIpPort, true}, false, huge);
    EXPECT_EQ(capture.Dropped(), 2u);
    capture.Stop();
    EXPECT_FALSE(capture.Capturing());
  }
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("the last 1 frames were dropped"), std::string::npos) << problems[0];

  const std::vector<std::string> names{"line.pcapng", "line.1.pcapng", "line.2.pcapng",
                                       "line.3.pcapng"};
  const std::vector<std::size_t> perFile{2, 2, 1, 1};
  std::vector<CapturedPacket> all;
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(CaptureFilePath(first, i), dir / names[i]);
    ASSERT_TRUE(std::filesystem::exists(dir / names[i])) << names[i];
    const std::vector<CapturedPacket> packets = ParseFile(dir / names[i]);
    EXPECT_EQ(packets.size(), perFile[i]) << names[i];
    all.insert(all.end(), packets.begin(), packets.end());
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "line.4.pcapng"));

  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(all[0].comment, "line error");
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(all[i].comment, "") << i;
  EXPECT_EQ(all[5].comment, "1 frames dropped before this one: the capture did not keep up");
  for (const CapturedPacket& packet : all) {
    EXPECT_EQ(packet.length, 20u + 8 + 8 + 20);  // frame, HART-IP, UDP and IPv4 headers
    EXPECT_EQ(packet.time, EpochMicroseconds(clock.now));
  }
}

}  // namespace
}  // namespace qln
