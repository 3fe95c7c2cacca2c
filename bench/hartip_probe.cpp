// HART-IP throughput and latency: the simulator (no serial port) serves all sixteen devices over
// HART-IP on loopback, as the I/O system at poll address 0 with the devices behind it. 1 and then
// 8 TCP sessions, each on its own thread, send commands 1 and 3 to the sixteen devices in turn by
// long address (which reaches a device directly) for a few seconds; then 8 sessions send the same
// commands wrapped in the I/O system's command 77. Prints transactions per second over all
// sessions and the median and p99 latency (request sent to response read).
//
// Targets: p99 under 5 ms with one session; at least 2000 transactions per second with 8; for
// command 77 over 8 sessions both.
//
// Usage: hartip_probe [seconds per run, default 3]
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "device/profile_file.h"
#include "device/sections.h"
#include "hartip/hartip_client.h"
#include "link/link_harness.h"
#include "simulator/simulator.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;
using qln::test::HartIpClient;

struct SessionResult {
  std::vector<double> latencies;
  int failures = 0;
};

// How a run sends command 1 or 3 to a device, the least response body that counts, and whether
// the I/O system's own response code (body[4]) must say success.
struct Traffic {
  std::function<std::vector<uint8_t>(const std::array<uint8_t, 5>&, uint8_t)> frame;
  std::size_t minimumBody = 0;
  bool throughIoSystem = false;
};

// The direct way: a long frame to the device's long address.
const Traffic kDirect{[](const std::array<uint8_t, 5>& address, uint8_t command) {
                        return qln::test::LongFrame(address, command);
                      },
                      12, false};

// Command 77 at poll address 0: card 0, channel 0, five preambles and the device's frame without
// its checksum. The reply holds the I/O system's header and status (6), card and channel (2),
// the device's long-frame header (8), its response code and status (2) and its data.
std::vector<uint8_t> Wrapped(std::span<const uint8_t> frame) {
  std::vector<uint8_t> data{0, 0, 5};
  data.insert(data.end(), frame.begin(), frame.end() - 1);
  return qln::test::ShortFrame(0, 77, data);
}
const Traffic kWrapped{[](const std::array<uint8_t, 5>& address, uint8_t command) {
                         return Wrapped(qln::test::LongFrame(address, command));
                       },
                       6 + 2 + 8 + 2 + 2, true};

// One session: commands 1 and 3 to each device in turn until the deadline.
SessionResult RunSession(uint16_t port, const std::vector<std::array<uint8_t, 5>>& addresses,
                         const Traffic& traffic, Clock::time_point deadline) {
  SessionResult result;
  HartIpClient client(HartIpClient::Transport::Tcp, port);
  if (!client.Initiate()) {
    ++result.failures;
    return result;
  }
  std::size_t turn = 0;
  while (Clock::now() < deadline) {
    const auto& address = addresses[(turn / 2) % addresses.size()];
    const uint8_t command = turn % 2 == 0 ? 1 : 3;
    ++turn;
    const std::vector<uint8_t> request = traffic.frame(address, command);
    const auto start = Clock::now();
    const auto response = client.Pdu(request);
    const auto end = Clock::now();
    if (!response || response->status != 0 || response->body.size() < traffic.minimumBody ||
        (traffic.throughIoSystem && response->body[4] != 0)) {
      ++result.failures;
      continue;
    }
    result.latencies.push_back(Milliseconds(end - start).count());
  }
  return result;
}

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                   values.end());
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  qln::test::TempDir dir;
  std::filesystem::copy_file(std::filesystem::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini",
                             dir.Path() / "QLN.ini");
  qln::ProfileFile file(dir.Path() / "QLN.ini");
  for (uint8_t device = 0; device < qln::kDeviceCount; ++device) {
    file.Write("HTDev_Sys", qln::DevEnableKey(device), "1");
  }
  qln::StderrNotifier notifier;
  qln::StderrConsole console;
  qln::SystemClock clock;
  qln::Simulator simulator(notifier, console, clock, dir.Path(), nullptr);
  int comNumber = 0;
  simulator.StartUp(comNumber);
  if (const qln::Result<> started = simulator.StartHartIp("127.0.0.1", 0); !started) {
    std::fprintf(stderr, "%s\n", started.error().c_str());
    return 1;
  }
  const uint16_t port = simulator.HartIpPort();

  // The long addresses, from command 0 of each device's poll address sent through command 77.
  std::vector<std::array<uint8_t, 5>> addresses;
  {
    HartIpClient client(HartIpClient::Transport::Tcp, port);
    client.Initiate();
    for (uint8_t poll = 0; poll < qln::kDeviceCount; ++poll) {
      const auto identity = client.Pdu(Wrapped(qln::test::ShortFrame(poll)));
      // The device's command 0 data start behind 8 bytes of the I/O system's reply (header,
      // status, card, channel) and 6 of the device's (short header, response code, status).
      constexpr std::size_t kData = 8 + 6;
      if (!identity || identity->body.size() < kData + 12 || identity->body[4] != 0) {
        std::fprintf(stderr, "device %u does not answer command 0 through command 77\n", poll);
        return 1;
      }
      const uint8_t* d = identity->body.data() + kData;
      addresses.push_back({static_cast<uint8_t>(d[1] & 0x3F), d[2], d[9], d[10], d[11]});
    }
    client.Request(1);
  }

  std::printf("HART-IP over TCP on loopback, commands 1 and 3 over %zu devices, %d s a run\n",
              addresses.size(), seconds);
  const struct {
    int sessions;
    const Traffic& traffic;
    const char* label;
  } runs[] = {{1, kDirect, ""}, {8, kDirect, ""}, {8, kWrapped, ", command 77 to the sub-devices"}};
  for (const auto& run : runs) {
    const int sessions = run.sessions;
    std::vector<SessionResult> results(static_cast<std::size_t>(sessions));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    for (int i = 0; i < sessions; ++i) {
      threads.emplace_back([&, i] {
        results[static_cast<std::size_t>(i)] = RunSession(port, addresses, run.traffic, deadline);
      });
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    int failures = 0;
    for (SessionResult& result : results) {
      all.insert(all.end(), result.latencies.begin(), result.latencies.end());
      failures += result.failures;
    }
    const std::size_t count = all.size();
    const double median = Percentile(all, 0.5);
    const double p99 = Percentile(all, 0.99);
    std::printf(
        "%d session%s%s: %zu transactions, %.0f tx/s, median %.3f ms, p99 %.3f ms, "
        "%d failed\n",
        sessions, sessions == 1 ? "" : "s", run.label, count, static_cast<double>(count) / elapsed,
        median, p99, failures);
  }
  return 0;
}
