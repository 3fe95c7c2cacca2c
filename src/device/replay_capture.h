// A recorded device to mimic: the index of the HART requests a capture holds, each with the
// replies the recorded device gave to it, for a device that answers from the recording.
//
// What is read:
// - pcapng and classic pcap files (either byte order, micro- or nanosecond time stamps) with
//   packets on Ethernet (link type 1), Linux cooked (113, 276) or raw IP (101, 228, 229) links:
//   HART-IP on port 5094 over UDP or TCP, token-passing PDUs (message ID 3) and direct PDUs
//   (message ID 4). A request pairs with the response of the reverse flow with its sequence
//   number; a response without one (the serial line's frames in Quillon's captures number every
//   frame) pairs with the last unanswered request of the reverse flow for the same command.
//   Over TCP each direction's payload is joined in capture order (retransmitted bytes dropped,
//   a gap starts the stream afresh) and split by the header's byte count.
// - Quillon's saved DataLog (".csv" lines as base/log_sink.h forms them): a sent reply pairs with
//   the last received request of the same origin for the same command.
//
// Reading is bounded: the file is read block by block (files over kMaxCaptureFileBytes, blocks
// or packets over kMaxCaptureBlockBytes and HART frames longer than a HART frame can be are
// refused), and at most kMaxReplayPairs pairs are indexed (the rest of the file is not read).
// Only the pairs' requests and replies are held, never the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace qln {

inline constexpr std::uintmax_t kMaxCaptureFileBytes = std::uintmax_t{1} << 30;  // 1 GiB
inline constexpr std::size_t kMaxCaptureBlockBytes = std::size_t{1} << 20;       // 1 MiB
inline constexpr std::size_t kMaxReplayPairs = 100'000;

// A reply as recorded: its response code and the data after the device status byte (the
// replaying device sends its own status).
struct RecordedReply {
  uint8_t ResponseCode = 0;
  std::vector<uint8_t> Data;
};

class ReplayIndex {
 public:
  // Reads the capture file. The failure's message names the file and what is wrong with it.
  static Result<std::shared_ptr<ReplayIndex>> Load(const std::filesystem::path& path);
  // The same reader over bytes in memory; `name` stands for the file in messages.
  static Result<std::shared_ptr<ReplayIndex>> Parse(std::span<const uint8_t> bytes,
                                                    std::string_view name);

  // The next reply recorded for the request (its command and the data after the address), the
  // recorded replies of one request in turn; null when the request was not recorded.
  const RecordedReply* Next(uint8_t command, std::span<const uint8_t> data);

  std::size_t Pairs() const { return pairs_; }
  std::size_t Requests() const { return entries_.size(); }
  // Whether the file held more pairs than kMaxReplayPairs (the rest were not indexed).
  bool Capped() const { return capped_; }

  // Adds a pair: false once kMaxReplayPairs are held (Capped then).
  bool Add(uint8_t command, std::span<const uint8_t> data, RecordedReply reply);

 private:
  struct Entry {
    std::vector<RecordedReply> replies;
    std::size_t next = 0;
  };
  std::map<std::string, Entry> entries_;  // key: the command, then the request data, as bytes
  std::size_t pairs_ = 0;
  bool capped_ = false;
};

}  // namespace qln
