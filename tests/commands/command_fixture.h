// A command layer over a temporary QLN.ini: sixteen ordinary devices, overridable key by key,
// and a way to run one request through Dispatch and look at the reply and the file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/encodings.h"
#include "commands/dispatcher.h"
#include "device/sections.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace qln::test {

// Device d: MfrID 38, DevIDNo 0x123400 + d, revision 6, change counter 12, PV 25 + d Deg.C,
// range 0..100 Deg.C, limits -50..200, message "MESSAGE OF DEVICE d", final assembly number 1.
class IniBuilder {
 public:
  IniBuilder() {
    Set("HTDev_Sys", "COMNo", "3");
    for (int d = 0; d < kDeviceCount; ++d) AddDevice(d);
  }
  IniBuilder& Set(uint8_t section, uint8_t device, const std::string& key,
                  const std::string& value) {
    return Set(SectionName(section, device), key, value);
  }
  IniBuilder& Set(const std::string& section, const std::string& key, const std::string& value) {
    auto& keys = sections_[section];
    for (auto& [k, v] : keys) {
      if (k == key) {
        v = value;
        return *this;
      }
    }
    keys.emplace_back(key, value);
    return *this;
  }
  std::string Text() const {
    std::string text;
    for (const auto& [section, keys] : sections_) {
      text += "[" + section + "]\n";
      for (const auto& [k, v] : keys) text += k + "=" + v + "\n";
      text += "\n";
    }
    return text;
  }

 private:
  void AddDevice(int d) {
    const auto dev = static_cast<uint8_t>(d);
    Set("HTDev_Sys", DevEnableKey(dev), "1");
    const std::pair<const char*, std::string> identity[] = {
        {"MfrID", "38"},
        {"MfrDevType", "5"},
        {"ReqPreambleNum", "5"},
        {"UnivCmdRev", "6"},
        {"DevSpecCmdRev", "1"},
        {"SWRev", "3"},
        {"HWRev", "9"},
        {"DevFuncFlag", "0"},
        {"DevIDNo", std::to_string(0x123400 + d)},
        {"MinPreNumS2M_v6", "5"},
        {"MaxDevVarNum_v6", "4"},
        {"CfgChgCnt_v6", "12"},
        {"ExtDevSta_v6", "0"},
        {"MfrID_v7", "38"},
        {"LblDist_v7", "39"},
        {"DevProfile_v7", "1"}};
    for (const auto& [k, v] : identity) Set(0, dev, k, v);
    const std::string pv = std::to_string(25 + d) + ".000000";
    Set(1, dev, "PV1Unit", "32").Set(1, dev, "PV1Value", pv);
    Set(3, dev, "PV1Unit", "32").Set(3, dev, "PV1Value", pv);
    Set(3, dev, "PV2Unit", "33").Set(3, dev, "PV2Value", "24.500000");
    Set(3, dev, "PV3Unit", "39").Set(3, dev, "PV3Value", "12.000000");
    Set(3, dev, "PV4Unit", "57").Set(3, dev, "PV4Value", "50.000000");
    Set(12, dev, "Message", "MESSAGE OF DEVICE " + std::to_string(d));
    Set(13, dev, "TagName", "TT-" + std::to_string(100 + d)).Set(13, dev, "Descriptor", "INLET");
    Set(13, dev, "Day", "15").Set(13, dev, "Month", "6").Set(13, dev, "Year", "2015");
    Set(14, dev, "TransducerSN1", "57").Set(14, dev, "TransducerSN2", "48");
    Set(14, dev, "TransducerSN3", "0").Set(14, dev, "LimitUnit", "32");
    Set(14, dev, "UpLimit", "200.000000").Set(14, dev, "LoLimit", "-50.000000");
    Set(14, dev, "MinSpan", "10.000000");
    Set(15, dev, "PVAlmSelCode", "0").Set(15, dev, "PVTransferFC", "0");
    Set(15, dev, "RangeUnit", "32").Set(15, dev, "UpRangeValue", "100.000000");
    Set(15, dev, "LoRangeValue", "0.000000").Set(15, dev, "PVDampValue", "0.500000");
    Set(15, dev, "WrProtCode", "0");
    Set(16, dev, "FinalAssemblyNum1", "1").Set(16, dev, "FinalAssemblyNum2", "0");
    Set(16, dev, "FinalAssemblyNum3", "0");
    for (int i = 1; i <= 32; ++i) Set(20, dev, "LongTag" + std::to_string(i), "32");
    Set(59, dev, "ResPreableNum", "5");
    Set(108, dev, "BurstCmdNo", "1");
    Set(109, dev, "BurstMode", "0");
  }

  std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections_;
};

struct Reply {
  uint8_t code;
  uint8_t status;
  std::vector<uint8_t> data;
};

class CommandTest : public ::testing::Test {
 protected:
  std::filesystem::path IniPath() const { return dir.Path() / "QLN.ini"; }

  // Writes the file and loads it as opening the port does.
  void Open(const IniBuilder& ini = IniBuilder()) {
    WriteFile(IniPath(), ini.Text());
    ASSERT_TRUE(store.CheckAndLoadForOpen(model));
  }

  Reply Run(uint8_t device, uint8_t command, const std::vector<uint8_t>& request = {}) {
    exchange.Command = command;
    exchange.ByteCount = static_cast<uint8_t>(request.size());
    std::copy(request.begin(), request.end(), exchange.Data.begin());
    exchange.Note = ReplyNote::None;
    exchange.Publish(ExchangeState::RequestPending);
    Dispatch(ctx, device);
    EXPECT_EQ(exchange.LoadState(), ExchangeState::ReplyReady);
    exchange.Publish(ExchangeState::Idle);
    return {
        exchange.ResponseCode, exchange.DeviceStatus,
        std::vector<uint8_t>(exchange.Data.begin(), exchange.Data.begin() + exchange.ByteCount)};
  }

  // A key as the file holds it now.
  std::string FileKey(uint8_t section, uint8_t device, const std::string& key) {
    return store.Snapshot()->Read(SectionName(section, device), key);
  }

  static std::vector<uint8_t> Packed(const std::string& text) {
    std::vector<uint8_t> out(text.size() * 3 / 4);
    std::size_t count = 0;
    PackAscii(text, out.data(), &count);
    return out;
  }
  static float FloatAt(const std::vector<uint8_t>& data, std::size_t offset) {
    return DecodeFloat(data.data() + offset);
  }
  static std::vector<uint8_t> FloatBytes(float value) {
    std::vector<uint8_t> out(4);
    EncodeFloat(value, out.data());
    return out;
  }

  TempDir dir;
  FakeNotifier notifier;
  FakeClock clock;
  DeviceModel model;
  ConfigStore store{notifier, clock, dir.Path()};
  CommandExchange exchange;
  CommandState state;
  CommunicationCounters counters;
  CommandContext ctx{model, store, exchange, state, clock, counters};
};

}  // namespace qln::test
