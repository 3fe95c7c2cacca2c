// libFuzzer target for the HART-IP codec: the input as a TCP byte stream (fed in pieces whose
// sizes come from the input itself) and as a series of datagrams. Every message is classified
// and answered as the server would; each answer must be a well-formed message (the request's
// version when it is one we serve, else version 1; byte count equal to its length, 8..512 bytes;
// a response or an error echoing the request's ID and sequence number), and no message may be
// answered twice. A session gets an inactivity timer within the bounds. A Direct PDU's commands
// lie within its body and are answered with their own numbers (each command's data are echoed as
// its reply), and an audit log read gets whole records, as many as fit.
//
// The input is also the plaintext of secured sessions, as TLS and DTLS hand it to the session
// table: under the security policy the input's first byte picks, a TCP connection is secured
// by its TLS handshake after as many bytes as the second byte says, and a DTLS client's datagrams
// come beside it. The table must keep its bounds (sessions, output) and send whole messages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "hartip/hartip_codec.h"
#include "hartip/session_table.h"

namespace {

using namespace qln::hartip;

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckAnswer(const std::vector<uint8_t>& answer, const Header& request) {
  Require(answer.size() >= kHeaderSize && answer.size() <= kMaxMessageSize);
  const std::optional<Header> header = ParseHeader(answer);
  Require(header.has_value());
  const bool served = request.version >= kVersion && request.version <= kLatestVersion;
  Require(header->version == (served ? request.version : kVersion));
  Require(header->byteCount == answer.size());
  Require(header->type == static_cast<uint8_t>(MessageType::Response) ||
          header->type == static_cast<uint8_t>(MessageType::Error));
  Require(header->id == request.id);
  Require(header->sequence == request.sequence);
}

// Answers one message as the server does, with a session that opens and closes as asked; the
// backend's reply is the request frame itself, or no device for every other one.
void AnswerOnce(std::span<const uint8_t> message, bool& inSession, unsigned& pdus) {
  const Request request = ClassifyRequest(message, inSession);
  std::vector<std::vector<uint8_t>> answers;
  if (request.kind == RequestKind::TokenPassingPdu) {
    Require(IsCompleteFrame(request.frame));
    std::optional<std::vector<uint8_t>> reply;
    if (++pdus % 2 == 0) reply.emplace(request.frame.begin(), request.frame.end());
    answers.push_back(AnswerPdu(request.header, reply));
  }
  if (request.kind == RequestKind::DirectPdu) {
    const auto commands = ParseDirectPdu(request.body);
    Require(commands.has_value() && !commands->empty());
    std::vector<DirectReply> replies;
    for (const DirectCommand& command : *commands) {
      Require(command.data.data() >= request.body.data() &&
              command.data.data() + command.data.size() <=
                  request.body.data() + request.body.size());
      replies.push_back({command.command, 0, {command.data.begin(), command.data.end()}});
    }
    const std::vector<uint8_t> answer = AnswerDirectPdu(request.header, 0, replies);
    // The replies in the answer are the first ones, in order, each with its number.
    std::span<const uint8_t> rest = std::span(answer).subspan(kHeaderSize + 2);
    for (std::size_t i = 0; !rest.empty(); ++i) {
      Require(i < replies.size() && rest.size() >= 4 && rest[2] >= 1 &&
              rest.size() >= 3u + rest[2]);
      Require((rest[0] << 8 | rest[1]) == replies[i].command);
      rest = rest.subspan(3u + rest[2]);
    }
    answers.push_back(answer);
  }
  if (request.kind == RequestKind::ReadAuditLog) {
    const std::vector<AuditRecord> records(request.body[0] % 16);
    const std::vector<uint8_t> answer = AnswerAuditLog(request, 0, 0, records);
    Require((answer.size() - kHeaderSize - 22) % kAuditRecordSize == 0);
    Require((answer.size() - kHeaderSize - 22) / kAuditRecordSize == answer[kHeaderSize + 1]);
    answers.push_back(answer);
  }
  if (auto answer = AnswerRequest(request)) answers.push_back(std::move(*answer));
  Require(answers.size() <= 1);
  Require(answers.empty() == (request.kind == RequestKind::Ignore));
  for (const auto& answer : answers) CheckAnswer(answer, request.header);
  if (request.kind == RequestKind::SessionInitiate) {
    Require(request.inactivityMs >= kMinInactivityMs && request.inactivityMs <= kMaxInactivityMs);
    inSession = true;
  }
  if (request.kind == RequestKind::SessionClose) inSession = false;
}

// Answers every frame with itself and every Direct PDU command with its data.
class EchoBackend final : public qln::HartIpBackend {
 public:
  std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame, bool,
                                              std::string_view, qln::SessionMemory&) override {
    return std::vector<uint8_t>(frame.begin(), frame.end());
  }
  qln::DirectAnswer ExecuteDirect(uint16_t, std::span<const uint8_t> data, bool, std::string_view,
                                  qln::SessionMemory&) override {
    return {0, {data.begin(), data.end()}};
  }
  uint8_t DirectStatus() override { return 0; }
  qln::Publications BurstFrames(uint32_t) override { return {}; }
  SecuritySettings Security() override { return {}; }
};

void RequireWholeMessages(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::optional<Header> header = ParseHeader(bytes);
    Require(header && header->byteCount >= kHeaderSize && header->byteCount <= kMaxMessageSize &&
            header->byteCount <= bytes.size());
    bytes = bytes.subspan(header->byteCount);
  }
}

void DriveSecuredSessions(std::span<const uint8_t> input) {
  if (input.size() < 2) return;
  EchoBackend backend;
  SessionTable table(backend);
  table.SetPolicy(static_cast<SecurityPolicy>(input[0] % 3));
  const ClientEntry client{static_cast<uint8_t>(input[0] >> 4), "fuzz", {}};
  const Endpoint tlsPeer{0x7F000001, 40000}, dtlsPeer{0x7F000001, 40001};
  uint32_t now = 0;
  const std::optional<ConnectionId> id = table.Accept(tlsPeer, now);
  Require(id.has_value());
  bool secured = false;
  for (std::size_t position = 2; position < input.size();) {
    if (!secured && position >= input[1] && table.MayStartTls(*id)) {
      table.Secure(*id, client, now);
      secured = true;
    }
    const std::size_t piece =
        std::min<std::size_t>(1 + input[position] % 64, input.size() - position);
    table.Received(*id, input.subspan(position, piece), now);
    table.DatagramReceived(dtlsPeer, input.subspan(position, piece), now, &client);
    position += piece;
    now += 700;
    table.Tick(now);
    Require(table.SessionCount() <= SessionTable::kMaxSessions);
    const std::span<const uint8_t> pending = table.Pending(*id);
    Require(pending.size() <= SessionTable::kMaxOutbox);
    RequireWholeMessages(pending);
    table.Written(*id, pending.size());
    for (const Datagram& datagram : table.TakeOutput().datagrams) {
      Require(datagram.to == dtlsPeer);
      RequireWholeMessages(datagram.bytes);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> input(data, size);

  // As a TCP stream, in pieces of 1 + (byte % 64) bytes.
  StreamReassembler stream;
  bool inSession = false;
  unsigned pdus = 0;
  std::size_t position = 0;
  while (position < size && !stream.Broken()) {
    const std::size_t piece = std::min<std::size_t>(1 + input[position] % 64, size - position);
    std::span<const uint8_t> bytes = input.subspan(position, piece);
    position += piece;
    while (!bytes.empty() && !stream.Broken()) {
      bytes = bytes.subspan(stream.Feed(bytes));
      while (const auto message = stream.Next()) {
        Require(message->size() >= kHeaderSize && message->size() <= kMaxMessageSize);
        AnswerOnce(*message, inSession, pdus);
      }
    }
  }

  // As datagrams: a length byte, then that many bytes (up to 513, so too long ones occur).
  inSession = false;
  position = 0;
  while (position < size) {
    const std::size_t length = std::min<std::size_t>(input[position] * 2 + 1, size - position - 1);
    AnswerOnce(input.subspan(position + 1, length), inSession, pdus);
    position += 1 + length;
  }

  DriveSecuredSessions(input);
  return 0;
}
