// The headless program as a user runs it: in a directory with QLN.ini, on a virtual port, with
// the traffic log on standard output, stopped by a signal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "hartip/hartip_client.h"
#include "support/full_pipe.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

class Headless : public ::testing::Test {
 protected:
  // Starts the program in the test directory. Its standard output goes to `out` when given,
  // otherwise to out.txt there, and its standard error to the file `err` there.
  pid_t Spawn(std::vector<std::string> arguments, int out = -1, const char* err = "err.txt") {
    arguments.insert(arguments.begin(), QLN_HEADLESS);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.Path().c_str());
    constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC;
    if (out >= 0) {
      posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "out.txt", kFlags, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err, kFlags, 0644);
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

  // Asks device 0 for its identity over `link` until it answers, as a master program does
  // that finds the program still starting or the link still the one a killed program left.
  // False if the program ends or a few seconds pass first.
  static bool AnswersCommandZero(const std::string& link, pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) return false;
      HartMaster master(link);
      const auto reply = master.Opened() ? master.Transact(ShortFrame(0), 300ms) : std::nullopt;
      if (reply) return reply->ResponseCode() == 0;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  int Run(std::vector<std::string> arguments) { return Wait(Spawn(std::move(arguments))); }
  // A TCP socket listening on 127.0.0.1 at a free port (closed, it leaves that port free).
  static std::pair<int, uint16_t> Listener() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd, 4), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return {fd, ntohs(address.sin_port)};
  }
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
  ASSERT_TRUE(ProfileFile(dir_ / "QLN.ini").Write("HTDev_Sys", "COMNo", "0"));
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
  const auto [listener, port] = Listener();
  close(listener);
  ASSERT_TRUE(ProfileFile(dir_ / "QLN.ini").Write("HTDev_Sys", "HartIpPort", std::to_string(port)));
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

// An instance of a plant: HART-IP where HartIpAddress and HartIpPort say, a probe that really asks
// (a server that accepts but never answers fails it), and the status line while it runs and after
// it stopped, with the last problem the operator was told of.
TEST_F(Headless, AnswersItsProbeAndKeepsAStatusLine) {
  CopyExample();
  EXPECT_EQ(Run({"--status"}), 1);
  EXPECT_NE(Err().find("no status in"), std::string::npos) << Err();
  const auto [listener, port] = Listener();
  close(listener);
  const std::filesystem::path ini = dir_ / "QLN.ini";
  ASSERT_TRUE(ProfileFile(ini).Write("HTDev_Sys", "HartIpPort", std::to_string(port)));
  ASSERT_TRUE(ProfileFile(ini).Write("HTDev_Sys", "HartIpAddress", "127.0.0.2"));
  // Read-only: the I/O system's section, written at its first command, makes a problem.
  std::filesystem::permissions(ini, std::filesystem::perms::owner_read);
  const int quiet = open("/dev/null", O_WRONLY);
  const pid_t pid = Spawn({"--no-serial"}, quiet, "instance.txt");
  close(quiet);
  const std::string served = "127.0.0.2:" + std::to_string(port);
  ASSERT_TRUE(Eventually([&] {
    return ReadFile(dir_ / "instance.txt").find("serves HART-IP on " + served) != std::string::npos;
  })) << ReadFile(dir_ / "instance.txt");

  EXPECT_EQ(Run({"--probe", served}), 0) << Err();
  EXPECT_EQ(Out(), "HART-IP at " + served +
                       " answers: I/O system 26-80-51-4C-4E with 8 devices behind it\n");
  EXPECT_EQ(Run({"--probe", std::to_string(port)}), 1);
  EXPECT_NE(Err().find("HART-IP at 127.0.0.1:" + std::to_string(port) + ": cannot connect"),
            std::string::npos)
      << Err();
  const auto [silent, silentPort] = Listener();
  EXPECT_EQ(Run({"--probe", std::to_string(silentPort)}), 1);
  EXPECT_NE(Err().find("no answer within the time allowed"), std::string::npos) << Err();
  close(silent);

  // After "time=YYYY-MM-DDThh:mm:ss ".
  const std::string running = "state=running pid=" + std::to_string(pid) + " hart-ip=" + served +
                              " serial=none sessions=0 transactions=2 last-error=";
  EXPECT_TRUE(Eventually([&] { return Run({"--status"}) == 0 && Out().find(running) == 25; }, 5s))
      << Out();
  EXPECT_NE(Out().find("QLN.ini could not be saved"), std::string::npos) << Out();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 3);
  EXPECT_EQ(Run({"--status"}), 1);
  EXPECT_NE(Out().find("state=stopped"), std::string::npos) << Out();
  EXPECT_NE(Err().find("not running"), std::string::npos) << Err();
}

// A service manager restarts the program after a crash: the link the killed program left fails
// to open until it is replaced at the next start, while a link that a live program serves is
// still refused.
TEST_F(Headless, ComesBackOnItsLinkAfterEachKillButNeverTakesALiveOnesLink) {
  CopyExample();
  const std::string link = (dir_ / "hart").string();
  for (int start = 0; start < 6; ++start) {
    const pid_t pid = Spawn({"--pty", link});
    ASSERT_TRUE(AnswersCommandZero(link, pid)) << "start " << start << ": " << Err();
    if (start == 0) {
      EXPECT_EQ(Wait(Spawn({"--pty", link}, -1, "second.txt")), 1);
      EXPECT_NE(ReadFile(dir_ / "second.txt").find(link + " is busy (another simulator serves it)"),
                std::string::npos)
          << ReadFile(dir_ / "second.txt");
      EXPECT_TRUE(AnswersCommandZero(link, pid)) << "the first goes on serving";
    }
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    ASSERT_TRUE(std::filesystem::is_symlink(link)) << "a killed program cleans nothing up";
    // ... but its link leads nowhere: no terminal that another program has by now.
    errno = 0;
    EXPECT_EQ(open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), -1);
    EXPECT_EQ(errno, ENOENT);
  }
}

// QLN.ini turns read-only while a master writes: the writes are answered and held, and SIGTERM
// ends the program with exit code 3, the held changes in the recovery file beside QLN.ini. The
// next start, with the file writable again, writes them into QLN.ini first and says so.
TEST_F(Headless, ChangesTheFileDidNotTakeAreKeptAtStopAndAppliedAtTheNextStart) {
  CopyExample();
  const std::filesystem::path ini = dir_ / "QLN.ini";
  const std::filesystem::path recovery = dir_ / "QLN-recovery.ini";
  const std::string counter = ProfileFile(ini).Snapshot()->Read("HTDev00_Cmd000", "CfgChgCnt_v6");
  const std::string link = (dir_ / "hart").string();
  pid_t pid = Spawn({"--pty", link});
  ASSERT_TRUE(AnswersCommandZero(link, pid)) << Err();
  const std::string message = "HELD WHILE THE FILE IS READ-ONLY";  // 32 characters
  {
    HartMaster master(link);
    ASSERT_TRUE(master.Opened());
    const auto identity = master.Transact(ShortFrame(0));
    ASSERT_TRUE(identity && identity->Data().size() >= 12);
    const std::vector<uint8_t> d = identity->Data();
    const std::array<uint8_t, 5> address{static_cast<uint8_t>(d[1] & 0x3F), d[2], d[9], d[10],
                                         d[11]};
    ASSERT_EQ(chmod(ini.c_str(), 0444), 0);
    const auto written = master.Transact(LongFrame(address, 17, Packed(message)));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->ResponseCode(), 0);
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 3) << Err();
  EXPECT_NE(Err().find("1 changed key is held in memory only"), std::string::npos) << Err();
  EXPECT_NE(Err().find("kept in " + recovery.string()), std::string::npos) << Err();
  const auto kept = ProfileFile(recovery).Snapshot();
  EXPECT_EQ(kept->Read("HTDev00_Cmd012", "Message"), message);
  EXPECT_EQ(kept->Read("HTDev00_Cmd000", "CfgChgCnt_v6"), std::to_string(std::stoi(counter) + 1));
  EXPECT_NE(ProfileFile(ini).Snapshot()->Read("HTDev00_Cmd012", "Message"), message);

  ASSERT_EQ(chmod(ini.c_str(), 0644), 0);
  pid = Spawn({"--pty", link});
  ASSERT_TRUE(AnswersCommandZero(link, pid)) << Err();
  EXPECT_NE(Err().find("are written into it now, from " + recovery.string()), std::string::npos)
      << Err();
  EXPECT_EQ(ProfileFile(ini).Snapshot()->Read("HTDev00_Cmd012", "Message"), message);
  EXPECT_FALSE(std::filesystem::exists(recovery));
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 0) << Err();
}

// Nobody reads standard output, which is full from the start: the devices answer all the same,
// writes reach the file, and SIGTERM still ends the program at once.
TEST_F(Headless, AnswersAndStopsAtOnceWhileNobodyReadsItsOutput) {
  CopyExample();
  FullPipe out;
  ASSERT_TRUE(out.Made());
  const std::string link = (dir_ / "hart").string();
  const pid_t pid = Spawn({"--pty", link}, out.WriteEnd());
  ASSERT_TRUE(AnswersCommandZero(link, pid)) << Err();
  {
    HartMaster master(link);
    ASSERT_TRUE(master.Opened());
    for (int request = 0; request < 3; ++request) {
      const auto reply = master.Transact(ShortFrame(0));
      ASSERT_TRUE(reply) << request;
      EXPECT_EQ(reply->ResponseCode(), 0) << request;  // not busy
    }
    const auto identity = master.Transact(ShortFrame(2));
    ASSERT_TRUE(identity && identity->Data().size() >= 12);
    const std::vector<uint8_t> d = identity->Data();
    const std::array<uint8_t, 5> address{static_cast<uint8_t>(d[1] & 0x3F), d[2], d[9], d[10],
                                         d[11]};
    const std::string message = "WRITTEN WHILE STDOUT IS STUCK   ";  // 32 characters
    const auto written = master.Transact(LongFrame(address, 17, Packed(message)));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->ResponseCode(), 0);
    EXPECT_EQ(ProfileFile(dir_ / "QLN.ini").Snapshot()->Read("HTDev02_Cmd012", "Message"),
              "WRITTEN WHILE STDOUT IS STUCK");
  }
  const auto stop = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 0) << Err();
  // The output's grace is a tenth of a second; a program that waited for the output would not end
  // at all. The bound leaves a loaded machine room for the exit of a sanitized program.
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 3s);
  EXPECT_FALSE(std::filesystem::exists(link));
}

// quillon-headless --pty LINK | true: standard output is closed at once.
TEST_F(Headless, GoesOnAnsweringWithOneMessageWhenItsOutputIsClosed) {
  CopyExample();
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  close(out[0]);
  const std::string link = (dir_ / "hart").string();
  const pid_t pid = Spawn({"--pty", link}, out[1]);
  close(out[1]);
  ASSERT_TRUE(AnswersCommandZero(link, pid)) << Err();
  {
    HartMaster master(link);
    ASSERT_TRUE(master.Opened());
    for (int request = 0; request < 3; ++request) {
      const auto reply = master.Transact(ShortFrame(0));
      ASSERT_TRUE(reply) << request << ": " << Err();
      EXPECT_EQ(reply->ResponseCode(), 0);
    }
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(Wait(pid), 0) << Err();
  const std::string err = Err();
  const std::string message = "standard output: Broken pipe; the traffic log is no longer written";
  EXPECT_NE(err.find(message), std::string::npos) << err;
  EXPECT_EQ(err.find(message), err.rfind(message)) << "said once: " << err;
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
  ASSERT_TRUE(file.Write("HTDev_Sys", "COM3Path", named));
  EXPECT_EQ(Run({"--fallback-pty", link}), 1) << "COMNo=3 names a port that does not exist";
  EXPECT_TRUE(Err().starts_with("Open Com3 Failed\n")) << Err();
  EXPECT_NE(Err().find(named), std::string::npos) << Err();
  EXPECT_FALSE(std::filesystem::exists(link));

  ASSERT_TRUE(file.Write("HTDev_Sys", "COMNo", ""));
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
  EXPECT_EQ(file.Snapshot()->Read("HTDev_Sys", "COMNo"), "")
      << "the fallback port is not stored as COMNo";
}

}  // namespace
}  // namespace qln::test
