#include "base/traffic_line.h"

#include <arpa/inet.h>

#include <charconv>

#include "base/capture_format.h"
#include "base/hart_frame.h"
#include "base/pcapng_capture.h"

namespace qln {
namespace {

constexpr std::string_view kWithheldMark = "(credentials withheld)";
constexpr uint32_t kLoopbackAddress = 0x7F000001;

bool TwoDigits(std::string_view text, std::size_t at, int& value) {
  const auto [end, error] = std::from_chars(text.data() + at, text.data() + at + 2, value);
  return error == std::errc() && end == text.data() + at + 2;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<TrafficRecord> ParseTrafficLine(std::string_view line) {
  TrafficRecord record;
  if (line.size() < 19 || line[2] != ':' || line[5] != ':' || line[8] != '.') return std::nullopt;
  int ms = 0;
  const auto [end, error] = std::from_chars(line.data() + 9, line.data() + 12, ms);
  if (!TwoDigits(line, 0, record.hour) || !TwoDigits(line, 3, record.minute) ||
      !TwoDigits(line, 6, record.second) || error != std::errc() || end != line.data() + 12) {
    return std::nullopt;
  }
  record.millisecond = ms;
  std::string_view rest = line.substr(12);
  if (rest.starts_with("  <==  ")) {
    record.kind = LogKind::Received;
  } else if (rest.starts_with("  ==>  ")) {
    record.kind = LogKind::Sent;
  } else {
    return std::nullopt;
  }
  rest.remove_prefix(7);
  if (rest.starts_with('[')) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    record.origin = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
  }
  // Trailing line ends, as a saved file may hold them.
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n' || rest.back() == ' ')) {
    rest.remove_suffix(1);
  }
  if (rest.ends_with(kWithheldMark)) {
    record.credentialsWithheld = true;
    rest.remove_suffix(kWithheldMark.size());
  }
  bool preambles = true;
  for (std::size_t i = 0; i < rest.size();) {
    if (rest[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= rest.size()) return std::nullopt;
    const int high = HexDigit(rest[i]), low = HexDigit(rest[i + 1]);
    if (high < 0 || low < 0 || (i + 2 < rest.size() && rest[i + 2] != ' ')) return std::nullopt;
    const auto byte = static_cast<uint8_t>(high << 4 | low);
    i += 2;
    if (preambles && byte == kPreamble) continue;
    preambles = false;
    record.bytes.push_back(byte);
  }
  return record;
}

Result<std::size_t> WriteTrafficCapture(const std::filesystem::path& path,
                                        std::span<const std::string> lines, const LocalTime& day) {
  PcapngFile file;
  if (Result<> opened = file.Open(path, UINT64_MAX); !opened) return Failure{opened.error()};
  CapturePackets packets;
  uint16_t sequence = 0;
  std::size_t written = 0;
  for (const std::string& line : lines) {
    const std::optional<TrafficRecord> record = ParseTrafficLine(line);
    if (!record || record->bytes.empty()) continue;
    LocalTime time = day;
    time.hour = record->hour;
    time.minute = record->minute;
    time.second = record->second;
    time.millisecond = record->millisecond;
    const bool received = record->kind == LogKind::Received;
    const bool burst = (record->bytes[0] & 0x7F) == 0x01;
    const SerialFrameKind kind = received ? SerialFrameKind::Request
                                 : burst  ? SerialFrameKind::Publish
                                          : SerialFrameKind::Response;
    const std::string comment = record->credentialsWithheld ? "credentials withheld" : "";
    CapturePackets::Packet packet;
    if (record->origin.empty()) {
      packet = packets.Serial(kind, record->bytes, comment);
    } else if (record->origin.starts_with("IP ")) {
      HartIpFlow flow{0, kSerialMasterPort, kLoopbackAddress, kHartIpPort, false};
      const std::string peer = record->origin.substr(3);
      const std::size_t colon = peer.rfind(':');
      in_addr address{};
      if (peer == "publish") {
        flow.hostAddress = kLoopbackAddress;
      } else if (colon != std::string::npos &&
                 inet_pton(AF_INET, peer.substr(0, colon).c_str(), &address) == 1) {
        flow.hostAddress = ntohl(address.s_addr);
        flow.hostPort = static_cast<uint16_t>(std::stoul(peer.substr(colon + 1)) & 0xFFFF);
      } else {
        continue;
      }
      packet = packets.HartIp(flow, received, TokenPassingMessage(kind, sequence++, record->bytes));
      packet.comment = comment;
    } else {
      continue;
    }
    if (Result<> put = file.Write(EpochMicroseconds(time), packet.bytes, packet.comment); !put) {
      return Failure{put.error()};
    }
    ++written;
  }
  if (Result<> flushed = file.Flush(); !flushed) return Failure{flushed.error()};
  file.Close();
  return written;
}

}  // namespace qln
