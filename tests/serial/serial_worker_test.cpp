#include "serial/serial_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link_harness.h"
#include "serial/fake_serial_port.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace qln {
namespace {

using namespace std::chrono_literals;
using Pass = SerialWorker::PassEnd;

class SerialWorkerTest : public ::testing::Test {
 protected:
  SerialWorkerTest() {
    std::lock_guard lock(model.Lock);  // released: the link sees the devices
    for (uint8_t device : {0, 3}) {
      model.Table[device].DevEnable = 1;
      model.Table[device].ResPreableNum = 5;
    }
  }

  // Passes until one transmits, at most `limit`; the number of passes it took, 0 if none did.
  int PassesUntilTransmission(int limit = 50) {
    for (int pass = 1; pass <= limit; ++pass) {
      if (worker.RunPass() == Pass::Continue) return pass;
    }
    return 0;
  }

  // Passes until the converter request has ended; their number.
  int PassesUntilConverterIdle() {
    int passes = 0;
    while (converter.State.load() != ConverterState::Idle && passes < 100) {
      worker.RunPass();
      ++passes;
    }
    return passes;
  }

  std::vector<LogLine> Logged() { return log.TakeAll(); }

  test::FakeSerialPort port;
  test::FakeNotifier notifier;
  test::FakeClock clock;
  test::RecordingConsole console;
  test::TempDir dir;
  LogQueue log;
  DeviceModel model;
  ConfigStore store{notifier, clock, dir.Path()};
  CommandExchange exchange;
  CommandState state;
  CommunicationCounters counters;
  Transaction transaction{{model, store, state, clock, counters, notifier, console}};
  SerialLink link{model.Link, exchange, counters, clock, log};
  BurstSender burst{model.Burst, counters, link, clock};
  ConverterRequest converter;
  ConverterChannelReport report;
  int handOvers = 0;
  SerialWorker worker{
      port,
      {link, burst, transaction, converter, report, log, clock, notifier, [this] { ++handOvers; }}};
};

TEST_F(SerialWorkerTest, ARequestIsHandedOverOnceAndItsReplySentWithTheLineKeyed) {
  port.Receive(test::WithPreambles(test::ShortFrame(0)));
  EXPECT_EQ(worker.RunPass(), Pass::Sleep);
  EXPECT_EQ(worker.RunPass(), Pass::Sleep);  // one empty poll: the frame goes on
  EXPECT_EQ(handOvers, 0);
  EXPECT_EQ(worker.RunPass(), Pass::Sleep);  // the second ends it
  EXPECT_EQ(exchange.LoadState(), ExchangeState::RequestPending);
  EXPECT_EQ(handOvers, 1);
  worker.RunPass();
  EXPECT_EQ(handOvers, 1) << "told once per request";

  exchange.ResponseCode = 0;
  exchange.DeviceStatus = 0x40;
  exchange.ByteCount = 1;
  exchange.Data[0] = 0xAB;
  exchange.Publish(ExchangeState::ReplyReady);
  EXPECT_GT(PassesUntilTransmission(), 0);
  EXPECT_EQ(port.Events(), (std::vector<std::string>{"RTS 1", "DTR 0",
                                                     "write FF FF FF FF FF 06 80 00 03 00 40 AB 6E",
                                                     "sent 13", "DTR 1"}));
  const std::vector<LogLine> lines = Logged();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[1].Text.ends_with("  ==>  FF FF FF FF FF 06 80 00 03 00 40 AB 6E "));
  EXPECT_FALSE(link.TransmitPending());
  EXPECT_TRUE(console.Notes().empty());
}

TEST_F(SerialWorkerTest, ADueBurstFrameGoesOutInTheSamePass) {
  model.Burst.Enable = 1;
  clock.milliseconds = 5000;
  EXPECT_EQ(worker.RunPass(), Pass::Sleep) << "nothing before a frame has been prepared";
  BurstFrame frame;
  frame.length = 11;
  frame.bytes = {0x81, 0xE6, 0x05, 0x12, 0x34, 0x56, 9, 2, 0, 0};
  frame.bytes[10] = FrameChecksum(frame.bytes.data(), 10);
  model.Burst.Prepared.Put(frame);
  EXPECT_EQ(worker.RunPass(), Pass::Continue);
  const std::vector<std::string> events = port.Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_TRUE(events[2].starts_with("write FF FF FF FF FF 81 66 ")) << events[2];
  EXPECT_EQ(worker.RunPass(), Pass::Sleep) << "not again within the second";
}

TEST_F(SerialWorkerTest, TheNoteOfAReplyFollowsItOnceSent) {
  port.Receive(test::WithPreambles(test::ShortFrame(3)));
  for (int pass = 0; pass < 3; ++pass) worker.RunPass();  // the read and the frame end
  ASSERT_EQ(exchange.LoadState(), ExchangeState::RequestPending);
  exchange.ResponseCode = 0;
  exchange.DeviceStatus = 0;
  exchange.ByteCount = 0;
  exchange.Note = ReplyNote::Reset;
  exchange.Publish(ExchangeState::ReplyReady);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_GT(PassesUntilTransmission(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms) << "the reset note waits 100 ms";
  EXPECT_EQ(console.Notes(), std::vector<std::string>{"Dev[3]_Reset_OK ...\r\n"});

  // A reply the link makes itself carries none.
  std::vector<uint8_t> damaged = test::ShortFrame(3);
  damaged.back() ^= 0x01;  // answered at once with the checksum error
  port.Receive(test::WithPreambles(damaged));
  ASSERT_GT(PassesUntilTransmission(), 0);
  EXPECT_EQ(console.Notes().size(), 1u) << "each note once";
}

TEST_F(SerialWorkerTest, ConverterCommandsGoOutBareAndTheReportedChannelComesBack) {
  ASSERT_TRUE(converter.Post(kConverterSetChannel, 2));
  EXPECT_FALSE(converter.Post(kConverterGetChannel, 0)) << "one request at a time";
  EXPECT_EQ(worker.RunPass(), Pass::Continue);
  EXPECT_EQ(port.Events(), (std::vector<std::string>{"RTS 1", "DTR 0", "write 23 43 35 32 0D",
                                                     "sent 5", "DTR 1"}));
  EXPECT_EQ(converter.State.load(), ConverterState::Awaiting);
  // The answer is the converter's, whatever it holds: here the bytes of a HART request.
  port.Receive(test::WithPreambles(test::ShortFrame(0)));
  EXPECT_EQ(PassesUntilConverterIdle(), 2);  // the answer, then the silence that ends it
  EXPECT_FALSE(report.Take()) << "a set-channel answer reports nothing";
  for (int i = 0; i < 5; ++i) worker.RunPass();
  EXPECT_EQ(counters.ReceivedFrameCount.load(), 0);
  EXPECT_EQ(handOvers, 0);

  ASSERT_TRUE(converter.Post(kConverterGetChannel, 0));
  worker.RunPass();
  EXPECT_EQ(port.Events().at(7), "write 23 43 36 0D");
  port.Receive({'!', 'C'});  // the answer may come in pieces
  port.Receive({'6', '=', '3', '\r'});
  EXPECT_EQ(PassesUntilConverterIdle(), 3);
  EXPECT_EQ(report.Take(), 3);
  EXPECT_FALSE(report.Take());
  // Logged beside the frames, marked as the converter's.
  const std::vector<LogLine> lines = Logged();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(lines[0].Text.ends_with("  ==>  [K-3056]  23 43 35 32 0D "));
  EXPECT_EQ(lines[1].Kind, LogKind::Received);
  EXPECT_TRUE(lines[3].Text.ends_with("  <==  [K-3056]  21 43 36 3D 33 0D "));
}

TEST_F(SerialWorkerTest, ASilentConverterIsGivenUpAndItsWaitCountCarriesOver) {
  ASSERT_TRUE(converter.Post(kConverterGetChannel, 0));
  worker.RunPass();
  EXPECT_EQ(PassesUntilConverterIdle(), 11);  // about 110 ms

  // After an answered request the count starts at 1, so the next silence is given up sooner.
  ASSERT_TRUE(converter.Post(kConverterGetChannel, 0));
  worker.RunPass();
  port.Receive({'!', 'C', '6', '=', '7', '\r'});
  EXPECT_EQ(PassesUntilConverterIdle(), 2);
  EXPECT_FALSE(report.Take()) << "channel 7 is no channel of the module";
  ASSERT_TRUE(converter.Post(kConverterGetChannel, 0));
  worker.RunPass();
  EXPECT_EQ(PassesUntilConverterIdle(), 10);
}

TEST_F(SerialWorkerTest, APortThatGoesAwayIsReportedOnce) {
  port.Unplug("/dev/ttyUSB0: hung up");
  EXPECT_EQ(worker.RunPass(), Pass::PortGone);
  EXPECT_TRUE(worker.PortGone());
  EXPECT_EQ(worker.RunPass(), Pass::PortGone);
  ASSERT_EQ(notifier.problems.size(), 1u);
  EXPECT_EQ(notifier.problems[0], "The simulated devices no longer answer: /dev/ttyUSB0: hung up");
}

using SerialWorkerThreaded = SerialWorkerTest;

TEST_F(SerialWorkerThreaded, PollsEveryTenMillisecondsAndStopsAtOnce) {
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(worker.Start());
  // Ten polls, however long a loaded machine takes for them.
  for (int i = 0; i < 1000 && port.Reads() < 10; ++i) std::this_thread::sleep_for(5ms);
  const int reads = port.Reads();
  // Every poll after the first follows a sleep of 10 ms, so a loaded machine only makes them
  // fewer: the bound follows the time that really passed.
  const auto passed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(reads, 10);
  EXPECT_LE(reads, passed / 10ms + 1) << "no busy polling";
  // The current pass and its sleep, and nothing longer; the bound leaves room for a loaded
  // machine's scheduling.
  const auto start = std::chrono::steady_clock::now();
  worker.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(SerialWorkerThreaded, EndsByItselfWhenThePortGoesAway) {
  ASSERT_TRUE(worker.Start());
  port.Unplug("/dev/ttyUSB0: hung up");
  for (int i = 0; i < 1000 && !worker.PortGone(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(worker.PortGone());
  const int reads = port.Reads();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(port.Reads(), reads) << "no more reads of a port that is gone";
  worker.Stop();
  EXPECT_EQ(notifier.problems.size(), 1u);
}

// A second start while the thread runs is refused (a second thread would drive the same port);
// once stopped, the worker starts again.
TEST_F(SerialWorkerThreaded, StartsOnceUntilStopped) {
  ASSERT_TRUE(worker.Start());
  const Result<> again = worker.Start();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), "the serial worker is started already");
  worker.Stop();
  const int reads = port.Reads();
  ASSERT_TRUE(worker.Start());
  for (int i = 0; i < 200 && port.Reads() == reads; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_GT(port.Reads(), reads) << "polls again";
  worker.Stop();
}

}  // namespace
}  // namespace qln
