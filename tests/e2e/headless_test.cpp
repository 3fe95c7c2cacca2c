// The headless program as a user runs it: in a directory with QLN.ini, on a virtual port, with
// the traffic log on standard output, stopped by a signal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "hartip/hartip_client.h"

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

TEST_F(Headless, ServesHartIpWithoutASerialPortFromTheFileOrTheCommandLine) {
  EXPECT_EQ(Run({"--hart-ip", "70000"}), 2);
  EXPECT_NE(Err().find("--hart-ip needs"), std::string::npos);
  EXPECT_EQ(Run({"--no-serial"}), 2);
  EXPECT_NE(Err().find("--no-serial needs HART-IP"), std::string::npos);

  CopyExample();
  // A free port, from a listener that is gone again; the program takes it from HartIpPort.
  uint16_t port = 0;
  {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    close(fd);
  }
  ASSERT_EQ(ProfileFile(dir_ / "QLN.ini").Write("HTDev_Sys", "HartIpPort", std::to_string(port)),
            "");
  const pid_t pid = Spawn({"--no-serial"});
  ASSERT_TRUE(Eventually([&] { return Err().find("serves HART-IP") != std::string::npos; }, 5s))
      << Err();
  {
    HartIpClient host(HartIpClient::Transport::Tcp, port);
    ASSERT_TRUE(host.Initiate());
    const auto identity = host.Pdu(ShortFrame(0));
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->status, 0);
    EXPECT_GE(identity->body.size(), 18u);
    EXPECT_TRUE(Eventually([&] { return Out().find("]  06 80 00") != std::string::npos; }))
        << Out();
    EXPECT_NE(Out().find("  <==  [IP 127.0.0.1:"), std::string::npos) << Out();
    // A second program (its output replaces the first one's) cannot have the same port.
    EXPECT_EQ(Run({"--no-serial", "--hart-ip", "127.0.0.1:" + std::to_string(port)}), 1);
    EXPECT_NE(Err().find("cannot listen on TCP 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << Err();
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 0);
}

}  // namespace
}  // namespace qln::test
