#include "simulator/instance_status.h"

#include <gtest/gtest.h>

#include "support/fakes.h"
#include "support/temp_dir.h"

namespace qln::test {
namespace {

// The line changes only with its figures and at most once a second, but at once at a stop; the
// last problem passed on keeps its time and stays on one line; a directory without the file, or
// a line of a process that is gone, is not a running instance.
TEST(InstanceStatus, WrittenOnChangeAtMostOnceASecondWithTheLastProblem) {
  TempDir dir;
  FakeClock clock;
  FakeNotifier shown;
  ErrorRecorder errors(shown, clock);
  StatusFile file(dir.Path() / kStatusFileName, clock, getpid());
  EXPECT_FALSE(ReadStatus(dir.Path()));

  InstanceStatus status;
  status.hartIp = "0.0.0.0:5094";
  ASSERT_TRUE(file.Update(status));
  const auto line = [&] { return ReadFile(dir.Path() / kStatusFileName); };
  EXPECT_EQ(line(), "time=2024-12-31T13:45:07 state=running pid=" + std::to_string(getpid()) +
                        " hart-ip=0.0.0.0:5094 serial=none sessions=0 transactions=0 "
                        "last-error=none\n");
  status.transactions = 5;
  clock.milliseconds = 999;
  ASSERT_TRUE(file.Update(status));
  EXPECT_NE(line().find("transactions=0"), std::string::npos) << "not within the second";
  clock.milliseconds = 1000;
  clock.now.second = 8;
  ASSERT_TRUE(file.Update(status));
  EXPECT_NE(line().find("transactions=5"), std::string::npos);

  errors.Problem("QLN.ini could not be saved:\nthe disk is full");
  EXPECT_EQ(shown.problems.size(), 1u);
  status.lastError = errors.LastError();
  status.running = false;
  clock.milliseconds = 1001;
  ASSERT_TRUE(file.Update(status, true));
  EXPECT_NE(line().find("state=stopped"), std::string::npos);
  EXPECT_TRUE(line().ends_with(
      "last-error=2024-12-31T13:45:08 QLN.ini could not be saved: the disk is full\n"))
      << line();
  const auto report = ReadStatus(dir.Path());
  ASSERT_TRUE(report);
  EXPECT_FALSE(report->running);
  EXPECT_EQ(report->line + "\n", line());

  // A program killed outright leaves state=running behind with a pid that is no more.
  StatusFile(dir.Path() / kStatusFileName, clock, 0x3FFFFFFF).Update(InstanceStatus{});
  EXPECT_FALSE(ReadStatus(dir.Path())->running);
  StatusFile(dir.Path() / kStatusFileName, clock, getpid()).Update(InstanceStatus{});
  EXPECT_TRUE(ReadStatus(dir.Path())->running);
}

}  // namespace
}  // namespace qln::test
