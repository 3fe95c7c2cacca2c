#include "device/profile_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace qln {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
 protected:
  void Put(const std::string& bytes) const { test::WriteFile(path_, bytes); }
  std::string Get() const { return test::ReadFile(path_); }
  // Every name in the directory: a leftover temporary file shows up here.
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.Path())) {
      names.insert(entry.path().filename());
    }
    return names;
  }
  std::string ReadFresh(std::string_view section, std::string_view key) const {
    return ProfileFile(path_).Snapshot()->ReadWhole(section, key);
  }

  test::TempDir dir_;
  fs::path path_ = dir_ / "QLN.ini";
};

TEST_F(ProfileFileTest, ReadsNamesRegardlessOfCaseAndSurroundingBlanks) {
  Put("orphan=before any section\n"
      "; comment=not a key\n"
      "  [ Device 1 ]   trailing junk\n"
      " Tag = \tPT-101 \t\n"
      "# hash=comment\n"
      "Descriptor=a=b\n"
      "=no key\n"
      "junk line\n"
      "Empty=\n"
      "[Other]\n");
  ProfileFile file(path_);
  const auto snapshot = file.Snapshot();
  EXPECT_EQ(snapshot->Read("device 1", "TAG"), "PT-101");
  EXPECT_EQ(snapshot->Read("DEVICE 1", "descriptor"), "a=b");
  EXPECT_EQ(snapshot->Read("Device 1", "orphan"), "");
  EXPECT_EQ(snapshot->Read("Device 1", "# hash"), "");
  EXPECT_EQ(snapshot->Read("Device 1", "Empty"), "");
  EXPECT_EQ(snapshot->Read("Other", "Tag"), "");
  EXPECT_EQ(snapshot->Read("Missing", "Tag"), "");
  EXPECT_TRUE(snapshot->HasSection("OTHER"));
  EXPECT_TRUE(snapshot->HasSection("device 1"));
  EXPECT_FALSE(snapshot->HasSection("Missing"));
  // Names asked for are trimmed as a write trims them: what was written is what is read.
  EXPECT_EQ(snapshot->Read(" device 1\t", "\tTag "), "PT-101");
  EXPECT_TRUE(snapshot->HasSection("Other "));
  ASSERT_TRUE(file.Write(" New ", " key ", "v"));
  EXPECT_EQ(file.Snapshot()->Read(" New ", " key "), "v");
  EXPECT_EQ(file.Snapshot()->Read("new", "KEY"), "v");
}

TEST_F(ProfileFileTest, FirstSectionAndFirstKeyWinForReadsAndWrites) {
  Put("[A]\nk=first\nk=second\n[B]\nk=b\n[a]\nk=third\nj=only in repeat\n");
  ProfileFile file(path_);
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "first");
  EXPECT_EQ(file.Snapshot()->Read("a", "j"), "");

  EXPECT_TRUE(file.Write("a", "J", "new"));
  EXPECT_TRUE(file.Write("A", "K", "changed"));
  EXPECT_EQ(Get(), "[A]\nk=changed\nk=second\nJ=new\n[B]\nk=b\n[a]\nk=third\nj=only in repeat\n");
  EXPECT_EQ(file.Snapshot()->Read("A", "j"), "new");
}

TEST_F(ProfileFileTest, MissingFileReadsEmptyAndWriteCreatesIt) {
  ProfileFile file(path_);
  EXPECT_FALSE(file.Snapshot()->HasSection("A"));
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "");

  const ProfileAssignment assignments[] = {{"A", "k", "v"}, {"B", "x", "y"}, {"A", "n", "1"}};
  EXPECT_TRUE(file.Write(assignments));
  EXPECT_EQ(Get(), "[A]\nk=v\nn=1\n\n[B]\nx=y\n");
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0644));
  EXPECT_EQ(Entries(), std::set<std::string>{"QLN.ini"});
  EXPECT_EQ(file.Snapshot()->Read("b", "X"), "y");
  EXPECT_EQ(ReadFresh("A", "n"), "1");
}

TEST_F(ProfileFileTest, WriteKeepsEveryOtherLineByteForByte) {
  Put("; QLN configuration\n"
      "\n"
      "[HTDev_Sys]\n"
      "COMNo = 3 \n"
      "Unknown=kept\n"
      "\n"
      "; device one\n"
      "[HTDev_01]\n"
      "TAG=OLD\n"
      "  Extra  =  spaced  \n"
      "\n"
      "; trailing comment of device one\n"
      "\n"
      "[HTDev_02]\n"
      "Tag=two\n");
  ProfileFile file(path_);
  const ProfileAssignment assignments[] = {{"htdev_01", "tag", "NEW"},
                                           {"HTDev_01", "Message", "hello"},
                                           {"HTDev_Sys", "COMNo", "4"},
                                           {"HTDev_03", "Tag", "three"},
                                           // after insertions above them:
                                           {"HTDev_02", "TAG", "TWO"},
                                           {"HTDev_02", "Descriptor", "d"}};
  EXPECT_TRUE(file.Write(assignments));
  EXPECT_EQ(Get(),
            "; QLN configuration\n"
            "\n"
            "[HTDev_Sys]\n"
            "COMNo=4\n"
            "Unknown=kept\n"
            "\n"
            "; device one\n"
            "[HTDev_01]\n"
            "TAG=NEW\n"
            "  Extra  =  spaced  \n"
            "Message=hello\n"
            "\n"
            "; trailing comment of device one\n"
            "\n"
            "[HTDev_02]\n"
            "Tag=TWO\n"
            "Descriptor=d\n"
            "\n"
            "[HTDev_03]\n"
            "Tag=three\n");
  EXPECT_EQ(ReadFresh("HTDev_01", "Extra"), "spaced");
}

TEST_F(ProfileFileTest, KeepsCrlfLineEndsAndByteOrderMark) {
  Put("\xEF\xBB\xBF[A]\r\nk=v\r\n");
  ProfileFile file(path_);
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "v");
  EXPECT_TRUE(file.Write("A", "n", "1"));
  EXPECT_TRUE(file.Write("B", "x", "2"));
  EXPECT_EQ(Get(), "\xEF\xBB\xBF[A]\r\nk=v\r\nn=1\r\n\r\n[B]\r\nx=2\r\n");
}

TEST_F(ProfileFileTest, LastLineWithoutLineEndStaysWithout) {
  Put("[A]\nk=v");
  ProfileFile file(path_);
  EXPECT_TRUE(file.Write("A", "n", "1"));
  EXPECT_TRUE(file.Write("B", "x", "2"));
  EXPECT_EQ(Get(), "[A]\nk=v\nn=1\n\n[B]\nx=2");

  Put("[A]\r\nk=v\r");  // a lone CR ends the file
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "v");
  EXPECT_TRUE(file.Write("A", "n", "1"));
  EXPECT_EQ(Get(), "[A]\r\nk=v\r\nn=1\r");
}

TEST_F(ProfileFileTest, LongValueIsCutOnReadButStoredWhole) {
  std::string value;
  for (int i = 0; i < 200; ++i) value += static_cast<char>('a' + i % 26);
  ProfileFile file(path_);
  EXPECT_TRUE(file.Write("A", "Long", value));
  EXPECT_EQ(file.Snapshot()->Read("A", "Long"), value.substr(0, kMaxValueLength));
  EXPECT_EQ(file.Snapshot()->ReadWhole("A", "Long"), value);
  EXPECT_EQ(Get(), "[A]\nLong=" + value + "\n");
  EXPECT_EQ(ProfileFile(path_).Snapshot()->Read("A", "Long").size(), kMaxValueLength);
}

TEST_F(ProfileFileTest, HandEditIsSeenAtNextSnapshotAndKeptByWrites) {
  ProfileFile file(path_);
  ASSERT_TRUE(file.Write("A", "k", "1"));
  const auto written = file.Snapshot();
  EXPECT_EQ(file.Snapshot(), written);  // unchanged file: the same parse
  EXPECT_EQ(written->Read("A", "k"), "1");

  Put("[A]\nk=22\n");  // different size
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "22");

  // Same size, same inode: only the modification time tells the edit apart.
  struct stat before {};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  Put("[A]\nk=33\n");
  const timespec times[2] = {before.st_atim, {before.st_mtim.tv_sec + 1, before.st_mtim.tv_nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "33");

  // A write starts from the file as it is, not from what was read before.
  Put("[A]\nk=33\nedited=by hand\n");
  ASSERT_TRUE(file.Write("A", "k", "4"));
  EXPECT_EQ(Get(), "[A]\nk=4\nedited=by hand\n");
}

TEST_F(ProfileFileTest, WriteCachesTheParseOfTheFileItWrote) {
  ProfileFile file(path_);
  ASSERT_TRUE(file.Write("A", "k", "1"));
  // Overwrite in place with the same size and put the modification time back: the identity
  // is unchanged, so the layer keeps its parse of what it wrote instead of reading again.
  struct stat written {};
  ASSERT_EQ(::stat(path_.c_str(), &written), 0);
  Put("[A]\nk=9\n");
  const timespec times[2] = {written.st_atim, written.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "1");
}

TEST_F(ProfileFileTest, ArbitraryBytesParseAndWriteStillWorks) {
  std::mt19937 random(20240611);
  using namespace std::string_literals;
  std::string garbage = "\0[unterminated\n=no key\n[\n]\n\r\r\n[]\n=\n"s;
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < 1 << 16; ++i) {
    // Favour the bytes the parser looks at.
    static constexpr char kSpecial[] = "[]=\n\r;# \t";
    garbage += (i % 3 == 0) ? kSpecial[byte(random) % 9] : static_cast<char>(byte(random));
  }
  garbage.append(1 << 20, 'x').append("[long").append(1 << 20, '=').append("tail");
  Put(garbage);

  ProfileFile file(path_);
  const auto snapshot = file.Snapshot();
  EXPECT_EQ(snapshot->Read("Good", "key"), "");
  ASSERT_TRUE(file.Write("Good", "key", "value"));
  EXPECT_EQ(ReadFresh("Good", "key"), "value");
  EXPECT_TRUE(Get().starts_with(garbage));  // every byte kept, the new lines appended
  EXPECT_EQ(Entries(), std::set<std::string>{"QLN.ini"});
}

TEST_F(ProfileFileTest, ReadOnlyFileIsRefusedAndLeftAlone) {
  Put("[A]\nk=v\n");
  fs::permissions(path_, fs::perms(0444));
  ProfileFile file(path_);
  const Result<> written = file.Write("A", "k", "changed");
  ASSERT_FALSE(written);
  const std::string& reason = written.error();
  EXPECT_NE(reason.find(path_.string()), std::string::npos) << reason;
  EXPECT_EQ(Get(), "[A]\nk=v\n");
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "v");
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0444));
  EXPECT_EQ(Entries(), std::set<std::string>{"QLN.ini"});
}

TEST_F(ProfileFileTest, RewriteKeepsPermissionBitsAndSymbolicLinks) {
  Put("[A]\nk=v\n");
  fs::permissions(path_, fs::perms(0600));
  ProfileFile file(path_);
  ASSERT_TRUE(file.Write("A", "k", "1"));
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0600));

  fs::rename(path_, dir_ / "real.ini");
  fs::create_symlink("real.ini", path_);
  ASSERT_TRUE(file.Write("A", "k", "2"));
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(ReadFresh("A", "k"), "2");
  EXPECT_EQ((Entries()), (std::set<std::string>{"QLN.ini", "real.ini"}));
}

TEST_F(ProfileFileTest, VanishedFileReadsEmptyAndIsRecreatedWhole) {
  ProfileFile file(path_);
  ASSERT_TRUE(file.Write("A", "k", "1"));
  EXPECT_TRUE(file.Snapshot()->Exists());
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "1");
  fs::remove(path_);
  EXPECT_FALSE(file.Snapshot()->Exists());
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "");
  // The new file is the one last seen with the change, not a file of one key.
  ASSERT_TRUE(file.Write("A", "n", "2"));
  EXPECT_EQ(Get(), "[A]\nk=1\nn=2\n");
}

TEST_F(ProfileFileTest, FailuresAreReportedAndLeaveNoTemporaryFile) {
  const fs::path orphanPath = dir_.Path() / "missing" / "QLN.ini";
  ProfileFile orphan(orphanPath);
  const Result<> written = orphan.Write("A", "k", "v");
  ASSERT_FALSE(written);
  const std::string& reason = written.error();
  EXPECT_NE(reason.find(orphanPath.string()), std::string::npos) << reason;
  EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
  EXPECT_FALSE(fs::exists(dir_.Path() / "missing"));

  // A directory in the file's place: the temporary file is written, the rename fails.
  fs::create_directory(path_);
  ProfileFile file(path_);
  EXPECT_FALSE(file.Snapshot()->HasSection("A"));
  EXPECT_FALSE(file.Write("A", "k", "v"));
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_EQ(Entries(), std::set<std::string>{"QLN.ini"});
}

TEST_F(ProfileFileTest, NamesThatCannotReadBackAreRefusedAndValuesStayOnOneLine) {
  Put("[A]\nk=v\n");
  ProfileFile file(path_);
  // A line break in a value must not smuggle sections or keys into the file.
  ASSERT_TRUE(file.Write("A", "k", "safe\n[HTDev_Sys]\nCOM3Path=/dev/sda"));
  EXPECT_EQ(Get(), "[A]\nk=safe\n");
  EXPECT_FALSE(file.Snapshot()->HasSection("HTDev_Sys"));

  for (const auto& [section, key] :
       std::vector<std::pair<std::string, std::string>>{{"A", ""},
                                                        {"A", "  "},
                                                        {"A", "k=x"},
                                                        {"A", ";k"},
                                                        {"A", "[k]"},
                                                        {"A", "k\nx"},
                                                        {"A]", "k"},
                                                        {"A\r\nB", "k"}}) {
    EXPECT_FALSE(file.Write(section, key, "v")) << section << "/" << key;
  }
  // One bad assignment spoils the batch: nothing is written.
  const ProfileAssignment batch[] = {{"A", "k", "changed"}, {"A", "=", "v"}};
  EXPECT_FALSE(file.Write(batch));
  EXPECT_EQ(Get(), "[A]\nk=safe\n");
  EXPECT_EQ(file.Snapshot()->Read("A", "k"), "safe");
}

// A write that only changes values keeps its index for the new text; one that adds lines is
// indexed again. Either way every read answers as a fresh parse of the file does.
TEST_F(ProfileFileTest, ReadsAfterWritesAnswerAsAFreshParse) {
  Put("top=1\n[S]\nA = 1\n; note\nB=2\n[T]\nA=t\n[s]\nC=repeat\n[U]\n");
  ProfileFile file(path_);
  const std::vector<std::pair<std::string, std::string>> names = {
      {"S", "A"}, {"S", "B"}, {"S", "C"}, {"T", "A"}, {"U", "A"}, {"S", "top"}, {"V", "x"}};
  const auto expectSameAsFresh = [&](const std::string& step) {
    const auto snapshot = file.Snapshot();
    for (const auto& [section, key] : names) {
      EXPECT_EQ(snapshot->ReadWhole(section, key), ReadFresh(section, key))
          << step << ": " << section << "/" << key;
    }
  };
  const ProfileAssignment values[] = {{"s", "a", "a much longer value than before"},
                                      {"T", "A", ""}};
  ASSERT_TRUE(file.Write(values));
  expectSameAsFresh("values");
  EXPECT_EQ(file.Snapshot()->Read("S", "B"), "2");
  const ProfileAssignment lines[] = {{"U", "A", "u"}, {"S", "C", "c"}, {"V", "x", "v"}};
  ASSERT_TRUE(file.Write(lines));
  expectSameAsFresh("lines");
  ASSERT_TRUE(file.Write("S", "B", "3"));
  expectSameAsFresh("after lines");
  EXPECT_EQ(Get(),
            "top=1\n[S]\nA=a much longer value than before\n; note\nB=3\nC=c\n"
            "[T]\nA=\n[s]\nC=repeat\n[U]\nA=u\n\n[V]\nx=v\n");
}

// An editor that saves in place (truncate, then write) while the layer writes: the layer must
// not rename its copy of the old or half-saved text over the edit. The disk hook runs just
// before each replacement, where the editor's steps land.
TEST_F(ProfileFileTest, EditsSavedWhileAWriteIsMadeAreKeptWithTheWrite) {
  const std::string edited = "[A]\nk=1\n[B]\nb=edited\n[C]\nnew=1\n";
  Put("[A]\nk=1\n[B]\nb=1\n");
  ProfileFile file(path_);
  ASSERT_EQ(file.Snapshot()->Read("B", "b"), "1");

  // In place and in two steps: the first replacement meets the half-saved text, the second
  // (based on that half) meets the finished edit.
  int replacements = 0;
  file.SetDiskHook([&](ProfileFile::DiskOperation operation) {
    if (operation != ProfileFile::DiskOperation::Write) return;
    ++replacements;
    if (replacements == 1) Put(edited.substr(0, 13));
    if (replacements == 2) {
      std::ofstream(path_, std::ios::binary | std::ios::app) << edited.substr(13);
    }
  });
  ASSERT_TRUE(file.Write("A", "k", "2"));
  EXPECT_EQ(replacements, 3);
  EXPECT_EQ(Get(), "[A]\nk=2\n[B]\nb=edited\n[C]\nnew=1\n");
  EXPECT_EQ(file.Snapshot()->Read("C", "new"), "1");
  EXPECT_EQ(Entries(), std::set<std::string>{"QLN.ini"});

  // An editor that saves by rename still works, in the middle of a write as well.
  replacements = 0;
  file.SetDiskHook([&](ProfileFile::DiskOperation operation) {
    if (operation != ProfileFile::DiskOperation::Write || ++replacements > 1) return;
    test::WriteFile(dir_ / "QLN.ini~", "[A]\nk=2\n[D]\nd=renamed\n");
    fs::rename(dir_ / "QLN.ini~", path_);
  });
  ASSERT_TRUE(file.Write("B", "b", "3"));
  EXPECT_EQ(Get(), "[A]\nk=2\n[D]\nd=renamed\n\n[B]\nb=3\n");
  EXPECT_EQ(Entries(), std::set<std::string>{"QLN.ini"});
}

// A file that changes before every replacement: the write gives up after a few attempts and
// says so; the editor's text stays and no temporary file is left.
TEST_F(ProfileFileTest, WriteToAFileThatKeepsChangingFailsAndLeavesTheEdits) {
  Put("[A]\nk=1\n");
  ProfileFile file(path_);
  int replacements = 0;
  file.SetDiskHook([&](ProfileFile::DiskOperation operation) {
    if (operation == ProfileFile::DiskOperation::Write) {
      Put("[A]\nk=1\nedit=" + std::to_string(++replacements) + "\n");
    }
  });
  const Result<> written = file.Write("A", "k", "2");
  ASSERT_FALSE(written);
  const std::string& reason = written.error();
  EXPECT_NE(reason.find("changing"), std::string::npos) << reason;
  EXPECT_EQ(replacements, ProfileFile::kWriteAttempts);
  EXPECT_EQ(Get(), "[A]\nk=1\nedit=" + std::to_string(replacements) + "\n");
  EXPECT_EQ(file.Snapshot()->Read("A", "edit"), std::to_string(replacements));
  EXPECT_EQ(Entries(), std::set<std::string>{"QLN.ini"});
}

// Temporary files left by killed writes are removed; a live write's file (locked), other names,
// directories and links of the same pattern are left alone.
TEST_F(ProfileFileTest, StaleTemporaryFilesAreRemovedButNotALiveWritersFile) {
  Put("[A]\nk=1\n");
  for (const std::string name :
       {".QLN.ini.a1B2c3", ".QLN.ini.zzzzzz", ".QLN.ini.short", ".QLN.ini.toolong",
        ".QLN.ini.ab-123", "QLN.ini.abc123", ".other.ini.abc123", ".QLN.ini.live01"}) {
    test::WriteFile(dir_ / name, "[A]\nk=1\n");
  }
  fs::create_directory(dir_ / ".QLN.ini.dir123");
  fs::create_symlink("QLN.ini", dir_ / ".QLN.ini.lnk123");
  // A live writer holds the lock of its temporary file.
  const int live = ::open((dir_ / ".QLN.ini.live01").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(live, 0);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);

  ProfileFile file(path_);
  EXPECT_EQ(file.RemoveStaleTemporaries(), 2u);
  EXPECT_EQ(Entries(),
            (std::set<std::string>{"QLN.ini", ".QLN.ini.short", ".QLN.ini.toolong",
                                   ".QLN.ini.ab-123", "QLN.ini.abc123", ".other.ini.abc123",
                                   ".QLN.ini.live01", ".QLN.ini.dir123", ".QLN.ini.lnk123"}));
  ::close(live);
  EXPECT_EQ(file.RemoveStaleTemporaries(), 1u);
  EXPECT_TRUE(fs::exists(dir_ / ".QLN.ini.dir123"));
  EXPECT_EQ(Get(), "[A]\nk=1\n");

  // A write holds its own temporary file's lock until the rename: another program starting
  // in the middle of it leaves the file alone.
  std::size_t removedDuringWrite = 99;
  file.SetDiskHook([&](ProfileFile::DiskOperation operation) {
    if (operation == ProfileFile::DiskOperation::Write) {
      removedDuringWrite = ProfileFile(path_).RemoveStaleTemporaries();
    }
  });
  ASSERT_TRUE(file.Write("A", "k", "2"));
  EXPECT_EQ(removedDuringWrite, 0u);
  EXPECT_EQ(ReadFresh("A", "k"), "2");
}

TEST_F(ProfileFileTest, ConcurrentSnapshotsSeeEveryWriteWhole) {
  ProfileFile file(path_);
  std::atomic<bool> done = false;
  std::thread writer([&] {
    for (int i = 1; i <= 50; ++i) {
      const std::string value = std::to_string(i);
      const ProfileAssignment pair[] = {{"A", "x", value}, {"B", "y", value}};
      EXPECT_TRUE(file.Write(pair));
    }
    done = true;
  });
  int last = 0;
  while (!done) {
    const auto snapshot = file.Snapshot();
    const std::string x = snapshot->Read("A", "x");
    EXPECT_EQ(x, snapshot->Read("B", "y"));  // both keys come from the same write
    const int seen = x.empty() ? 0 : std::stoi(x);
    EXPECT_GE(seen, last);
    last = seen;
  }
  writer.join();
  EXPECT_EQ(file.Snapshot()->Read("B", "y"), "50");
}

}  // namespace
}  // namespace qln
