// The headless program killed with SIGKILL at random moments while a master keeps writing: after
// every kill the file is whole, holds every write that was acknowledged, and the next start on
// the same link works; temporary files of killed writes do not pile up.
//
// Every other life is killed at a random moment of its own start-up or later; the lives between
// are killed at a random moment after the program has answered, however long its start took on a
// loaded machine, and every one of them must answer. Lives go on past the fortieth until enough
// writes have been acknowledged for the check that each one survives to mean something.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/encodings.h"
#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kKills = 40;
// Writes acknowledged over all lives before the test ends; lives go on past kKills for them, as
// long as the whole test has not taken this long.
constexpr int kMinAcknowledged = 20;
constexpr auto kMoreLivesUntil = std::chrono::minutes(5);
// The longest a start may take before the program must answer.
constexpr auto kStartPatience = std::chrono::seconds(20);
constexpr uint8_t kBusy = 32;

// The sections and keys of a profile text, with their values as written.
struct ExampleKey {
  std::string section, key, value;
};
std::vector<ExampleKey> KeysOf(const std::string& text) {
  std::vector<ExampleKey> keys;
  std::istringstream lines(text);
  std::string section;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with('[')) {
      section = line.substr(1, line.find(']') - 1);
    } else if (const auto equals = line.find('='); equals != std::string::npos) {
      keys.push_back({section, line.substr(0, equals), line.substr(equals + 1)});
    }
  }
  return keys;
}

class CrashSafety : public ::testing::Test {
 protected:
  CrashSafety() { fs::copy_file(fs::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini", Ini()); }

  fs::path Ini() const { return dir_ / "QLN.ini"; }
  std::string Link() const { return (dir_ / "hart").string(); }

  pid_t Spawn() {
    std::string program = QLN_HEADLESS;
    std::string option = "--pty";
    std::string link = Link();
    char* argv[] = {program.data(), option.data(), link.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.Path().c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "err.txt",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // Temporary files of writes in the directory.
  std::size_t Temporaries() const {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir_.Path())) {
      count += entry.path().filename().string().starts_with(".QLN.ini.") ? 1 : 0;
    }
    return count;
  }

  // Whether the link leads to a terminal the program holds open: the link of this life, not
  // the one a killed program left, whose terminal may already serve another program.
  bool LinkServedBy(pid_t pid) const {
    std::error_code error;
    const fs::path target = fs::canonical(Link(), error);
    if (error) return false;
    fs::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
      std::error_code unreadable;
      if (fs::read_symlink(entry->path(), unreadable) == target) return true;
    }
    return false;
  }

  // Sends the request and returns its reply: a frame of the same command that echoes the
  // request's data, or that carries a response code instead (a busy reply has no data). Burst
  // frames and late replies to earlier requests are skipped. Nothing when the program is killed
  // or two seconds pass.
  static std::optional<SlaveFrame> Ask(HartMaster& master, const std::vector<uint8_t>& frame,
                                       const std::vector<uint8_t>& data,
                                       const std::atomic<bool>& stop) {
    const uint8_t command = frame[6];
    master.Send(WithPreambles(frame, 5));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!stop && std::chrono::steady_clock::now() < deadline) {
      std::optional<SlaveFrame> reply = master.ReadFrame(100ms);
      if (!reply) continue;
      HartMaster::WaitUntilSent(*reply);
      if (reply->IsBurst() || reply->Command() != command) continue;
      if (reply->ResponseCode() != 0 || reply->Data() == data) return reply;
    }
    return std::nullopt;
  }

  // Talks to the program until `stop` is set: the long address of device 0 by command 0 (asked
  // again until it answers; `answered` is set then), then command 17 with a numbered message and
  // command 19 with a growing number, in turn. Acknowledged numbers (response code 0) are
  // recorded.
  void WriteUntil(pid_t pid, const std::atomic<bool>& stop, std::atomic<bool>& answered) {
    std::unique_ptr<HartMaster> master;
    std::optional<SlaveFrame> identity;
    while (!stop && !(identity && identity->Data().size() >= 12)) {
      if (!LinkServedBy(pid)) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      master = std::make_unique<HartMaster>(Link());
      if (master->Opened()) {
        identity = master->Transact(ShortFrame(0), 1s);
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
    if (stop) return;
    ++answeredStarts_;
    answered = true;
    const std::vector<uint8_t> d = identity->Data();
    const std::array<uint8_t, 5> address{static_cast<uint8_t>(d[1] & 0x3F), d[2], d[9], d[10],
                                         d[11]};
    while (!stop) {
      const bool message = (sent_++ % 2) == 0;
      std::vector<uint8_t> data;
      uint32_t number = 0;
      if (message) {
        number = ++messageSent_;
        data.resize(24);
        std::size_t count = 0;
        PackAscii("SEQ " + std::to_string(number), data.data(), &count);
      } else {
        number = ++assemblySent_;
        data = {static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 8),
                static_cast<uint8_t>(number)};
      }
      const std::vector<uint8_t> request = LongFrame(address, message ? 17 : 19, data);
      // A busy reply (the write still under way) is met by the same request again, as a master
      // retries; the reply that comes then is the one to the write.
      std::optional<SlaveFrame> reply;
      do {
        reply = Ask(*master, request, data, stop);
      } while (!stop && reply && reply->ResponseCode() == kBusy);
      if (!reply || reply->ResponseCode() == kBusy) continue;
      EXPECT_EQ(reply->ResponseCode(), 0) << "command " << int(reply->Command());
      if (reply->ResponseCode() == 0) {
        (message ? messageAcked_ : assemblyAcked_) = number;
        ++acknowledged_;
      }
    }
  }

  // The file as a kill left it: every key of the example there (the written ones with some
  // value, the others as they were), the written values no older than the last acknowledged.
  void CheckFile(int kill) {
    const auto file = ProfileFile(Ini()).Snapshot();
    ASSERT_TRUE(file->Exists()) << "kill " << kill;
    for (const ExampleKey& k : example_) {
      const std::string now = file->ReadWhole(k.section, k.key);
      if (k.section.starts_with("HTDev00_")) {
        EXPECT_EQ(now.empty(), k.value.empty())
            << "kill " << kill << " " << k.section << "/" << k.key;
      } else {
        ASSERT_EQ(now, k.value) << "kill " << kill << " " << k.section << "/" << k.key;
      }
    }
    const std::string message = file->Read("HTDev00_Cmd012", "Message");
    const uint32_t messageStored =
        message.starts_with("SEQ ") ? static_cast<uint32_t>(std::stoul(message.substr(4))) : 0;
    EXPECT_GE(messageStored, messageAcked_) << "kill " << kill << ": " << message;
    EXPECT_LE(messageStored, messageSent_) << "kill " << kill << ": " << message;
    const auto byte = [&](const char* key) {
      return std::stoul(file->Read("HTDev00_Cmd016", key));
    };
    const uint32_t assembly =
        static_cast<uint32_t>(byte("FinalAssemblyNum1") | byte("FinalAssemblyNum2") << 8 |
                              byte("FinalAssemblyNum3") << 16);
    EXPECT_GE(assembly, assemblyAcked_) << "kill " << kill;
    EXPECT_LE(assembly, std::max<uint32_t>(assemblySent_, 1)) << "kill " << kill;
  }

  TempDir dir_;
  std::vector<ExampleKey> example_ = KeysOf(ReadFile(Ini()));
  int answeredStarts_ = 0;
  int acknowledged_ = 0;
  uint32_t sent_ = 0, messageSent_ = 0, assemblySent_ = 0;
  uint32_t messageAcked_ = 0, assemblyAcked_ = 0;
};

TEST_F(CrashSafety, KilledAtRandomMomentsKeepsEveryAcknowledgedWriteAndRestarts) {
  std::mt19937 random(20250614);
  std::uniform_int_distribution<int> lifetimeMs(0, 900);
  const auto started = std::chrono::steady_clock::now();
  const auto moreLives = [&] {
    return acknowledged_ < kMinAcknowledged &&
           std::chrono::steady_clock::now() - started < kMoreLivesUntil;
  };
  int lives = 0;
  for (int life = 1; life <= kKills || moreLives(); ++life) {
    lives = life;
    // Odd lives die a random time after the start, even ones a random time after they answered.
    const bool afterAnswer = life % 2 == 0;
    // Each start finds the link the killed program left, and replaces it.
    const pid_t pid = Spawn();
    std::atomic<bool> stop = false;
    std::atomic<bool> answered = false;
    std::thread killer([&, lifetime = std::chrono::milliseconds(lifetimeMs(random))] {
      const auto patience = std::chrono::steady_clock::now() + kStartPatience;
      while (afterAnswer && !answered && std::chrono::steady_clock::now() < patience) {
        std::this_thread::sleep_for(1ms);
      }
      std::this_thread::sleep_for(lifetime);
      ::kill(pid, SIGKILL);
      stop = true;
    });
    WriteUntil(pid, stop, answered);
    killer.join();
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // Killed, not ended by itself (a refused start ends it with a message).
    ASSERT_TRUE(WIFSIGNALED(status)) << "kill " << life << ": " << ReadFile(dir_ / "err.txt");
    if (afterAnswer) {
      ASSERT_TRUE(answered) << "kill " << life << ": no answer within " << kStartPatience.count()
                            << " s: " << ReadFile(dir_ / "err.txt");
    }
    CheckFile(life);
    if (HasFatalFailure()) return;
  }
  RecordProperty("lives", lives);
  RecordProperty("answeredStarts", answeredStarts_);
  RecordProperty("acknowledgedWrites", acknowledged_);
  EXPECT_GE(answeredStarts_, kKills / 2);
  EXPECT_GE(acknowledged_, kMinAcknowledged) << "after " << lives << " lives";

  // A last start: it answers on the same link, removes what killed writes left, and keeps the
  // writes made before.
  struct Program {
    pid_t pid;
    ~Program() {  // not left running when the test fails
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } last{Spawn()};
  ASSERT_TRUE(Eventually([&] { return LinkServedBy(last.pid); }, kStartPatience))
      << ReadFile(dir_ / "err.txt");
  {
    HartMaster master(Link());
    ASSERT_TRUE(master.Opened());
    const auto reply = master.Transact(ShortFrame(0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->ResponseCode(), 0);
  }
  EXPECT_EQ(Temporaries(), 0u);
  ASSERT_EQ(::kill(last.pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(last.pid, &status, 0), last.pid);
  last.pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(dir_ / "err.txt");
  CheckFile(lives + 1);
}

}  // namespace
}  // namespace qln::test
