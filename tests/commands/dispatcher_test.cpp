#include "commands/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "command_fixture.h"

namespace qln::test {
namespace {

constexpr uint8_t kConfigChangedBit = 0x40;
constexpr uint8_t kColdStartBit = 0x20;
constexpr uint8_t kMoreStatusBit = 0x10;
constexpr uint8_t kFixedCurrentBit = 0x08;

using DispatcherTest = CommandTest;

TEST_F(DispatcherTest, UnhandledConfigChangingCommandAnswers64AndStillCounts) {
  Open();
  const Reply reply = Run(2, 6, {1, 2, 3});
  EXPECT_EQ(reply.code, 64);
  EXPECT_TRUE(reply.data.empty());
  EXPECT_EQ(reply.status & kConfigChangedBit, kConfigChangedBit);
  EXPECT_EQ(FileKey(0, 2, "CfgChgCnt_v6"), "13");
  EXPECT_EQ(FileKey(0, 1, "CfgChgCnt_v6"), "12");
  EXPECT_TRUE(model.Table[2].ConfigChanged);
  EXPECT_EQ(state.ExecutedCommandCount, 1);
}

TEST_F(DispatcherTest, UnhandledOtherCommandsAnswer64AndChangeNothing) {
  Open();
  const std::string before = ReadFile(IniPath());
  for (uint8_t command : {4, 5, 10, 39, 127, 254, 255}) {
    const Reply reply = Run(0, command, {9, 9});
    EXPECT_EQ(reply.code, 64) << int(command);
    EXPECT_TRUE(reply.data.empty());
    EXPECT_EQ(reply.status & kConfigChangedBit, 0);
  }
  EXPECT_EQ(ReadFile(IniPath()), before);
  EXPECT_EQ(state.ExecutedCommandCount, 7);
}

TEST_F(DispatcherTest, ActsOnlyOnAPendingRequest) {
  Open();
  state.DataSuppressed = true;
  exchange.Command = 1;
  Dispatch(ctx, 0);
  EXPECT_EQ(exchange.LoadState(), ExchangeState::Idle);
  EXPECT_FALSE(state.DataSuppressed);
  EXPECT_EQ(state.ExecutedCommandCount, 0);
  EXPECT_TRUE(state.ColdStartPending);
}

TEST_F(DispatcherTest, ExecutedCommandCountWraps) {
  Open();
  state.ExecutedCommandCount = 65535;
  Run(0, 1);
  EXPECT_EQ(state.ExecutedCommandCount, 0);
}

TEST_F(DispatcherTest, ColdStartIsReportedByTheFirstAutoReplyOnly) {
  Open();
  EXPECT_EQ(Run(0, 1).status, kColdStartBit);
  EXPECT_EQ(Run(0, 1).status, 0);
  EXPECT_EQ(Run(3, 1).status, kFixedCurrentBit);  // devices 1..15 start with a fixed current
}

TEST_F(DispatcherTest, ManualModeReturnsTheUserByteAndKeepsTheColdStartPending) {
  Open();
  state.StatusReturnMode = StatusMode::Manual;
  state.UserStatusByte = 0x87;
  EXPECT_EQ(Run(0, 6).status, 0x87);  // even with the configuration just changed
  state.UserStatusByte = 0x00;
  EXPECT_EQ(Run(3, 1).status, 0x00);
  state.StatusReturnMode = StatusMode::Auto;
  EXPECT_EQ(Run(0, 1).status, kConfigChangedBit | kColdStartBit);
  EXPECT_EQ(Run(0, 1).status, kConfigChangedBit);
}

TEST_F(DispatcherTest, MoreStatusAvailableIsReportedUntilCommand48) {
  Open();
  Run(0, 1);  // takes the cold start
  state.MoreStatusAvailable = true;
  EXPECT_EQ(Run(0, 1).status, kMoreStatusBit);
  EXPECT_EQ(Run(0, 48).status, 0);
}

TEST_F(DispatcherTest, WriteGuardChecksInEachCommandsOrder) {
  Open();
  // Protection first, then the lock, then the byte count.
  state.LockState = 1;
  model.Active.WrProtCode = 1;
  EXPECT_TRUE(!WriteGuard(ctx, GuardKind::ProtectLockMinimum, 24) && exchange.ResponseCode == 7 &&
              state.DataSuppressed);
  model.Active.WrProtCode = 0;
  exchange.ByteCount = 23;
  EXPECT_FALSE(WriteGuard(ctx, GuardKind::ProtectLockMinimum, 24));
  EXPECT_EQ(exchange.ResponseCode, 16);
  // The byte count before a lock above 1; lock 1 passes.
  EXPECT_FALSE(WriteGuard(ctx, GuardKind::ProtectMinimumLockAbove1, 24));
  EXPECT_EQ(exchange.ResponseCode, 5);
  EXPECT_TRUE(WriteGuard(ctx, GuardKind::ProtectMinimumLockAbove1, 23));
  state.LockState = 2;
  EXPECT_FALSE(WriteGuard(ctx, GuardKind::ProtectMinimumLockAbove1, 23));
  EXPECT_EQ(exchange.ResponseCode, 16);
  EXPECT_TRUE(WriteGuard(ctx, GuardKind::ProtectMinimum, 23));
  state.LockState = 0;
  exchange.ResponseCode = 0;
  state.DataSuppressed = false;
  EXPECT_TRUE(WriteGuard(ctx, GuardKind::ProtectLockMinimum, 23));
  EXPECT_EQ(exchange.ResponseCode, 0);
  EXPECT_FALSE(state.DataSuppressed);
}

TEST_F(DispatcherTest, LockedDeviceRefusesWritesButCommand38IgnoresTheLock) {
  Open();
  state.LockState = 1;
  const Reply refused = Run(1, 17, std::vector<uint8_t>(24, 0x20));
  EXPECT_EQ(refused.code, 16);
  EXPECT_TRUE(refused.data.empty());
  EXPECT_EQ(FileKey(0, 1, "CfgChgCnt_v6"), "13");  // counted all the same
  EXPECT_EQ(Run(1, 38).code, 0);
}

TEST_F(DispatcherTest, WriteProtectionSuppressesTheDataAndKeepsTheStoredValues) {
  Open(IniBuilder().Set(15, 4, "WrProtCode", "1"));
  std::vector<uint8_t> request = Packed("NEWTAG  NEW DESCRIPTOR  ");
  request.insert(request.end(), {1, 2, 99});
  const Reply reply = Run(4, 18, request);
  EXPECT_EQ(reply.code, 7);
  EXPECT_TRUE(reply.data.empty());
  EXPECT_EQ(FileKey(13, 4, "TagName"), "TT-104");
  EXPECT_EQ(FileKey(0, 4, "CfgChgCnt_v6"), "13");
  EXPECT_EQ(Run(4, 38, {0}).code, 7);
}

// With several devices on the line, the active record holds whatever the last command read. A
// write must be guarded and compared against the addressed device's own data.
TEST_F(DispatcherTest, WriteAfterReadingAProtectedDeviceUsesTheAddressedDevicesProtection) {
  Open(IniBuilder().Set(15, 0, "WrProtCode", "1"));
  EXPECT_EQ(Run(0, 15).data[15], 1);  // the active record holds device 0's protection
  const std::vector<uint8_t> message = Packed("WRITTEN TO THE FREE DEVICE 1    ");
  EXPECT_EQ(Run(1, 17, message).code, 0);
  EXPECT_EQ(FileKey(12, 1, "Message"), "WRITTEN TO THE FREE DEVICE 1");

  EXPECT_EQ(Run(1, 15).data[15], 0);  // and now device 1's
  EXPECT_EQ(Run(0, 17, Packed("MUST NOT BE STORED IN DEVICE 0  ")).code, 7);
  EXPECT_EQ(FileKey(12, 0, "Message"), "MESSAGE OF DEVICE 0");
}

TEST_F(DispatcherTest, WriteEqualToAnotherDevicesValueIsStored) {
  Open();
  const Reply device0 = Run(0, 12);
  ASSERT_EQ(device0.data, Packed("MESSAGE OF DEVICE 0             "));
  EXPECT_EQ(Run(1, 17, device0.data).code, 0);
  EXPECT_EQ(FileKey(12, 1, "Message"), "MESSAGE OF DEVICE 0");
  EXPECT_EQ(Run(1, 12).data, device0.data);

  // Likewise the final assembly number: device 3's 0x000007 written to device 4.
  Open(IniBuilder().Set(16, 3, "FinalAssemblyNum1", "7"));
  EXPECT_EQ(Run(3, 16).data, (std::vector<uint8_t>{0, 0, 7}));
  EXPECT_EQ(Run(4, 19, {0, 0, 7}).data, (std::vector<uint8_t>{0, 0, 7}));
  EXPECT_EQ(FileKey(16, 4, "FinalAssemblyNum1"), "7");
  EXPECT_EQ(Run(4, 16).data, (std::vector<uint8_t>{0, 0, 7}));
}

TEST_F(DispatcherTest, Command9TakesTheRevisionOfTheAddressedDevice) {
  Open(IniBuilder().Set(0, 0, "UnivCmdRev", "7"));
  EXPECT_EQ(Run(0, 0).data.size(), 22u);
  EXPECT_EQ(Run(1, 9, {0}).data.size(), 9u);  // device 1 is a HART 6 device: no time stamp
  EXPECT_EQ(Run(0, 9, {0}).data.size(), 13u);
}

TEST_F(DispatcherTest, PrimaryVariablePairCountsAsForeignWhileEitherSectionIs) {
  Open();  // every section holds device 15's data after the full load
  EXPECT_TRUE(HoldsOtherDevice(model, 3, 2));
  store.Refresh(model, 3, 2);
  EXPECT_TRUE(HoldsOtherDevice(model, 3, 2));   // 001 may have been decoded later for 15
  EXPECT_TRUE(HoldsOtherDevice(model, 1, 15));  // 003 may have been decoded later for 2
  EXPECT_FALSE(HoldsOtherDevice(model, 15, 15));
  store.Refresh(model, 1, 2);
  EXPECT_FALSE(HoldsOtherDevice(model, 3, 2));
  EXPECT_FALSE(HoldsOtherDevice(model, 1, 2));
  EXPECT_TRUE(HoldsOtherDevice(model, 15, 2));

  // Without the file known to be there, the device's held texts are decoded, the file unread.
  ASSERT_TRUE(ProfileFile(IniPath()).Write(SectionName(15, 5), "UpRangeValue", "77.000000"));
  store.SetConfigFileFound(false);
  ClaimSections(model, store, 5, std::vector<uint8_t>{15});
  EXPECT_EQ(model.DecodedFor[15], 5);
  EXPECT_NE(model.Active.UpRangeValue, 77.0f);
  store.SetConfigFileFound(true);
  ClaimSections(model, store, 6, std::vector<uint8_t>{15});
  ClaimSections(model, store, 5, std::vector<uint8_t>{15});
  EXPECT_EQ(model.DecodedFor[15], 5);
  EXPECT_EQ(model.Active.UpRangeValue, 77.0f);
}

// A reload of all devices decodes device 15 last; a reply must never mix it into another
// device's data.
TEST_F(DispatcherTest, ConcurrentReloadsNeverMixDevicesInOneReply) {
  Open(IniBuilder().Set(15, 15, "UpRangeValue", "50.000000"));
  std::atomic<bool> done{false};
  std::thread reloader([&] {
    while (!done) {
      store.ReloadAll(model, AllDevices);
      // Lets the command take the lock now and then: an unfair lock retaken at once would
      // starve it for seconds under ThreadSanitizer.
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 200; ++i) {
    const Reply reply = Run(0, 2);
    ASSERT_FLOAT_EQ(FloatAt(reply.data, 4), 25.0f);  // device 0: PV 25 of 0..100
  }
  done = true;
  reloader.join();
}

}  // namespace
}  // namespace qln::test
