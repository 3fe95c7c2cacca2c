#include "base/pcapng_capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

#include "base/capture_format.h"
#include "base/credentials.h"
#include "base/hart_frame.h"

namespace qln {
namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kCommentOption = 1;
constexpr uint32_t kSnapLength = 65535;
constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kTcpHeader = 20;
constexpr std::size_t kWithheldRepliesKept = 16;
constexpr std::size_t kFlowsKept = 4096;
constexpr std::string_view kCredentialsWithheld = "credentials withheld";
// How long the writer lets frames gather after the first of a batch; the queue holds far more
// than arrives in that time.
constexpr std::chrono::milliseconds kGatherTime{20};

// Block fields in the writer's byte order (the byte-order magic tells readers which).
void Le16(std::vector<uint8_t>& out, uint16_t v) {
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + 2);
}
void Le32(std::vector<uint8_t>& out, uint32_t v) {
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + 4);
}
void Pad4(std::vector<uint8_t>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}
// Sets the block's two length fields; `block` holds everything but the trailing length.
std::vector<uint8_t> Finish(std::vector<uint8_t> block) {
  const uint32_t length = static_cast<uint32_t>(block.size() + 4);
  std::memcpy(block.data() + 4, &length, 4);
  Le32(block, length);
  return block;
}

std::vector<uint8_t> SectionHeader() {
  std::vector<uint8_t> block;
  Le32(block, kSectionHeaderBlock);
  Le32(block, 0);
  Le32(block, kByteOrderMagic);
  Le16(block, 1);  // version 1.0
  Le16(block, 0);
  Le32(block, 0xFFFFFFFF);  // section length not given
  Le32(block, 0xFFFFFFFF);
  return Finish(std::move(block));
}

// Time stamps in microseconds, the default resolution, so no option is needed.
std::vector<uint8_t> InterfaceDescription() {
  std::vector<uint8_t> block;
  Le32(block, kInterfaceBlock);
  Le32(block, 0);
  Le16(block, kCaptureLinkType);
  Le16(block, 0);
  Le32(block, kSnapLength);
  return Finish(std::move(block));
}

std::vector<uint8_t> EnhancedPacket(int64_t time, std::span<const uint8_t> packet,
                                    std::string_view comment) {
  const auto captured = static_cast<uint32_t>(std::min<std::size_t>(packet.size(), kSnapLength));
  std::vector<uint8_t> block;
  block.reserve(48 + captured + comment.size());
  Le32(block, kEnhancedPacketBlock);
  Le32(block, 0);
  Le32(block, 0);  // interface 0
  const auto stamp = static_cast<uint64_t>(time);
  Le32(block, static_cast<uint32_t>(stamp >> 32));
  Le32(block, static_cast<uint32_t>(stamp));
  Le32(block, captured);
  Le32(block, static_cast<uint32_t>(packet.size()));
  block.insert(block.end(), packet.begin(), packet.begin() + captured);
  Pad4(block);
  if (!comment.empty()) {
    const auto length = static_cast<uint16_t>(std::min<std::size_t>(comment.size(), 0xFFFC));
    Le16(block, kCommentOption);
    Le16(block, length);
    block.insert(block.end(), comment.begin(), comment.begin() + length);
    Pad4(block);
    Le32(block, 0);  // end of options
  }
  return Finish(std::move(block));
}

// Packet fields in network byte order.
void Be16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void Be32(std::vector<uint8_t>& out, uint32_t v) {
  Be16(out, static_cast<uint16_t>(v >> 16));
  Be16(out, static_cast<uint16_t>(v));
}

uint32_t SumWords(std::span<const uint8_t> bytes, uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) sum += (bytes[i] << 8) | bytes[i + 1];
  if (bytes.size() % 2 != 0) sum += bytes.back() << 8;
  return sum;
}
uint16_t Fold(uint32_t sum) {
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// An IPv4 packet around the transport header and payload; a TCP checksum is filled in.
std::vector<uint8_t> Ipv4(uint8_t protocol, uint16_t identification, uint32_t source,
                          uint32_t destination, std::vector<uint8_t> transport) {
  std::vector<uint8_t> packet;
  packet.reserve(kIpHeader + transport.size());
  packet.push_back(0x45);
  packet.push_back(0);
  Be16(packet, static_cast<uint16_t>(kIpHeader + transport.size()));
  Be16(packet, identification);
  Be16(packet, 0x4000);  // don't fragment
  packet.push_back(64);
  packet.push_back(protocol);
  Be16(packet, 0);
  Be32(packet, source);
  Be32(packet, destination);
  const uint16_t checksum = Fold(SumWords(packet));
  packet[10] = static_cast<uint8_t>(checksum >> 8);
  packet[11] = static_cast<uint8_t>(checksum);
  if (protocol == 6) {
    const uint32_t pseudo = (source >> 16) + (source & 0xFFFF) + (destination >> 16) +
                            (destination & 0xFFFF) + 6 + static_cast<uint32_t>(transport.size());
    const uint16_t sum = Fold(SumWords(transport, pseudo));
    transport[16] = static_cast<uint8_t>(sum >> 8);
    transport[17] = static_cast<uint8_t>(sum);
  }
  packet.insert(packet.end(), transport.begin(), transport.end());
  return packet;
}

// UDP without a checksum (allowed over IPv4).
std::vector<uint8_t> Udp(uint16_t sourcePort, uint16_t destinationPort,
                         std::span<const uint8_t> payload) {
  std::vector<uint8_t> datagram;
  datagram.reserve(kUdpHeader + payload.size());
  Be16(datagram, sourcePort);
  Be16(datagram, destinationPort);
  Be16(datagram, static_cast<uint16_t>(kUdpHeader + payload.size()));
  Be16(datagram, 0);
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  return datagram;
}

std::vector<uint8_t> Tcp(uint16_t sourcePort, uint16_t destinationPort, uint32_t sequence,
                         uint32_t acknowledged, std::span<const uint8_t> payload) {
  std::vector<uint8_t> segment;
  segment.reserve(kTcpHeader + payload.size());
  Be16(segment, sourcePort);
  Be16(segment, destinationPort);
  Be32(segment, sequence);
  Be32(segment, acknowledged);
  segment.push_back(0x50);  // 20-byte header
  segment.push_back(0x18);  // PSH, ACK
  Be16(segment, 0xFFFF);    // window
  Be16(segment, 0);         // checksum, filled in by Ipv4
  Be16(segment, 0);
  segment.insert(segment.end(), payload.begin(), payload.end());
  return segment;
}

}  // namespace

std::filesystem::path CaptureFilePath(const std::filesystem::path& first, std::size_t index) {
  if (index == 0) return first;
  std::filesystem::path next = first;
  next.replace_filename(first.stem().string() + "." + std::to_string(index) +
                        first.extension().string());
  return next;
}

Result<> PcapngFile::Open(const std::filesystem::path& path, uint64_t limitBytes) {
  Close();
  first_ = path;
  limit_ = limitBytes;
  return Start(0);
}

Result<> PcapngFile::Start(std::size_t index) {
  Close();
  index_ = index;
  const std::filesystem::path path = CaptureFilePath(first_, index);
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    return Failure{"Capture: cannot create " + path.string() + ": " + std::strerror(errno)};
  }
  size_ = 0;
  packets_ = 0;
  if (Result<> put = Put(SectionHeader()); !put) return put;
  return Put(InterfaceDescription());
}

Result<> PcapngFile::Put(const std::vector<uint8_t>& block) {
  if (file_ == nullptr) return Failure{"Capture: " + first_.string() + " is not open"};
  if (std::fwrite(block.data(), 1, block.size(), file_) != block.size()) {
    const std::string reason = std::strerror(errno);
    const std::string name = CaptureFilePath(first_, index_).string();
    Close();
    return Failure{"Capture: cannot write " + name + ": " + reason};
  }
  size_ += block.size();
  return {};
}

Result<> PcapngFile::Write(int64_t epochMicroseconds, std::span<const uint8_t> packet,
                           std::string_view comment) {
  const std::vector<uint8_t> block = EnhancedPacket(epochMicroseconds, packet, comment);
  if (file_ != nullptr && packets_ > 0 && size_ + block.size() > limit_) {
    if (Result<> started = Start(index_ + 1); !started) return started;
  }
  if (Result<> put = Put(block); !put) return put;
  ++packets_;
  return {};
}

Result<> PcapngFile::Flush() {
  if (file_ != nullptr && std::fflush(file_) != 0) {
    const std::string reason = std::strerror(errno);
    const std::string name = CaptureFilePath(first_, index_).string();
    Close();
    return Failure{"Capture: cannot write " + name + ": " + reason};
  }
  return {};
}

void PcapngFile::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

std::vector<uint8_t> TokenPassingMessage(SerialFrameKind type, uint16_t sequence,
                                         std::span<const uint8_t> frame) {
  std::vector<uint8_t> message;
  message.reserve(kHartIpHeaderSize + frame.size());
  message.push_back(1);
  message.push_back(static_cast<uint8_t>(type));
  message.push_back(kTokenPassingPduId);
  message.push_back(0);
  Be16(message, sequence);
  Be16(message, static_cast<uint16_t>(kHartIpHeaderSize + frame.size()));
  message.insert(message.end(), frame.begin(), frame.end());
  return message;
}

CapturePackets::Packet CapturePackets::Serial(SerialFrameKind kind, std::span<const uint8_t> frame,
                                              std::string_view comment) {
  const std::vector<uint8_t> message = TokenPassingMessage(kind, serialSequence_++, frame);
  const bool fromMaster = kind == SerialFrameKind::Request;
  const uint32_t master = kSerialMasterAddress, devices = kSerialDeviceAddress;
  std::vector<uint8_t> datagram = fromMaster ? Udp(kSerialMasterPort, kHartIpPort, message)
                                             : Udp(kHartIpPort, kSerialMasterPort, message);
  return {Ipv4(17, ipIdentification_++, fromMaster ? master : devices,
               fromMaster ? devices : master, std::move(datagram)),
          std::string(comment)};
}

CapturePackets::Packet CapturePackets::HartIp(const HartIpFlow& flow, bool toServer,
                                              std::vector<uint8_t> bytes) {
  if (flows_.size() >= kFlowsKept) flows_.clear();
  FlowState& state =
      flows_[{flow.hostAddress, flow.hostPort, flow.serverAddress, flow.serverPort, flow.tcp}];
  if (!flow.tcp) state.position[toServer ? 0 : 1] = {};  // a datagram holds whole messages
  const bool withheld = Withhold(state, toServer, bytes);
  const uint32_t source = toServer ? flow.hostAddress : flow.serverAddress;
  const uint32_t destination = toServer ? flow.serverAddress : flow.hostAddress;
  const uint16_t sourcePort = toServer ? flow.hostPort : flow.serverPort;
  const uint16_t destinationPort = toServer ? flow.serverPort : flow.hostPort;
  std::vector<uint8_t> packet;
  if (flow.tcp) {
    uint32_t& sequence = state.sequence[toServer ? 0 : 1];
    const uint32_t acknowledged = state.sequence[toServer ? 1 : 0];
    packet = Ipv4(6, ipIdentification_++, source, destination,
                  Tcp(sourcePort, destinationPort, sequence, acknowledged, bytes));
    sequence += static_cast<uint32_t>(bytes.size());
  } else {
    packet =
        Ipv4(17, ipIdentification_++, source, destination, Udp(sourcePort, destinationPort, bytes));
  }
  return {std::move(packet), withheld ? std::string(kCredentialsWithheld) : std::string()};
}

// Walks the HART-IP messages in the bytes, the first one continuing where the last piece of the
// stream ended. A token-passing request that carries credentials, and its reply (found by its
// sequence number), are zeroed from where the credentials begin. A message cut short before it
// can be told whether it carries any is zeroed as well: a key is never risked.
bool CapturePackets::Withhold(FlowState& state, bool toServer, std::span<uint8_t> bytes) {
  StreamPosition& position = state.position[toServer ? 0 : 1];
  bool withheld = false;
  std::size_t at = 0;
  if (position.remaining > 0) {
    const std::size_t n = std::min(position.remaining, bytes.size());
    if (position.withhold) std::fill_n(bytes.begin(), n, uint8_t{0});
    withheld = position.withhold && n > 0;
    position.remaining -= n;
    at = n;
  }
  while (at < bytes.size()) {
    const std::span<uint8_t> rest = bytes.subspan(at);
    if (rest.size() < kHartIpHeaderSize) {
      // A header cut short: the rest of it and of its message cannot be told apart; leave it.
      return withheld;
    }
    const uint16_t sequence = static_cast<uint16_t>((rest[4] << 8) | rest[5]);
    const std::size_t length = std::max<std::size_t>((rest[6] << 8) | rest[7], kHartIpHeaderSize);
    const std::size_t here = std::min(length, rest.size());
    const std::span<uint8_t> frame = rest.subspan(kHartIpHeaderSize, here - kHartIpHeaderSize);
    const bool complete = here == length;
    std::optional<std::size_t> shown;
    if (rest[2] == kTokenPassingPduId && rest[1] == kHartIpRequest) {
      const std::size_t countPos = frame.empty() ? kShortCountPos : CountPosition(frame[0]);
      // Enough of the frame to see a 31's number, or the tunnelled frame of a 77.
      const bool decidable = complete || frame.size() >= countPos + 1 + 3 + kLongCountPos + 3;
      shown = decidable ? CredentialsShownLength(frame, false) : std::optional<std::size_t>(0);
      if (shown && decidable) {
        state.withheldReplies.emplace_back(sequence, *CredentialsShownLength(frame, true));
        if (state.withheldReplies.size() > kWithheldRepliesKept) state.withheldReplies.pop_front();
      }
    } else if (rest[2] == kTokenPassingPduId && rest[1] == kHartIpResponse) {
      const auto found = std::find_if(state.withheldReplies.begin(), state.withheldReplies.end(),
                                      [&](const auto& entry) { return entry.first == sequence; });
      if (found != state.withheldReplies.end()) {
        shown = found->second;
        state.withheldReplies.erase(found);
      }
    }
    if (shown) {
      if (complete) {
        withheld |= WithholdCredentials(frame, *shown);
      } else if (frame.size() > *shown) {
        std::fill(frame.begin() + static_cast<std::ptrdiff_t>(*shown), frame.end(), uint8_t{0});
        withheld = true;
      }
    }
    if (!complete) {
      position.remaining = length - here;
      position.withhold = shown.has_value();
    }
    at += here;
  }
  return withheld;
}

PcapngCapture::PcapngCapture(const Clock& clock, ProblemHandler onProblem)
    : clock_(clock), onProblem_(std::move(onProblem)) {}

Result<> PcapngCapture::Start(const std::filesystem::path& path, uint64_t limitBytes) {
  Stop();
  if (Result<> opened = file_.Open(path, limitBytes); !opened) return opened;
  packets_ = CapturePackets();
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    dropped_ = 0;
    unreported_ = 0;
  }
  try {
    thread_ = std::thread(&PcapngCapture::Run, this);
  } catch (const std::system_error& e) {
    file_.Close();
    return Failure{"Capture: cannot start its thread: " + std::string(e.what())};
  }
  running_.store(true, std::memory_order_release);
  return {};
}

void PcapngCapture::Stop() {
  running_.store(false, std::memory_order_release);
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  file_.Close();
}

std::size_t PcapngCapture::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void PcapngCapture::SerialFrame(SerialFrameKind kind, std::span<const uint8_t> frame,
                                std::string_view comment) {
  if (!Capturing()) return;
  Event event;
  event.time = clock_.EpochMicroseconds();
  event.serial = true;
  event.kind = kind;
  event.bytes.assign(frame.begin(), frame.end());
  event.comment = comment;
  Push(std::move(event));
}

void PcapngCapture::HartIp(const HartIpFlow& flow, bool toServer, std::span<const uint8_t> bytes) {
  if (!Capturing() || bytes.empty()) return;
  Event event;
  event.time = clock_.EpochMicroseconds();
  event.flow = flow;
  event.toServer = toServer;
  event.bytes.assign(bytes.begin(), bytes.end());
  Push(std::move(event));
}

void PcapngCapture::Push(Event event) {
  // Only the first frame of a batch wakes the writer: a wake-up per frame cost a futex call here
  // and a thread switch and a write there for every frame.
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    const std::size_t size = event.bytes.size() + event.comment.size();
    if (queuedBytes_ + size > kQueueBytes) {
      ++dropped_;
      ++unreported_;
      return;
    }
    wake = queue_.empty();
    queuedBytes_ += size;
    // The count goes with this frame, so the note lands where the gap is.
    event.droppedBefore = std::exchange(unreported_, 0);
    queue_.push_back(std::move(event));
  }
  if (wake) changed_.notify_one();
}

void PcapngCapture::Run() {
  std::vector<Event> batch;
  bool failed = false;
  for (;;) {
    std::size_t lastLost = 0;  // dropped after the last frame queued, once stopping
    bool stopping = false;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      // Lets the frames of the next moments gather, so that many are written and flushed at once.
      changed_.wait_for(lock, kGatherTime, [&] { return stopping_; });
      batch.swap(queue_);
      queuedBytes_ = 0;
      stopping = stopping_;
      if (stopping) lastLost = std::exchange(unreported_, 0);
    }
    for (Event& event : batch) {
      if (failed) break;
      CapturePackets::Packet packet =
          event.serial ? packets_.Serial(event.kind, event.bytes, event.comment)
                       : packets_.HartIp(event.flow, event.toServer, std::move(event.bytes));
      if (event.droppedBefore > 0) {
        const std::string note = std::to_string(event.droppedBefore) +
                                 " frames dropped before this one: the capture did not keep up";
        packet.comment = packet.comment.empty() ? note : packet.comment + "; " + note;
      }
      Result<> written = file_.Write(event.time, packet.bytes, packet.comment);
      if (!written) {
        failed = true;
        running_.store(false, std::memory_order_release);
        if (onProblem_) onProblem_(written.error() + "; the capture has stopped");
      }
    }
    batch.clear();
    if (!failed) {
      if (Result<> flushed = file_.Flush(); !flushed) {
        failed = true;
        running_.store(false, std::memory_order_release);
        if (onProblem_) onProblem_(flushed.error() + "; the capture has stopped");
      }
    }
    if (stopping) {
      // No packet follows to carry the count; it is not lost silently.
      if (lastLost > 0 && !failed && onProblem_) {
        onProblem_("Capture: the last " + std::to_string(lastLost) +
                   " frames were dropped: the capture did not keep up");
      }
      return;
    }
  }
}

}  // namespace qln
