#include "device/config_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "support/fakes.h"
#include "support/temp_dir.h"

namespace qln {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

const std::filesystem::path kExample = std::filesystem::path(QLN_SOURCE_DIR) / "examples/QLN.ini";

class ConfigStoreTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  test::FakeNotifier notifier;
  test::FakeClock clock;
  DeviceModel model;
  ConfigStore store{notifier, clock, dir.Path()};

  std::filesystem::path File() const { return dir / "QLN.ini"; }
  void UseExample() { std::filesystem::copy_file(kExample, File()); }
  std::string Key(std::string_view section, std::string_view key) {
    return store.Snapshot()->ReadWhole(section, key);
  }
};

TEST_F(ConfigStoreTest, MissingFileWarnsAndLeavesTheModelAsItWas) {
  EXPECT_FALSE(store.CheckFile());
  ASSERT_EQ(notifier.warnings.size(), 1u);
  EXPECT_EQ(notifier.warnings[0].first, "QLN.ini not found ...");
  EXPECT_EQ(notifier.warnings[0].second, "WARNING");

  EXPECT_FALSE(store.ReloadAll(model, AllDevices));
  EXPECT_EQ(notifier.warnings.size(), 2u);
  EXPECT_EQ(model.Active.MfrID, 21);  // initial contents kept
  EXPECT_FALSE(store.CheckAndLoadForOpen(model));
  EXPECT_FALSE(store.ConfigFileFound());
}

TEST_F(ConfigStoreTest, FullLoadOfTheExampleFile) {
  UseExample();
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  EXPECT_TRUE(store.ConfigFileFound());
  EXPECT_TRUE(notifier.warnings.empty());
  // Device 0 is the worked example: long address 26 05 12 34 56.
  EXPECT_EQ(model.Table[0].LongAddress, (std::array<uint8_t, 5>{0x26, 0x05, 0x12, 0x34, 0x56}));
  EXPECT_EQ(model.Table[0].ResPreableNum, 5u);
  EXPECT_EQ(model.Table[0].BurstCmdNo, 1u);
  EXPECT_EQ(model.System.DevEn[0], "1");
  EXPECT_EQ(model.System.COMNo, "3");
  EXPECT_EQ(model.Table[0].Texts.Get(13, "TagName"), "TT-101");
  // The single record ends with device 15's values.
  EXPECT_EQ(model.Active.MfrID, 255);
  EXPECT_EQ(model.Active.DevIDNo, 16777215u);
  // Device 0's transducer serial number, decoded on its own.
  DecodeSection(model, 14, 0);
  EXPECT_EQ(model.Active.TransducerSN, 12345u);
  DecodeSection(model, 20, 0);
  EXPECT_EQ(std::string(model.Active.LongTag.begin(), model.Active.LongTag.begin() + 6), "TT-101");
}

TEST_F(ConfigStoreTest, HandEditIsSeenAtTheNextRefreshOfItsSectionOnly) {
  UseExample();
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  std::string content = test::ReadFile(File());
  const std::string from = "[HTDev00_Cmd001]\r\nPV1Unit=32\r\nPV1Value=25.000000";
  const auto at = content.find(from);
  ASSERT_NE(at, std::string::npos);
  content.replace(at, from.size(), "[HTDev00_Cmd001]\r\nPV1Unit=32\r\nPV1Value=99.5");
  test::WriteFile(File(), content);

  std::lock_guard lock(model.Lock);
  store.Refresh(model, 3, 0);
  EXPECT_EQ(model.Active.PV1Value, 25.0f);  // section 003 holds its own copy
  store.Refresh(model, 1, 0);
  EXPECT_EQ(model.Active.PV1Value, 99.5f);
}

TEST_F(ConfigStoreTest, SaveRowsConvertsTheRowTextsAndCreatesAMissingFile) {
  model.Table[2].DevEnable = 1;
  RowEntry row;
  row.Device = 2;
  row.LongAddress = "000ABCDE";
  row.MfrIDv7 = "1.2";
  row.Values[0] = "12.5";
  row.Values[1] = "1.23456789";
  row.Values[2] = "";
  row.Values[3] = "0.0000001";
  row.Units[0] = 7;
  row.Units[1] = 32;
  row.Units[2] = 39;
  row.Units[3] = 57;
  {
    std::lock_guard lock(model.Lock);
    EXPECT_TRUE(store.SaveRows(model, std::span(&row, 1)));
  }
  EXPECT_EQ(Key("HTDev_Sys", "Dev02_En"), "1");
  EXPECT_EQ(Key("HTDev02_Cmd000", "MfrID"), "0");
  EXPECT_EQ(Key("HTDev02_Cmd000", "MfrDevType"), "10");
  EXPECT_EQ(Key("HTDev02_Cmd000", "DevIDNo"), std::to_string(0xBCDE));
  EXPECT_EQ(Key("HTDev02_Cmd000", "MfrID_v7"), "1");
  EXPECT_EQ(Key("HTDev02_Cmd000", "LblDist_v7"), "1");
  EXPECT_EQ(Key("HTDev02_Cmd001", "PV1Unit"), "7");
  EXPECT_EQ(Key("HTDev02_Cmd001", "PV1Value"), "12.500000");
  // Digits that "%0.6f" would lose are kept.
  EXPECT_EQ(Key("HTDev02_Cmd003", "PV2Value"), "1.23456789");
  EXPECT_EQ(Key("HTDev02_Cmd003", "PV3Value"), "0.000000");
  EXPECT_EQ(Key("HTDev02_Cmd003", "PV4Value"), "0.0000001");
  EXPECT_EQ(Key("HTDev02_Cmd003", "PV4Unit"), "57");
  EXPECT_EQ(Key("HTDev02_Cmd015", "RangeUnit"), "7");
  // The model's texts changed with the file.
  EXPECT_EQ(model.Table[2].Texts.Get(0, "MfrDevType"), "10");
  EXPECT_EQ(model.System.DevEn[2], "1");

  // Nine characters: the device identification takes characters 5 to 9.
  row.LongAddress = "123456789";
  std::lock_guard lock(model.Lock);
  store.SaveRows(model, std::span(&row, 1));
  store.Refresh(model, 0, 2);
  EXPECT_EQ(model.Table[2].LongAddress, (std::array<uint8_t, 5>{0x12, 0x34, 0x05, 0x67, 0x89}));
}

// What the operator did not change stays in the file byte for byte; what was changed is stored
// as "%0.6f" where that loses nothing, otherwise with the digits that read back as the number.
TEST_F(ConfigStoreTest, SaveRowsKeepsUntouchedTextsAndStoresTypedNumbersWithoutLoss) {
  UseExample();
  const std::pair<std::string_view, std::string_view> kept[] = {
      {"PV1Value", "0.00000000012345678"},
      {"PV2Value", "123456789012345678.5"},
      {"PV3Value", "-12345.6789012345"},
      {"PV4Value", "0.12345678901234567"},
      {"PV2Unit", "250"}};  // no unit of the lists
  for (const auto& [key, text] : kept)
    ASSERT_TRUE(ProfileFile(File()).Write("HTDev05_Cmd003", key, text));
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  const std::string pvOf001 = Key("HTDev05_Cmd001", "PV1Value");
  const struct {
    const char* typed;
    const char* stored;
  } typedValues[] = {{"26", "26.000000"},
                     {"", "0.000000"},
                     {"-12345.6789012345", "-12345.6789012345"},
                     {"0.00000000012345678", "0.00000000012345678"},
                     {"123456789012345678.5", "123456789012345680.000000"},
                     {"1e-300", "1e-300"},
                     {"-0", "-0.000000"}};
  std::vector<RowEntry> rows(2);
  rows[0].Device = 5;  // nothing changed
  rows[1].Device = 6;
  std::lock_guard lock(model.Lock);
  for (const auto& value : typedValues) {
    rows[1].Values[1] = value.typed;
    ASSERT_TRUE(store.SaveRows(model, rows));
    EXPECT_EQ(Key("HTDev06_Cmd003", "PV2Value"), value.stored) << value.typed;
  }
  for (const auto& [key, text] : kept) EXPECT_EQ(Key("HTDev05_Cmd003", key), text);
  EXPECT_EQ(Key("HTDev05_Cmd001", "PV1Value"), pvOf001);
}

TEST_F(ConfigStoreTest, RevisionPortAndChangeCounterWrites) {
  UseExample();
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  std::lock_guard lock(model.Lock);
  store.SaveRevision(model, 6);
  for (uint8_t d = 0; d < kDeviceCount; ++d) EXPECT_EQ(Key(SectionName(0, d), "UnivCmdRev"), "6");
  store.SavePort(model, 12);
  EXPECT_EQ(Key("HTDev_Sys", "COMNo"), "12");
  EXPECT_EQ(model.System.COMNo, "12");

  store.WriteKeys(model, 5, 0, {{"CfgChgCnt_v6", "65535"}});
  store.NoteConfigChangeFile(model, 5);
  EXPECT_EQ(Key("HTDev05_Cmd000", "CfgChgCnt_v6"), "0");
  store.NoteConfigChangeFile(model, 5);
  EXPECT_EQ(Key("HTDev05_Cmd000", "CfgChgCnt_v6"), "1");
  EXPECT_EQ(model.Active.CfgChgCnt_v6, 1);
}

TEST_F(ConfigStoreTest, ChangeCounterWithoutAFileStartsFromZeroAndCreatesTheFile) {
  std::lock_guard lock(model.Lock);
  store.NoteConfigChangeFile(model, 1);
  EXPECT_EQ(Key("HTDev01_Cmd000", "CfgChgCnt_v6"), "1");
  // The identity read from the empty section is all zero now.
  EXPECT_EQ(model.Active.MfrID, 0);
  EXPECT_EQ(model.Table[1].LongAddress, (std::array<uint8_t, 5>{}));
}

TEST_F(ConfigStoreTest, FailedWriteIsReportedTheTextsStillChangeAndTheFileStaysIntact) {
  UseExample();
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  const std::string before = test::ReadFile(File());
  ASSERT_EQ(::chmod(File().c_str(), 0444), 0);
  {
    std::lock_guard lock(model.Lock);
    EXPECT_FALSE(store.WriteKeys(model, 0, 12, {{"Message", "NEW MESSAGE"}}));
  }
  ASSERT_EQ(notifier.problems.size(), 1u);
  EXPECT_NE(notifier.problems[0].find("QLN.ini"), std::string::npos);
  EXPECT_EQ(model.Table[0].Texts.Get(12, "Message"), "NEW MESSAGE");
  EXPECT_EQ(test::ReadFile(File()), before);
}

TEST_F(ConfigStoreTest, SystemSectionAloneGivesPortAndDisabledDevices) {
  test::WriteFile(File(), "[HTDev_Sys]\nCOMNo=3\n");
  ASSERT_TRUE(store.ReloadAll(model, AllDevices));
  EXPECT_EQ(model.System.COMNo, "3");
  for (const std::string& en : model.System.DevEn) EXPECT_EQ(en, "");
  EXPECT_EQ(model.Active.MfrID, 0);
}

TEST_F(ConfigStoreTest, SectionNamesInOtherCaseAndLongValues) {
  test::WriteFile(File(), "[htdev03_CMD012]\nmessage=" + std::string(200, 'A') + "\n");
  ASSERT_TRUE(store.ReloadAll(model, AllDevices));
  EXPECT_EQ(model.Table[3].Texts.Get(12, "Message"), std::string(63, 'A'));
}

TEST_F(ConfigStoreTest, BinaryGarbageLoadsWithoutHarm) {
  std::mt19937 random(7);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  test::WriteFile(File(), garbage);
  EXPECT_TRUE(store.ReloadAll(model, AllDevices));
  std::lock_guard lock(model.Lock);
  EXPECT_TRUE(store.WriteKeys(model, 0, 59, {{"ResPreableNum", "7"}}));
  store.Refresh(model, 59, 0);
  EXPECT_EQ(model.Table[0].ResPreableNum, 7u);
}

// A write that fails keeps its keys pending: reads do not take the old text back, every later
// write carries them, and the periodic retry writes them once the file can be written. The
// operator hears of it in bounded form, timed by the store's clock: the first failure at once,
// then at most one line in 10 s while new writes fail (how many, and what is pending), nothing
// for retries that fail as reported, and the success once.
TEST_F(ConfigStoreTest, FailedWriteStaysPendingUntilARetryWritesItAndIsReportedBoundedly) {
  UseExample();
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  ASSERT_EQ(::chmod(File().c_str(), 0444), 0);
  {
    std::lock_guard lock(model.Lock);
    EXPECT_FALSE(store.WriteKeys(model, 0, 12, {{"Message", "PENDING MESSAGE"}}));
    store.Refresh(model, 12, 0);
    EXPECT_EQ(model.Table[0].Texts.Get(12, "Message"), "PENDING MESSAGE");
    clock.milliseconds = 3'000;
    EXPECT_FALSE(store.SavePort(model, 7));
    store.ReadSystem(model);
    EXPECT_EQ(model.System.COMNo, "7");
  }
  EXPECT_TRUE(store.HasPendingWrites());
  ASSERT_EQ(notifier.problems.size(), 1u);
  EXPECT_THAT(notifier.problems[0],
              AllOf(HasSubstr("read-only"), HasSubstr("1 changed key is held in memory only"),
                    HasSubstr("[HTDev00_Cmd012] Message")));
  EXPECT_TRUE(store.ReloadAll(model, AllDevices));
  EXPECT_EQ(model.Table[0].Texts.Get(12, "Message"), "PENDING MESSAGE");

  clock.milliseconds = 10'000;
  store.RetryPendingWrites(model);  // still read-only: the write of COMNo is news by now
  ASSERT_EQ(notifier.problems.size(), 2u);
  EXPECT_THAT(
      notifier.problems[1],
      AllOf(HasSubstr("still cannot be saved"), HasSubstr("1 more write failed in the last 10 s"),
            HasSubstr("2 changed keys are held in memory only"),
            HasSubstr("[HTDev00_Cmd012] Message, [HTDev_Sys] COMNo")));
  clock.milliseconds = 12'000;
  store.RetryPendingWrites(model);  // no news
  {
    std::lock_guard lock(model.Lock);
    for (int write = 0; write < 50; ++write) {
      clock.milliseconds = 12'000 + static_cast<uint32_t>(write) * 100;
      store.WriteKeys(model, 1, 59, {{"ResPreableNum", std::to_string(write)}});
    }
  }
  EXPECT_EQ(notifier.problems.size(), 2u);
  clock.milliseconds = 20'000;
  store.RetryPendingWrites(model);
  ASSERT_EQ(notifier.problems.size(), 3u);
  EXPECT_THAT(notifier.problems[2], AllOf(HasSubstr("50 more writes failed in the last 10 s"),
                                          HasSubstr("3 changed keys are held in memory only")));

  ASSERT_EQ(::chmod(File().c_str(), 0644), 0);
  clock.milliseconds = 20'500;
  store.RetryPendingWrites(model);  // too soon after the last attempt
  EXPECT_TRUE(store.HasPendingWrites());
  clock.milliseconds = 22'000;
  store.RetryPendingWrites(model);
  EXPECT_FALSE(store.HasPendingWrites());
  ASSERT_EQ(notifier.problems.size(), 4u);
  EXPECT_THAT(notifier.problems[3], HasSubstr("saved again"));
  EXPECT_EQ(Key("HTDev00_Cmd012", "Message"), "PENDING MESSAGE");
  EXPECT_EQ(Key("HTDev_Sys", "COMNo"), "7");
  EXPECT_EQ(Key("HTDev01_Cmd059", "ResPreableNum"), "49");
  clock.milliseconds = 40'000;
  store.RetryPendingWrites(model);
  EXPECT_EQ(notifier.problems.size(), 4u);
}

// While the file is missing the held texts stay, and a write recreates the file from the file
// last read with the model's texts (and an earlier memory-only change) on top.
TEST_F(ConfigStoreTest, MissingFileKeepsHeldTextsAndAWriteRecreatesItWhole) {
  UseExample();
  test::WriteFile(File(), test::ReadFile(File()) + "[Unknown]\nkept=yes\n");
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  const std::string message3 = model.Table[3].Texts.Get(12, "Message");
  std::filesystem::remove(File());
  std::lock_guard lock(model.Lock);
  store.Refresh(model, 12, 3);
  EXPECT_EQ(model.Table[3].Texts.Get(12, "Message"), message3);
  model.Table[5].Texts.Set(13, "TagName", "HELD");  // as a change the file never received

  EXPECT_TRUE(store.WriteKeys(model, 0, 12, {{"Message", "BACK AGAIN"}}));
  EXPECT_EQ(Key("HTDev00_Cmd012", "Message"), "BACK AGAIN");
  EXPECT_EQ(Key("HTDev03_Cmd012", "Message"), message3);
  EXPECT_EQ(Key("HTDev05_Cmd013", "TagName"), "HELD");
  EXPECT_EQ(Key("Unknown", "kept"), "yes");
  EXPECT_EQ(Key("HTDev_Sys", "COMNo"), model.System.COMNo);
}

// A file that lacks a device's section (empty, garbage, the section cut out) is read as a
// missing file is: the device keeps the texts it holds, writes into the section (the change
// counter of a configuration change, a tag) write it whole, and its identity never becomes
// zero. A file changed on disk gives the long addresses at the next refresh of identities.
TEST_F(ConfigStoreTest, AFileWithoutTheDevicesSectionNeverTakesItsIdentity) {
  UseExample();
  const std::string good = test::ReadFile(File());
  std::string cut = good;
  cut.replace(cut.find("[HTDev00_Cmd000]"), 16, "[Removed_Cmd000]");
  std::mt19937 random(11);
  std::string garbage(256 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  const std::array<uint8_t, 5> identity{0x26, 0x05, 0x12, 0x34, 0x56};

  const std::string empty;
  const std::pair<const char*, const std::string*> badFiles[] = {
      {"garbage", &garbage}, {"section cut out", &cut}, {"empty", &empty}};
  for (const auto& [name, bad] : badFiles) {
    SCOPED_TRACE(name);
    test::WriteFile(File(), good);
    ASSERT_TRUE(store.CheckAndLoadForOpen(model));
    test::WriteFile(File(), *bad);
    {
      std::lock_guard lock(model.Lock);
      store.RefreshIdentities(model);
      store.Refresh(model, 0, 0);  // as command 0 does
      EXPECT_EQ(model.Active.MfrID, 0x26);
      EXPECT_EQ(model.Active.DevIDNo, 0x123456u);
      EXPECT_TRUE(store.WriteKeys(model, 0, 13, {{"TagName", "BADFILE"}}));
      EXPECT_TRUE(store.NoteConfigChangeFile(model, 0));
      store.Refresh(model, 0, 0);
      store.RefreshIdentities(model);
      EXPECT_EQ(model.Table[0].LongAddress, identity);
      EXPECT_EQ(model.Active.CfgChgCnt_v6, 13);
    }
    EXPECT_TRUE(store.ReloadAll(model, AllDevices));
    EXPECT_EQ(model.Table[0].LongAddress, identity);
    EXPECT_EQ(model.Table[3].Texts.Get(13, "TagName"), "LT-301");
    // The sections written are whole.
    EXPECT_EQ(Key("HTDev00_Cmd000", "DevIDNo"), "1193046");
    EXPECT_EQ(Key("HTDev00_Cmd000", "CfgChgCnt_v6"), "13");
    EXPECT_EQ(Key("HTDev00_Cmd013", "Descriptor"), model.Table[0].Texts.Get(13, "Descriptor"));
  }

  // The good file back, with device 0's identity edited by hand.
  std::string edited = good;
  edited.replace(edited.find("DevIDNo=1193046"), 15, "DevIDNo=1193047");
  test::WriteFile(File(), edited);
  EXPECT_TRUE(store.IdentitiesStale());
  std::lock_guard lock(model.Lock);
  const uint32_t held = model.Active.DevIDNo;
  store.RefreshIdentities(model);
  EXPECT_FALSE(store.IdentitiesStale());
  EXPECT_EQ(model.Table[0].LongAddress, (std::array<uint8_t, 5>{0x26, 0x05, 0x12, 0x34, 0x57}));
  EXPECT_EQ(model.Active.DevIDNo, held) << "the active record is not touched";
}

// QLN.ini read-only at stop: the pending keys go into the recovery file, with the failure's
// message naming it. A start while QLN.ini is still read-only keeps the file and holds its
// changes in force; the next stop keeps them again; a start with QLN.ini writable writes them
// into it and removes the recovery file. When the recovery file cannot be written either, the
// message lists every key with its value.
TEST_F(ConfigStoreTest, WhatTheFileDidNotTakeIsKeptAtStopAndWrittenAtTheNextStart) {
  UseExample();
  ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  const std::filesystem::path recovery = dir / "QLN-recovery.ini";
  EXPECT_EQ(store.RecoveryPath(), recovery);
  EXPECT_TRUE(store.SaveAtStop(model)) << "nothing pending";
  EXPECT_FALSE(std::filesystem::exists(recovery));
  ASSERT_EQ(::chmod(File().c_str(), 0444), 0);
  {
    std::lock_guard lock(model.Lock);
    EXPECT_FALSE(store.WriteKeys(model, 0, 13, {{"TagName", "KEPT"}, {"Descriptor", "AT STOP"}}));
    EXPECT_FALSE(store.SavePort(model, 9));
    const KeyText command130[] = {{"ParamNum", "1"}, {"Param1", "7"}};  // a stored reply
    EXPECT_FALSE(store.WriteSharedSection(model, "HTDevAll_SpecCmd130", command130));
  }
  const Result<> stopped = store.SaveAtStop(model);
  ASSERT_FALSE(stopped);
  EXPECT_THAT(stopped.error(), AllOf(HasSubstr("read-only"), HasSubstr(recovery.string()),
                                     HasSubstr("5 changed keys")));
  const auto kept = ProfileFile(recovery).Snapshot();
  EXPECT_EQ(kept->Read("HTDev00_Cmd013", "TagName"), "KEPT");
  EXPECT_EQ(kept->Read("HTDev00_Cmd013", "Descriptor"), "AT STOP");
  EXPECT_EQ(kept->Read("HTDev_Sys", "COMNo"), "9");
  EXPECT_EQ(kept->Read("HTDevAll_SpecCmd130", "Param1"), "7");
  EXPECT_EQ(Key("HTDev00_Cmd013", "TagName"), "TT-101");

  {  // the next start, QLN.ini still read-only
    test::FakeNotifier notes;
    DeviceModel next;
    ConfigStore started(notes, clock, dir.Path());
    started.ApplyRecovery(next);
    ASSERT_TRUE(started.ReloadAll(next, AllDevices));
    EXPECT_EQ(next.Table[0].Texts.Get(13, "TagName"), "KEPT");
    EXPECT_EQ(next.System.COMNo, "9");
    EXPECT_TRUE(started.HasPendingWrites());
    ASSERT_EQ(notes.problems.size(), 2u);
    EXPECT_THAT(notes.problems[1], HasSubstr(recovery.string() + " is kept"));
    EXPECT_FALSE(started.SaveAtStop(next));
  }
  EXPECT_EQ(ProfileFile(recovery).Snapshot()->Read("HTDev00_Cmd013", "TagName"), "KEPT");

  ASSERT_EQ(::chmod(File().c_str(), 0644), 0);
  test::FakeNotifier notes;
  DeviceModel next;
  ConfigStore started(notes, clock, dir.Path());
  started.ApplyRecovery(next);
  EXPECT_FALSE(started.HasPendingWrites());
  ASSERT_EQ(notes.problems.size(), 1u);
  EXPECT_THAT(notes.problems[0], HasSubstr("5 changed keys that an earlier run could not save"));
  EXPECT_FALSE(std::filesystem::exists(recovery));
  EXPECT_EQ(Key("HTDev00_Cmd013", "TagName"), "KEPT");
  EXPECT_EQ(Key("HTDev00_Cmd013", "Descriptor"), "AT STOP");
  EXPECT_EQ(Key("HTDev00_Cmd012", "Message"), model.Table[0].Texts.Get(12, "Message"));
  EXPECT_EQ(Key("HTDevAll_SpecCmd130", "Param1"), "7");

  // Neither file takes the changes: the message holds them.
  ASSERT_EQ(::chmod(File().c_str(), 0444), 0);
  std::filesystem::create_directory(recovery);
  {
    std::lock_guard lock(model.Lock);
    store.WriteKeys(model, 2, 12, {{"Message", "ONLY IN THE MESSAGE"}});
    const KeyText secret[] = {{"Client1Key", "00112233AABBCCDD"}};
    store.WriteSharedSection(model, "HTDev_HartIpSecurity", secret);
  }
  const Result<> lost = store.SaveAtStop(model);
  ASSERT_FALSE(lost);
  // ... but never a secret.
  EXPECT_THAT(
      lost.error(),
      AllOf(HasSubstr("are lost"), HasSubstr("[HTDev02_Cmd012] Message=ONLY IN THE MESSAGE"),
            HasSubstr("[HTDev_Sys] COMNo=9"), HasSubstr("Client1Key=(secret, not shown)"),
            Not(HasSubstr("00112233AABBCCDD"))));
}

}  // namespace
}  // namespace qln
