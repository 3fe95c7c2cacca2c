// HART-IP throughput and latency: the simulator (no serial port) serves all sixteen devices over
// HART-IP on loopback, as the I/O system at poll address 0 with the devices behind it. 1 and then
// 8 TCP sessions, each on its own thread, send commands 1 and 3 to the sixteen devices in turn by
// long address (which reaches a device directly) for a few seconds; then 8 sessions send the same
// commands wrapped in the I/O system's command 77. Prints transactions per second over all
// sessions and the median and p99 latency (request sent to response read). Then the same three
// runs over TLS 1.2 with a pre-shared key (PSK-AES128-GCM-SHA256, the handshake from the
// connection's first byte), the client's identity and key in the file's security section, whose
// policy allows plaintext and TLS side by side. Connecting, the handshake and the session
// initiate are not timed: a run's sessions set up one at a time, then run together. Each
// plaintext run is followed by the same run with the traffic captured ("capture on") into a
// pcapng file in the probe's temporary directory, to show what capturing costs.
//
// Targets: p99 under 5 ms with one session; at least 2000 transactions per second with 8; for
// command 77 over 8 sessions both (plaintext).
//
// Usage: hartip_probe [seconds per run, default 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <latch>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "device/profile_file.h"
#include "device/sections.h"
#include "hartip/hartip_client.h"
#include "hartip/security_settings.h"
#include "link/link_harness.h"
#include "simulator/simulator.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;
using qln::test::HartIpClient;
using qln::test::IpMessage;

// The client the probe writes into the file's security section, slot 0, and the key it proves.
constexpr char kIdentity[] = "hartip_probe";
constexpr std::array<uint8_t, 16> kKey{0x51, 0x4C, 0x4E, 0x2D, 0x70, 0x72, 0x6F, 0x62,
                                       0x65, 0x2D, 0x6B, 0x65, 0x79, 0x2D, 0x31, 0x36};
constexpr char kCipher[] = "PSK-AES128-GCM-SHA256";

// OpenSSL asks for the identity and key during the handshake; the server's hint is not needed.
unsigned PskCallback(SSL*, const char*, char* identity, unsigned maxIdentity, unsigned char* psk,
                     unsigned maxPsk) {
  if (sizeof kIdentity > maxIdentity || kKey.size() > maxPsk) return 0;
  std::memcpy(identity, kIdentity, sizeof kIdentity);
  std::memcpy(psk, kKey.data(), kKey.size());
  return static_cast<unsigned>(kKey.size());
}

// The client context: TLS 1.2 at most, the one PSK suite. Shared by the sessions' threads, which
// only make connections from it.
SSL_CTX* MakeTlsContext() {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  if (SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(context, kCipher) != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL_CTX_set_psk_client_callback(context, PskCallback);
  return context;
}

// A HART-IP client over TLS on a blocking TCP socket to 127.0.0.1: the handshake at connection,
// then the plaintext client's messages inside the channel. A read or write that waits more than
// two seconds fails, as the plaintext client's receive does.
class TlsHartIpClient {
 public:
  TlsHartIpClient(SSL_CTX* context, uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    const int yes = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    const timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ssl_ = SSL_new(context);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1 || SSL_connect(ssl_) != 1) {
      ERR_clear_error();
      SSL_free(ssl_);
      ssl_ = nullptr;
    }
  }
  ~TlsHartIpClient() {
    if (ssl_ != nullptr) {
      SSL_shutdown(ssl_);  // close_notify; the server's answer is not awaited
      SSL_free(ssl_);
    }
    if (fd_ >= 0) close(fd_);
  }
  TlsHartIpClient(const TlsHartIpClient&) = delete;
  TlsHartIpClient& operator=(const TlsHartIpClient&) = delete;

  bool Connected() const { return ssl_ != nullptr; }
  // The protocol version and suite the handshake agreed on.
  std::string Agreed() const {
    if (ssl_ == nullptr) return "no channel";
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
  }
  bool Agreed(const char* cipher) const {
    return ssl_ != nullptr && SSL_version(ssl_) == TLS1_2_VERSION &&
           std::strcmp(SSL_get_cipher_name(ssl_), cipher) == 0;
  }

  // Sends a request with the next sequence number and returns the next message that is not a
  // publish message; nothing when the channel fails or closes.
  std::optional<IpMessage> Request(uint8_t id, std::span<const uint8_t> body = {}) {
    if (ssl_ == nullptr) return std::nullopt;
    const std::vector<uint8_t> request = qln::test::IpRequest(id, sequence_++, body);
    if (SSL_write(ssl_, request.data(), static_cast<int>(request.size())) !=
        static_cast<int>(request.size())) {
      return Broken();
    }
    while (true) {
      if (stream_.size() >= 8) {
        const std::size_t count = static_cast<std::size_t>(stream_[6] << 8 | stream_[7]);
        if (count < 8) return Broken();
        if (stream_.size() >= count) {
          auto message = qln::test::ParseIpMessage({stream_.data(), count});
          stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(count));
          if (message->type == 2) continue;  // a publish message
          return message;
        }
      }
      uint8_t buffer[2048];
      const int got = SSL_read(ssl_, buffer, sizeof buffer);
      if (got <= 0) return Broken();
      stream_.insert(stream_.end(), buffer, buffer + got);
    }
  }
  std::optional<IpMessage> Initiate() { return Request(0, qln::test::InitiateBody(true, 60000)); }
  std::optional<IpMessage> Pdu(std::span<const uint8_t> frame) { return Request(3, frame); }

 private:
  // A failed read or write leaves the channel unusable: no close_notify is sent on it.
  std::optional<IpMessage> Broken() {
    ERR_clear_error();
    SSL_free(ssl_);
    ssl_ = nullptr;
    return std::nullopt;
  }

  int fd_ = -1;
  SSL* ssl_ = nullptr;
  uint16_t sequence_ = 1;
  std::vector<uint8_t> stream_;
};

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

// The start of a run: sessions connect and initiate one at a time (the server closes the oldest
// of more than a few connections still without a session, and a TLS handshake keeps one waiting
// long enough for that), then all start together when the last is ready.
struct RunStart {
  explicit RunStart(int sessions) : ready(sessions) {}
  std::mutex setup;
  std::latch ready;
  std::latch go{1};
  Clock::time_point deadline;  // written before go opens
};

// One session: connects and initiates, then sends commands 1 and 3 to each device in turn until
// the deadline.
template <typename Client, typename... Arguments>
SessionResult RunSession(RunStart& start, const std::vector<std::array<uint8_t, 5>>& addresses,
                         const Traffic& traffic, const Arguments&... arguments) {
  SessionResult result;
  std::optional<Client> client;
  bool initiated = false;
  {
    const std::lock_guard lock(start.setup);
    client.emplace(arguments...);
    initiated = client->Initiate().has_value();
  }
  start.ready.count_down();
  start.go.wait();
  if (!initiated) {
    ++result.failures;
    return result;
  }
  std::size_t turn = 0;
  while (Clock::now() < start.deadline) {
    const auto& address = addresses[(turn / 2) % addresses.size()];
    const uint8_t command = turn % 2 == 0 ? 1 : 3;
    ++turn;
    const std::vector<uint8_t> request = traffic.frame(address, command);
    const auto sent = Clock::now();
    const auto response = client->Pdu(request);
    const auto end = Clock::now();
    if (!response || response->status != 0 || response->body.size() < traffic.minimumBody ||
        (traffic.throughIoSystem && response->body[4] != 0)) {
      ++result.failures;
      continue;
    }
    result.latencies.push_back(Milliseconds(end - sent).count());
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
  // Plaintext and TLS side by side, one client; the server reads this when it starts.
  const std::string section(qln::hartip::kSecuritySection);
  file.Write(section, "Policy", "allow");
  file.Write(section, qln::hartip::ClientKeyName(0, "Identity"), kIdentity);
  file.Write(section, qln::hartip::ClientKeyName(0, "Key"), qln::hartip::HexText(kKey));
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

  // The TLS runs' context, and one handshake first to see that the server agrees on the suite.
  SSL_CTX* const tls = MakeTlsContext();
  if (tls == nullptr) {
    std::fprintf(stderr, "no TLS 1.2 client context with %s\n", kCipher);
    return 1;
  }
  {
    TlsHartIpClient client(tls, port);
    if (!client.Agreed(kCipher) || !client.Initiate()) {
      std::fprintf(stderr, "TLS session not established (%s)\n", client.Agreed().c_str());
      SSL_CTX_free(tls);
      return 1;
    }
    client.Request(1);
  }

  std::printf("HART-IP over TCP on loopback, commands 1 and 3 over %zu devices, %d s a run\n",
              addresses.size(), seconds);
  std::printf("TLS runs: TLS 1.2, %s, identity %s\n", kCipher, kIdentity);
  const struct {
    int sessions;
    const Traffic& traffic;
    const char* label;
    SSL_CTX* tls;
    bool capture;
  } runs[] = {{1, kDirect, "", nullptr, false},
              {1, kDirect, "", nullptr, true},
              {8, kDirect, "", nullptr, false},
              {8, kDirect, "", nullptr, true},
              {8, kWrapped, ", command 77 to the sub-devices", nullptr, false},
              {8, kWrapped, ", command 77 to the sub-devices", nullptr, true},
              {1, kDirect, "", tls, false},
              {8, kDirect, "", tls, false},
              {8, kWrapped, ", command 77 to the sub-devices", tls, false}};
  const std::filesystem::path captureFile = dir.Path() / "probe.pcapng";
  for (const auto& run : runs) {
    if (run.capture) {
      if (const qln::Result<> started = simulator.StartCapture(captureFile, 1ull << 30); !started) {
        std::fprintf(stderr, "%s\n", started.error().c_str());
        return 1;
      }
    }
    const int sessions = run.sessions;
    std::vector<SessionResult> results(static_cast<std::size_t>(sessions));
    std::vector<std::thread> threads;
    RunStart runStart(sessions);
    for (int i = 0; i < sessions; ++i) {
      threads.emplace_back([&, i] {
        SessionResult& result = results[static_cast<std::size_t>(i)];
        if (run.tls != nullptr) {
          result = RunSession<TlsHartIpClient>(runStart, addresses, run.traffic, run.tls, port);
        } else {
          result = RunSession<HartIpClient>(runStart, addresses, run.traffic,
                                            HartIpClient::Transport::Tcp, port);
        }
      });
    }
    // The clock starts once every session is connected and initiated.
    runStart.ready.wait();
    const auto start = Clock::now();
    runStart.deadline = start + std::chrono::seconds(seconds);
    runStart.go.count_down();
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::uintmax_t captured = 0;
    if (run.capture) {
      simulator.StopCapture();
      std::error_code error;
      captured = std::filesystem::file_size(captureFile, error);
      std::filesystem::remove(captureFile, error);
    }
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
        "%s%s%d session%s%s: %zu transactions, %.0f tx/s, median %.3f ms, p99 %.3f ms, "
        "%d failed\n",
        run.capture ? "capture on, " : "", run.tls != nullptr ? "TLS, " : "", sessions,
        sessions == 1 ? "" : "s", run.label, count, static_cast<double>(count) / elapsed, median,
        p99, failures);
    if (run.capture) std::printf("capture on: %ju bytes captured\n", captured);
  }
  SSL_CTX_free(tls);
  return 0;
}
