#include "commands/spec_cmd_commands.h"

#include <gtest/gtest.h>

#include <string>

#include "command_fixture.h"

namespace qln::test {
namespace {

using Bytes = std::vector<uint8_t>;
using SpecCmdCommandsTest = CommandTest;

IniBuilder WithReply(IniBuilder ini, int command, const std::vector<std::string>& params) {
  const std::string section = "HTDevAll_SpecCmd" + std::to_string(command);
  ini.Set(section, "ParamNum", std::to_string(params.size()));
  for (std::size_t i = 0; i < params.size(); ++i) {
    ini.Set(section, "Param" + std::to_string(i + 1), params[i]);
  }
  return ini;
}

TEST_F(SpecCmdCommandsTest, EveryDeviceAnswersWithTheStoredBytes) {
  Open(WithReply(IniBuilder(), 130, {"1", "2", "171"}));
  for (uint8_t device : {0, 7, 15}) {
    const Reply reply = Run(device, 130, {9, 9, 9, 9});  // the request's data do not matter
    EXPECT_EQ(reply.code, 0);
    EXPECT_EQ(reply.data, (Bytes{0x01, 0x02, 0xAB}));
    EXPECT_EQ(reply.status & 0x40, 0);  // not a configuration change
  }
  EXPECT_EQ(FileKey(0, 7, "CfgChgCnt_v6"), "12");

  const Reply none = Run(3, 131);
  EXPECT_EQ(none.code, 0);
  EXPECT_TRUE(none.data.empty());
}

TEST_F(SpecCmdCommandsTest, TheRangeEndsAt253) {
  Open(WithReply(WithReply(IniBuilder(), 128, {"5"}), 253, {"300", "-1"}));
  EXPECT_EQ(Run(0, 128).data, (Bytes{5}));
  const Reply last = Run(0, 253);
  EXPECT_EQ(last.code, 0);
  EXPECT_EQ(last.data, (Bytes{44, 255}));  // the low eight bits of each value
  const Reply beyond = Run(0, 254);
  EXPECT_EQ(beyond.code, 64);
  EXPECT_TRUE(beyond.data.empty());
}

TEST_F(SpecCmdCommandsTest, ProtectionAndLockDoNotApply) {
  Open(WithReply(IniBuilder().Set(15, 4, "WrProtCode", "1"), 200, {"17"}));
  EXPECT_EQ(Run(4, 17, Bytes(24, 0x41)).code, 7);
  EXPECT_EQ(Run(4, 200).data, (Bytes{17}));
  state.LockState = 3;
  const Reply locked = Run(5, 200);
  EXPECT_EQ(locked.code, 0);
  EXPECT_EQ(locked.data, (Bytes{17}));
}

TEST_F(SpecCmdCommandsTest, WithoutTheFileTheLastDecodedReplyIsSent) {
  Open(WithReply(IniBuilder(), 150, {"1", "2"}));
  EXPECT_TRUE(Run(1, 160).data.empty());  // nothing decoded yet
  store.SetConfigFileFound(false);
  EXPECT_TRUE(Run(1, 150).data.empty());
  store.SetConfigFileFound(true);
  EXPECT_EQ(Run(1, 150).data, (Bytes{1, 2}));
  store.SetConfigFileFound(false);
  EXPECT_EQ(Run(6, 160).data, (Bytes{1, 2}));
}

}  // namespace
}  // namespace qln::test
