// One transaction for every way in: the same frame sent over the serial line and over a HART-IP
// session gets the same reply bytes, the same traffic log lines and the same notes, whatever the
// device's fault section arms.
#include "commands/transaction.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hartip/command_backend.h"
#include "link/dispatching_link.h"

namespace qln::test {
namespace {

constexpr uint8_t kDevice = 1;
constexpr uint8_t kDisabled = 2;

std::array<uint8_t, 5> AddressOf(uint8_t device) { return {38, 5, 0x12, 0x34, device}; }

// The devices of the file enabled as the program's start enables them, but kDisabled.
void Enable(DeviceModel& model) {
  std::lock_guard lock(model.Lock);  // released: the link's view follows
  for (uint8_t d = 0; d < kDeviceCount; ++d) model.Table[d].DevEnable = d == kDisabled ? 0 : 1;
}

// What a transport made of one frame.
struct Outcome {
  std::optional<std::vector<uint8_t>> reply;  // without preambles
  std::vector<std::string> lines;             // direction and bytes, without time and origin
  std::vector<std::string> notes;
  std::vector<std::string> problems;
};

// "<==  82 26 ..." from a traffic line of either transport: the time stamp, the HART-IP origin
// and the serial line's preambles left out.
std::string Traffic(LogKind kind, std::string line) {
  const std::string arrow = kind == LogKind::Received ? "  <==  " : "  ==>  ";
  line.erase(0, line.find(arrow) + arrow.size());
  if (line.starts_with("[IP ")) line.erase(0, line.find("]  ") + 3);
  while (line.starts_with("FF ")) line.erase(0, 3);
  return arrow + line;
}

Outcome OverTheLine(const IniBuilder& ini, const std::vector<uint8_t>& frame) {
  DispatchingLink serial(ini);
  Enable(serial.link.model);
  serial.link.Converse(frame);
  Outcome outcome;
  if (!serial.link.sent.empty()) {
    const auto& image = serial.link.sent.front().bytes;
    outcome.reply.emplace(image.begin() + 5, image.end());  // behind the device's 5 preambles
  }
  for (const LogLine& line : serial.link.logged) {
    outcome.lines.push_back(Traffic(line.Kind, line.Text));
  }
  outcome.notes = serial.console.Notes();
  outcome.problems = serial.notifier.problems;
  return outcome;
}

Outcome OverHartIp(const IniBuilder& ini, const std::vector<uint8_t>& frame) {
  TempDir dir;
  WriteFile(dir.Path() / "QLN.ini", ini.Text());
  FakeNotifier notifier;
  RecordingConsole console;
  FakeClock clock;
  RecordingLogSink log;
  DeviceModel model;
  ConfigStore store{notifier, clock, dir.Path()};
  CommandState state;
  CommunicationCounters counters;
  Transaction transaction{{model, store, state, clock, counters, notifier, console}};
  CommandBackend backend{{transaction, clock, log, model.Link, counters, nullptr}};
  EXPECT_TRUE(store.CheckAndLoadForOpen(model));
  Enable(model);

  Outcome outcome;
  SessionMemory memory;
  outcome.reply = backend.Execute(frame, true, "127.0.0.1:50123", memory);
  for (const auto& [kind, line] : log.lines) outcome.lines.push_back(Traffic(kind, line));
  outcome.notes = console.Notes();
  outcome.problems = notifier.problems;
  return outcome;
}

TEST(Transaction, BothTransportsAnswerAFrameAlikeWhateverTheDeviceArms) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> faults;  // keys of [HTDev01_Faults]
    std::vector<uint8_t> frame;
    // What both must show.
    std::optional<uint8_t> responseCode;  // none: no reply at all
    bool checksumGood;
    std::vector<std::string> notes;
    std::size_t problems;
  };
  const std::vector<uint8_t> command1 = LongFrame(AddressOf(kDevice), 1);
  const Case cases[] = {
      {"normal", {}, command1, 0, true, {}, 0},
      {"busy armed",
       {{"BusyReplies", "1"}},
       command1,
       32,
       true,
       {"Dev[1]_Fault: busy reply (0 left)\r\n"},
       0},
      {"drop armed",
       {{"DropReplies", "1"}},
       command1,
       std::nullopt,
       true,
       {"Dev[1]_Fault: reply dropped (0 left)\r\n"},
       0},
      {"bad checksum armed",
       {{"BadChecksums", "1"}},
       command1,
       0,
       false,
       {"Dev[1]_Fault: bad checksum (0 left)\r\n"},
       0},
      {"response code armed",
       {{"ResponseCode", "9"}, {"ResponseCodeCount", "1"}},
       command1,
       9,
       true,
       {"Dev[1]_Fault: response code 9 (0 left)\r\n"},
       0},
      {"refused fault text", {{"BusyReplies", "two"}}, command1, 0, true, {}, 1},
      {"disabled device", {}, LongFrame(AddressOf(kDisabled), 1), std::nullopt, true, {}, 0},
      {"self test",
       {},
       LongFrame(AddressOf(kDevice), 41),
       0,
       true,
       {"Dev[1]_SelfTest_OK ...\r\n"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IniBuilder ini;
    for (const auto& [key, value] : c.faults) ini.Set("HTDev01_Faults", key, value);
    const Outcome line = OverTheLine(ini, c.frame);
    const Outcome ip = OverHartIp(ini, c.frame);

    EXPECT_EQ(line.reply, ip.reply);
    EXPECT_EQ(line.lines, ip.lines);
    EXPECT_EQ(line.notes, ip.notes);
    EXPECT_EQ(line.problems, ip.problems);

    ASSERT_EQ(ip.reply.has_value(), c.responseCode.has_value());
    EXPECT_EQ(ip.lines.size(), ip.reply ? 2u : 1u);
    if (ip.reply) {
      const std::vector<uint8_t>& reply = *ip.reply;
      ASSERT_GE(reply.size(), 11u);
      EXPECT_EQ(reply[0], 0x86);
      EXPECT_EQ(reply[8], *c.responseCode);
      EXPECT_EQ(FrameChecksum(reply.data(), reply.size() - 1) == reply.back(), c.checksumGood);
    }
    EXPECT_EQ(ip.notes, c.notes);
    EXPECT_EQ(ip.problems.size(), c.problems);
  }
}

}  // namespace
}  // namespace qln::test
