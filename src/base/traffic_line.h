// Traffic log lines (see TrafficLine in log_sink.h) read back into frames: for captures made of a
// saved log, and for replaying one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/log_sink.h"
#include "base/result.h"

namespace qln {

struct TrafficRecord {
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  LogKind kind = LogKind::Received;
  std::string origin;          // "" for the serial line, "IP 127.0.0.1:50123", "IP publish", ...
  std::vector<uint8_t> bytes;  // the frame from its delimiter on, preambles left out
  bool credentialsWithheld = false;  // the line ended "(credentials withheld)": bytes cut short
};

// "HH:MM:SS.mmm  <==  [origin]  FF FF 82 ..." (or "==>"), as the log and its saved CSV hold it;
// nothing when the line is not of that form (a note, a header, a damaged line).
std::optional<TrafficRecord> ParseTrafficLine(std::string_view line);

// Writes the lines that are traffic as a capture (capture_format.h), time-stamped on `day` (the
// log holds only the time of day). The serial line's frames go between its two addresses (a
// burst delimiter makes a publish); HART-IP frames between their peer and 127.0.0.1:5094 (the
// log does not hold the server's address), a publish to 127.0.0.1 port kSerialMasterPort. The
// converter's commands and other lines are left out. Returns the number of frames written.
Result<std::size_t> WriteTrafficCapture(const std::filesystem::path& path,
                                        std::span<const std::string> lines, const LocalTime& day);

}  // namespace qln
