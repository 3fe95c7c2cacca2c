// quillon: the simulator with its operator interface. It works in the current directory with its
// QLN.ini; the operator opens the port in the main window, and the program ends when that window
// closes.
#include <QApplication>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "ui/main_window.h"

namespace {

constexpr int kExitUsage = 2;
// Ended, but QLN.ini did not take every change: they are in the recovery file beside it (or, where
// that could not be written either, only in the message box that said so).
constexpr int kExitUnsaved = 3;

constexpr char kUsage[] =
    "Usage: quillon [--port PATH | --pty LINK] [--screenshot FILE]\n"
    "\n"
    "Simulates up to sixteen HART field devices on a serial port, in a window. The device data\n"
    "are in QLN.ini in the current directory. COM n opens the device named by the key COM<n>Path\n"
    "of [HTDev_Sys], or /dev/ttyS<n-1>; the port list shows which.\n"
    "\n"
    "  --port PATH        every COM number opens this serial device, for example /dev/ttyUSB0\n"
    "  --pty LINK         every COM number opens a virtual port: a pseudo-terminal whose other\n"
    "                     end is linked at LINK, for a HART master program on this machine\n"
    "  --screenshot FILE  save a picture of the main window after start-up as FILE and end\n"
    "  --help             show this text\n"
    "  --version          show the version\n";

struct Options {
  std::optional<std::string> device;  // --port PATH, or pty:LINK for --pty LINK
  std::optional<QString> screenshot;
};

// --help and --version, answered before the GUI toolkit starts so that they work without a
// display: the exit code when one of them is given.
std::optional<int> Informational(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("quillon %s\n", QLN_VERSION);
      return 0;
    }
    if (argument == "--port" || argument == "--pty" || argument == "--screenshot") ++i;  // a path
  }
  return std::nullopt;
}

// The options, or the exit code when the program ends here. The toolkit's own options (such as
// -platform) have been taken out of the arguments already.
std::optional<int> ParseArguments(const QStringList& arguments, Options& options) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    const bool port = argument == QLatin1String("--port") || argument == QLatin1String("--pty");
    if (!port && argument != QLatin1String("--screenshot")) {
      std::fprintf(stderr, "quillon: unknown argument %s (try --help)\n", qPrintable(argument));
      return kExitUsage;
    }
    if (i + 1 == arguments.size()) {
      std::fprintf(stderr, "quillon: %s needs a path\n", qPrintable(argument));
      return kExitUsage;
    }
    const QString value = arguments[++i];
    if (!port) {
      options.screenshot = value;
    } else if (options.device) {
      std::fprintf(stderr, "quillon: give one port only (--port or --pty, once)\n");
      return kExitUsage;
    } else {
      options.device = (argument == QLatin1String("--pty") ? "pty:" : "") + value.toStdString();
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> exitCode = Informational(argc, argv)) return *exitCode;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillon"));
  QApplication::setApplicationVersion(QStringLiteral(QLN_VERSION));
  Options options;
  if (const std::optional<int> exitCode = ParseArguments(QApplication::arguments(), options)) {
    return *exitCode;
  }
  qln::SetDialogColours(app);

  qln::SystemClock clock;
  qln::MainWindow window(clock, {}, options.device);
  window.show();
  if (options.screenshot) {
    window.resize(window.sizeHint());  // the whole window, however small the screen
    QApplication::processEvents();
    if (!window.grab().save(*options.screenshot)) {
      std::fprintf(stderr, "quillon: cannot write %s\n", qPrintable(*options.screenshot));
      return 1;
    }
    return 0;
  }
  const int code = QApplication::exec();
  return window.SaveAtEnd() ? code : kExitUnsaved;
}
