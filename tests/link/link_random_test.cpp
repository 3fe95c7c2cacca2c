// Arbitrary traffic: whatever bytes, line errors and silences arrive, and however late the
// command layer answers, every transmission stays inside the TransmitImage, is a well-formed
// reply, and no frame is answered twice.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "link_harness.h"

namespace qln::test {
namespace {

constexpr std::array<std::array<uint8_t, 5>, 4> kAddresses{{{0x26, 0x11, 0x22, 0x33, 0x44},
                                                            {0x0A, 0x55, 0x01, 0x02, 0x03},
                                                            {0xE6, 0x11, 0x22, 0x33, 0x44},
                                                            {0x00, 0x00, 0x00, 0x00, 0x00}}};

class RandomTraffic {
 public:
  explicit RandomTraffic(unsigned seed) : rng_(seed) {}

  int Below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(rng_); }
  uint8_t Byte() { return static_cast<uint8_t>(Below(256)); }
  bool OneIn(int n) { return Below(n) == 0; }

  // A byte that matters to the receiver more often than chance would give.
  uint8_t InterestingByte() {
    static constexpr uint8_t kBytes[] = {0xFF, 0x02, 0x82, 0x06, 0x86,
                                         0x01, 0x81, 0x00, 0x80, 0x0B};
    return OneIn(2) ? kBytes[Below(static_cast<int>(std::size(kBytes)))] : Byte();
  }

  uint8_t LineError() {
    static constexpr uint8_t kErrors[] = {0x90, 0xA0, 0xC0, 0xF0};
    return OneIn(8) ? kErrors[Below(4)] : 0;
  }

  std::vector<uint8_t> Data(int maxCount) {
    std::vector<uint8_t> data(static_cast<std::size_t>(Below(maxCount + 1)));
    for (uint8_t& byte : data) byte = Byte();
    return data;
  }

  std::vector<uint8_t> Request() {
    static constexpr uint8_t kCommands[] = {0, 1, 2, 3, 11, 21, 48, 130};
    const uint8_t command = OneIn(4) ? Byte() : kCommands[Below(8)];
    const auto data = Data(OneIn(10) ? 255 : 40);
    auto frame = OneIn(3) ? ShortFrame(static_cast<uint8_t>(Below(20)), command, data, OneIn(2))
                          : LongFrame(kAddresses[static_cast<std::size_t>(Below(4))], command, data,
                                      OneIn(2));
    if (OneIn(8)) frame.back() ^= 0x01;
    if (OneIn(8)) frame[1] |= 0x40;
    return WithPreambles(frame, static_cast<std::size_t>(Below(25)));
  }

 private:
  std::mt19937 rng_;
};

// The reply behind the preambles must be a complete slave frame with a correct checksum.
void ExpectWellFormedReply(const LinkHarness& h, const Transmission& sent) {
  ASSERT_LE(sent.bytes.size(), kTransmitImageCapacity);
  const std::size_t preambles =
      std::min<std::size_t>(h.model.Table[h.link.AddressedDevice()].ResPreableNum, kMaxPreambles);
  ASSERT_GE(sent.bytes.size(), preambles + 6);
  const std::vector<uint8_t> frame(sent.bytes.begin() + static_cast<std::ptrdiff_t>(preambles),
                                   sent.bytes.end());
  ASSERT_TRUE(frame[0] == 0x06 || frame[0] == 0x86) << Hex(frame);
  EXPECT_EQ(frame[1] & 0x40, 0);
  const std::size_t countPos = frame[0] == 0x86 ? 7 : 3;
  ASSERT_GE(frame.size(), countPos + 4);
  EXPECT_GE(frame[countPos], 2);
  EXPECT_EQ(frame.size(), countPos + 2 + frame[countPos]) << Hex(frame);
  EXPECT_EQ(frame.back(), FrameChecksum(frame.data(), frame.size() - 1)) << Hex(frame);
}

TEST(LinkRandomised, ArbitraryTrafficStaysInBoundsAndAnswersEachFrameAtMostOnce) {
  for (unsigned seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomTraffic random(seed);
    auto h = std::make_unique<LinkHarness>();
    static constexpr uint32_t kPreambles[] = {0, 1, 2, 3, 5, 20, 255, 400};
    for (uint8_t device = 0; device < kDeviceCount; ++device) {
      if (random.OneIn(2)) {
        h->EnableDevice(device, kAddresses[static_cast<std::size_t>(random.Below(4))],
                        kPreambles[random.Below(8)]);
      }
      h->model.Table[device].ResPreableNum = kPreambles[random.Below(8)];
    }
    h->dispatcher.execute = [&random](CommandExchange& e) {
      static constexpr uint8_t kCodes[] = {0x00, 0x20, 0x05, 0x40};
      e.ResponseCode = kCodes[random.Below(4)];
      e.DeviceStatus = random.Byte();
      e.ByteCount = random.Byte();
      for (uint8_t& byte : e.Data) byte = random.Byte();
    };

    std::size_t checked = 0;
    uint16_t lastAnsweredFrame = 0;
    for (int step = 0; step < 1500; ++step) {
      h->dispatcher.delay = 1 + random.Below(50);
      switch (random.Below(4)) {
        case 0: {
          const auto bytes = random.Request();
          const std::size_t cut =
              static_cast<std::size_t>(random.Below(static_cast<int>(bytes.size()) + 1));
          h->Read({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)},
                  random.LineError());
          h->Read({bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end()},
                  random.LineError());
          break;
        }
        case 1: {
          std::vector<uint8_t> bytes(static_cast<std::size_t>(1 + random.Below(40)));
          for (uint8_t& byte : bytes) byte = random.InterestingByte();
          h->Read(bytes, random.LineError());
          break;
        }
        default:
          h->Ticks(random.OneIn(5) ? 45 : 1 + random.Below(12));
          break;
      }
      for (; checked < h->sent.size(); ++checked) {
        ExpectWellFormedReply(*h, h->sent[checked]);
        // Each transmission answers a frame end that no earlier transmission answered.
        const uint16_t frame = h->ReceivedFrames();
        ASSERT_GT(frame, lastAnsweredFrame);
        lastAnsweredFrame = frame;
      }
    }
    // One log line per frame end and per transmission.
    EXPECT_EQ(h->Lines(LogKind::Received).size(), h->ReceivedFrames());
    EXPECT_EQ(h->Lines(LogKind::Sent).size(), h->sent.size());
    EXPECT_GT(h->sent.size(), 10u);
  }
}

}  // namespace
}  // namespace qln::test
