// The operator's reads of QLN.ini while the command thread writes it. A write the file does not
// take changes the store's pending texts, which every read consults: the reads take the model
// lock as a command does (the ThreadSanitizer build checks that they never race).
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using OperatorReads = SimulatorOnPty;

TEST_F(OperatorReads, SeeTheFileWhileCommandsWritesFailAndStayPending) {
  Configure("HTDev_Sys", "HartIpPort", "5094");
  Configure("HTDev_Sys", "COM7Path", "/dev/ttyUSB7");
  Start();
  const std::array<uint8_t, 5> address = LongAddress(2);
  ASSERT_EQ(::chmod(IniPath().c_str(), 0444), 0);  // every write fails and stays pending

  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 8; ++i) {
      const auto reply =
          master_->Transact(LongFrame(address, 17, Packed("MESSAGE " + std::to_string(i))));
      EXPECT_TRUE(reply) << i;
    }
    done = true;
  });
  // Each kind of read alone: the lock one of them takes would order the others' accesses too.
  int reads = 0;
  while (!done) {
    EXPECT_EQ(simulator_.ConfiguredHartIpPort(), 5094);
    ++reads;
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(simulator_.PortDevices().at(6), "/dev/ttyUSB7");
  EXPECT_FALSE(recorder_.Problems().empty()) << "the failed writes are reported";
  ASSERT_EQ(::chmod(IniPath().c_str(), 0644), 0);
}

}  // namespace
}  // namespace qln::test
