// Fuzz target: the capture reader of replaying devices. Arbitrary bytes as a capture file (pcapng,
// pcap or DataLog): the reader either refuses them with a message naming the file or gives an
// index whose every recorded reply fits a HART reply, within the pair cap, and whose round robin
// answers a recorded request again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "base/hart_frame.h"
#include "device/replay_capture.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "capture reader fuzz: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  auto index = qln::ReplayIndex::Parse(std::span(data, size), "fuzz.pcapng");
  if (!index) {
    if (index.error().rfind("fuzz.pcapng", 0) != 0) Fail("a refusal not naming the file");
    return 0;
  }
  qln::ReplayIndex& replay = **index;
  if (replay.Pairs() == 0 || replay.Pairs() > qln::kMaxReplayPairs) Fail("pair count");
  if (replay.Requests() > replay.Pairs()) Fail("more requests than pairs");
  // Every command with no data, and command 0 twice: whatever is found fits a reply.
  for (unsigned command = 0; command < 256; ++command) {
    for (int round = 0; round < 2; ++round) {
      const qln::RecordedReply* reply = replay.Next(static_cast<uint8_t>(command), {});
      if (reply == nullptr) break;
      if (reply->Data.size() > 255) Fail("a reply longer than a HART reply");
    }
  }
  return 0;
}
