// HART-IP messages (versions 1 and 2, without security), without I/O: the 8-byte header, the
// reassembly of a TCP byte stream into messages by their byte count, and the decision what a
// request asks for and how it is answered. The server (hartip_server.h) moves the bytes; everything
// about their form is here, so that it can be fuzzed on its own.
//
// A message: version (1 or 2), message type, message ID, status, sequence number (16 bits), byte
// count of the whole message, header included (16 bits), then the body; numbers big-endian.
//
// Status codes we send. HART-IP reuses the numbering of the HART response codes; these are the
// meanings public protocol references give them for HART-IP:
//    0 success
//    2 invalid selection: a session initiate with a master type other than 0 or 1, or a request
//      with a message type or ID this device does not serve
//    5 too few data bytes: a body shorter than its message needs (session initiate without its
//      five bytes, a token-passing PDU that holds no complete HART frame, a Direct PDU whose
//      command byte counts reach past its body, a datagram shorter than its byte count)
//    8 set to nearest possible value: the session was opened with the shortest or longest
//      inactivity close timer allowed instead of the one asked for outside those bounds
//   14 version not supported: a header whose version is neither 1 nor 2
//   15 all available sessions in use ("service unavailable"): a session initiate while the
//      device already serves its most sessions
//   16 access restricted: a request other than session initiate outside a session, or a second
//      session initiate inside one
//   35 no device: a token-passing PDU that no simulated device answers (address unknown, or the
//      device disabled). The response carries no HART frame, as on a line where no device
//      replies; this is the "dead" status HART I/O systems report for a channel without an
//      answering device.
// Errors (message type 3) echo the message ID and sequence number of the request they refuse.
// Every answer is in the version of the request it answers (a refused version gets version 1), so
// a version-2 session is answered in version 2 throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qln::hartip {

inline constexpr uint8_t kVersion = 1;
inline constexpr uint8_t kLatestVersion = 2;
inline constexpr std::size_t kHeaderSize = 8;
// The longest message accepted: a larger byte count closes a TCP connection.
inline constexpr std::size_t kMaxMessageSize = 512;
inline constexpr std::size_t kSessionInitiateBody = 5;
// The shortest and the longest inactivity close timer a session gets, in milliseconds. The upper
// bound keeps clients that ask for hours and vanish from holding the sessions for long.
inline constexpr uint32_t kMinInactivityMs = 1000;
inline constexpr uint32_t kMaxInactivityMs = 300000;

enum class MessageType : uint8_t { Request = 0, Response = 1, Publish = 2, Error = 3, Nak = 15 };
enum class MessageId : uint8_t {
  SessionInitiate = 0,
  SessionClose = 1,
  KeepAlive = 2,
  TokenPassingPdu = 3,
  DirectPdu = 4,
  ReadAuditLog = 5,
};

// The status codes we send, as listed above.
inline constexpr uint8_t kStatusSuccess = 0;
inline constexpr uint8_t kStatusInvalidSelection = 2;
inline constexpr uint8_t kStatusTooFewDataBytes = 5;
inline constexpr uint8_t kStatusSetToNearest = 8;
inline constexpr uint8_t kStatusVersionNotSupported = 14;
inline constexpr uint8_t kStatusSessionsInUse = 15;
inline constexpr uint8_t kStatusAccessRestricted = 16;
inline constexpr uint8_t kStatusNoDevice = 35;

struct Header {
  uint8_t version = kVersion;
  uint8_t type = 0;
  uint8_t id = 0;
  uint8_t status = 0;
  uint16_t sequence = 0;
  uint16_t byteCount = 0;
};

// The header at the start of `bytes`; nothing when fewer than 8 bytes are there.
std::optional<Header> ParseHeader(std::span<const uint8_t> bytes);

// A whole message: the header (its byte count computed) and the body. The body must leave the
// message within kMaxMessageSize; a longer one is cut there.
std::vector<uint8_t> EncodeMessage(MessageType type, MessageId id, uint8_t status,
                                   uint16_t sequence, std::span<const uint8_t> body = {},
                                   uint8_t version = kVersion);

// Splits a TCP byte stream into messages by their byte count. A byte count below 8 or above
// kMaxMessageSize breaks the stream for good: the connection must be closed.
class StreamReassembler {
 public:
  // Takes received bytes; at most kMaxMessageSize stay buffered, the rest waits in `bytes` (the
  // return value says how many were taken).
  std::size_t Feed(std::span<const uint8_t> bytes);
  // The next complete message, if one is buffered; nothing otherwise or once broken.
  std::optional<std::vector<uint8_t>> Next();
  bool Broken() const { return broken_; }
  // Whether no part of a message is buffered.
  bool Empty() const { return buffer_.empty(); }
  // The byte count that broke the stream.
  uint16_t BadByteCount() const { return badByteCount_; }

 private:
  std::vector<uint8_t> buffer_;
  bool broken_ = false;
  uint16_t badByteCount_ = 0;
};

// What a received message asks of the server.
enum class RequestKind : uint8_t {
  Ignore,           // not a request (a host's response, publish, error or NAK): no answer
  Refuse,           // answered with an error message (status in the result)
  SessionInitiate,  // open a session: master type and timer in the result
  SessionClose,
  KeepAlive,
  TokenPassingPdu,  // execute the HART frame in the result
  DirectPdu,        // execute the commands in the result's body for the I/O system
  ReadAuditLog,     // answer with the records the result's body asks for
};

struct Request {
  RequestKind kind = RequestKind::Ignore;
  Header header;
  uint8_t status = kStatusSuccess;  // the refusal's status, or 8 for a timer set to the nearest
  bool primaryMaster = true;        // session initiate
  uint32_t inactivityMs = 0;        // session initiate, within kMin/kMaxInactivityMs
  std::span<const uint8_t> frame;   // token-passing PDU: the frame in the message's body
  std::span<const uint8_t> body;    // Direct PDU, Read Audit Log: the message's body
};

// Decides what the message (exactly one message, header included) asks for. `inSession` tells
// whether the sender has an open session.
Request ClassifyRequest(std::span<const uint8_t> message, bool inSession);

// The answer to a request that is not executed: the error of a refusal, or the response to a
// session initiate, close or keep alive (status from the request). Nothing for Ignore and for
// token-passing PDUs.
std::optional<std::vector<uint8_t>> AnswerRequest(const Request& request);

// The response to an executed token-passing PDU: the reply frame, or status 35 and no body when
// no device answered.
std::vector<uint8_t> AnswerPdu(const Header& request,
                               const std::optional<std::vector<uint8_t>>& replyFrame);

// A Direct PDU's body: the device status and extended status bytes (0 in a request), then
// commands, each a 16-bit command number, a byte count and that many data bytes; a response's
// byte count includes the response code that leads its data.
struct DirectCommand {
  uint16_t command = 0;
  std::span<const uint8_t> data;
};
// The commands of a request's body, in order; nothing when a byte count reaches past the body
// or the body has no command.
std::optional<std::vector<DirectCommand>> ParseDirectPdu(std::span<const uint8_t> body);
struct DirectReply {
  uint16_t command = 0;
  uint8_t responseCode = 0;
  std::vector<uint8_t> data;  // at most 254 bytes
};
// The response to a Direct PDU: the status bytes and one entry per reply, as many as fit the
// message (a reply that would not fit ends the list).
std::vector<uint8_t> AnswerDirectPdu(const Header& request, uint8_t deviceStatus,
                                     std::span<const DirectReply> replies);

// One record of the audit log: one client session.
struct AuditRecord {
  static constexpr uint16_t kWritesOccurred = 0x01;
  static constexpr uint16_t kBadInitiate = 0x02;
  static constexpr uint16_t kAborted = 0x04;
  static constexpr uint16_t kTimedOut = 0x08;
  static constexpr uint16_t kInsecure = 0x10;
  uint32_t clientAddress = 0;  // IPv4, host byte order
  uint16_t clientPort = 0;
  uint16_t serverPort = 0;
  uint64_t connectSeconds = 0;     // since 1970
  uint64_t disconnectSeconds = 0;  // 0 while the session is open
  uint16_t status = kInsecure;
  uint16_t startChangeCount = 0;
  uint16_t endChangeCount = 0;
  uint32_t publishes = 0;
  uint32_t requests = 0;
  uint32_t responses = 0;
};
inline constexpr std::size_t kAuditRecordSize = 58;
// The response to Read Audit Log (`request.body`: first record, number of records): the records
// from the first asked for, as many as asked and as fit the message, after the server's power-up
// time, last security change (0: never) and status (0).
std::vector<uint8_t> AnswerAuditLog(const Request& request, uint64_t powerUpSeconds,
                                    uint64_t securityChangeSeconds,
                                    std::span<const AuditRecord> records);

// Whether the HART frame (delimiter .. checksum, no preambles) is complete: a master-to-slave
// delimiter, its address, command, byte count, that many data bytes and the checksum, and
// nothing beyond.
bool IsCompleteFrame(std::span<const uint8_t> frame);

}  // namespace qln::hartip
