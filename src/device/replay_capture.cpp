#include "device/replay_capture.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <system_error>
#include <tuple>
#include <utility>

#include "base/capture_format.h"
#include "base/hart_frame.h"
#include "base/traffic_line.h"

namespace qln {
namespace {

// The longest HART frame from the delimiter on: delimiter, long address, three expansion bytes,
// command, byte count, 255 data bytes and the checksum.
constexpr std::size_t kLongestFrame = 1 + 5 + 3 + 1 + 1 + 255 + 1;
// Preambles tolerated in front of a frame in a PDU or a log line.
constexpr std::size_t kMostPreambles = 32;
// Requests waiting for their response, and flows followed, over the whole file; beyond these
// the first in order are forgotten, so that a file of many flows cannot take unbounded memory.
constexpr std::size_t kMostPending = 1024;
constexpr std::size_t kMostFlows = 256;
// Commands of one direct PDU that are indexed.
constexpr std::size_t kMostPduCommands = 64;
// Bytes of a TCP direction kept while a message is incomplete: one HART-IP message at most.
constexpr std::size_t kMostStreamBytes = 65535 + 2 * 1500;
constexpr std::size_t kMostLineBytes = 64 * 1024;

// A failure while reading, with the message ready.
struct Refusal {
  std::string what;
};

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// Where the bytes come from: a file read in bounded pieces, or bytes in memory.
class Source {
 public:
  virtual ~Source() = default;
  virtual std::uintmax_t Size() const = 0;
  // Exactly `count` bytes at `offset`, or false.
  virtual bool Read(std::uintmax_t offset, std::size_t count, std::vector<uint8_t>& out) = 0;
};

class FileSource final : public Source {
 public:
  FileSource(const std::filesystem::path& path, std::uintmax_t size)
      : in_(path, std::ios::binary), size_(size) {}
  bool Open() const { return in_.is_open(); }
  std::uintmax_t Size() const override { return size_; }
  bool Read(std::uintmax_t offset, std::size_t count, std::vector<uint8_t>& out) override {
    if (offset > size_ || count > size_ - offset) return false;
    out.resize(count);
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
    return static_cast<std::size_t>(in_.gcount()) == count;
  }

 private:
  std::ifstream in_;
  std::uintmax_t size_;
};

class MemorySource final : public Source {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  std::uintmax_t Size() const override { return bytes_.size(); }
  bool Read(std::uintmax_t offset, std::size_t count, std::vector<uint8_t>& out) override {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes_.begin() + static_cast<std::ptrdiff_t>(offset + count));
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// A HART frame as a PDU or a log line holds it, preambles skipped.
struct Frame {
  bool request = false;  // STX (master to slave); else ACK (slave to master)
  uint8_t command = 0;
  std::vector<uint8_t> data;
};

// The frame in `bytes`, when they hold a checked STX or ACK frame; burst frames and damaged ones
// give none. A frame longer than a HART frame can be is refused.
std::optional<Frame> ReadFrame(std::span<const uint8_t> bytes, const std::string& where) {
  std::size_t at = 0;
  while (at < bytes.size() && bytes[at] == kPreamble && at < kMostPreambles) ++at;
  bytes = bytes.subspan(at);
  if (bytes.size() > kLongestFrame) {
    throw Refusal{where + " holds a HART frame of " + std::to_string(bytes.size()) +
                  " bytes, longer than a HART frame can be (" + std::to_string(kLongestFrame) +
                  ")"};
  }
  if (bytes.empty()) return std::nullopt;
  const uint8_t delimiter = bytes[0];
  const uint8_t type = delimiter & kFrameTypeMask;
  if (type != kFrameTypeStx && type != kReplyDelimiterBits) return std::nullopt;
  const std::size_t commandPos =
      1 + ((delimiter & kLongFrameBit) != 0 ? 5 : 1) + ((delimiter >> 5) & 0x03);
  if (bytes.size() < commandPos + 3) return std::nullopt;
  const std::size_t count = bytes[commandPos + 1];
  const std::size_t end = commandPos + 2 + count;
  if (bytes.size() < end + 1 || FrameChecksum(bytes.data(), end) != bytes[end]) {
    return std::nullopt;
  }
  Frame frame;
  frame.request = type == kFrameTypeStx;
  frame.command = bytes[commandPos];
  frame.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(commandPos + 2),
                    bytes.begin() + static_cast<std::ptrdiff_t>(end));
  return frame;
}

RecordedReply ReplyOf(const std::vector<uint8_t>& data) {
  RecordedReply reply;
  if (!data.empty()) reply.ResponseCode = data[0];
  if (data.size() > 2) reply.Data.assign(data.begin() + 2, data.end());
  return reply;
}

// One request of a PDU: a command with its data.
struct Request {
  uint8_t command = 0;
  std::vector<uint8_t> data;
};

using Address = std::array<uint8_t, 16>;
struct Flow {
  Address from{};
  Address to{};
  uint16_t fromPort = 0;
  uint16_t toPort = 0;
  bool tcp = false;
  std::string origin;  // of a DataLog line: the peer it names
  Flow Reversed() const { return {to, from, toPort, fromPort, tcp, origin}; }
  auto Tie() const { return std::tie(from, to, fromPort, toPort, tcp, origin); }
  bool operator<(const Flow& other) const { return Tie() < other.Tie(); }
};

struct Stream {
  std::vector<uint8_t> bytes;
  uint32_t nextSeq = 0;
  bool started = false;
};

// Pairs the requests and responses of the packets or lines it is given into the index.
class Pairer {
 public:
  Pairer(ReplayIndex& index, std::string name) : index_(index), name_(std::move(name)) {}

  bool Full() const { return index_.Capped(); }
  const std::string& Name() const { return name_; }

  // A packet of link type `link`; `where` says which, for messages.
  void Packet(uint32_t link, std::span<const uint8_t> p, const std::string& where) {
    std::size_t at = 0;
    uint16_t ethertype = 0;
    switch (link) {
      case 1:  // Ethernet, with VLAN tags skipped
        if (p.size() < 14) return;
        ethertype = Be16(&p[12]);
        at = 14;
        while ((ethertype == 0x8100 || ethertype == 0x88A8) && p.size() >= at + 4) {
          ethertype = Be16(&p[at + 2]);
          at += 4;
        }
        break;
      case 113:  // Linux cooked
        if (p.size() < 16) return;
        ethertype = Be16(&p[14]);
        at = 16;
        break;
      case 276:  // Linux cooked, version 2
        if (p.size() < 20) return;
        ethertype = Be16(&p[0]);
        at = 20;
        break;
      case 101:  // raw IP: the version tells
      case 228:
      case 229:
        if (p.empty()) return;
        ethertype = (p[0] >> 4) == 6 ? 0x86DD : 0x0800;
        break;
      default:
        return;
    }
    p = p.subspan(at);
    Flow flow;
    uint8_t protocol = 0;
    if (ethertype == 0x0800) {
      if (p.size() < 20 || (p[0] >> 4) != 4) return;
      const std::size_t header = static_cast<std::size_t>(p[0] & 0x0F) * 4;
      const std::size_t total = Be16(&p[2]);
      if (header < 20 || total < header || total > p.size()) return;
      if ((Be16(&p[6]) & 0x3FFF) != 0) return;  // a fragment: not reassembled
      protocol = p[9];
      std::copy_n(&p[12], 4, flow.from.begin() + 12);
      std::copy_n(&p[16], 4, flow.to.begin() + 12);
      p = p.subspan(header, total - header);
    } else if (ethertype == 0x86DD) {
      if (p.size() < 40 || (p[0] >> 4) != 6) return;
      const std::size_t payload = Be16(&p[4]);
      if (40 + payload > p.size()) return;
      protocol = p[6];
      std::copy_n(&p[8], 16, flow.from.begin());
      std::copy_n(&p[24], 16, flow.to.begin());
      p = p.subspan(40, payload);
    } else {
      return;
    }
    if (protocol == 17) {
      if (p.size() < 8) return;
      flow.fromPort = Be16(&p[0]);
      flow.toPort = Be16(&p[2]);
      if (flow.fromPort != kHartIpPort && flow.toPort != kHartIpPort) return;
      const std::size_t length = Be16(&p[4]);
      if (length < 8 || length > p.size()) return;
      Messages(flow, p.subspan(8, length - 8), where);
    } else if (protocol == 6) {
      if (p.size() < 20) return;
      flow.tcp = true;
      flow.fromPort = Be16(&p[0]);
      flow.toPort = Be16(&p[2]);
      if (flow.fromPort != kHartIpPort && flow.toPort != kHartIpPort) return;
      const std::size_t header = static_cast<std::size_t>(p[12] >> 4) * 4;
      if (header < 20 || header > p.size()) return;
      Segment(flow, Be32(&p[4]), (p[13] & 0x02) != 0, p.subspan(header), where);
    }
  }

  // A line of a saved DataLog; false when it is no traffic line.
  bool LogLine(std::string_view line, const std::string& where) {
    // The time, the arrow, an origin and the frame's bytes behind their preambles, as text.
    constexpr std::size_t kLongestLine = 19 + 128 + 3 * (kMostPreambles + kLongestFrame);
    if (line.size() > kLongestLine) {
      throw Refusal{where + " holds more bytes than a HART frame can have"};
    }
    const std::optional<TrafficRecord> record = ParseTrafficLine(line);
    if (!record) return false;
    if (record->bytes.size() > kLongestFrame) {
      throw Refusal{where + " holds more bytes than a HART frame can have"};
    }
    if (record->credentialsWithheld) return true;  // cut short in the log: nothing to answer with
    const bool received = record->kind == LogKind::Received;
    const std::string& origin = record->origin;
    const std::optional<Frame> frame = ReadFrame(record->bytes, where);
    if (!frame || frame->request != received) return true;
    // A log line's request and reply name the same peer: the reply's flow is the reverse one.
    Flow flow;
    flow.origin = origin;
    if (received) {
      Remember(flow, {frame->command, frame->data});
    } else {
      Answer(flow.Reversed(), std::nullopt, {{frame->command, frame->data}}, true);
    }
    return true;
  }

 private:
  // A TCP segment: its payload joins the direction's stream in capture order.
  void Segment(const Flow& flow, uint32_t seq, bool syn, std::span<const uint8_t> payload,
               const std::string& where) {
    if (streams_.size() >= kMostFlows && !streams_.contains(flow)) streams_.erase(streams_.begin());
    Stream& s = streams_[flow];
    if (syn) {
      s = Stream{};
      s.nextSeq = seq + 1;
      s.started = true;
      return;
    }
    if (payload.empty()) return;
    if (!s.started) {
      s.started = true;
      s.nextSeq = seq;
    }
    const auto ahead = static_cast<int32_t>(seq - s.nextSeq);
    if (ahead > 0) {  // bytes missing: the stream starts afresh here
      s.bytes.clear();
    } else if (ahead < 0) {  // retransmitted bytes: only what is new joins
      const auto known = static_cast<std::size_t>(-static_cast<int64_t>(ahead));
      if (known >= payload.size()) return;
      payload = payload.subspan(known);
      seq += static_cast<uint32_t>(known);
    }
    s.nextSeq = seq + static_cast<uint32_t>(payload.size());
    s.bytes.insert(s.bytes.end(), payload.begin(), payload.end());
    std::size_t used = 0;
    while (s.bytes.size() - used >= kHartIpHeaderSize) {
      const std::size_t length = Be16(&s.bytes[used + 6]);
      if (length < kHartIpHeaderSize) {  // not HART-IP, or out of step: nothing more to find
        used = s.bytes.size();
        break;
      }
      if (s.bytes.size() - used < length) break;
      Message(flow, std::span(s.bytes).subspan(used, length), where);
      used += length;
    }
    s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(used));
    if (s.bytes.size() > kMostStreamBytes) s.bytes.clear();
  }

  // A datagram: one or more messages, each as long as its header says.
  void Messages(const Flow& flow, std::span<const uint8_t> payload, const std::string& where) {
    while (payload.size() >= kHartIpHeaderSize) {
      const std::size_t length = Be16(&payload[6]);
      if (length < kHartIpHeaderSize || length > payload.size()) return;
      Message(flow, payload.first(length), where);
      payload = payload.subspan(length);
    }
  }

  void Message(const Flow& flow, std::span<const uint8_t> m, const std::string& where) {
    const uint8_t type = m[1];
    const uint8_t id = m[2];
    const uint16_t sequence = Be16(&m[4]);
    const std::span<const uint8_t> body = m.subspan(kHartIpHeaderSize);
    if (type != kHartIpRequest && type != kHartIpResponse) return;
    std::vector<Request> items;
    if (id == kTokenPassingPduId) {
      const std::optional<Frame> frame = ReadFrame(body, where);
      if (!frame || frame->request != (type == kHartIpRequest)) return;
      items.push_back({frame->command, frame->data});
    } else if (id == kDirectPduId) {
      // Device status and extended status, then commands: number (16 bits), byte count, data
      // (in a response the data begin with the response code; the status is the PDU's).
      std::size_t at = 2;
      while (at + 3 <= body.size() && items.size() < kMostPduCommands) {
        const uint16_t command = Be16(&body[at]);
        const std::size_t count = body[at + 2];
        if (at + 3 + count > body.size()) return;
        if (command <= 0xFF) {
          Request item{static_cast<uint8_t>(command), {}};
          const auto first = body.begin() + static_cast<std::ptrdiff_t>(at + 3);
          if (type == kHartIpRequest) {
            item.data.assign(first, first + static_cast<std::ptrdiff_t>(count));
          } else if (count > 0) {
            // In the form of a frame's reply data: response code, a device status, the data.
            item.data.push_back(*first);
            item.data.push_back(0);
            item.data.insert(item.data.end(), first + 1,
                             first + static_cast<std::ptrdiff_t>(count));
          }
          items.push_back(std::move(item));
        }
        at += 3 + count;
      }
      if (items.empty()) return;
    } else {
      return;
    }
    if (type == kHartIpRequest) {
      if (pending_.size() >= kMostPending) pending_.erase(pending_.begin());
      pending_[{flow, sequence}] = items;
      if (items.size() == 1) Remember(flow, items.front());
    } else {
      Answer(flow, sequence, items, items.size() == 1);
    }
  }

  // Responses from `flow`: paired with the requests of the reverse flow with the same sequence
  // number, or (`byCommand`) with the last request of that flow for the same command.
  void Answer(const Flow& flow, std::optional<uint16_t> sequence, const std::vector<Request>& items,
              bool byCommand) {
    const Flow requester = flow.Reversed();
    if (sequence) {
      const auto found = pending_.find({requester, *sequence});
      if (found != pending_.end()) {
        const std::vector<Request> requests = std::move(found->second);
        pending_.erase(found);
        for (std::size_t i = 0; i < std::min(requests.size(), items.size()); ++i) {
          if (requests[i].command == items[i].command) Pair(requests[i], items[i]);
        }
        lastRequest_.erase(requester);
        return;
      }
    }
    if (!byCommand) return;
    const auto last = lastRequest_.find(requester);
    if (last == lastRequest_.end() || last->second.command != items.front().command) return;
    Pair(last->second, items.front());
    lastRequest_.erase(last);
  }

  void Remember(const Flow& flow, Request request) {
    if (lastRequest_.size() >= kMostFlows && !lastRequest_.contains(flow)) {
      lastRequest_.erase(lastRequest_.begin());
    }
    lastRequest_[flow] = std::move(request);
  }

  void Pair(const Request& request, const Request& response) {
    index_.Add(request.command, request.data, ReplyOf(response.data));
  }

  ReplayIndex& index_;
  std::string name_;
  std::map<Flow, Stream> streams_;
  std::map<std::pair<Flow, uint16_t>, std::vector<Request>> pending_;
  std::map<Flow, Request> lastRequest_;
};

// Reads one block or record of `count` bytes at `offset`, refusing what the file does not hold.
void ReadBlock(Source& source, std::uintmax_t offset, std::size_t count, std::vector<uint8_t>& out,
               const std::string& name) {
  if (count > kMaxCaptureBlockBytes) {
    throw Refusal{name + ": a block of " + std::to_string(count) + " bytes at offset " +
                  std::to_string(offset) + ", more than the 1 MiB a block may have"};
  }
  if (!source.Read(offset, count, out)) {
    throw Refusal{name + ": truncated: the block at offset " + std::to_string(offset) + " needs " +
                  std::to_string(count) + " bytes, the file ends before"};
  }
}

void ReadPcapng(Source& source, Pairer& pairer) {
  const std::string& name = pairer.Name();
  std::vector<uint8_t> block;
  std::vector<uint32_t> links;  // of the section's interfaces
  bool little = true;
  std::uintmax_t offset = 0;
  uint64_t packet = 0;
  while (offset < source.Size() && !pairer.Full()) {
    std::vector<uint8_t> head;
    ReadBlock(source, offset, 12, head, name);
    const uint32_t type = Le32(head.data());
    if (type == 0x0A0D0D0A) {  // a section header: its byte order holds for its blocks
      const uint32_t magic = Le32(&head[8]);
      if (magic != 0x1A2B3C4D && magic != 0x4D3C2B1A) {
        throw Refusal{name + ": the section header at offset " + std::to_string(offset) +
                      " has no byte-order magic"};
      }
      little = magic == 0x1A2B3C4D;
      links.clear();
    }
    const auto u32 = [&](const uint8_t* p) { return little ? Le32(p) : Be32(p); };
    const uint32_t length = u32(&head[4]);
    if (length < 12 || length % 4 != 0) {
      throw Refusal{name + ": a block at offset " + std::to_string(offset) +
                    " has the impossible length " + std::to_string(length)};
    }
    ReadBlock(source, offset, length, block, name);
    if (u32(&block[length - 4]) != length) {
      throw Refusal{name + ": the block at offset " + std::to_string(offset) +
                    " is damaged (its two lengths differ)"};
    }
    const uint32_t blockType = u32(block.data());
    const std::span<const uint8_t> body = std::span(block).subspan(8, length - 12);
    if (blockType == 1 && body.size() >= 8) {  // interface description
      links.push_back(little ? static_cast<uint32_t>(body[0] | body[1] << 8)
                             : static_cast<uint32_t>(body[0] << 8 | body[1]));
    } else if (blockType == 6 || blockType == 3 || blockType == 2) {
      uint32_t interface = 0;
      std::size_t captured = 0;
      std::size_t dataAt = 0;
      if (blockType == 6 && body.size() >= 20) {  // enhanced packet
        interface = u32(&body[0]);
        captured = u32(&body[12]);
        dataAt = 20;
      } else if (blockType == 3 && body.size() >= 4) {  // simple packet
        captured = std::min<std::size_t>(u32(&body[0]), body.size() - 4);
        dataAt = 4;
      } else if (blockType == 2 && body.size() >= 20) {  // the obsolete packet block
        interface = little ? static_cast<uint32_t>(body[0] | body[1] << 8)
                           : static_cast<uint32_t>(body[0] << 8 | body[1]);
        captured = u32(&body[12]);
        dataAt = 20;
      } else {
        throw Refusal{name + ": the packet block at offset " + std::to_string(offset) +
                      " is too short"};
      }
      if (captured > body.size() - dataAt) {
        throw Refusal{name + ": the packet block at offset " + std::to_string(offset) +
                      " says it holds more bytes than it has"};
      }
      ++packet;
      if (interface < links.size()) {
        pairer.Packet(links[interface], body.subspan(dataAt, captured),
                      name + ": packet " + std::to_string(packet));
      }
    }
    offset += length;
  }
}

void ReadPcap(Source& source, Pairer& pairer, uint32_t magic) {
  const std::string& name = pairer.Name();
  const bool little = magic == 0xA1B2C3D4 || magic == 0xA1B23C4D;  // as read little-endian
  const auto u32 = [&](const uint8_t* p) { return little ? Le32(p) : Be32(p); };
  std::vector<uint8_t> head;
  ReadBlock(source, 0, 24, head, name);
  const uint32_t link = u32(&head[20]) & 0xFFFF;
  std::vector<uint8_t> record;
  std::uintmax_t offset = 24;
  uint64_t packet = 0;
  while (offset < source.Size() && !pairer.Full()) {
    ReadBlock(source, offset, 16, head, name);
    const uint32_t captured = u32(&head[8]);
    ReadBlock(source, offset + 16, captured, record, name);
    ++packet;
    pairer.Packet(link, record, name + ": packet " + std::to_string(packet));
    offset += 16 + std::uintmax_t{captured};
  }
}

void ReadLog(Source& source, Pairer& pairer) {
  const std::string& name = pairer.Name();
  std::vector<uint8_t> piece;
  std::string line;
  std::uintmax_t offset = 0;
  uint64_t number = 0;
  uint64_t traffic = 0;
  const auto finish = [&] {
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && pairer.LogLine(line, name + ": line " + std::to_string(number))) {
      ++traffic;
    }
    line.clear();
  };
  while (offset < source.Size() && !pairer.Full()) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uintmax_t>(64 * 1024, source.Size() - offset));
    ReadBlock(source, offset, count, piece, name);
    offset += count;
    for (uint8_t byte : piece) {
      if (byte == '\n') {
        finish();
        continue;
      }
      line += static_cast<char>(byte);
      if (line.size() > kMostLineBytes) {
        throw Refusal{name + ": line " + std::to_string(number + 1) +
                      " is longer than a traffic line can be"};
      }
    }
  }
  if (!line.empty()) finish();
  if (traffic == 0) throw Refusal{name + ": not a pcapng, pcap or DataLog file"};
}

Result<std::shared_ptr<ReplayIndex>> Read(Source& source, const std::string& name) {
  auto index = std::make_shared<ReplayIndex>();
  Pairer pairer(*index, name);
  try {
    std::vector<uint8_t> magic;
    if (source.Size() < 4 || !source.Read(0, 4, magic)) {
      throw Refusal{name + ": too short to be a capture"};
    }
    const uint32_t first = Le32(magic.data());
    if (first == 0x0A0D0D0A) {
      ReadPcapng(source, pairer);
    } else if (first == 0xA1B2C3D4 || first == 0xD4C3B2A1 || first == 0xA1B23C4D ||
               first == 0x4D3CB2A1) {
      ReadPcap(source, pairer, first);
    } else if (magic[0] >= '0' && magic[0] <= '9') {
      ReadLog(source, pairer);
    } else {
      throw Refusal{name + ": not a pcapng, pcap or DataLog file (it begins with " +
                    Hex8(Be32(magic.data())) + ")"};
    }
  } catch (const Refusal& refusal) {
    return Failure{refusal.what};
  }
  if (index->Pairs() == 0) return Failure{name + ": holds no HART request with its reply"};
  return index;
}

}  // namespace

namespace {
// An index key: the command, then the request's data.
std::string IndexKey(uint8_t command, std::span<const uint8_t> data) {
  std::string key(1, static_cast<char>(command));
  key.append(data.begin(), data.end());
  return key;
}
}  // namespace

bool ReplayIndex::Add(uint8_t command, std::span<const uint8_t> data, RecordedReply reply) {
  if (pairs_ >= kMaxReplayPairs) {
    capped_ = true;
    return false;
  }
  entries_[IndexKey(command, data)].replies.push_back(std::move(reply));
  ++pairs_;
  return true;
}

const RecordedReply* ReplayIndex::Next(uint8_t command, std::span<const uint8_t> data) {
  const auto found = entries_.find(IndexKey(command, data));
  if (found == entries_.end()) return nullptr;
  Entry& entry = found->second;
  const RecordedReply* reply = &entry.replies[entry.next];
  entry.next = (entry.next + 1) % entry.replies.size();
  return reply;
}

Result<std::shared_ptr<ReplayIndex>> ReplayIndex::Load(const std::filesystem::path& path) {
  const std::string name = path.string();
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return Failure{name + ": cannot be read (" + error.message() + ")"};
  if (size > kMaxCaptureFileBytes) {
    return Failure{name + ": " + std::to_string(size) +
                   " bytes; captures of more than 1 GiB are not read"};
  }
  FileSource source(path, size);
  if (!source.Open()) return Failure{name + ": cannot be opened"};
  return Read(source, name);
}

Result<std::shared_ptr<ReplayIndex>> ReplayIndex::Parse(std::span<const uint8_t> bytes,
                                                        std::string_view name) {
  if (bytes.size() > kMaxCaptureFileBytes) {
    return Failure{std::string(name) + ": captures of more than 1 GiB are not read"};
  }
  MemorySource source(bytes);
  return Read(source, std::string(name));
}

}  // namespace qln
