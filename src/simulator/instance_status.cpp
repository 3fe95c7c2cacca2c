#include "simulator/instance_status.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace qln {
namespace {

// A problem's text on the status line: on one line and of a bounded length.
constexpr std::size_t kMaxErrorText = 300;
constexpr uint32_t kStatusPeriodMs = 1000;

std::string TimeText(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// The value of `key=` in the line, up to the next space; empty when absent.
std::string Field(const std::string& line, const std::string& key) {
  const std::string marker = " " + key + "=";
  const std::string padded = " " + line;
  const std::size_t at = padded.find(marker);
  if (at == std::string::npos) return {};
  const std::size_t from = at + marker.size();
  return padded.substr(from, padded.find(' ', from) - from);
}

}  // namespace

void ErrorRecorder::Warning(const std::string& text, const std::string& caption) {
  Keep(caption + ": " + text);
  inner_.Warning(text, caption);
}

void ErrorRecorder::Problem(const std::string& text) {
  Keep(text);
  inner_.Problem(text);
}

void ErrorRecorder::Keep(const std::string& text) {
  std::string line = TimeText(clock_.Now()) + " " + text.substr(0, kMaxErrorText);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  std::lock_guard lock(mutex_);
  last_ = std::move(line);
}

std::string ErrorRecorder::LastError() const {
  std::lock_guard lock(mutex_);
  return last_;
}

Result<> StatusFile::Update(const InstanceStatus& status, bool now) {
  const uint32_t nowMs = clock_.Milliseconds();
  if (!now && written_ && (status == last_ || nowMs - writtenMs_ < kStatusPeriodMs)) return {};
  std::ostringstream line;
  line << "time=" << TimeText(clock_.Now()) << " state=" << (status.running ? "running" : "stopped")
       << " pid=" << pid_ << " hart-ip=" << status.hartIp << " serial=" << status.serial
       << " sessions=" << status.sessions << " transactions=" << status.transactions
       << " last-error=" << status.lastError << "\n";
  std::filesystem::path aside = path_;
  aside += ".new";
  {
    std::ofstream out(aside, std::ios::trunc);
    out << line.str();
    out.close();
    if (!out) {
      const std::string reason = std::strerror(errno);
      std::error_code ignored;
      std::filesystem::remove(aside, ignored);
      return Failure{"cannot write the status file " + path_.string() + ": " + reason};
    }
  }
  std::error_code error;
  std::filesystem::rename(aside, path_, error);
  if (error)
    return Failure{"cannot write the status file " + path_.string() + ": " + error.message()};
  written_ = true;
  last_ = status;
  writtenMs_ = nowMs;
  return {};
}

Result<StatusReport> ReadStatus(const std::filesystem::path& directory) {
  const std::filesystem::path path = directory / kStatusFileName;
  std::ifstream in(path);
  StatusReport report;
  if (!in || !std::getline(in, report.line) || report.line.empty()) {
    return Failure{"no status in " + path.string() +
                   ": no instance has run in this directory (run it where its QLN.ini is)"};
  }
  const std::string pid = Field(report.line, "pid");
  const long process = std::strtol(pid.c_str(), nullptr, 10);
  // A program killed outright leaves state=running behind: its process tells.
  report.running = Field(report.line, "state") == "running" && process > 0 &&
                   (kill(static_cast<pid_t>(process), 0) == 0 || errno == EPERM);
  return report;
}

}  // namespace qln
