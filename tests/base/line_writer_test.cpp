#include "base/line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/full_pipe.h"

namespace qln {
namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

TEST(BoundedLines, DropsTheOldestWhenFullAndSaysOnceHowManyWereLost) {
  BoundedLines lines(3);
  for (const char* line : {"1", "2", "3", "4", "5"}) lines.Push(line);
  EXPECT_EQ(lines.Take(), (std::vector<std::string>{
                              "(2 lines lost: the output was not read in time)", "3", "4", "5"}));
  EXPECT_TRUE(lines.Empty());
  EXPECT_TRUE(lines.Take().empty());

  lines.Push("6");
  EXPECT_EQ(lines.Take(), std::vector<std::string>{"6"}) << "the loss is told once";
  for (const char* line : {"7", "8", "9", "10"}) lines.Push(line);
  EXPECT_EQ(lines.Take().front(), "(1 line lost: the output was not read in time)");

  lines.Push("11");
  lines.Clear();
  EXPECT_TRUE(lines.Take().empty());
}

TEST(LineWriterThreaded, NeverWaitsForAStuckOutputAndAccountsForEveryDroppedLine) {
  test::FullPipe output;
  ASSERT_TRUE(output.Made());
  LineWriter writer(output.WriteEnd(), 10, nullptr);
  // A Push that waited for the output would wait until the test reads it below: the pushes would
  // not be done. They run on a thread of their own so that such a wait fails the test instead of
  // hanging it; the bound is far beyond what the pushes take on any machine.
  std::promise<void> pushed;
  std::thread pusher([&writer, &pushed] {
    for (int i = 0; i < 1000; ++i) writer.Push("line " + std::to_string(i));
    pushed.set_value();
  });
  EXPECT_EQ(pushed.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "Push waited for the output";

  // Once the output moves again: every line written is a pushed one in order, the newest
  // among them, and notices account for every line missing. (Usually one notice; a second
  // one comes when lines were dropped already before the writer took its first.)
  const std::string got = output.ReadUntil("line 999\n");
  pusher.join();
  ASSERT_TRUE(got.ends_with("line 999\n")) << got;
  const std::regex lineOrNotice(
      R"(line (\d+)|\((\d+) lines? lost: the output was not read in time\))");
  int next = 0;
  int notices = 0;
  std::size_t from = 0;
  for (std::size_t end = got.find('\n'); end != std::string::npos; end = got.find('\n', from)) {
    std::smatch match;
    const std::string line = got.substr(from, end - from);
    ASSERT_TRUE(std::regex_match(line, match, lineOrNotice)) << line;
    if (match[1].matched) {
      EXPECT_EQ(std::stoi(match[1]), next) << got;
      ++next;
    } else {
      ++notices;
      next += std::stoi(match[2]);
    }
    from = end + 1;
  }
  EXPECT_EQ(next, 1000);
  EXPECT_GE(notices, 1);
  EXPECT_LE(notices, 2);
}

TEST(LineWriterThreaded, StopsWithinItsGraceWhileTheOutputTakesNothing) {
  test::FullPipe output;
  ASSERT_TRUE(output.Made());
  LineWriter writer(output.WriteEnd(), 10, nullptr);
  for (int i = 0; i < 100; ++i) writer.Push(std::string(1000, 'y'));
  const auto start = SteadyClock::now();
  writer.Stop(milliseconds(100));
  // The output never takes anything: Stop gives it its grace and returns; the upper bound only
  // leaves a loaded machine room to schedule the two threads.
  EXPECT_GE(SteadyClock::now() - start, milliseconds(100));
  EXPECT_LT(SteadyClock::now() - start, milliseconds(2000));
  writer.Push("after the stop");  // dropped, and does not wait either
}

TEST(LineWriterThreaded, AFailedWriteIsReportedOnceAndLaterLinesAreDropped) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  close(ends[0]);  // nobody will ever read: a write raises SIGPIPE, which must not end the test
  std::mutex mutex;
  std::vector<std::string> reasons;
  {
    LineWriter writer(ends[1], 10, [&](const std::string& reason) {
      std::lock_guard lock(mutex);
      reasons.push_back(reason);
    });
    writer.Push("first");
    for (int i = 0; i < 50; ++i) {
      writer.Push("more");
      std::this_thread::sleep_for(milliseconds(1));
    }
  }
  close(ends[1]);
  EXPECT_EQ(reasons, std::vector<std::string>{"Broken pipe"});
}

}  // namespace
}  // namespace qln
