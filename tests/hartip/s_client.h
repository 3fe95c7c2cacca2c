// OpenSSL's own `openssl s_client` as an independent TLS or DTLS peer with a pre-shared key: the
// program is spawned with pipes on its stdin and stdout; what is written to it goes out in
// records (over DTLS one record per write it reads), what it prints is the plaintext received.
// The process is killed and reaped when the object goes, whatever the test did.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hartip/hartip_client.h"

extern char** environ;

namespace qln::test {

// The `openssl` program on PATH, or empty when there is none.
inline std::string OpenSslProgram() {
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/openssl";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

class SClient {
 public:
  // `protocol`: "-tls1_2", "-tls1_3" or "-dtls1_2"; `host`: "127.0.0.1:port".
  SClient(const std::string& host, const std::string& protocol, const std::string& identity,
          const std::string& keyHex) {
    signal(SIGPIPE, SIG_IGN);  // a client that has ended must not end the test with it
    std::vector<std::string> args{OpenSslProgram(), "s_client",      "-connect", host,
                                  protocol,         "-psk_identity", identity,   "-psk",
                                  keyHex,           "-quiet",        "-ign_eof"};
    if (protocol != "-tls1_3") args.insert(args.end(), {"-cipher", "PSK-AES128-GCM-SHA256"});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  SClient(uint16_t port, const std::string& protocol, const std::string& identity,
          const std::string& keyHex)
      : SClient("127.0.0.1:" + std::to_string(port), protocol, identity, keyHex) {}
  ~SClient() {
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  SClient(const SClient&) = delete;
  SClient& operator=(const SClient&) = delete;

  bool Started() const { return pid_ > 0; }

  void Send(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t put = write(stdin_, bytes.data(), bytes.size());
      if (put <= 0) return;
      bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
  }
  // The next HART-IP message received; nothing on timeout or when the client has ended.
  std::optional<IpMessage> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (received_.size() >= 8) {
        const std::size_t count = static_cast<std::size_t>(received_[6] << 8 | received_[7]);
        if (count >= 8 && received_.size() >= count) {
          auto message = ParseIpMessage(std::span<const uint8_t>(received_).first(count));
          received_.erase(received_.begin(), received_.begin() + static_cast<long>(count));
          return message;
        }
      }
      if (!Read(deadline)) return std::nullopt;
    }
  }
  // Sends a request (version 2, the next sequence number) and returns the next response,
  // publish messages skipped.
  std::optional<IpMessage> Request(uint8_t id, std::span<const uint8_t> body) {
    Send(IpRequest(id, sequence_++, body, std::nullopt, 2));
    for (auto message = Receive(); message; message = Receive()) {
      if (message->type != 2) return message;
    }
    return std::nullopt;
  }
  uint16_t LastSequence() const { return static_cast<uint16_t>(sequence_ - 1); }
  void SetSequence(uint16_t next) { sequence_ = next; }
  // Whether the client ends (its output closes) within the timeout, whatever it printed.
  bool Ends(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Read(deadline)) {
    }
    return eof_;
  }
  bool Ended() const { return eof_; }

 private:
  // Reads what is there, waiting until the deadline; false on end of output or timeout.
  bool Read(std::chrono::steady_clock::time_point deadline) {
    if (eof_ || stdout_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{stdout_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
    uint8_t buffer[4096];
    const ssize_t got = read(stdout_, buffer, sizeof buffer);
    if (got <= 0) {
      eof_ = true;
      return false;
    }
    received_.insert(received_.end(), buffer, buffer + got);
    return true;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool eof_ = false;
  uint16_t sequence_ = 1;
  std::vector<uint8_t> received_;
};

}  // namespace qln::test
