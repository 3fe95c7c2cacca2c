// What one instance without a window shows a probe or a person: one line in the file
// QLN-status.txt beside QLN.ini, for example
//
//   time=2026-12-09T15:47:25 state=running pid=4711 hart-ip=0.0.0.0:5094 serial=none
//   sessions=2 transactions=10342 last-error=none
//
// (one line in the file). `time` is when the figures were taken; `transactions` counts the
// requests answered since start, serial and HART-IP; `last-error` is the last problem or warning
// the operator was told of, with its time, or "none", and runs to the end of the line. The file
// is written when a figure changes, at most once a second, and with state=stopped at a clean
// stop; aside and renamed, so that a reader never sees half a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/notifier.h"
#include "base/result.h"

namespace qln {

inline constexpr char kStatusFileName[] = "QLN-status.txt";

struct InstanceStatus {
  bool running = true;
  std::string hartIp = "off";   // the address and port HART-IP is served on
  std::string serial = "none";  // the serial port open
  std::size_t sessions = 0;
  uint64_t transactions = 0;
  std::string lastError = "none";
  bool operator==(const InstanceStatus&) const = default;
};

// The notifier's problems and warnings passed on to `inner`, the last of them kept (with its
// time) for the status line. Any thread.
class ErrorRecorder final : public Notifier {
 public:
  ErrorRecorder(Notifier& inner, const Clock& clock) : inner_(inner), clock_(clock) {}
  void Warning(const std::string& text, const std::string& caption) override;
  void Problem(const std::string& text) override;
  // "none", or the time and text of the last one, on one line.
  std::string LastError() const;

 private:
  void Keep(const std::string& text);
  Notifier& inner_;
  const Clock& clock_;
  mutable std::mutex mutex_;
  std::string last_ = "none";
};

// The status line written into its file.
class StatusFile {
 public:
  StatusFile(std::filesystem::path path, const Clock& clock, long pid)
      : path_(std::move(path)), clock_(clock), pid_(pid) {}
  // Writes `status` when it differs from the one written last and a second has passed since,
  // or at once when `now`. A failure names the file and says why; later updates try again.
  Result<> Update(const InstanceStatus& status, bool now = false);

 private:
  std::filesystem::path path_;
  const Clock& clock_;
  long pid_;
  bool written_ = false;
  InstanceStatus last_;
  uint32_t writtenMs_ = 0;
};

// What `quillon-headless --status` says of the instance of `directory`: its status line, and
// whether it runs (the line says running and its process is there).
struct StatusReport {
  std::string line;
  bool running = false;
};
Result<StatusReport> ReadStatus(const std::filesystem::path& directory);

}  // namespace qln
