#include "serial/port_path.h"

namespace qln {

namespace {
constexpr std::string_view kPtyPrefix = "pty:";
}

std::string PortPathKey(int comNumber) { return "COM" + std::to_string(comNumber) + "Path"; }

std::optional<std::string> PortDevice(int comNumber, std::string_view configuredPath) {
  if (comNumber < 1 || comNumber > 255) return std::nullopt;
  if (!configuredPath.empty()) return std::string(configuredPath);
  return "/dev/ttyS" + std::to_string(comNumber - 1);
}

std::optional<std::string_view> PtyLink(std::string_view device) {
  if (!device.starts_with(kPtyPrefix)) return std::nullopt;
  return device.substr(kPtyPrefix.size());
}

}  // namespace qln
