// The whole simulator, in this process, on a virtual port in a temporary directory with a copy
// of the example QLN.ini, and a test master on the other end of the port. Real threads, real
// timing.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/encodings.h"
#include "device/profile_file.h"
#include "e2e/hart_master.h"
#include "link/link_harness.h"
#include "simulator/simulator.h"
#include "support/temp_dir.h"

namespace qln::test {

// Records, from any thread, what the simulator tells the operator.
class Recorder final : public Notifier, public Console {
 public:
  void Warning(const std::string& text, const std::string& caption) override {
    Add(warnings_, caption + ": " + text);
  }
  void Problem(const std::string& text) override { Add(problems_, text); }
  void Note(const std::string& text) override { Add(notes_, text); }
  void Line(LogKind kind, std::string line) {
    Add(lines_, (kind == LogKind::Received ? "R " : "S ") + std::move(line));
  }
  void Channel(uint8_t channel) { Add(channels_, std::to_string(channel)); }

  std::vector<std::string> Warnings() const { return Get(warnings_); }
  std::vector<std::string> Problems() const { return Get(problems_); }
  std::vector<std::string> Notes() const { return Get(notes_); }
  std::vector<std::string> Lines() const { return Get(lines_); }
  std::vector<std::string> Channels() const { return Get(channels_); }

 private:
  void Add(std::vector<std::string>& list, std::string text) {
    std::lock_guard lock(mutex_);
    list.push_back(std::move(text));
  }
  std::vector<std::string> Get(const std::vector<std::string>& list) const {
    std::lock_guard lock(mutex_);
    return list;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> warnings_, problems_, notes_, lines_, channels_;
};

// The text in packed ASCII, as a master sends a message or tag.
inline std::vector<uint8_t> Packed(const std::string& text) {
  std::vector<uint8_t> bytes(text.size() * 3 / 4 + 3);
  std::size_t count = 0;
  PackAscii(text, bytes.data(), &count);
  bytes.resize(count);
  return bytes;
}

// Waits up to `timeout` for `condition`, looking every 5 ms. The default bound is reached only
// when the condition never comes true, however loaded the machine.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class SimulatorOnPty : public ::testing::Test {
 protected:
  SimulatorOnPty() {
    std::filesystem::copy_file(std::filesystem::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini",
                               IniPath());
  }

  std::filesystem::path IniPath() const { return dir_ / "QLN.ini"; }
  std::string Link() const { return (dir_ / "hart").string(); }

  // Changes the copy of the configuration, before Start or by hand while running.
  void Configure(std::string_view section, std::string_view key, std::string_view value) {
    ASSERT_TRUE(ProfileFile(IniPath()).Write(section, key, value));
  }
  std::string Stored(std::string_view section, std::string_view key) const {
    return ProfileFile(IniPath()).Snapshot()->Read(section, key);
  }

  // The program's start, the port opened on the virtual port and the master connected to it.
  void Start() {
    int comNumber = 0;
    ASSERT_TRUE(simulator_.StartUp(comNumber));
    const Result<std::string> opened = simulator_.Open(comNumber, "pty:" + Link());
    ASSERT_TRUE(opened) << opened.error();
    Connect();
  }
  void Connect() {
    master_ = std::make_unique<HartMaster>(Link());
    ASSERT_TRUE(master_->Opened());
  }

  // The device's long address, as its reply to command 0 tells it.
  std::array<uint8_t, 5> LongAddress(uint8_t pollAddress) {
    const auto reply = master_->Transact(ShortFrame(pollAddress));
    EXPECT_TRUE(reply && reply->Data().size() >= 12);
    if (!reply || reply->Data().size() < 12) return {};
    const std::vector<uint8_t> d = reply->Data();
    return {static_cast<uint8_t>(d[1] & 0x3F), d[2], d[9], d[10], d[11]};
  }

  TempDir dir_;
  Recorder recorder_;
  SystemClock clock_;
  Simulator simulator_{
      recorder_,
      recorder_,
      clock_,
      dir_.Path(),
      [this](LogKind kind, std::string line) { recorder_.Line(kind, std::move(line)); },
      [this](uint8_t channel) { recorder_.Channel(channel); }};
  std::unique_ptr<HartMaster> master_;
};

}  // namespace qln::test
