// quillon-headless: the simulator without a window. It works in the current directory with its
// QLN.ini, opens the port of COMNo (or the one given on the command line) and, when asked (on the
// command line or by HartIpPort in the file), serves HART-IP; it writes the traffic log to
// standard output, the console notes and warnings to standard error and its status line to
// QLN-status.txt, and runs until SIGINT or SIGTERM. Asked to, it instead probes a HART-IP server
// or shows the status of the instance of the current directory.
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/clock.h"
#include "base/console.h"
#include "base/line_writer.h"
#include "base/notifier.h"
#include "device/config_store.h"
#include "device/text_values.h"
#include "hartip/hartip_probe.h"
#include "simulator/instance_status.h"
#include "simulator/simulator.h"

namespace {

constexpr int kExitFailure = 1;  // the port could not be opened, or went away
constexpr int kExitUsage = 2;    // wrong arguments, or no port to open
// Stopped as asked, but QLN.ini did not take every change: they are in the recovery file beside
// it (or, where that could not be written either, only in the message on standard error).
constexpr int kExitUnsaved = 3;
// --probe: how long the server may take for the whole exchange.
constexpr uint32_t kProbeTimeoutMs = 2000;

// Traffic lines held for a standard output that does not keep up; older ones are dropped.
constexpr std::size_t kTrafficBacklog = 4096;

constexpr char kUsage[] =
    "Usage: quillon-headless [--port PATH | --pty LINK | --no-serial] [--fallback-pty LINK]\n"
    "                        [--hart-ip [ADDRESS:]PORT] [--capture FILE.pcapng]\n"
    "       quillon-headless --probe [ADDRESS:]PORT | --status\n"
    "\n"
    "Simulates up to sixteen HART field devices on a serial port, without a window. The device\n"
    "data are in QLN.ini in the current directory; the port is COM<COMNo> of that file, which\n"
    "opens the device named by the key COM<n>Path of [HTDev_Sys], or /dev/ttyS<n-1>.\n"
    "\n"
    "  --port PATH  open this serial device instead, for example /dev/ttyUSB0\n"
    "  --pty LINK   open a virtual port: a pseudo-terminal whose other end is linked at LINK,\n"
    "               for a HART master program on this machine\n"
    "  --fallback-pty LINK\n"
    "               open a virtual port linked at LINK when QLN.ini names no port (COMNo is\n"
    "               not 1 to 255); a port that QLN.ini names, --port and --pty come first\n"
    "  --no-serial  open no serial port: HART-IP only\n"
    "  --hart-ip [ADDRESS:]PORT\n"
    "               also serve HART-IP (TCP and UDP) on PORT (5094 is the usual one) at the IPv4\n"
    "               ADDRESS, 127.0.0.1 unless given: only this machine can connect. Give\n"
    "               0.0.0.0 to let every network reach the devices. Without this option the\n"
    "               keys HartIpPort (absent or 0: no HART-IP) and HartIpAddress (absent:\n"
    "               127.0.0.1) of [HTDev_Sys] say where\n"
    "  --capture FILE.pcapng\n"
    "               write every frame received and sent, serial and HART-IP, to FILE.pcapng\n"
    "               for Wireshark; past 100 MB (CaptureLimitMB of [HTDev_Sys]) FILE.1.pcapng,\n"
    "               FILE.2.pcapng ... follow. Without this option the key CaptureFile of\n"
    "               [HTDev_Sys] names the file (absent or empty: no capture)\n"
    "  --probe [ADDRESS:]PORT\n"
    "               check that the HART-IP server there (127.0.0.1 unless given) answers: a\n"
    "               session, command 0 at poll address 0 and, for an I/O system, the number\n"
    "               of its devices; says what answered, exit code 0, or what failed, 1\n"
    "  --status     show the status line of the instance of the current directory\n"
    "               (QLN-status.txt); exit code 0 while it runs, 1 otherwise\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "The traffic log goes to standard output, notes and warnings to standard error, and the\n"
    "sessions open, transactions served and last error to QLN-status.txt (at most once a\n"
    "second). SIGINT (Ctrl-C) or SIGTERM closes the port and ends the program; changes that\n"
    "QLN.ini could not take by then are kept in QLN-recovery.ini beside it (exit code 3),\n"
    "which the next start writes into QLN.ini.\n";

constexpr char kLoopback[] = "127.0.0.1";

struct HartIpEndpoint {
  std::string address = kLoopback;
  uint16_t port = 0;
};

struct Options {
  std::optional<std::string> device;    // --port PATH, or pty:LINK for --pty LINK
  std::optional<std::string> fallback;  // pty:LINK for --fallback-pty LINK
  bool noSerial = false;
  std::optional<HartIpEndpoint> hartIp;
  std::optional<std::string> capture;  // --capture FILE
};

// --probe: what answers at the endpoint, exit code 0, or what failed, 1.
int Probe(const HartIpEndpoint& endpoint) {
  const qln::Result<std::string> probed =
      qln::hartip::ProbeServer(endpoint.address, endpoint.port, kProbeTimeoutMs);
  if (!probed) {
    std::fprintf(stderr, "quillon-headless: %s\n", probed.error().c_str());
    return kExitFailure;
  }
  std::printf("%s\n", probed->c_str());
  return 0;
}

// --status: the status line of the instance of the current directory.
int ShowStatus() {
  const qln::Result<qln::StatusReport> status = qln::ReadStatus(std::filesystem::current_path());
  if (!status) {
    std::fprintf(stderr, "quillon-headless: %s\n", status.error().c_str());
    return kExitFailure;
  }
  std::printf("%s\n", status->line.c_str());
  if (status->running) return 0;
  std::fprintf(stderr, "quillon-headless: the instance is not running\n");
  return kExitFailure;
}

// "[ADDRESS:]PORT" with a port of 1..65535; the address is checked when the server binds it.
std::optional<HartIpEndpoint> ParseEndpoint(std::string_view text) {
  HartIpEndpoint endpoint;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    endpoint.address = std::string(text.substr(0, colon));
    text.remove_prefix(colon + 1);
  }
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const uint32_t port = qln::ParseUnsigned(text);
  if (port == 0 || port > 0xFFFF || endpoint.address.empty()) return std::nullopt;
  endpoint.port = static_cast<uint16_t>(port);
  return endpoint;
}

// The options, or the exit code when the program ends here.
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("quillon-headless %s\n", QLN_VERSION);
      return 0;
    }
    if (argument == "--status") return ShowStatus();
    if (argument == "--probe") {
      const std::optional<HartIpEndpoint> endpoint =
          i + 1 < argc ? ParseEndpoint(argv[++i]) : std::nullopt;
      if (!endpoint) {
        std::fprintf(stderr, "quillon-headless: --probe needs [ADDRESS:]PORT, PORT 1..65535\n");
        return kExitUsage;
      }
      return Probe(*endpoint);
    }
    if (argument == "--no-serial") {
      options.noSerial = true;
      continue;
    }
    if (argument == "--hart-ip") {
      options.hartIp = i + 1 < argc ? ParseEndpoint(argv[++i]) : std::nullopt;
      if (!options.hartIp) {
        std::fprintf(stderr, "quillon-headless: --hart-ip needs [ADDRESS:]PORT, PORT 1..65535\n");
        return kExitUsage;
      }
      continue;
    }
    if (argument == "--capture") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "quillon-headless: --capture needs a file name\n");
        return kExitUsage;
      }
      options.capture = argv[++i];
      continue;
    }
    const bool fallback = argument == "--fallback-pty";
    if (argument != "--port" && argument != "--pty" && !fallback) {
      std::fprintf(stderr, "quillon-headless: unknown argument %s (try --help)\n", argv[i]);
      return kExitUsage;
    }
    std::optional<std::string>& target = fallback ? options.fallback : options.device;
    if (target) {
      std::fprintf(stderr, "quillon-headless: give one port only (%s)\n",
                   fallback ? "--fallback-pty once" : "--port or --pty, once");
      return kExitUsage;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "quillon-headless: %s needs a path\n", argv[i]);
      return kExitUsage;
    }
    target = (argument == "--port" ? "" : "pty:") + std::string(argv[++i]);
  }
  if (options.noSerial && options.device) {
    std::fprintf(stderr, "quillon-headless: --no-serial opens no port: leave out --port/--pty\n");
    return kExitUsage;
  }
  return std::nullopt;
}

// The program's end: the simulator stopped and what QLN.ini has not taken saved once more.
// Returns `code`, or kExitUnsaved after a stop that was asked for when that save failed (its
// message on standard error says where the changes are).
int Stop(qln::Simulator& simulator, int code) {
  const qln::Result<> saved = simulator.SaveAtStop();
  if (saved) return code;
  std::fprintf(stderr, "quillon-headless: %s\n", saved.error().c_str());
  return code == 0 ? kExitUnsaved : code;
}

// The instance's status line, kept in QLN-status.txt of the working directory; a file that cannot
// be written is reported once, and the instance goes on without it.
class Status {
 public:
  // What is served: HART-IP's address and port ("off") and the serial port ("none").
  Status(qln::Simulator& simulator, const qln::ErrorRecorder& errors, const qln::Clock& clock,
         std::string hartIp, std::string serial)
      : simulator_(simulator),
        errors_(errors),
        file_(std::filesystem::current_path() / qln::kStatusFileName, clock, getpid()) {
    status_.hartIp = std::move(hartIp);
    status_.serial = std::move(serial);
  }
  void Update(bool running = true) {
    status_.running = running;
    status_.sessions = simulator_.HartIpSessions();
    status_.transactions = simulator_.TransactionsServed();
    status_.lastError = errors_.LastError();
    const qln::Result<> written = file_.Update(status_, !running);
    if (!written && !reported_) {
      std::fprintf(stderr, "quillon-headless: %s; going on without it\n", written.error().c_str());
    }
    reported_ = reported_ || !written;
  }

 private:
  qln::Simulator& simulator_;
  const qln::ErrorRecorder& errors_;
  qln::StatusFile file_;
  qln::InstanceStatus status_;
  bool reported_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> exitCode = ParseArguments(argc, argv, options)) return *exitCode;

  // The signals are taken by the wait below; every thread started from here on blocks them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A standard output whose reader has gone fails its writes instead of ending the program.
  signal(SIGPIPE, SIG_IGN);

  // The devices never wait for standard output: the traffic log goes through a bounded queue
  // with a writer of its own, which stops it, with one message, when standard output fails.
  qln::LineWriter traffic(STDOUT_FILENO, kTrafficBacklog, [](const std::string& reason) {
    std::fprintf(stderr,
                 "quillon-headless: standard output: %s; the traffic log is no longer written, "
                 "the devices go on answering\n",
                 reason.c_str());
  });
  qln::StderrNotifier stderrNotifier;
  qln::StderrConsole console;
  qln::SystemClock clock;
  qln::ErrorRecorder notifier(stderrNotifier, clock);
  qln::Simulator simulator(
      notifier, console, clock, {},
      [&traffic](qln::LogKind, std::string line) { traffic.Push(std::move(line)); });

  int comNumber = 0;
  const bool fileFound = simulator.StartUp(comNumber);
  if (!options.hartIp) {
    if (const uint16_t port = simulator.ConfiguredHartIpPort(); port != 0) {
      const std::string address = simulator.ConfiguredHartIpAddress();
      options.hartIp = HartIpEndpoint{address.empty() ? kLoopback : address, port};
    }
  }
  // The capture starts before the transports, so that it holds their first frames; a file that
  // cannot be created is reported and the simulator goes on without a capture.
  auto [captureFile, captureLimit] = simulator.ConfiguredCapture();
  if (options.capture) captureFile = *options.capture;
  if (!captureFile.empty()) {
    if (const qln::Result<> started = simulator.StartCapture(captureFile, captureLimit); !started) {
      std::fprintf(stderr, "%s; going on without a capture\n", started.error().c_str());
    } else {
      std::fprintf(stderr, "Quillon captures the traffic into %s.\n", captureFile.c_str());
    }
  }
  if (options.noSerial && !options.hartIp) {
    std::fprintf(stderr,
                 "quillon-headless: --no-serial needs HART-IP (--hart-ip, or HartIpPort "
                 "in QLN.ini)\n");
    return kExitUsage;
  }
  if (options.hartIp) {
    const qln::Result<> started =
        simulator.StartHartIp(options.hartIp->address, options.hartIp->port);
    if (!started) {
      std::fprintf(stderr, "%s\n", started.error().c_str());
      return kExitFailure;
    }
    std::fprintf(stderr, "Quillon %s serves HART-IP on %s:%u (TCP and UDP).\n", QLN_VERSION,
                 options.hartIp->address.c_str(), static_cast<unsigned>(simulator.HartIpPort()));
  }
  // A file that names no port leaves it to --fallback-pty (a service instance's virtual port).
  if (!options.device && fileFound && comNumber == 0) options.device = options.fallback;
  if (!options.noSerial && !options.device) {
    const std::filesystem::path file = std::filesystem::current_path() / qln::kConfigFileName;
    if (!fileFound) {
      std::fprintf(stderr,
                   "quillon-headless: %s not found. Run it in the directory of your QLN.ini "
                   "(examples/QLN.ini is a complete one), or name a port with --port or --pty.\n",
                   file.c_str());
      return kExitUsage;
    }
    if (comNumber == 0) {
      std::fprintf(stderr,
                   "quillon-headless: COMNo in %s is not a port number (1 to 255). Set it, or "
                   "name a port with --port or --pty.\n",
                   file.c_str());
      return kExitUsage;
    }
  }

  std::string serial = "none";
  if (!options.noSerial) {
    const qln::Result<std::string> opened = simulator.Open(comNumber, options.device);
    if (!opened) {
      std::fprintf(stderr, "%s\n", opened.error().c_str());
      return kExitFailure;
    }
    std::fprintf(stderr, "Quillon %s answers on %s. Ctrl-C stops.\n", QLN_VERSION, opened->c_str());
    serial = *opened;
  }
  const std::string hartIp =
      options.hartIp ? options.hartIp->address + ":" + std::to_string(simulator.HartIpPort())
                     : "off";
  Status status(simulator, notifier, clock, hartIp, serial);

  const timespec lookAgain{0, 500'000'000};
  int code = 0;
  while (true) {
    status.Update();
    const int signal = sigtimedwait(&stopSignals, nullptr, &lookAgain);
    if (signal == SIGINT || signal == SIGTERM) break;
    if (simulator.PortGone()) {
      code = kExitFailure;
      break;
    }
    // Without the port (HART-IP only) no command thread writes again what the file did not take.
    simulator.RetryPendingWrites();
  }
  code = Stop(simulator, code);
  status.Update(false);
  return code;
}
