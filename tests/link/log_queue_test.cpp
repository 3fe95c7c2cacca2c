// The traffic log queue: every line kept, in order, whoever takes them and whenever.
#include "base/log_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "link_harness.h"

namespace qln::test {
namespace {

TEST(LogQueue, KeepsEveryLineOfFramesThatFollowEachOtherUntilTaken) {
  FakeClock clock;
  LogQueue log;
  DeviceModel model;
  CommandExchange exchange;
  CommunicationCounters counters;
  SerialLink link(model.Link, exchange, counters, clock, log);
  {
    std::lock_guard lock(model.Lock);  // released: the link sees the device
    model.Table[0].DevEnable = 1;
    model.Table[0].ResPreableNum = 5;
  }

  std::vector<std::string> expected;
  for (uint8_t i = 0; i < 3; ++i) {
    auto frame = ShortFrame(0, 0, {i});
    frame.back() ^= 0x01;  // answered at once with the checksum error
    link.Receive(WithPreambles(frame, 2), 0);
    link.Receive({}, 0);
    link.Receive({}, 0);
    ASSERT_TRUE(link.TransmitPending());
    link.TransmissionDone();
    expected.push_back("13:45:07.089  <==  " + Hex(WithPreambles(frame, 2)));
    std::vector<uint8_t> reply{0x06, 0x80, 0x00, 0x02, 0x88, 0x20};
    reply.push_back(FrameChecksum(reply.data(), reply.size()));
    expected.push_back("13:45:07.089  ==>  FF FF FF FF FF " + Hex(reply));
  }

  const auto lines = log.TakeAll();
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].Kind, i % 2 == 0 ? LogKind::Received : LogKind::Sent);
    EXPECT_EQ(lines[i].Text, expected[i]);
  }
  EXPECT_TRUE(log.TakeAll().empty());
}

TEST(LogQueue, ConcurrentReaderLosesNothingAndKeepsTheOrder) {
  LogQueue log;
  constexpr int kLines = 20000;
  std::thread writer([&log] {
    for (int i = 0; i < kLines; ++i) {
      log.Log(i % 2 == 0 ? LogKind::Received : LogKind::Sent,
              std::to_string(i) + std::string(static_cast<std::size_t>(i % 1500), 'x'));
    }
  });
  std::vector<LogLine> taken;
  while (taken.size() < kLines) {
    for (LogLine& line : log.TakeAll()) taken.push_back(std::move(line));
  }
  writer.join();
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ(taken[i].Text,
              std::to_string(i) + std::string(static_cast<std::size_t>(i % 1500), 'x'));
    ASSERT_EQ(taken[i].Kind, i % 2 == 0 ? LogKind::Received : LogKind::Sent);
  }
}

}  // namespace
}  // namespace qln::test
