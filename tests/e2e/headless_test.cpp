// The headless program as a user runs it: in a directory with QLN.ini, on a virtual port, with
// the traffic log on standard output, stopped by a signal.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

class Headless : public ::testing::Test {
 protected:
  // Starts the program in the test directory, its output going to files there.
  pid_t Spawn(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), QLN_HEADLESS);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.Path().c_str());
    constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "out.txt", kFlags, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "err.txt", kFlags, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, QLN_HEADLESS, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // The exit code, -1 if the program has not ended within a few seconds (it is then killed).
  static int Wait(pid_t pid) {
    int status = 0;
    const bool ended = Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5s);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int Run(std::vector<std::string> arguments) { return Wait(Spawn(std::move(arguments))); }
  std::string Out() const { return ReadFile(dir_ / "out.txt"); }
  std::string Err() const { return ReadFile(dir_ / "err.txt"); }
  void CopyExample() {
    std::filesystem::copy_file(std::filesystem::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini",
                               dir_ / "QLN.ini");
  }

  TempDir dir_;
};

TEST_F(Headless, ExplainsItselfAndRefusesToRunWithoutAPort) {
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(Out(), "quillon-headless 1.08\n");
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(Out().find("--pty LINK"), std::string::npos);
  EXPECT_EQ(Run({"--bogus"}), 2);
  EXPECT_NE(Err().find("--bogus"), std::string::npos);

  EXPECT_EQ(Run({}), 2) << "no QLN.ini";
  EXPECT_NE(Err().find("QLN.ini not found"), std::string::npos);

  CopyExample();
  ASSERT_EQ(ProfileFile(dir_ / "QLN.ini").Write("HTDev_Sys", "COMNo", "0"), "");
  EXPECT_EQ(Run({}), 2);
  EXPECT_NE(Err().find("COMNo"), std::string::npos);

  EXPECT_EQ(Run({"--port", (dir_ / "no-such-tty").string()}), 1);
  EXPECT_TRUE(Err().starts_with("Open Com0 Failed\n")) << Err();
}

TEST_F(Headless, AnswersOnAVirtualPortLogsTheTrafficAndStopsOnASignal) {
  CopyExample();
  const std::string link = (dir_ / "hart").string();
  const pid_t pid = Spawn({"--pty", link});
  ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(link); }, 5s)) << Err();
  {
    HartMaster master(link);
    ASSERT_TRUE(master.Opened());
    const auto reply = master.Transact(ShortFrame(0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->ResponseCode(), 0);
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 0) << Err();
  EXPECT_NE(Out().find("  <==  FF FF FF FF FF 02 80 00 00 82 \n"), std::string::npos) << Out();
  EXPECT_NE(Out().find("  ==>  FF FF FF FF FF 06 80 00"), std::string::npos) << Out();
  EXPECT_NE(Err().find("answers on pty:" + link), std::string::npos) << Err();
  EXPECT_FALSE(std::filesystem::exists(link));
}

// The service's way of running: the fallback port serves only a file that names no port; a file
// that names one is obeyed, and a missing file is still an error.
TEST_F(Headless, OpensTheFallbackPortOnlyWhenTheFileNamesNoPort) {
  const std::string link = (dir_ / "hart").string();
  EXPECT_EQ(Run({"--fallback-pty", link}), 2) << "no QLN.ini";
  EXPECT_NE(Err().find("QLN.ini not found"), std::string::npos) << Err();
  EXPECT_EQ(Run({"--fallback-pty", link, "--fallback-pty", link}), 2);
  EXPECT_NE(Err().find("--fallback-pty once"), std::string::npos) << Err();

  CopyExample();
  const std::string named = (dir_ / "named-tty").string();
  ProfileFile file(dir_ / "QLN.ini");
  ASSERT_EQ(file.Write("HTDev_Sys", "COM3Path", named), "");
  EXPECT_EQ(Run({"--fallback-pty", link}), 1) << "COMNo=3 names a port that does not exist";
  EXPECT_TRUE(Err().starts_with("Open Com3 Failed\n")) << Err();
  EXPECT_NE(Err().find(named), std::string::npos) << Err();
  EXPECT_FALSE(std::filesystem::exists(link));

  ASSERT_EQ(file.Write("HTDev_Sys", "COMNo", ""), "");
  const pid_t pid = Spawn({"--fallback-pty", link});
  ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(link); }, 5s)) << Err();
  {
    HartMaster master(link);
    ASSERT_TRUE(master.Opened());
    const auto reply = master.Transact(ShortFrame(1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->ResponseCode(), 0);
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 0) << Err();
  EXPECT_NE(Err().find("answers on pty:" + link), std::string::npos) << Err();
  EXPECT_EQ(file.Snapshot()->Read("HTDev_Sys", "COMNo"), "") << "the fallback port is not stored as COMNo";
}

}  // namespace
}  // namespace qln::test
