// A master talks to the running simulator over a virtual port: identification, process values,
// tag addressing, damaged frames, disabled devices, a write that reaches the file, burst mode and
// the converter module.
#include <chrono>
#include <string>
#include <vector>

#include "base/encodings.h"
#include "device/text_values.h"
#include "e2e/e2e_fixture.h"
#include "serial/converter.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kLongAck = 0x86;

float FloatAt(const std::vector<uint8_t>& data, std::size_t index) {
  return DecodeFloat(data.data() + index);
}

using EndToEnd = SimulatorOnPty;

// When the replies leave (at the first reply wait, as the command layer answers at once) is the
// link's, shown by ticks in tests/link/line_timing_test.cpp and measured by bench/latency_probe.
TEST_F(EndToEnd, EachDeviceIdentifiesItselfAndReportsItsValues) {
  Start();
  for (uint8_t device : {0, 1, 7}) {
    const auto identity = master_->Transact(ShortFrame(device));
    ASSERT_TRUE(identity) << "device " << int(device);
    EXPECT_EQ(identity->Delimiter(), kAck);
    EXPECT_TRUE(identity->ChecksumOk());
    EXPECT_EQ(identity->ResponseCode(), 0);
    EXPECT_EQ(identity->Data().at(0), 254);
    EXPECT_EQ(identity->bytes[1], 0x80 | device);  // address echoed with the master bit
  }
  const std::array<uint8_t, 5> address = LongAddress(0);
  EXPECT_EQ(address, (std::array<uint8_t, 5>{0x26, 0x05, 0x12, 0x34, 0x56}));

  const auto pv = master_->Transact(LongFrame(address, 1));
  ASSERT_TRUE(pv);
  EXPECT_EQ(pv->Delimiter(), kLongAck);
  ASSERT_EQ(pv->Data().size(), 5u);
  EXPECT_EQ(pv->Data()[0], 32);  // degrees Celsius
  EXPECT_FLOAT_EQ(FloatAt(pv->Data(), 1), 25.0f);

  const auto all = master_->Transact(LongFrame(address, 3));
  ASSERT_TRUE(all);
  const std::vector<uint8_t> d = all->Data();
  ASSERT_EQ(d.size(), 24u);
  EXPECT_GT(FloatAt(d, 0), 4.0f);  // loop current follows the PV within its range
  EXPECT_LT(FloatAt(d, 0), 20.0f);
  EXPECT_FLOAT_EQ(FloatAt(d, 5), 25.0f);
  EXPECT_FLOAT_EQ(FloatAt(d, 10), 24.5f);
  EXPECT_FLOAT_EQ(FloatAt(d, 15), 12.0f);
  EXPECT_FLOAT_EQ(FloatAt(d, 20), 50.0f);

  simulator_.Close();
  const std::vector<std::string> lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 12u);  // every frame received and sent, in order
  EXPECT_TRUE(lines[0].starts_with("R ")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("  <==  FF FF FF FF FF 02 80 00 00 82 ")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("S ")) << lines[1];
  EXPECT_NE(lines[1].find("  ==>  FF FF FF FF FF 06 80 00 "), std::string::npos) << lines[1];
}

TEST_F(EndToEnd, DevicesAreFoundByTagAndLongTag) {
  Start();
  const std::array<uint8_t, 5> address = LongAddress(1);

  const auto byTag = master_->Transact(LongFrame(address, 11, Packed("PT-102")));
  ASSERT_TRUE(byTag);
  EXPECT_EQ(byTag->ResponseCode(), 0);
  EXPECT_EQ(byTag->Data().at(0), 254);
  EXPECT_FALSE(master_->Transact(LongFrame(address, 11, Packed("XX-000")), 500ms))
      << "a wrong tag is not answered";

  std::vector<uint8_t> longTag;
  for (int i = 1; i <= 32; ++i) {
    longTag.push_back(static_cast<uint8_t>(
        ParseUnsigned(Stored("HTDev01_Cmd020", "LongTag" + std::to_string(i)))));
  }
  const auto byLongTag = master_->Transact(LongFrame({0, 0, 0, 0, 0}, 21, longTag));
  ASSERT_TRUE(byLongTag);
  EXPECT_EQ(byLongTag->Command(), 21);
  EXPECT_EQ(byLongTag->ResponseCode(), 0);
  EXPECT_EQ(byLongTag->Data().at(0), 254);
}

// That the refusal goes at the frame end, without a reply wait, is the link's: see
// FrameReceiver.WrongChecksumIsAnsweredAtOnceWithTheErrorByte.
TEST_F(EndToEnd, DamagedFramesAreRefusedAndDisabledDevicesStaySilent) {
  Start();
  const std::array<uint8_t, 5> address = LongAddress(2);
  const std::string before = Stored("HTDev02_Cmd012", "Message");

  std::vector<uint8_t> damaged = LongFrame(address, 17, Packed("NEVER WRITTEN"));
  damaged.back() ^= 0x5A;
  const auto refusal = master_->Transact(damaged);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->ResponseCode(), 0x88);  // communication error: checksum
  EXPECT_TRUE(refusal->Data().empty());
  EXPECT_EQ(Stored("HTDev02_Cmd012", "Message"), before);

  // Device 8 is disabled in the example file.
  EXPECT_FALSE(master_->Transact(ShortFrame(8), 600ms));
}

TEST_F(EndToEnd, AWrittenMessageLandsInTheFile) {
  Start();
  const std::array<uint8_t, 5> address = LongAddress(2);
  const std::string message = "HELLO FROM THE TEST MASTER      ";  // 32 characters
  const auto written = master_->Transact(LongFrame(address, 17, Packed(message)));
  ASSERT_TRUE(written);
  EXPECT_EQ(written->ResponseCode(), 0);
  EXPECT_EQ(written->Data(), Packed(message));
  EXPECT_EQ(Stored("HTDev02_Cmd012", "Message"), "HELLO FROM THE TEST MASTER");

  const auto read = master_->Transact(LongFrame(address, 12));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->Data(), Packed(message));
}

TEST_F(EndToEnd, SelfTestAndResetLeaveTheirNotesAfterTheReply) {
  Start();
  const std::array<uint8_t, 5> address = LongAddress(3);
  const auto selfTest = master_->Transact(LongFrame(address, 41));
  ASSERT_TRUE(selfTest);
  EXPECT_EQ(selfTest->ResponseCode(), 0);
  ASSERT_TRUE(Eventually([&] { return recorder_.Notes().size() == 1; }));
  EXPECT_EQ(recorder_.Notes()[0], "Dev[3]_SelfTest_OK ...\r\n");

  const auto reset = master_->Transact(LongFrame(address, 42));
  ASSERT_TRUE(reset);
  EXPECT_EQ(reset->ResponseCode(), 0);
  ASSERT_TRUE(Eventually([&] { return recorder_.Notes().size() == 2; }));
  EXPECT_EQ(recorder_.Notes()[1], "Dev[3]_Reset_OK ...\r\n");
}

// The burst period (about a second, by the clock) and the way a reply holds a due burst back
// are the link's: see tests/link/line_timing_test.cpp; bench/latency_probe measures the spacing.
TEST_F(EndToEnd, TheBurstDeviceKeepsSendingAndMastersStillGetAnswers) {
  Configure("HTDev00_Cmd109", "BurstMode", "1");  // a full load makes device 0 burst
  Start();
  int bursts = 0;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (bursts < 3 && std::chrono::steady_clock::now() < deadline) {
    const auto frame = master_->ReadFrame(500ms);
    if (!frame) continue;
    ASSERT_TRUE(frame->IsBurst());
    EXPECT_EQ(frame->Command(), 1);  // device 0's burst command
    EXPECT_TRUE(frame->ChecksumOk());
    ++bursts;
    HartMaster::WaitUntilSent(*frame);
    // Right after a burst frame the line is the master's.
    if (bursts == 1) {
      const auto reply = master_->Transact(ShortFrame(0));
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->ResponseCode(), 0);
    }
  }
  EXPECT_EQ(bursts, 3);
}

TEST_F(EndToEnd, TheConverterGetsItsCommandsAndReportsItsChannel) {
  Start();
  ConverterRequest& converter = simulator_.Converter();
  const auto idle = [&] { return converter.State.load() == ConverterState::Idle; };

  ASSERT_TRUE(converter.Post(kConverterSetChannel, 2));
  // The module answers at once: the worker gives up after about 110 ms of silence.
  EXPECT_EQ(master_->ReadBytes(5, 5s), (std::vector<uint8_t>{'#', 'C', '5', '2', '\r'}));
  master_->Send({'!', '0', '0', '\r'});
  ASSERT_TRUE(Eventually(idle));

  ASSERT_TRUE(converter.Post(kConverterGetChannel, 0));
  EXPECT_EQ(master_->ReadBytes(4, 5s), (std::vector<uint8_t>{'#', 'C', '6', '\r'}));
  master_->Send({'!', 'C', '6', '=', '3', '\r'});
  ASSERT_TRUE(Eventually([&] { return !recorder_.Channels().empty(); }));
  EXPECT_EQ(recorder_.Channels(), std::vector<std::string>{"3"});
  EXPECT_TRUE(idle());

  // A module that does not answer is given up, and the line is the master's again.
  ASSERT_TRUE(converter.Post(kConverterGetChannel, 0));
  ASSERT_TRUE(Eventually(idle));
  master_->ReadFor(100ms);
  EXPECT_TRUE(master_->Transact(ShortFrame(0)));
  simulator_.Close();
  // The converter's commands and answers are logged as its own, never as HART frames.
  int converterLines = 0;
  for (const std::string& line : recorder_.Lines()) {
    const bool marked = line.find("[K-3056]") != std::string::npos;
    converterLines += marked ? 1 : 0;
    if (line.find("23 43") != std::string::npos) {
      EXPECT_TRUE(marked) << line;
    }
  }
  EXPECT_EQ(converterLines, 5);  // three commands, two answers
}

}  // namespace
}  // namespace qln::test
