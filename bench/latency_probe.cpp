// End-to-end latency of the simulator on a virtual port: a test master asks all sixteen devices
// in turn (commands 0, 1, 2 and 3) and measures the time from the last request byte written to
// the first reply byte read. One run without burst mode, one with a device bursting (the master
// then talks right after a burst frame, as HART masters do), and one on a slow disk: every write
// to QLN.ini takes 500 ms and every fourth transaction is a write (command 17). Then the CPU that
// the open, idle simulator uses over 10 seconds.
//
// Targets: every reply at the first reply wait (p99 under 150 ms), no busy replies on a fast
// disk, every busy reply 40 ticks after its frame end on the slow one, burst frames about a
// second apart (a longer gap is a burst held back by a transaction that had the line when it fell
// due), idle CPU under 2 % of one core.
//
// The run without burst mode is then repeated with the traffic captured ("capture on") into a
// pcapng file in the run's temporary directory, to show what capturing costs the line.
//
// Usage: latency_probe [transactions per run, default 1000]
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "device/profile_file.h"
#include "device/sections.h"
#include "e2e/hart_master.h"
#include "link/link_harness.h"
#include "simulator/simulator.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using qln::test::HartMaster;
using qln::test::SlaveFrame;
using qln::test::SteadyTime;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr std::array<uint8_t, 4> kCommands{0, 1, 2, 3};
constexpr uint8_t kBusy = 32;
constexpr auto kBurstPeriod = 1000ms;

SteadyTime Now() { return std::chrono::steady_clock::now(); }

// The line time of the reply to a command: preambles, header, status, data and checksum.
std::chrono::microseconds ReplyWireTime(uint8_t command) {
  const std::size_t data = command == 0 ? 22 : command == 1 ? 5 : command == 2 ? 8 : 24;
  const std::size_t header = command == 0 ? 4 : 8;
  return qln::test::WireTime(5 + header + 2 + data + 1);
}

struct RunResult {
  std::vector<double> latencies;      // ms, of the reads
  std::vector<double> busyLatencies;  // ms, of the busy replies among them and the writes
  int busy = 0;
  int missing = 0;
  int burstFrames = 0;
  std::vector<double> burstGaps;  // ms between burst frames that followed each other
};

class Probe {
 public:
  explicit Probe(bool burst, bool slowDisk = false, bool capture = false)
      : slowDisk_(slowDisk), capture_(capture) {
    std::filesystem::copy_file(std::filesystem::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini",
                               dir_ / "QLN.ini");
    qln::ProfileFile file(dir_ / "QLN.ini");
    for (uint8_t device = 8; device < qln::kDeviceCount; ++device) {
      file.Write("HTDev_Sys", qln::DevEnableKey(device), "1");
    }
    // A full load takes burst mode from device 15; device 0 then bursts its command 1.
    if (burst) file.Write("HTDev15_Cmd109", "BurstMode", "1");
  }

  bool Start() {
    if (slowDisk_) {
      simulator_.SetDiskHook([](qln::ProfileFile::DiskOperation operation) {
        if (operation == qln::ProfileFile::DiskOperation::Write) std::this_thread::sleep_for(500ms);
      });
    }
    int comNumber = 0;
    simulator_.StartUp(comNumber);
    const qln::Result<std::string> opened = simulator_.Open(comNumber, "pty:" + Link());
    if (!opened) {
      std::fprintf(stderr, "%s\n", opened.error().c_str());
      return false;
    }
    if (capture_) {
      if (const qln::Result<> started = simulator_.StartCapture(CaptureFile(), 100 << 20);
          !started) {
        std::fprintf(stderr, "%s\n", started.error().c_str());
        return false;
      }
    }
    master_ = std::make_unique<HartMaster>(Link());
    return master_->Opened();
  }

  // Ends the capture and says how much it wrote (nothing when there is none).
  void StopCapture() {
    if (!capture_) return;
    simulator_.StopCapture();
    std::error_code error;
    std::printf("%-10s %ju bytes captured\n", "capture on",
                static_cast<uintmax_t>(std::filesystem::file_size(CaptureFile(), error)));
  }

  // Learns the long addresses with command 0, then runs the transactions.
  RunResult Run(int transactions, bool burst) {
    RunResult result;
    for (uint8_t device = 0; device < 16; ++device) {
      if (const auto identity = Transact(qln::test::ShortFrame(device), result)) {
        const std::vector<uint8_t> d = identity->Data();
        if (d.size() >= 12) addresses_[device] = {uint8_t(d[1] & 0x3F), d[2], d[9], d[10], d[11]};
      }
    }
    result = {};
    for (int i = 0; i < transactions; ++i) {
      const uint8_t device = static_cast<uint8_t>(i % 16);
      const uint8_t command = kCommands[static_cast<std::size_t>(i / 16) % kCommands.size()];
      if (burst) WaitForRoomBeforeTheNextBurst(command, result);
      const bool write = slowDisk_ && i % 4 == 3;
      std::vector<uint8_t> message(24, static_cast<uint8_t>(i));
      const auto frame = write          ? qln::test::LongFrame(addresses_[device], 17, message)
                         : command == 0 ? qln::test::ShortFrame(device)
                                        : qln::test::LongFrame(addresses_[device], command);
      const auto reply = Transact(frame, result);
      if (!reply) {
        ++result.missing;
        continue;
      }
      const double latency = Milliseconds(reply->firstByte - master_->LastSent()).count();
      if (!write) result.latencies.push_back(latency);
      if (reply->ResponseCode() == kBusy) {
        ++result.busy;
        result.busyLatencies.push_back(latency);
      }
    }
    return result;
  }

  // Process CPU time (the simulator's: the master sleeps) over the given time, in % of one core.
  static double IdleCpuPercent(std::chrono::seconds period) {
    const double before = CpuSeconds();
    std::this_thread::sleep_for(period);
    return (CpuSeconds() - before) / static_cast<double>(period.count()) * 100.0;
  }

 private:
  std::string Link() const { return (dir_ / "hart").string(); }
  std::filesystem::path CaptureFile() const { return dir_ / "probe.pcapng"; }

  static double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }

  // The reply to the frame; burst frames on the way are counted and skipped. After the reply
  // the master waits until it has left the wire.
  std::optional<SlaveFrame> Transact(const std::vector<uint8_t>& frame, RunResult& result) {
    master_->Send(qln::test::WithPreambles(frame));
    const SteadyTime deadline = master_->LastSent() + 1000ms;
    while (std::optional<SlaveFrame> reply = master_->ReadFrame(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Now()))) {
      HartMaster::WaitUntilSent(*reply);
      if (!reply->IsBurst()) return reply;
      CountBurst(*reply, result);
    }
    return std::nullopt;
  }

  void CountBurst(const SlaveFrame& frame, RunResult& result) {
    if (result.burstFrames > 0) {
      result.burstGaps.push_back(Milliseconds(frame.firstByte - lastBurst_).count());
    }
    lastBurst_ = frame.firstByte;
    ++result.burstFrames;
  }

  // A master shares the line with a bursting device by talking right after its burst frames:
  // when the transaction might not end before the next burst is due, it waits for that burst.
  void WaitForRoomBeforeTheNextBurst(uint8_t command, RunResult& result) {
    const auto budget = 150ms + ReplyWireTime(command);
    if (Now() + budget < lastBurst_ + kBurstPeriod) return;
    while (std::optional<SlaveFrame> frame = master_->ReadFrame(2000ms)) {
      HartMaster::WaitUntilSent(*frame);
      if (frame->IsBurst()) {
        CountBurst(*frame, result);
        return;
      }
    }
  }

  bool slowDisk_;
  bool capture_;
  qln::test::TempDir dir_;
  qln::StderrNotifier notifier_;
  qln::StderrConsole console_;
  qln::SystemClock clock_;
  qln::Simulator simulator_{notifier_, console_, clock_, dir_.Path(),
                            [](qln::LogKind, std::string) {}};
  std::unique_ptr<HartMaster> master_;
  std::array<std::array<uint8_t, 5>, 16> addresses_{};
  SteadyTime lastBurst_{};
};

void Report(const char* name, RunResult result) {
  std::vector<double>& v = result.latencies;
  std::sort(v.begin(), v.end());
  if (v.empty()) {
    std::printf("%-10s no replies at all\n", name);
    return;
  }
  const std::size_t p99 = (v.size() * 99 + 99) / 100 - 1;
  std::printf(
      "%-10s %6zu replies  median %6.1f ms  p99 %6.1f ms  max %6.1f ms  busy %d  "
      "unanswered %d  burst frames %d\n",
      name, v.size(), v[v.size() / 2], v[p99], v.back(), result.busy, result.missing,
      result.burstFrames);
  if (!result.busyLatencies.empty()) {
    const auto [low, high] =
        std::minmax_element(result.busyLatencies.begin(), result.busyLatencies.end());
    std::printf("%-10s busy replies after %.1f .. %.1f ms (40 ticks after the frame end: ~420)\n",
                name, *low, *high);
  }
  std::vector<double>& gaps = result.burstGaps;
  if (!gaps.empty()) {
    std::sort(gaps.begin(), gaps.end());
    std::printf("%-10s burst frames apart: min %.1f  median %.1f  max %.1f ms (about 1000)\n", name,
                gaps.front(), gaps[gaps.size() / 2], gaps.back());
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int transactions = argc > 1 ? std::atoi(argv[1]) : 1000;
  for (const bool burst : {false, true}) {
    Probe probe(burst);
    if (!probe.Start()) return 1;
    Report(burst ? "burst on" : "no burst", probe.Run(transactions, burst));
    if (!burst) {
      // The same run with the traffic captured, right after the one without.
      Probe captured(false, false, true);
      if (!captured.Start()) return 1;
      Report("capture on", captured.Run(transactions, false));
      captured.StopCapture();
    }
  }
  Probe slow(false, true);
  if (!slow.Start()) return 1;
  Report("slow disk", slow.Run(transactions, false));
  Probe idle(false);
  if (!idle.Start()) return 1;
  std::this_thread::sleep_for(1s);
  std::printf("idle open simulator: %.2f %% of one core over 10 s\n", Probe::IdleCpuPercent(10s));
  return 0;
}
