// A test rig arms faults by writing QLN.ini while the port is open; the master sees each one
// exactly as often as armed, then normal replies, and the count is back at 0 in the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kDevice = 1;
constexpr std::string_view kSection = "HTDev01_Faults";

std::chrono::milliseconds Since(SteadyTime start, SteadyTime end) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(end - start);
}

bool Noted(const std::vector<std::string>& notes, const std::string& note) {
  return std::find(notes.begin(), notes.end(), note) != notes.end();
}

using FaultsOnDemand = SimulatorOnPty;

TEST_F(FaultsOnDemand, EachArmedFaultIsSeenExactlyTwiceThenNormalRepliesAndTheCountIsZero) {
  struct Kind {
    const char* key;
    const char* note;  // of the first use
    // Whether the master saw the fault in the reply it got (none: silence).
    std::function<bool(const std::optional<SlaveFrame>&)> seen;
  };
  const Kind kinds[] = {
      {"BusyReplies", "busy reply (1 left)",
       [](const auto& r) {
         return r && r->ChecksumOk() && r->ResponseCode() == 32 && r->Data().empty();
       }},
      {"DropReplies", "reply dropped (1 left)", [](const auto& r) { return !r.has_value(); }},
      {"BadChecksums", "bad checksum (1 left)",
       [](const auto& r) { return r && !r->ChecksumOk() && r->ResponseCode() == 0; }},
      {"ResponseCodeCount", "response code 5 (1 left)",
       [](const auto& r) {
         return r && r->ChecksumOk() && r->ResponseCode() == 5 && r->Data().empty();
       }},
  };
  Configure(kSection, "ResponseCode", "5");
  Start();
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.key);
    Configure(kSection, kind.key, "2");
    std::vector<bool> faults;
    std::optional<SlaveFrame> reply;
    // Silence is told from a late reply by waiting longer than any reply takes; where a reply
    // is due, the master waits long enough for a loaded machine.
    const auto timeout = std::string_view(kind.key) == "DropReplies" ? 700ms : 2000ms;
    for (int i = 0; i < 3; ++i) {
      reply = master_->Transact(ShortFrame(kDevice), timeout);
      faults.push_back(kind.seen(reply));
    }
    EXPECT_EQ(faults, (std::vector<bool>{true, true, false}));
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->ChecksumOk());
    EXPECT_EQ(reply->ResponseCode(), 0);
    EXPECT_FALSE(reply->Data().empty());
    EXPECT_EQ(Stored(kSection, kind.key), "0");
    EXPECT_TRUE(Noted(recorder_.Notes(), "Dev[1]_Fault: " + std::string(kind.note) + "\r\n"));
  }
  // Device 0 was never touched by device 1's faults.
  const auto other = master_->Transact(ShortFrame(0));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->ResponseCode(), 0);
  EXPECT_TRUE(other->ChecksumOk());

  simulator_.Close();
  // The spoiled replies are in the traffic log as they went on the line.
  int spoiledLogged = 0;
  for (const std::string& line : recorder_.Lines()) {
    const bool replyOfDevice1 = line.find("==>  FF FF FF FF FF 06 81 00 ") != std::string::npos;
    if (!line.starts_with("S ") || !replyOfDevice1) continue;
    std::vector<uint8_t> bytes;
    for (std::size_t at = line.find("==>  ") + 5; at + 2 <= line.size(); at += 3) {
      bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(at, 2), nullptr, 16)));
    }
    const std::vector<uint8_t> frame(bytes.begin() + 5, bytes.end());
    if (FrameChecksum(frame.data(), frame.size() - 1) != frame.back()) ++spoiledLogged;
  }
  EXPECT_EQ(spoiledLogged, 2);
  EXPECT_TRUE(recorder_.Problems().empty());
}

// Each tick of the link is an empty poll after a sleep of at least 10 ms, so a reply held for 30
// more ticks (42 after the request's last byte) cannot come before 420 ms after the request,
// however loaded the machine is; the ticks themselves are the link's (see
// ReplyFault.DelayedReplyLeavesWholeReplyWaitsLaterAndNeverAsBusy).
TEST_F(FaultsOnDemand, ExtraDelayHoldsEveryReplyUntilTheRigTakesItBack) {
  Start();
  Configure(kSection, "ExtraDelayTicks", "30");
  for (int i = 0; i < 2; ++i) {
    const SteadyTime asked = std::chrono::steady_clock::now();
    const auto reply = master_->Transact(ShortFrame(kDevice), 3000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->ResponseCode(), 0);  // late on purpose, never busy
    EXPECT_GE(Since(asked, reply->firstByte), 420ms);
  }
  Configure(kSection, "ExtraDelayTicks", "0");
  // Not held any more: of a few replies, at least one comes sooner than a held one could.
  std::chrono::milliseconds prompt = 1h;
  for (int i = 0; i < 3; ++i) {
    const auto reply = master_->Transact(ShortFrame(kDevice), 3000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->ResponseCode(), 0);
    prompt = std::min(prompt, Since(master_->LastSent(), reply->firstByte));
  }
  EXPECT_LT(prompt, 420ms);
  EXPECT_EQ(Stored(kSection, "ExtraDelayTicks"), "0");
  EXPECT_TRUE(Noted(recorder_.Notes(), "Dev[1]_Fault: reply held 30 ticks\r\n"));
}

}  // namespace
}  // namespace qln::test
