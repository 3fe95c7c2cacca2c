// A HART-IP backend for the session and server tests: answers every frame whose command is not
// 99 with a fixed reply and records what it saw; any thread.
#pragma once

#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hartip/hartip_backend.h"

namespace qln::test {

class FakeBackend final : public HartIpBackend {
 public:
  std::optional<std::vector<uint8_t>> Execute(std::span<const uint8_t> frame, bool primary,
                                              std::string_view peer,
                                              SessionMemory& memory) override {
    std::lock_guard lock(mutex);
    memories.push_back(&memory);
    frames.emplace_back(frame.begin(), frame.end());
    primaries.push_back(primary);
    peers.emplace_back(peer);
    if (frame[6] == 99) return std::nullopt;
    return std::vector<uint8_t>{0x86, 0x11, 0x22, 0x33, 0x44, 0x55, frame[6], 2, 0, 0, 0x77};
  }
  // Answers a Direct PDU's command with response code 0 and its data reversed.
  DirectAnswer ExecuteDirect(uint16_t command, std::span<const uint8_t> data, bool,
                             std::string_view, SessionMemory& memory) override {
    std::lock_guard lock(mutex);
    directCommands.push_back(command);
    directMemory = &memory;
    return {0, std::vector<uint8_t>(data.rbegin(), data.rend())};
  }
  uint8_t DirectStatus() override { return 0x40; }
  // `bursts` with `burstWait` when set; otherwise the burst set below, once a second.
  Publications BurstFrames(uint32_t) override {
    std::lock_guard lock(mutex);
    ++burstAsked;
    if (!bursts.empty()) return {bursts, burstWait};
    if (!burst) return {};
    return {{Publication{burstDevice, *burst}}, kBurstPeriodMs};
  }
  hartip::SecuritySettings Security() override {
    std::lock_guard lock(mutex);
    return security;
  }

  std::mutex mutex;  // held while the fields below are read by another thread
  std::vector<std::vector<uint8_t>> frames;
  std::vector<bool> primaries;
  std::vector<std::string> peers;
  std::vector<const SessionMemory*> memories;  // the session's memory each frame came with
  std::vector<uint16_t> directCommands;
  SessionMemory* directMemory = nullptr;      // the session memory of the last Direct PDU command
  std::optional<std::vector<uint8_t>> burst;  // what BurstFrame gives
  uint8_t burstDevice = 0;
  std::vector<Publication> bursts;  // several frames due at one look
  uint32_t burstWait = kBurstPeriodMs;
  int burstAsked = 0;
  hartip::SecuritySettings security;  // what Security gives
};

}  // namespace qln::test
