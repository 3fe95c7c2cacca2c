#include "device/device_model.h"

#include <algorithm>

#include "base/encodings.h"
#include "device/text_values.h"

namespace qln {
namespace {

const std::string kEmpty;
constexpr std::size_t kMaxTextLength = 63;

uint8_t U8(const std::string& text) { return static_cast<uint8_t>(ParseUnsigned(text)); }
uint16_t U16(const std::string& text) { return static_cast<uint16_t>(ParseUnsigned(text)); }
uint32_t U24(const std::string& text) { return ParseUnsigned(text) & 0xFFFFFFu; }
float F32(const std::string& text) { return static_cast<float>(ParseDouble(text)); }

// Pads the text with spaces to its field's character count (dropping what does not fit) and
// packs it.
template <std::size_t N>
void PackField(const std::string& text, std::array<uint8_t, N>& field) {
  std::string padded = text.substr(0, N * 4 / 3);
  padded.resize(N * 4 / 3, ' ');
  std::size_t count = 0;
  PackAscii(padded, field.data(), &count);
}

std::array<uint8_t, 5> LongAddressOf(uint8_t mfrId, uint8_t devType, uint32_t devIdNo) {
  return {mfrId, devType, static_cast<uint8_t>(devIdNo >> 16), static_cast<uint8_t>(devIdNo >> 8),
          static_cast<uint8_t>(devIdNo)};
}

// Three keys of 8-bit values, least significant first.
uint32_t ThreeKeyNumber(const SectionTexts& texts, uint8_t section) {
  return U8(texts.Get(section, std::size_t{0})) + 256u * U8(texts.Get(section, std::size_t{1})) +
         65536u * U8(texts.Get(section, std::size_t{2}));
}

void DecodeOne(DeviceModel& model, uint8_t section, uint8_t device) {
  DeviceEntry& entry = model.Table[device];
  const SectionTexts& t = entry.Texts;
  DeviceRecord& r = model.Active;
  const auto text = [&](std::string_view key) -> const std::string& { return t.Get(section, key); };
  switch (section) {
    case 0:
      r.MfrID = U8(text("MfrID"));
      r.MfrDevType = U8(text("MfrDevType"));
      r.ReqPreambleNum = U8(text("ReqPreambleNum"));
      r.UnivCmdRev = U8(text("UnivCmdRev"));
      r.DevSpecCmdRev = U8(text("DevSpecCmdRev"));
      r.SWRev = U8(text("SWRev"));
      r.HWRev = U8(text("HWRev"));
      r.DevFuncFlag = U8(text("DevFuncFlag"));
      r.DevIDNo = U24(text("DevIDNo"));
      r.MinPreNumS2M_v6 = U8(text("MinPreNumS2M_v6"));
      r.MaxDevVarNum_v6 = U8(text("MaxDevVarNum_v6"));
      r.CfgChgCnt_v6 = U16(text("CfgChgCnt_v6"));
      r.ExtDevSta_v6 = U8(text("ExtDevSta_v6"));
      r.MfrID_v7 = U16(text("MfrID_v7"));
      r.LblDist_v7 = U16(text("LblDist_v7"));
      r.DevProfile_v7 = U8(text("DevProfile_v7"));
      entry.LongAddress = LongAddressOf(r.MfrID, r.MfrDevType, r.DevIDNo);
      break;
    case 1:
      r.PV1Unit = U8(text("PV1Unit"));
      r.PV1Value = F32(text("PV1Value"));
      break;
    case 3:
      r.PV1Unit = U8(text("PV1Unit"));
      r.PV1Value = F32(text("PV1Value"));
      r.PV2Unit = U8(text("PV2Unit"));
      r.PV2Value = F32(text("PV2Value"));
      r.PV3Unit = U8(text("PV3Unit"));
      r.PV3Value = F32(text("PV3Value"));
      r.PV4Unit = U8(text("PV4Unit"));
      r.PV4Value = F32(text("PV4Value"));
      break;
    case 12:
      PackField(text("Message"), r.Message);
      break;
    case 13:
      PackField(text("TagName"), r.TagName);
      PackField(text("Descriptor"), r.Descriptor);
      r.Day = U8(text("Day"));
      r.Month = U8(text("Month"));
      r.Year = static_cast<uint8_t>(ParseUnsigned(text("Year")) - 1900u);
      break;
    case 14:
      r.TransducerSN = ThreeKeyNumber(t, section);
      r.LimitUnit = U8(text("LimitUnit"));
      r.UpLimit = F32(text("UpLimit"));
      r.LoLimit = F32(text("LoLimit"));
      r.MinSpan = F32(text("MinSpan"));
      break;
    case 15:
      r.PVAlmSelCode = U8(text("PVAlmSelCode"));
      r.PVTransferFC = U8(text("PVTransferFC"));
      r.RangeUnit = U8(text("RangeUnit"));
      r.UpRangeValue = F32(text("UpRangeValue"));
      r.LoRangeValue = F32(text("LoRangeValue"));
      r.PVDampValue = F32(text("PVDampValue"));
      r.WrProtCode = U8(text("WrProtCode"));
      break;
    case 16:
      r.FinalAssemblyNum = ThreeKeyNumber(t, section);
      break;
    case 20:
      for (std::size_t i = 0; i < r.LongTag.size(); ++i) r.LongTag[i] = U8(t.Get(section, i));
      break;
    case 48:
      for (std::size_t i = 0; i < r.Cmd48Status.size(); ++i) {
        // Byte 13 is the command layer's analog-fixed byte, not the file's AnalogChFix13.
        if (i != 13) r.Cmd48Status[i] = U8(t.Get(section, i));
      }
      break;
    case 59:
      entry.ResPreableNum = U8(text("ResPreableNum"));
      break;
    case 108:
      entry.BurstCmdNo = U8(text("BurstCmdNo"));
      break;
    case 109:
      r.BurstMode = U8(text("BurstMode"));  // which device bursts: SelectBurstDevice
      break;
    default:
      return;
  }
  model.DecodedFor[section] = device;
}

}  // namespace

const std::string& SectionTexts::Get(uint8_t section, std::string_view key) const {
  const auto index = KeyIndex(section, key);
  return index ? Get(section, *index) : kEmpty;
}

const std::string& SectionTexts::Get(uint8_t section, std::size_t keyIndex) const {
  const auto& texts = sections_[section];
  return keyIndex < texts.size() ? texts[keyIndex] : kEmpty;
}

void SectionTexts::Set(uint8_t section, std::string_view key, std::string_view text) {
  if (const auto index = KeyIndex(section, key)) Set(section, *index, text);
}

void SectionTexts::Set(uint8_t section, std::size_t keyIndex, std::string_view text) {
  auto& texts = sections_[section];
  if (keyIndex >= texts.size()) texts.resize(keyIndex + 1);
  texts[keyIndex].assign(text.substr(0, kMaxTextLength));
}

LinkView BuildLinkView(const DeviceModel& model) {
  LinkView view;
  for (uint8_t d = 0; d < kDeviceCount; ++d) {
    const DeviceEntry& entry = model.Table[d];
    LinkDevice& device = view.Devices[d];
    device.Enabled = entry.DevEnable == 1;
    device.LongAddress = entry.LongAddress;
    device.Preambles = static_cast<uint8_t>(std::min<uint32_t>(entry.ResPreableNum, 0xFF));
    PackField(entry.Texts.Get(13, "TagName"), device.TagName);
    for (std::size_t i = 0; i < device.LongTag.size(); ++i) {
      device.LongTag[i] = U8(entry.Texts.Get(20, i));
    }
  }
  view.PreambleMarker = ParseUnsigned(model.System.PreambleMarker) != 0;
  return view;
}

void ModelMutex::unlock() {
  model_.Link.Publish(BuildLinkView(model_));
  mutex_.unlock();
}

DeviceModel::DeviceModel() {
  Table[0].ResPreableNum = 5;
  Table[0].BurstCmdNo = 3;
  DecodedFor.fill(kNoDevice);
}

DeviceRange DevicesOf(uint8_t device) {
  if (device == AllDevices) return {0, kDeviceCount};
  return {device, static_cast<uint8_t>(device + 1)};
}

void DecodeSection(DeviceModel& model, uint8_t section, uint8_t device) {
  const DeviceRange range = DevicesOf(device);
  for (uint8_t d = range.first; d < range.end && d < kDeviceCount; ++d)
    DecodeOne(model, section, d);
}

void DecodeLongAddress(DeviceModel& model, uint8_t device) {
  const SectionTexts& t = model.Table[device].Texts;
  model.Table[device].LongAddress =
      LongAddressOf(U8(t.Get(0, "MfrID")), U8(t.Get(0, "MfrDevType")), U24(t.Get(0, "DevIDNo")));
}

void DecodeAll(DeviceModel& model, uint8_t device) {
  for (uint8_t section : kDeviceSections) DecodeSection(model, section, device);
  SelectBurstDevice(model);
}

void SelectBurstDevice(DeviceModel& model) {
  BurstControl& burst = model.Burst;
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    const DeviceEntry& entry = model.Table[device];
    const uint8_t mode = U8(entry.Texts.Get(109, "BurstMode"));
    if (entry.DevEnable != 1 || mode == 0) continue;
    if (burst.Enable.load(std::memory_order_acquire) == mode && burst.Device == device) return;
    burst.Enable.store(0, std::memory_order_release);  // the worker sees it off while it moves
    burst.Prepared.Clear();
    burst.Device = device;
    burst.LongAddress = entry.LongAddress;
    burst.Enable.store(mode, std::memory_order_release);
    return;
  }
  burst.Enable.store(0, std::memory_order_release);
}

}  // namespace qln
