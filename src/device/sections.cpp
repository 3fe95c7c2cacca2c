#include "device/sections.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace qln {
namespace {

constexpr std::string_view kSection000[] = {
    "MfrID",         "MfrDevType",      "ReqPreambleNum",  "UnivCmdRev",
    "DevSpecCmdRev", "SWRev",           "HWRev",           "DevFuncFlag",
    "DevIDNo",       "MinPreNumS2M_v6", "MaxDevVarNum_v6", "CfgChgCnt_v6",
    "ExtDevSta_v6",  "MfrID_v7",        "LblDist_v7",      "DevProfile_v7"};
constexpr std::string_view kSection001[] = {"PV1Unit", "PV1Value"};
constexpr std::string_view kSection003[] = {"PV1Unit", "PV1Value", "PV2Unit", "PV2Value",
                                            "PV3Unit", "PV3Value", "PV4Unit", "PV4Value"};
constexpr std::string_view kSection012[] = {"Message"};
constexpr std::string_view kSection013[] = {"TagName", "Descriptor", "Day", "Month", "Year"};
constexpr std::string_view kSection014[] = {"TransducerSN1", "TransducerSN2", "TransducerSN3",
                                            "LimitUnit",     "UpLimit",       "LoLimit",
                                            "MinSpan"};
constexpr std::string_view kSection015[] = {"PVAlmSelCode", "PVTransferFC", "RangeUnit",
                                            "UpRangeValue", "LoRangeValue", "PVDampValue",
                                            "WrProtCode"};
constexpr std::string_view kSection016[] = {"FinalAssemblyNum1", "FinalAssemblyNum2",
                                            "FinalAssemblyNum3"};
constexpr std::string_view kSection020[] = {
    "LongTag1",  "LongTag2",  "LongTag3",  "LongTag4",  "LongTag5",  "LongTag6",  "LongTag7",
    "LongTag8",  "LongTag9",  "LongTag10", "LongTag11", "LongTag12", "LongTag13", "LongTag14",
    "LongTag15", "LongTag16", "LongTag17", "LongTag18", "LongTag19", "LongTag20", "LongTag21",
    "LongTag22", "LongTag23", "LongTag24", "LongTag25", "LongTag26", "LongTag27", "LongTag28",
    "LongTag29", "LongTag30", "LongTag31", "LongTag32"};
constexpr std::string_view kSection048[] = {
    "DevSpecSta0",   "DevSpecSta1",   "DevSpecSta2",   "DevSpecSta3",   "DevSpecSta4",
    "DevSpecSta5",   "ExtDevSta6",    "DevOpMode7",    "AnalogChSat8",  "AnalogChSat9",
    "AnalogChSat10", "AnalogChFix11", "AnalogChFix12", "AnalogChFix13", "DevSpecSta14",
    "DevSpecSta15",  "DevSpecSta16",  "DevSpecSta17",  "DevSpecSta18",  "DevSpecSta19",
    "DevSpecSta20",  "DevSpecSta21",  "DevSpecSta22",  "DevSpecSta23",  "DevSpecSta24"};
constexpr std::string_view kSection059[] = {"ResPreableNum"};
constexpr std::string_view kSection108[] = {"BurstCmdNo"};
constexpr std::string_view kSection109[] = {"BurstMode"};

}  // namespace

std::span<const std::string_view> SectionKeys(uint8_t section) {
  switch (section) {
    case 0:
      return kSection000;
    case 1:
      return kSection001;
    case 3:
      return kSection003;
    case 12:
      return kSection012;
    case 13:
      return kSection013;
    case 14:
      return kSection014;
    case 15:
      return kSection015;
    case 16:
      return kSection016;
    case 20:
      return kSection020;
    case 48:
      return kSection048;
    case 59:
      return kSection059;
    case 108:
      return kSection108;
    case 109:
      return kSection109;
    default:
      return {};
  }
}

std::optional<std::size_t> KeyIndex(uint8_t section, std::string_view key) {
  if (IsSpecCmd(section)) {
    if (key == "ParamNum") return 0;
    constexpr std::string_view prefix = "Param";
    if (!key.starts_with(prefix)) return std::nullopt;
    std::size_t index = 0;
    const char* first = key.data() + prefix.size();
    const char* last = key.data() + key.size();
    const auto result = std::from_chars(first, last, index);
    if (result.ec != std::errc() || result.ptr != last || index < 1 || index > 255 ||
        *first == '0') {
      return std::nullopt;
    }
    return index;
  }
  const auto keys = SectionKeys(section);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return i;
  }
  return std::nullopt;
}

std::string SectionName(uint8_t section, uint8_t device) {
  char name[32];
  if (IsSpecCmd(section)) {
    std::snprintf(name, sizeof name, "HTDevAll_SpecCmd%03d", section);
  } else {
    std::snprintf(name, sizeof name, "HTDev%02d_Cmd%03d", device, section);
  }
  return name;
}

std::string SpecCmdKey(std::size_t index) {
  return index == 0 ? std::string("ParamNum") : "Param" + std::to_string(index);
}

std::string DevEnableKey(uint8_t device) {
  char name[16];
  std::snprintf(name, sizeof name, "Dev%02d_En", device);
  return name;
}

}  // namespace qln
