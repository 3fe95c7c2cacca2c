// Opening and closing the port: failures and their messages, the port named in the file, and the
// threads that an open port has (exactly two) and a closed one leaves behind (none).
#include <filesystem>
#include <string>
#include <thread>

#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

// The threads of this process. A sanitizer may start a helper thread along with the first thread
// of the process, so one thread is started and ended before the first count.
std::size_t ThreadCount() {
  [[maybe_unused]] static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

using SimulatorLifecycle = SimulatorOnPty;

TEST_F(SimulatorLifecycle, OpenFailuresSayWhichPortAndWhy) {
  const std::size_t threads = ThreadCount();
  Result<std::string> result = simulator_.Open(0);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().starts_with("Open Com0 Failed\n")) << result.error();

  result = simulator_.Open(256);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().starts_with("Open Com256 Failed\n")) << result.error();

  const std::string missing = (dir_ / "no-such-tty").string();
  result = simulator_.Open(7, missing);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Open Com7 Failed\n" + missing + ": No such file or directory");

  // COM6 opens the device its COM6Path names.
  const std::string configured = (dir_ / "configured-tty").string();
  Configure("HTDev_Sys", "COM6Path", configured);
  result = simulator_.Open(6);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Open Com6 Failed\n" + configured + ": No such file or directory");
  simulator_.Close();

  EXPECT_FALSE(simulator_.PortOpen());
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(Stored("HTDev_Sys", "COMNo"), "3") << "a failed open stores no port";
}

TEST_F(SimulatorLifecycle, ThePortOfTheFileIsOpenedAndStored) {
  Configure("HTDev_Sys", "COM4Path", "pty:" + Link());
  int comNumber = 0;
  ASSERT_TRUE(simulator_.StartUp(comNumber));
  EXPECT_EQ(comNumber, 3);
  const Result<std::string> opened = simulator_.Open(4);
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_EQ(*opened, "pty:" + Link());
  EXPECT_EQ(Stored("HTDev_Sys", "COMNo"), "4");
  Connect();
  EXPECT_TRUE(master_->Transact(ShortFrame(0)));
}

TEST_F(SimulatorLifecycle, AnOpenPortHasTwoThreadsAndAClosedOneNone) {
  const std::size_t threads = ThreadCount();
  Start();
  EXPECT_TRUE(simulator_.PortOpen());
  EXPECT_EQ(ThreadCount(), threads + 2);

  // Close and open at once, and open over an open port: never a second command thread.
  simulator_.Close();
  EXPECT_FALSE(simulator_.PortOpen());
  EXPECT_EQ(ThreadCount(), threads);
  for (int i = 0; i < 3; ++i) {
    const Result<std::string> opened = simulator_.Open(3, "pty:" + Link());
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_EQ(ThreadCount(), threads + 2);
  }
  Connect();
  const auto reply = master_->Transact(ShortFrame(1));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->ResponseCode(), 0);

  simulator_.Close();
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_FALSE(std::filesystem::exists(Link())) << "the virtual port's link goes with the port";
}

}  // namespace
}  // namespace qln::test
