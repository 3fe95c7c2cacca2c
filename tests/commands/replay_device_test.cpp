// A device that replays a public capture of a real HART-IP device: recorded requests get the
// recorded replies in turn, everything else the device's own answer; a bad capture is reported
// once and changes nothing.
#include "commands/replay_device.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "command_fixture.h"

namespace qln::test {
namespace {

namespace fs = std::filesystem;

class ReplayDeviceTest : public CommandTest {
 protected:
  ReplayDeviceTest() {
    ctx.notifier = &notifier;
    fs::create_directory(dir.Path() / "captures");
    fs::copy_file(fs::path(QLN_SOURCE_DIR) / "tests/data/captures" / kCapture,
                  dir.Path() / "captures" / kCapture);
  }
  static constexpr const char* kCapture = "hart-ip_all_types_and_commands_sent.pcapng";
};

TEST_F(ReplayDeviceTest, RecordedRequestsGetTheRecordedRepliesInTurnOthersTheDevicesOwn) {
  Open(IniBuilder().Set("HTDev00_Replay", "Capture", std::string("captures/") + kCapture));
  const Reply ownOfDevice1 = Run(1, 1);

  // Command 1 was asked twice: refused (0x84) in a token-passing PDU, answered in a direct PDU.
  const Reply first = Run(0, 1);
  EXPECT_EQ(first.code, 0x84);
  EXPECT_TRUE(first.data.empty());
  const Reply second = Run(0, 1);
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(second.data, (std::vector<uint8_t>{0x4B, 0x46, 0x3C, 0x42, 0x9E}));
  EXPECT_EQ(Run(0, 1).code, 0x84);  // and round again
  // The status byte is the device's own: configuration changed is not recorded in it.
  EXPECT_EQ(second.status, ComposeDeviceStatus(ctx, 0));

  // Not recorded: command 50, and command 1 with data the capture never had.
  const Reply own = Run(0, 50);
  EXPECT_EQ(own.code, 0);
  EXPECT_EQ(own.data, (std::vector<uint8_t>{0, 1, 2, 3}));
  EXPECT_EQ(Run(0, 1, {0x01}).code, 0);
  // Another device is not touched.
  EXPECT_EQ(Run(1, 1).data, ownOfDevice1.data);
  EXPECT_TRUE(notifier.problems.empty());
}

TEST_F(ReplayDeviceTest, ABadCaptureIsReportedOnceAndTheDeviceAnswersAsUsual) {
  WriteFile(dir.Path() / "bad.pcapng", "not a capture at all");
  Open(IniBuilder().Set("HTDev02_Replay", "Capture", "bad.pcapng"));
  const Reply normal = Run(2, 1);
  EXPECT_EQ(normal.code, 0);
  EXPECT_EQ(normal.data.size(), 5u);
  Run(2, 1);
  ASSERT_EQ(notifier.problems.size(), 1u);
  EXPECT_NE(notifier.problems[0].find((dir.Path() / "bad.pcapng").string()), std::string::npos)
      << notifier.problems[0];
  EXPECT_NE(notifier.problems[0].find("not a pcapng"), std::string::npos);

  // The key changed to a good capture: the device replays from its next request on.
  WriteFile(
      IniPath(),
      IniBuilder().Set("HTDev02_Replay", "Capture", std::string("captures/") + kCapture).Text());
  EXPECT_EQ(Run(2, 1).code, 0x84);
  EXPECT_EQ(state.Replays[2].path, dir.Path() / "captures" / kCapture);
  EXPECT_EQ(notifier.problems.size(), 1u);
}

}  // namespace
}  // namespace qln::test
