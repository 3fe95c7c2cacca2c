#include "hartip/hartip_codec.h"

#include <algorithm>

#include "base/hart_frame.h"

namespace qln::hartip {
namespace {

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t ReadU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

Request Refusal(const Header& header, uint8_t status) {
  Request request;
  request.kind = RequestKind::Refuse;
  request.header = header;
  request.status = status;
  return request;
}

}  // namespace

std::optional<Header> ParseHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  return Header{bytes[0], bytes[1], bytes[2], bytes[3], ReadU16(&bytes[4]), ReadU16(&bytes[6])};
}

std::vector<uint8_t> EncodeMessage(MessageType type, MessageId id, uint8_t status,
                                   uint16_t sequence, std::span<const uint8_t> body,
                                   uint8_t version) {
  const std::size_t bodySize = std::min(body.size(), kMaxMessageSize - kHeaderSize);
  const std::size_t size = kHeaderSize + bodySize;
  std::vector<uint8_t> message(size);
  message[0] = version;
  message[1] = static_cast<uint8_t>(type);
  message[2] = static_cast<uint8_t>(id);
  message[3] = status;
  message[4] = static_cast<uint8_t>(sequence >> 8);
  message[5] = static_cast<uint8_t>(sequence & 0xFF);
  message[6] = static_cast<uint8_t>(size >> 8);
  message[7] = static_cast<uint8_t>(size & 0xFF);
  std::copy_n(body.begin(), bodySize, message.begin() + kHeaderSize);
  return message;
}

std::size_t StreamReassembler::Feed(std::span<const uint8_t> bytes) {
  if (broken_) return bytes.size();
  const std::size_t taken = std::min(bytes.size(), kMaxMessageSize - buffer_.size());
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
  return taken;
}

std::optional<std::vector<uint8_t>> StreamReassembler::Next() {
  if (broken_) return std::nullopt;
  const std::optional<Header> header = ParseHeader(buffer_);
  if (!header) return std::nullopt;
  if (header->byteCount < kHeaderSize || header->byteCount > kMaxMessageSize) {
    broken_ = true;
    badByteCount_ = header->byteCount;
    buffer_.clear();
    return std::nullopt;
  }
  if (buffer_.size() < header->byteCount) return std::nullopt;
  const auto end = buffer_.begin() + header->byteCount;
  std::vector<uint8_t> message(buffer_.begin(), end);
  buffer_.erase(buffer_.begin(), end);
  return message;
}

std::optional<std::vector<DirectCommand>> ParseDirectPdu(std::span<const uint8_t> body) {
  constexpr std::size_t kStatusBytes = 2;
  constexpr std::size_t kCommandHeader = 3;  // command number, byte count
  if (body.size() < kStatusBytes + kCommandHeader) return std::nullopt;
  std::vector<DirectCommand> commands;
  std::span<const uint8_t> rest = body.subspan(kStatusBytes);
  while (!rest.empty()) {
    if (rest.size() < kCommandHeader || rest.size() < kCommandHeader + rest[2]) return std::nullopt;
    commands.push_back({ReadU16(rest.data()), rest.subspan(kCommandHeader, rest[2])});
    rest = rest.subspan(kCommandHeader + rest[2]);
  }
  return commands;
}

std::vector<uint8_t> AnswerDirectPdu(const Header& request, uint8_t deviceStatus,
                                     std::span<const DirectReply> replies) {
  std::vector<uint8_t> body{deviceStatus, 0};
  for (const DirectReply& reply : replies) {
    const std::size_t count = std::min<std::size_t>(reply.data.size(), 254);
    if (kHeaderSize + body.size() + 4 + count > kMaxMessageSize) break;
    body.insert(body.end(),
                {static_cast<uint8_t>(reply.command >> 8), static_cast<uint8_t>(reply.command),
                 static_cast<uint8_t>(count + 1), reply.responseCode});
    body.insert(body.end(), reply.data.begin(),
                reply.data.begin() + static_cast<std::ptrdiff_t>(count));
  }
  return EncodeMessage(MessageType::Response, MessageId::DirectPdu, kStatusSuccess,
                       request.sequence, body, request.version);
}

namespace {
void PutBig(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
}  // namespace

std::vector<uint8_t> AnswerAuditLog(const Request& request, uint64_t powerUpSeconds,
                                    uint64_t securityChangeSeconds,
                                    std::span<const AuditRecord> records) {
  const std::size_t first = std::min<std::size_t>(request.body[0], records.size());
  constexpr std::size_t kFixed = 2 + 8 + 8 + 2 + 2;
  const std::size_t room = (kMaxMessageSize - kHeaderSize - kFixed) / kAuditRecordSize;
  const std::size_t count = std::min({std::size_t{request.body[1]}, records.size() - first, room});
  std::vector<uint8_t> body{request.body[0], static_cast<uint8_t>(count)};
  PutBig(body, powerUpSeconds, 8);
  PutBig(body, securityChangeSeconds, 8);
  PutBig(body, 0, 2);  // server status: no syslog trouble
  PutBig(body, kAuditRecordSize, 2);
  for (const AuditRecord& r : records.subspan(first, count)) {
    PutBig(body, r.clientAddress, 4);
    body.insert(body.end(), 16, 0);  // no IPv6 address
    PutBig(body, r.clientPort, 2);
    PutBig(body, r.serverPort, 2);
    PutBig(body, r.connectSeconds, 8);
    PutBig(body, r.disconnectSeconds, 8);
    PutBig(body, r.status, 2);
    PutBig(body, r.startChangeCount, 2);
    PutBig(body, r.endChangeCount, 2);
    PutBig(body, r.publishes, 4);
    PutBig(body, r.requests, 4);
    PutBig(body, r.responses, 4);
  }
  return EncodeMessage(MessageType::Response, MessageId::ReadAuditLog, kStatusSuccess,
                       request.header.sequence, body, request.header.version);
}

bool IsCompleteFrame(std::span<const uint8_t> frame) {
  if (frame.empty()) return false;
  std::size_t countPos = 0;
  if (frame[0] == kShortStx) {
    countPos = kShortCountPos;
  } else if (frame[0] == kLongStx) {
    countPos = kLongCountPos;
  } else {
    return false;
  }
  return frame.size() > countPos && frame.size() == countPos + frame[countPos] + 2u;
}

Request ClassifyRequest(std::span<const uint8_t> message, bool inSession) {
  const std::optional<Header> parsed = ParseHeader(message);
  if (!parsed) return {};  // no header to answer to
  const Header& header = *parsed;
  if (header.type != static_cast<uint8_t>(MessageType::Request)) return {};
  if (header.version < kVersion || header.version > kLatestVersion) {
    Header answered = header;
    answered.version = kVersion;
    return Refusal(answered, kStatusVersionNotSupported);
  }
  if (header.byteCount != message.size()) return Refusal(header, kStatusTooFewDataBytes);
  const std::span<const uint8_t> body = message.subspan(kHeaderSize);

  Request request;
  request.header = header;
  switch (static_cast<MessageId>(header.id)) {
    case MessageId::SessionInitiate: {
      if (inSession) return Refusal(header, kStatusAccessRestricted);
      if (body.size() < kSessionInitiateBody) return Refusal(header, kStatusTooFewDataBytes);
      if (body[0] > 1) return Refusal(header, kStatusInvalidSelection);
      request.kind = RequestKind::SessionInitiate;
      request.primaryMaster = body[0] == 1;
      const uint32_t asked = ReadU32(&body[1]);
      request.inactivityMs = std::clamp(asked, kMinInactivityMs, kMaxInactivityMs);
      if (request.inactivityMs != asked) request.status = kStatusSetToNearest;
      return request;
    }
    case MessageId::SessionClose:
    case MessageId::KeepAlive:
      if (!inSession) return Refusal(header, kStatusAccessRestricted);
      request.kind = header.id == static_cast<uint8_t>(MessageId::KeepAlive)
                         ? RequestKind::KeepAlive
                         : RequestKind::SessionClose;
      return request;
    case MessageId::TokenPassingPdu:
      if (!inSession) return Refusal(header, kStatusAccessRestricted);
      if (!IsCompleteFrame(body)) return Refusal(header, kStatusTooFewDataBytes);
      request.kind = RequestKind::TokenPassingPdu;
      request.frame = body;
      return request;
    case MessageId::DirectPdu:
    case MessageId::ReadAuditLog: {
      if (!inSession) return Refusal(header, kStatusAccessRestricted);
      const bool direct = header.id == static_cast<uint8_t>(MessageId::DirectPdu);
      if (direct ? !ParseDirectPdu(body) : body.size() < 2) {
        return Refusal(header, kStatusTooFewDataBytes);
      }
      request.kind = direct ? RequestKind::DirectPdu : RequestKind::ReadAuditLog;
      request.body = body;
      return request;
    }
  }
  return Refusal(header, kStatusInvalidSelection);
}

std::optional<std::vector<uint8_t>> AnswerRequest(const Request& request) {
  const auto id = static_cast<MessageId>(request.header.id);
  const uint16_t sequence = request.header.sequence;
  const uint8_t version = request.header.version;
  switch (request.kind) {
    case RequestKind::Ignore:
    case RequestKind::TokenPassingPdu:
    case RequestKind::DirectPdu:
    case RequestKind::ReadAuditLog:
      return std::nullopt;
    case RequestKind::Refuse:
      return EncodeMessage(MessageType::Error, id, request.status, sequence, {}, version);
    case RequestKind::SessionInitiate: {
      // The response repeats the master type and the timer the session got.
      const uint32_t ms = request.inactivityMs;
      const uint8_t body[kSessionInitiateBody] = {
          static_cast<uint8_t>(request.primaryMaster ? 1 : 0), static_cast<uint8_t>(ms >> 24),
          static_cast<uint8_t>(ms >> 16), static_cast<uint8_t>(ms >> 8), static_cast<uint8_t>(ms)};
      return EncodeMessage(MessageType::Response, id, request.status, sequence, body, version);
    }
    case RequestKind::SessionClose:
    case RequestKind::KeepAlive:
      return EncodeMessage(MessageType::Response, id, kStatusSuccess, sequence, {}, version);
  }
  return std::nullopt;
}

std::vector<uint8_t> AnswerPdu(const Header& request,
                               const std::optional<std::vector<uint8_t>>& replyFrame) {
  if (!replyFrame) {
    return EncodeMessage(MessageType::Response, MessageId::TokenPassingPdu, kStatusNoDevice,
                         request.sequence, {}, request.version);
  }
  return EncodeMessage(MessageType::Response, MessageId::TokenPassingPdu, kStatusSuccess,
                       request.sequence, *replyFrame, request.version);
}

}  // namespace qln::hartip
