#include "fake_serial_port.h"

#include <gtest/gtest.h>

namespace qln::test {
namespace {

// The serial worker's tests rely on the fake handing out queued bytes read by read.
TEST(FakeSerialPort, HandsOutQueuedBytesReadByReadAndRecordsTheRest) {
  FakeSerialPort port;
  port.Receive({0x01, 0x02, 0x03}, 0xC0);
  port.Receive({0x04});
  uint8_t buffer[8];
  ReadResult first = port.Read(buffer, 2);
  EXPECT_EQ(first.count, 2u);
  EXPECT_EQ(first.lineError, 0xC0);
  EXPECT_EQ(buffer[1], 0x02);
  ReadResult rest = port.Read(buffer, 8);
  EXPECT_EQ(rest.count, 1u);
  EXPECT_EQ(rest.lineError, 0xC0);
  EXPECT_EQ(buffer[0], 0x03);
  EXPECT_EQ(port.Read(buffer, 8).lineError, 0);
  EXPECT_EQ(port.Read(buffer, 8).count, 0u);
  EXPECT_EQ(port.Reads(), 4);

  const uint8_t frame[] = {0x02, 0xCF};
  port.SetRts(true);
  port.Write(frame, 2);
  port.WaitSent(2);
  port.Unplug("/dev/ttyUSB0: hung up");
  EXPECT_TRUE(port.Read(buffer, 8).gone);
  EXPECT_EQ(port.Events(), (std::vector<std::string>{"RTS 1", "write 02 CF", "sent 2"}));
}

}  // namespace
}  // namespace qln::test
