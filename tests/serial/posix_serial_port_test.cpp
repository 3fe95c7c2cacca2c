#include "serial/posix_serial_port.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace qln {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using ::testing::HasSubstr;
using SteadyClock = std::chrono::steady_clock;

// Bound on how long a test waits for bytes that are already on their way.
constexpr milliseconds kPatience{1000};

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// What a HART master program does: open the port and make it raw.
Fd OpenRaw(const fs::path& path) {
  Fd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  EXPECT_GE(fd.get(), 0) << path << ": " << strerror(errno);
  termios settings{};
  EXPECT_EQ(tcgetattr(fd.get(), &settings), 0);
  cfmakeraw(&settings);
  EXPECT_EQ(tcsetattr(fd.get(), TCSANOW, &settings), 0);
  return fd;
}

void WriteFd(int fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

Bytes ReadFd(int fd, std::size_t expected) {
  Bytes got;
  const auto deadline = SteadyClock::now() + kPatience;
  while (got.size() < expected && SteadyClock::now() < deadline) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 10) <= 0) continue;
    uint8_t buffer[512];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

struct PortRead {
  Bytes bytes;
  uint8_t lineErrors = 0;  // OR of the reads' codes
  bool gone = false;
};

// Reads from the port, `max` bytes at a time, until `expected` bytes came or the port is gone.
PortRead ReadPort(SerialPort& port, std::size_t expected, std::size_t max = 256) {
  PortRead got;
  const auto deadline = SteadyClock::now() + kPatience;
  while (got.bytes.size() < expected && !got.gone && SteadyClock::now() < deadline) {
    uint8_t buffer[256];
    const ReadResult result = port.Read(buffer, max);
    got.bytes.insert(got.bytes.end(), buffer, buffer + result.count);
    got.lineErrors |= result.lineError;
    got.gone = result.gone;
    if (result.count == 0) std::this_thread::sleep_for(milliseconds(1));
  }
  return got;
}

Bytes EveryByteValue() {
  Bytes bytes;
  for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<uint8_t>(value));
  // What a parity mark or a doubled 0xFF would look like, to be passed on as it is.
  bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0x00, 0x41, 0xFF, 0x00, 0x00, 0xFF});
  return bytes;
}

std::unique_ptr<PosixSerialPort> OpenPort(const std::string& device) {
  Result<std::unique_ptr<PosixSerialPort>> port = PosixSerialPort::Open(device);
  EXPECT_TRUE(port) << port.error();
  if (!port) return nullptr;
  EXPECT_NE(*port, nullptr);
  return std::move(*port);
}

// Why `device` cannot be opened; a port that opens fails the test.
std::string WhyNotOpened(const std::string& device) {
  const Result<std::unique_ptr<PosixSerialPort>> port = PosixSerialPort::Open(device);
  EXPECT_FALSE(port) << device << " opened";
  return port ? std::string() : port.error();
}

// A pseudo-terminal made by the test, whose slave end the port opens as a device path.
struct TestPty {
  TestPty() : master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    char name[64];
    EXPECT_GE(master.get(), 0);
    EXPECT_EQ(grantpt(master.get()), 0);
    EXPECT_EQ(unlockpt(master.get()), 0);
    EXPECT_EQ(ptsname_r(master.get(), name, sizeof name), 0);
    slave = name;
  }
  Fd master;
  std::string slave;
};

TEST(PosixSerialPortPty, CarriesEveryByteValueUnchangedBothWays) {
  test::TempDir dir;
  const fs::path link = dir / "hart";
  std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + link.string());
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(fs::is_symlink(link));
  // Through the port's own descriptor of the terminal, which goes with the process.
  EXPECT_EQ(fs::read_symlink(link).parent_path(), "/proc/" + std::to_string(getpid()) + "/fd");
  EXPECT_TRUE(fs::canonical(link).string().starts_with("/dev/pts/"));

  uint8_t buffer[16];
  const ReadResult silent = port->Read(buffer, sizeof buffer);
  EXPECT_EQ(silent.count, 0u);
  EXPECT_FALSE(silent.gone);

  Fd master = OpenRaw(link);
  const Bytes bytes = EveryByteValue();
  WriteFd(master.get(), bytes);
  const PortRead got = ReadPort(*port, bytes.size());
  EXPECT_EQ(got.bytes, bytes);
  EXPECT_EQ(got.lineErrors, 0);

  ASSERT_TRUE(port->Write(bytes.data(), bytes.size()));
  EXPECT_EQ(ReadFd(master.get(), bytes.size()), bytes);

  EXPECT_TRUE(port->SetRts(true));
  EXPECT_TRUE(port->SetDtr(false));
  EXPECT_TRUE(port->SetRts(false));
  EXPECT_TRUE(port->SetDtr(true));

  port.reset();
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(PosixSerialPortPty, KeepsServingWhileTheMasterProgramReconnects) {
  test::TempDir dir;
  const fs::path link = dir / "hart";
  std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + link.string());
  ASSERT_NE(port, nullptr);

  OpenRaw(link);  // opened and closed again at once
  uint8_t buffer[16];
  const ReadResult between = port->Read(buffer, sizeof buffer);
  EXPECT_FALSE(between.gone) << between.reason;

  Fd master = OpenRaw(link);
  WriteFd(master.get(), {0xFF, 0xFF, 0x02, 0x80});
  EXPECT_EQ(ReadPort(*port, 4).bytes, (Bytes{0xFF, 0xFF, 0x02, 0x80}));
}

TEST(PosixSerialPortPty, WritesDoNotStallWhileNobodyReadsTheLink) {
  test::TempDir dir;
  std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + (dir / "hart").string());
  ASSERT_NE(port, nullptr);
  const Bytes burst(256, 0xFF);
  const auto start = SteadyClock::now();
  // Far more than the pseudo-terminal buffers.
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(port->Write(burst.data(), burst.size())) << i;
  EXPECT_LT(SteadyClock::now() - start, milliseconds(500));
}

TEST(PosixSerialPortPty, PurgeDiscardsWhatWaits) {
  test::TempDir dir;
  const fs::path link = dir / "hart";
  std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + link.string());
  ASSERT_NE(port, nullptr);
  Fd master = OpenRaw(link);
  WriteFd(master.get(), {0x01, 0x02, 0x03, 0x04});
  ASSERT_EQ(ReadPort(*port, 1, 1).bytes, Bytes{0x01});  // the rest has arrived too
  port->Purge();
  uint8_t buffer[16];
  EXPECT_EQ(port->Read(buffer, sizeof buffer).count, 0u);
}

TEST(PosixSerialPortPty, WaitSentLastsAsLongAsTheBytesTakeOnTheWire) {
  test::TempDir dir;
  std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + (dir / "hart").string());
  ASSERT_NE(port, nullptr);
  const Bytes bytes = {0x01, 0x02, 0x03};
  const auto start = SteadyClock::now();
  ASSERT_TRUE(port->Write(bytes.data(), bytes.size()));
  port->WaitSent(bytes.size());
  const auto elapsed = SteadyClock::now() - start;
  EXPECT_GE(elapsed, std::chrono::microseconds(3 * 11 * 1'000'000 / 1200));
  EXPECT_LT(elapsed, milliseconds(200));
}

TEST(PosixSerialPortPty, RefusesASecondSimulatorOnTheSameLink) {
  test::TempDir dir;
  const fs::path link = dir / "hart";
  std::unique_ptr<PosixSerialPort> first = OpenPort("pty:" + link.string());
  ASSERT_NE(first, nullptr);
  const fs::path target = fs::read_symlink(link);

  EXPECT_EQ(WhyNotOpened("pty:" + link.string()),
            link.string() + " is busy (another simulator serves it)");
  EXPECT_EQ(fs::read_symlink(link), target);

  first.reset();
  EXPECT_NE(OpenPort("pty:" + link.string()), nullptr);
}

TEST(PosixSerialPortPty, ReplacesAStaleLinkButNothingElse) {
  test::TempDir dir;
  const fs::path link = dir / "hart";
  fs::create_symlink("/dev/pts/no-such-terminal", link);
  std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + link.string());
  ASSERT_NE(port, nullptr);
  EXPECT_NE(fs::read_symlink(link), "/dev/pts/no-such-terminal");
  port.reset();

  test::WriteFile(link, "keep me");
  EXPECT_EQ(WhyNotOpened("pty:" + link.string()),
            link.string() + " exists and is not a symbolic link; it is left alone");
  EXPECT_EQ(test::ReadFile(link), "keep me");

  EXPECT_THAT(WhyNotOpened("pty:"), HasSubstr("needs the path of the link"));
}

// A simulator that dies without clean-up leaves its link; the next one usually gets the same
// terminal number, so the left link points at the terminal it has just made and locked itself.
TEST(PosixSerialPortPty, ReplacesTheLinkLeftByADeadSimulatorEvenWhenItPointsAtItsOwnTerminal) {
  test::TempDir dir;
  const fs::path link = dir / "hart";
  int sameTerminal = 0;
  for (int start = 0; start < 5; ++start) {
    std::string deadTarget;
    {
      std::unique_ptr<PosixSerialPort> dead = OpenPort("pty:" + link.string());
      ASSERT_NE(dead, nullptr);
      deadTarget = fs::read_symlink(link).string();
    }
    fs::create_symlink(deadTarget, link);  // what a kill -9 leaves behind

    std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + link.string());
    ASSERT_NE(port, nullptr) << "start " << start;
    sameTerminal += fs::read_symlink(link) == deadTarget ? 1 : 0;
    Fd master = OpenRaw(link);
    WriteFd(master.get(), {0x02, 0x80});
    EXPECT_EQ(ReadPort(*port, 2).bytes, (Bytes{0x02, 0x80}));

    // A second simulator is still refused while this one serves the link.
    EXPECT_EQ(WhyNotOpened("pty:" + link.string()),
              link.string() + " is busy (another simulator serves it)");
  }
  // The system hands out the lowest free number, so the case this test is about did occur.
  EXPECT_GT(sameTerminal, 0);
}

// The dead simulator's terminal number went to a simulator serving another link: its link is
// stale all the same, while that other simulator keeps its own.
TEST(PosixSerialPortPty, ReplacesALinkWhoseTerminalNowServesAnotherLink) {
  test::TempDir dir;
  const fs::path other = dir / "other";
  std::unique_ptr<PosixSerialPort> otherPort = OpenPort("pty:" + other.string());
  ASSERT_NE(otherPort, nullptr);
  const fs::path otherTarget = fs::read_symlink(other);
  const fs::path link = dir / "hart";
  fs::create_symlink(otherTarget, link);

  std::unique_ptr<PosixSerialPort> port = OpenPort("pty:" + link.string());
  ASSERT_NE(port, nullptr);
  EXPECT_NE(fs::read_symlink(link), otherTarget);
  EXPECT_EQ(fs::read_symlink(other), otherTarget);
  EXPECT_EQ(WhyNotOpened("pty:" + other.string()),
            other.string() + " is busy (another simulator serves it)");
  // The same link named another way is the same link.
  EXPECT_THAT(WhyNotOpened("pty:" + (dir / "." / "hart").string()),
              HasSubstr("is busy (another simulator serves it)"));
}

TEST(PosixSerialPortPty, ConcurrentOpenKeepsARequestSentTheMomentTheLinkAppears) {
  test::TempDir dir;
  const fs::path link = dir / "hart";
  for (int start = 0; start < 20; ++start) {
    std::unique_ptr<PosixSerialPort> port;
    std::thread opener([&] { port = OpenPort("pty:" + link.string()); });
    int opened = -1;
    const auto deadline = SteadyClock::now() + kPatience;
    while (opened < 0 && SteadyClock::now() < deadline) {
      opened = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    Fd master(opened);
    if (opened >= 0) WriteFd(master.get(), {0xFF, 0x02, 0x80});
    opener.join();
    ASSERT_NE(port, nullptr);
    ASSERT_GE(opened, 0);
    EXPECT_EQ(ReadPort(*port, 3).bytes, (Bytes{0xFF, 0x02, 0x80})) << "start " << start;
  }
}

TEST(PosixSerialPortDevice, OpensExclusivelyAndUndoesTheParityMarking) {
  TestPty pty;
  std::unique_ptr<PosixSerialPort> port = OpenPort(pty.slave);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(WhyNotOpened(pty.slave), pty.slave + " is busy (another program has it open)");

  // The driver doubles every 0xFF arriving here; reading a byte at a time cuts the pairs.
  const Bytes bytes = {0xFF, 0x01, 0xFF, 0xFF, 0x00, 0x7F};
  WriteFd(pty.master.get(), bytes);
  const PortRead got = ReadPort(*port, bytes.size(), 1);
  EXPECT_EQ(got.bytes, bytes);
  EXPECT_EQ(got.lineErrors, 0);

  ASSERT_TRUE(port->Write(bytes.data(), bytes.size()));
  EXPECT_EQ(ReadFd(pty.master.get(), bytes.size()), bytes);
  EXPECT_TRUE(port->SetRts(true));
  EXPECT_TRUE(port->SetDtr(true));
}

TEST(PosixSerialPortDevice, ReportsAPortThatGoesAway) {
  TestPty pty;
  std::unique_ptr<PosixSerialPort> port = OpenPort(pty.slave);
  ASSERT_NE(port, nullptr);
  pty.master.Close();  // hangs the terminal up, as unplugging an adapter does

  uint8_t buffer[16];
  const ReadResult result = port->Read(buffer, sizeof buffer);
  EXPECT_TRUE(result.gone);
  EXPECT_EQ(result.count, 0u);
  EXPECT_EQ(result.reason,
            pty.slave + ": hung up (the port has gone away; was the adapter unplugged?)");
  const uint8_t byte = 0x55;
  EXPECT_FALSE(port->Write(&byte, 1));
  EXPECT_FALSE(port->SetRts(true));
  port->WaitSent(1);  // returns
}

TEST(PosixSerialPortDevice, SaysWhyItCannotOpen) {
  test::TempDir dir;
  const std::string missing = (dir / "ttyS2").string();
  EXPECT_EQ(WhyNotOpened(missing), missing + ": No such file or directory");

  const fs::path file = dir / "file";
  test::WriteFile(file, "");
  EXPECT_EQ(WhyNotOpened(file.string()), file.string() + " is not a serial port");

  if (geteuid() != 0) {  // root may open anything
    fs::permissions(file, fs::perms::none);
    EXPECT_EQ(WhyNotOpened(file.string()),
              file.string() +
                  ": Permission denied (add your user to the dialout group: sudo usermod "
                  "-aG dialout $USER, then log in again)");
  }
}

TEST(PosixSerialPortGone, TellsAHangUpOrAFailedReadFromSilence) {
  EXPECT_EQ(PortGoneReason("/dev/ttyUSB0", POLLIN, 0), std::nullopt);
  EXPECT_EQ(PortGoneReason("/dev/ttyUSB0", 0, 0), std::nullopt);
  EXPECT_EQ(PortGoneReason("/dev/ttyUSB0", POLLIN, EAGAIN), std::nullopt);
  EXPECT_EQ(PortGoneReason("/dev/ttyUSB0", POLLIN, EINTR), std::nullopt);

  const std::string hint = " (the port has gone away; was the adapter unplugged?)";
  for (int events : {POLLHUP, POLLERR, POLLNVAL, POLLIN | POLLHUP}) {
    EXPECT_EQ(PortGoneReason("/dev/ttyUSB0", static_cast<short>(events), 0),
              "/dev/ttyUSB0: hung up" + hint);
  }
  EXPECT_EQ(PortGoneReason("/dev/ttyUSB0", POLLIN, EIO), "/dev/ttyUSB0: Input/output error" + hint);
  EXPECT_EQ(PortGoneReason("/dev/ttyUSB0", 0, ENXIO),
            "/dev/ttyUSB0: No such device or address" + hint);
}

}  // namespace
}  // namespace qln
