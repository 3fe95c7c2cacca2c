#include "serial/port_path.h"

#include <gtest/gtest.h>

namespace qln {
namespace {

TEST(PortPath, ConfiguredPathWinsOverTheDefaultTty) {
  EXPECT_EQ(PortPathKey(3), "COM3Path");
  EXPECT_EQ(PortDevice(3, "/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(PortDevice(1, ""), "/dev/ttyS0");
  EXPECT_EQ(PortDevice(255, ""), "/dev/ttyS254");
  EXPECT_EQ(PortDevice(7, "pty:/tmp/hart"), "pty:/tmp/hart");
}

TEST(PortPath, RefusesNumbersOutside1To255) {
  EXPECT_EQ(PortDevice(0, ""), std::nullopt);
  EXPECT_EQ(PortDevice(256, "/dev/ttyUSB0"), std::nullopt);
  EXPECT_EQ(PortDevice(-1, ""), std::nullopt);
}

TEST(PortPath, RecognisesVirtualPorts) {
  EXPECT_EQ(PtyLink("pty:/tmp/hart"), "/tmp/hart");
  EXPECT_EQ(PtyLink("pty:"), "");
  EXPECT_EQ(PtyLink("/dev/ttyS0"), std::nullopt);
  EXPECT_EQ(PtyLink("PTY:/tmp/hart"), std::nullopt);
  EXPECT_EQ(PtyLink("/tmp/pty:x"), std::nullopt);
}

}  // namespace
}  // namespace qln
