// The headless program killed with SIGKILL at random moments (start-up included) while a master
// keeps writing: after every kill the file is whole, holds every write that was acknowledged,
// and the next start on the same link works; temporary files of killed writes do not pile up.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
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

constexpr int kKills = 100;
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

  // Talks to the program until `stop` is set: the long address of device 0 by command 0,
  // then command 17 with a numbered message and command 19 with a growing number, in turn.
  // Acknowledged numbers (response code 0) are recorded.
  void WriteUntil(const std::atomic<bool>& stop) {
    while (!stop && !fs::exists(Link())) std::this_thread::sleep_for(1ms);
    HartMaster master(Link());
    if (stop || !master.Opened()) return;
    const auto identity = master.Transact(ShortFrame(0), 300ms);
    if (!identity || identity->Data().size() < 12) return;
    ++answeredStarts_;
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
      // A busy reply (the write still under way) is met by the same request again, as a master
      // retries; the reply that comes then is the one to the write.
      std::optional<SlaveFrame> reply;
      do {
        reply = master.Transact(LongFrame(address, message ? 17 : 19, data), 300ms);
      } while (!stop && reply && reply->ResponseCode() == kBusy);
      if (!reply) continue;
      EXPECT_EQ(reply->ResponseCode(), kBusy * (reply->ResponseCode() == kBusy))
          << "command " << int(reply->Command());
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
  for (int kill = 1; kill <= kKills; ++kill) {
    // Each start finds the link the killed program left, and replaces it.
    const pid_t pid = Spawn();
    std::atomic<bool> stop = false;
    std::thread killer([&, lifetime = std::chrono::milliseconds(lifetimeMs(random))] {
      std::this_thread::sleep_for(lifetime);
      ::kill(pid, SIGKILL);
      stop = true;
    });
    WriteUntil(stop);
    killer.join();
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // Killed, not ended by itself (a refused start ends it with a message).
    ASSERT_TRUE(WIFSIGNALED(status)) << "kill " << kill << ": " << ReadFile(dir_ / "err.txt");
    CheckFile(kill);
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(answeredStarts_, kKills / 2);
  // A write and its reply take about half a second at 1200 baud: most lives end before one.
  EXPECT_GE(acknowledged_, 20);

  // A last start: it answers on the same link, removes what killed writes left, and keeps the
  // writes made before.
  const pid_t pid = Spawn();
  ASSERT_TRUE(Eventually([&] { return fs::exists(Link()); }, 5s)) << ReadFile(dir_ / "err.txt");
  {
    HartMaster master(Link());
    ASSERT_TRUE(master.Opened());
    const auto reply = master.Transact(ShortFrame(0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->ResponseCode(), 0);
  }
  EXPECT_EQ(Temporaries(), 0u);
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  CheckFile(kKills + 1);
}

}  // namespace
}  // namespace qln::test
