// Faults armed in a device's fault section: which requests they take, how they count down in the
// file, and how bad texts are refused.
#include "commands/armed_faults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "command_fixture.h"
#include "scenario/faults.h"

namespace qln::test {
namespace {

class ArmedFaultTest : public CommandTest {
 protected:
  ArmedFaultTest() { ctx.notifier = &notifier; }

  std::string FaultKey(uint8_t device, const std::string& key) {
    return store.Snapshot()->Read(FaultSection(device), key);
  }
  // A request for the device; the console line of the fault it used.
  std::string Request(uint8_t device, uint8_t command = 1, std::vector<uint8_t> data = {}) {
    exchange.Command = command;
    exchange.ByteCount = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), exchange.Data.begin());
    exchange.Publish(ExchangeState::RequestPending);
    std::string note = Dispatch(ctx, device);
    EXPECT_EQ(exchange.LoadState(), ExchangeState::ReplyReady);
    exchange.Publish(ExchangeState::Idle);
    return note;
  }
};

TEST_F(ArmedFaultTest, EachCountAnswersItsRequestsThenCountsDownInTheFileToZero) {
  Open(IniBuilder()
           .Set("HTDev03_Faults", "BusyReplies", "2")
           .Set("HTDev03_Faults", "ResponseCode", "6")
           .Set("HTDev03_Faults", "ResponseCodeCount", "1")
           .Set("HTDev03_Faults", "BadChecksums", "1")
           .Set("HTDev05_Faults", "DropReplies", "1"));

  // Busy first: not executed, no data, the fault's status.
  EXPECT_EQ(Request(3), "Dev[3]_Fault: busy reply (1 left)\r\n");
  EXPECT_EQ(exchange.ResponseCode, 32);
  EXPECT_EQ(exchange.ByteCount, 0);
  EXPECT_EQ(exchange.Fault, ReplyFault::None);
  EXPECT_EQ(exchange.DeviceStatus & 0x20, 0x20);  // the cold start is reported by this reply
  EXPECT_EQ(FaultKey(3, "BusyReplies"), "1");
  EXPECT_EQ(Request(3), "Dev[3]_Fault: busy reply (0 left)\r\n");
  EXPECT_EQ(FaultKey(3, "BusyReplies"), "0");
  EXPECT_EQ(state.ExecutedCommandCount, 0);

  // Then the response code, then the spoiled checksum of an executed command.
  EXPECT_EQ(Request(3), "Dev[3]_Fault: response code 6 (0 left)\r\n");
  EXPECT_EQ(exchange.ResponseCode, 6);
  EXPECT_EQ(exchange.ByteCount, 0);
  EXPECT_EQ(FaultKey(3, "ResponseCodeCount"), "0");
  EXPECT_EQ(FaultKey(3, "ResponseCode"), "6");  // the code stays for the next arming
  EXPECT_EQ(Request(3), "Dev[3]_Fault: bad checksum (0 left)\r\n");
  EXPECT_EQ(exchange.Fault, ReplyFault::BadChecksum);
  EXPECT_EQ(exchange.ResponseCode, 0);
  EXPECT_EQ(exchange.ByteCount, 5);  // the PV's unit and value
  EXPECT_EQ(state.ExecutedCommandCount, 1);

  // All used: plain replies, nothing noted, nothing more written.
  const std::string file = ReadFile(IniPath());
  EXPECT_EQ(Request(3), "");
  EXPECT_EQ(exchange.Fault, ReplyFault::None);
  EXPECT_EQ(exchange.ByteCount, 5);
  EXPECT_EQ(ReadFile(IniPath()), file);

  // Device 5's drop touched neither device 3 nor any other.
  EXPECT_EQ(Request(4), "");
  EXPECT_EQ(Request(5, 38), "Dev[5]_Fault: reply dropped (0 left)\r\n");
  EXPECT_EQ(exchange.Fault, ReplyFault::Drop);
  EXPECT_FALSE(model.Table[5].ConfigChanged);  // command 38 was not executed
  EXPECT_EQ(FaultKey(5, "DropReplies"), "0");
  EXPECT_TRUE(notifier.problems.empty());
}

TEST_F(ArmedFaultTest, ExtraDelayRoundsUpToWholeReplyWaitsStaysArmedAndGoesWithOtherFaults) {
  Open(IniBuilder()
           .Set("HTDev01_Faults", "ExtraDelayTicks", "25")
           .Set("HTDev01_Faults", "BadChecksums", "1"));
  EXPECT_EQ(Request(1), "Dev[1]_Fault: bad checksum (0 left), held 30 ticks\r\n");
  EXPECT_EQ(exchange.DelayPeriods, 3);
  EXPECT_EQ(Request(1), "Dev[1]_Fault: reply held 30 ticks\r\n");
  EXPECT_EQ(exchange.DelayPeriods, 3);
  EXPECT_EQ(exchange.Fault, ReplyFault::None);
  EXPECT_EQ(FaultKey(1, "ExtraDelayTicks"), "25");
  EXPECT_EQ(Request(2), "");
  EXPECT_EQ(exchange.DelayPeriods, 0);
}

TEST_F(ArmedFaultTest, BadTextsAreRefusedOncePerChangeNamingTheKeyAndTheFaultStaysOff) {
  Open(IniBuilder()
           .Set("HTDev02_Faults", "BusyReplies", "-1")
           .Set("HTDev02_Faults", "DropReplies", "two")
           .Set("HTDev02_Faults", "BadChecksums", "256")
           .Set("HTDev02_Faults", "ExtraDelayTicks", "1001")
           .Set("HTDev02_Faults", "ResponseCode", "0")
           .Set("HTDev02_Faults", "ResponseCodeCount", "3"));
  const std::string file = ReadFile(IniPath());
  EXPECT_EQ(Request(2), "");
  EXPECT_EQ(exchange.ResponseCode, 0);
  EXPECT_EQ(exchange.ByteCount, 5);
  ASSERT_EQ(notifier.problems.size(), 5u);
  for (const char* key : {"BusyReplies=-1", "DropReplies=two", "BadChecksums=256",
                          "ExtraDelayTicks=1001", "ResponseCode=0"}) {
    bool named = false;
    for (const std::string& p : notifier.problems) {
      named = named ||
              (p.find("[HTDev02_Faults] " + std::string(key) + " refused") != std::string::npos);
    }
    EXPECT_TRUE(named) << key;
  }
  EXPECT_EQ(ReadFile(IniPath()), file);  // nothing counted down, nothing written

  // The same texts again: no new report. A changed bad text: one report; a good one arms.
  Request(2);
  EXPECT_EQ(notifier.problems.size(), 5u);
  WriteFile(IniPath(), IniBuilder()
                           .Set("HTDev02_Faults", "BusyReplies", "x1")
                           .Set("HTDev02_Faults", "DropReplies", "two")
                           .Set("HTDev02_Faults", "ResponseCode", " 9 ")
                           .Set("HTDev02_Faults", "ResponseCodeCount", "1")
                           .Text());
  EXPECT_EQ(Request(2), "Dev[2]_Fault: response code 9 (0 left)\r\n");
  ASSERT_EQ(notifier.problems.size(), 6u);
  EXPECT_NE(notifier.problems.back().find("BusyReplies=x1 refused: a count must be a whole "
                                          "number from 0 to 255"),
            std::string::npos)
      << notifier.problems.back();
}

TEST_F(ArmedFaultTest, ACountWhoseWriteFailedKeepsCountingFromTheHeldValue) {
  Open(IniBuilder().Set("HTDev00_Faults", "BusyReplies", "2"));
  ASSERT_EQ(::chmod(IniPath().c_str(), 0444), 0);
  EXPECT_EQ(Request(0), "Dev[0]_Fault: busy reply (1 left)\r\n");
  EXPECT_TRUE(store.HasPendingWrites());
  EXPECT_EQ(FaultKey(0, "BusyReplies"), "2");  // the file is unchanged, not torn
  // The held value counts, not the file's stale one: exactly two busy replies.
  EXPECT_EQ(Request(0), "Dev[0]_Fault: busy reply (0 left)\r\n");
  EXPECT_EQ(Request(0), "");
  EXPECT_EQ(exchange.ResponseCode, 0);
}

}  // namespace
}  // namespace qln::test
