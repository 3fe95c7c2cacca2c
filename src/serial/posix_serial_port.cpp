#include "serial/posix_serial_port.h"

#include <fcntl.h>
#include <linux/major.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <thread>

#include "serial/port_path.h"

namespace qln {

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kWriteTimeout = std::chrono::milliseconds(1000);
constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

std::string SystemReason(std::string_view name, int error) {
  return std::string(name) + ": " + std::generic_category().message(error);
}

std::string DeviceFailure(std::string_view name, int error) {
  if (error == EBUSY || error == EWOULDBLOCK) {
    return std::string(name) + " is busy (another program has it open)";
  }
  std::string text = SystemReason(name, error);
  if (error == EACCES) {
    text +=
        " (add your user to the dialout group: sudo usermod -aG dialout $USER, then log in "
        "again)";
  }
  return text;
}

// Raw 8-bit transfer at 1200 baud, 8 data bits, 1 stop bit, no flow control, no character
// processing either way, reads that return at once with what is waiting.
void MakeRaw(termios& settings) {
  cfmakeraw(&settings);
  settings.c_iflag &= ~(IGNPAR | IUCLC | IXOFF | IXANY);
  settings.c_cflag &= ~(CSTOPB | CRTSCTS);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, B1200);
  cfsetospeed(&settings, B1200);
}

// Odd parity, checked; a damaged byte x arrives as 0xFF 0x00 x and a real 0xFF as 0xFF 0xFF
// (IGNPAR and ISTRIP stay off, or damaged bytes vanish and 0xFF becomes 0x7F).
void AddOddParity(termios& settings) {
  settings.c_iflag |= INPCK | PARMRK;
  settings.c_cflag &= ~CMSPAR;
  settings.c_cflag |= PARENB | PARODD;
}

bool Is8O1At1200(const termios& settings) {
  return (settings.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR)) ==
             (CS8 | PARENB | PARODD) &&
         cfgetispeed(&settings) == B1200 && cfgetospeed(&settings) == B1200;
}

// The slave end of a pseudo-terminal: no modem lines, and its driver forces 8 bits without parity.
bool IsPseudoTerminal(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
  const unsigned int number = major(status.st_rdev);
  return number >= UNIX98_PTY_SLAVE_MAJOR &&
         number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
}

bool ReadCounters(int fd, LineErrorCounts& counts) {
  serial_icounter_struct driver{};
  if (ioctl(fd, TIOCGICOUNT, &driver) != 0) return false;
  counts.frame = static_cast<uint32_t>(driver.frame);
  counts.overrun = static_cast<uint32_t>(driver.overrun);
  counts.bufOverrun = static_cast<uint32_t>(driver.buf_overrun);
  counts.parity = static_cast<uint32_t>(driver.parity);
  counts.brk = static_cast<uint32_t>(driver.brk);
  return true;
}

// A virtual port holds an open-file-description lock on its pseudo-terminal's other end, on the
// one byte that its link's path names, which tells a second simulator on the same link that the
// link is served. (flock would also keep out a master program that locks the port it opens.)
// A terminal served under another link's byte is not this link's: the simulator that made this
// link died, and its terminal's number has gone to another simulator since.
off_t LinkByte(const fs::path& link) {
  std::error_code error;
  const fs::path absolute = fs::absolute(link, error);
  fs::path directory = fs::weakly_canonical(absolute.parent_path(), error);
  if (error) directory = absolute.parent_path();
  const std::string path = (directory / absolute.filename()).string();
  uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  return static_cast<off_t>(hash >> 2);
}

struct flock LinkRange(const fs::path& link) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = LinkByte(link);
  range.l_len = 1;
  return range;
}

bool Lock(int fd, const fs::path& link) {
  struct flock range = LinkRange(link);
  return fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// What the link points at: this process's own descriptor of the terminal's other end, under
// /proc. That path exists only while the process lives, so a link that a killed simulator left
// behind leads nowhere ("No such file or directory") instead of to whatever program the system
// gives the terminal's number next. The terminal's own path where /proc does not show it.
std::string LinkTarget(int slave, const std::string& slavePath) {
  const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(slave);
  std::error_code error;
  return fs::read_symlink(own, error) == slavePath && !error ? own : slavePath;
}

// Whether the link leads to the other end of a pseudo-terminal that a live simulator serves
// under this link. A link to `ownSlave`, the terminal this port has just made, is one that a
// simulator that died without clean-up left: the system hands out a terminal's number again only
// once nobody holds it any more, and the lock seen there is this port's own. A link through
// /proc that no longer resolves is one a killed simulator left.
bool ServedElsewhere(const fs::path& link, const std::string& ownSlave) {
  std::error_code error;
  fs::path terminal = fs::read_symlink(link, error);
  if (!error && terminal.native().starts_with("/proc/"))
    terminal = fs::read_symlink(terminal, error);
  if (error || !terminal.native().starts_with("/dev/pts/") || terminal == ownSlave) return false;
  const int fd = open(terminal.c_str(), kOpenFlags);
  if (fd < 0) return false;
  struct flock range = LinkRange(link);
  const bool locked = fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
  close(fd);
  return locked;
}

// Makes room for the link to `ownSlave`: nothing may be there but a symbolic link that no other
// simulator serves, which is replaced.
bool ClaimLink(const fs::path& link, const std::string& ownSlave, std::string& message) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(link, error);
  if (status.type() == fs::file_type::not_found) return true;
  if (error) {
    message = SystemReason(link.string(), error.value());
  } else if (status.type() != fs::file_type::symlink) {
    message = link.string() + " exists and is not a symbolic link; it is left alone";
  } else if (ServedElsewhere(link, ownSlave)) {
    message = link.string() + " is busy (another simulator serves it)";
  } else if (!fs::remove(link, error)) {
    message = SystemReason(link.string(), error.value());
  } else {
    return true;
  }
  return false;
}

}  // namespace

Result<std::unique_ptr<PosixSerialPort>> PosixSerialPort::Open(std::string_view device) {
  std::unique_ptr<PosixSerialPort> port(new PosixSerialPort);
  std::string error;
  const std::optional<std::string_view> link = PtyLink(device);
  const bool opened = link ? port->OpenPty(std::string(*link), error)
                           : port->OpenDevice(std::string(device), error);
  if (!opened) return Failure{std::move(error)};
  return port;
}

bool PosixSerialPort::OpenDevice(const std::string& path, std::string& error) {
  name_ = path;
  fd_ = open(path.c_str(), kOpenFlags);
  if (fd_ < 0) {
    error = DeviceFailure(path, errno);
    return false;
  }
  termios settings{};
  if (tcgetattr(fd_, &settings) != 0) {
    error = errno == ENOTTY ? path + " is not a serial port" : SystemReason(path, errno);
    return false;
  }
  // Lock first: setting TIOCEXCL on a port that another program holds would leave it exclusive.
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0 || ioctl(fd_, TIOCEXCL) != 0) {
    error = DeviceFailure(path, errno);
    return false;
  }
  pseudoTerminal_ = IsPseudoTerminal(fd_);
  MakeRaw(settings);
  AddOddParity(settings);
  termios applied{};
  if (tcsetattr(fd_, TCSANOW, &settings) != 0 || tcgetattr(fd_, &applied) != 0) {
    error = SystemReason(path, errno);
    return false;
  }
  // A driver keeps only the settings it can do; without odd parity every reply would be damaged.
  if (!pseudoTerminal_ && !Is8O1At1200(applied)) {
    error = path + ": the port cannot do 1200 baud, 8 data bits, odd parity, 1 stop bit";
    return false;
  }
  marks_ = true;
  counters_ = ReadCounters(fd_, counts_);
  Purge();
  return true;
}

bool PosixSerialPort::OpenPty(const std::string& link, std::string& error) {
  name_ = link;
  pseudoTerminal_ = true;
  if (link.empty()) {
    error = "pty: needs the path of the link to create, for example pty:/tmp/hart";
    return false;
  }
  // The termios of a pseudo-terminal are those of its slave end, whichever end sets them, and
  // they act on what the slave side reads: the master side here never sees parity marks or a
  // doubled 0xFF, and the slave is made plain raw so that the master program sees none either.
  char slave[64];
  fd_ = posix_openpt(kOpenFlags);
  if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0 ||
      ptsname_r(fd_, slave, sizeof slave) != 0) {
    error = link + ": cannot create a pseudo-terminal: " + std::generic_category().message(errno);
    return false;
  }
  slavePath_ = slave;
  termios settings{};
  ptySlave_ = open(slave, kOpenFlags);
  if (ptySlave_ < 0 || tcgetattr(ptySlave_, &settings) != 0) {
    error = SystemReason(slavePath_, errno);
    return false;
  }
  MakeRaw(settings);
  if (tcsetattr(ptySlave_, TCSANOW, &settings) != 0 || !Lock(ptySlave_, link)) {
    error = SystemReason(slavePath_, errno);
    return false;
  }
  // Whatever waits is thrown away now, before the link is there: a master program may send its
  // first request the moment the link appears.
  Purge();
  linkTarget_ = LinkTarget(ptySlave_, slavePath_);
  if (!ClaimLink(link, slavePath_, error)) return false;
  std::error_code linkError;
  fs::create_symlink(linkTarget_, link, linkError);
  if (linkError) {
    error = SystemReason(link, linkError.value());
    return false;
  }
  link_ = link;
  return true;
}

PosixSerialPort::~PosixSerialPort() {
  if (!link_.empty()) {
    // Only the link made here: someone may have put something else there since.
    std::error_code error;
    if (fs::read_symlink(link_, error) == linkTarget_ && !error) fs::remove(link_, error);
  }
  if (ptySlave_ >= 0) close(ptySlave_);
  if (fd_ >= 0) close(fd_);
}

ReadResult PosixSerialPort::Read(uint8_t* buffer, std::size_t max) {
  ReadResult result;
  pollfd waiting{fd_, POLLIN, 0};
  if (poll(&waiting, 1, 0) < 0) return result;  // interrupted: nothing this time
  ssize_t got = 0;
  if (waiting.revents == POLLIN && max > 0) got = read(fd_, buffer, max);
  if (std::optional<std::string> reason =
          PortGoneReason(name_, waiting.revents, got < 0 ? errno : 0)) {
    result.gone = true;
    result.reason = std::move(*reason);
    return result;
  }
  if (got <= 0) return result;

  std::size_t count = static_cast<std::size_t>(got);
  bool marked = false;
  if (marks_) {
    const ParityMarkDecoder::Decoded decoded = decoder_.Decode(buffer, count, buffer);
    count = decoded.count;
    marked = decoded.marked;
  }
  if (count == 0) return result;  // only the start of a mark; its byte comes with the next read
  LineErrorCounts now = counts_;
  if (counters_) ReadCounters(fd_, now);
  result.lineError = LineErrorCode(counts_, now, marked);
  result.count = count;
  counts_ = now;
  return result;
}

bool PosixSerialPort::Write(const uint8_t* data, std::size_t length) {
  writeStart_ = SteadyClock::now();
  if (counters_) ReadCounters(fd_, counts_);  // errors before the transmission are forgotten
  const SteadyClock::time_point deadline = writeStart_ + kWriteTimeout;
  while (length > 0) {
    const ssize_t written = write(fd_, data, length);
    if (written > 0) {
      data += written;
      length -= static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) return false;
    // The driver's buffer is full. On a virtual port nobody is reading the link: drop what
    // waits there unread, as a wire with nobody listening would.
    if (ptySlave_ >= 0) tcflush(ptySlave_, TCIFLUSH);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    pollfd writable{fd_, POLLOUT, 0};
    if (left.count() <= 0 || poll(&writable, 1, static_cast<int>(left.count())) == 0) {
      return false;
    }
  }
  return true;
}

void PosixSerialPort::WaitSent(std::size_t byteCount) {
  while (tcdrain(fd_) != 0 && errno == EINTR) {
  }
  // Some USB adapters report the drain done while their own buffer is still sending: wait at
  // least as long as the bytes take on the wire, 11 bits each at 1200 baud.
  std::this_thread::sleep_until(writeStart_ +
                                std::chrono::microseconds(byteCount * 11 * 1'000'000 / 1200));
}

bool PosixSerialPort::SetRts(bool on) { return SetModemLine(TIOCM_RTS, on); }

bool PosixSerialPort::SetDtr(bool on) { return SetModemLine(TIOCM_DTR, on); }

bool PosixSerialPort::SetModemLine(int line, bool on) {
  if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  // A pseudo-terminal has no modem lines; keying it is not an error.
  return pseudoTerminal_ && (errno == ENOTTY || errno == EINVAL);
}

void PosixSerialPort::Purge() {
  tcflush(fd_, TCIOFLUSH);
  decoder_.Reset();
  if (counters_) ReadCounters(fd_, counts_);
}

std::optional<std::string> PortGoneReason(std::string_view name, short revents, int readError) {
  constexpr std::string_view kHint = " (the port has gone away; was the adapter unplugged?)";
  if (readError != 0 && readError != EAGAIN && readError != EINTR) {
    return SystemReason(name, readError) + std::string(kHint);
  }
  if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    return std::string(name) + ": hung up" + std::string(kHint);
  }
  return std::nullopt;
}

}  // namespace qln
