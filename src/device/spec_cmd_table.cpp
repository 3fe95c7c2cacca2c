#include "device/spec_cmd_table.h"

#include <algorithm>
#include <string>
#include <vector>

#include "device/text_values.h"

namespace qln {
namespace {

uint8_t Byte(std::string_view text) { return static_cast<uint8_t>(ParseUnsigned(text)); }

}  // namespace

bool LoadSpecCmd(ConfigStore& store, SpecCmdEntry& entry) {
  constexpr std::size_t kParamNumRoom = 99;
  const auto snapshot = store.Snapshot();
  const std::string section = SectionName(entry.CommandNumber, 0);
  const std::string count = snapshot->ReadWhole(section, SpecCmdKey(0)).substr(0, kParamNumRoom);
  entry.ParamNum = std::min(Byte(count), kSpecCmdWindowBytes);
  for (std::size_t i = 1; i <= entry.ParamNum; ++i) {
    entry.Data[i - 1] = Byte(snapshot->Read(section, SpecCmdKey(i)));
  }
  return !count.empty();
}

Result<> SaveSpecCmd(ConfigStore& store, DeviceModel& model, const SpecCmdEntry& entry) {
  std::vector<std::string> keys;
  std::vector<KeyText> texts;
  keys.reserve(kSpecCmdWindowBytes + 1);
  texts.reserve(kSpecCmdWindowBytes + 1);
  for (std::size_t i = 0; i <= kSpecCmdWindowBytes; ++i) keys.push_back(SpecCmdKey(i));
  texts.push_back({keys[0], IntText(entry.ParamNum)});
  for (std::size_t i = 1; i <= kSpecCmdWindowBytes; ++i) {
    texts.push_back({keys[i], IntText(i <= entry.ParamNum ? entry.Data[i - 1] : 0)});
  }
  return store.WriteSharedSection(model, SectionName(entry.CommandNumber, 0), texts);
}

void ReadSpecCmd(ConfigStore& store, DeviceModel& model, uint8_t device, uint8_t command) {
  const auto snapshot = store.Snapshot();
  const std::string section = SectionName(command, 0);
  const DeviceRange range = DevicesOf(device);
  for (uint8_t d = range.first; d < range.end && d < kDeviceCount; ++d) {
    SectionTexts& texts = model.Table[d].Texts;
    texts.Set(command, std::size_t{0}, snapshot->Read(section, SpecCmdKey(0)));
    const uint8_t count = Byte(texts.Get(command, std::size_t{0}));
    for (std::size_t i = 1; i <= count; ++i)
      texts.Set(command, i, snapshot->Read(section, SpecCmdKey(i)));
  }
}

void DecodeSpecCmd(DeviceModel& model, uint8_t device, uint8_t command) {
  const DeviceRange range = DevicesOf(device);
  for (uint8_t d = range.first; d < range.end && d < kDeviceCount; ++d) {
    const SectionTexts& texts = model.Table[d].Texts;
    SpecCmdReply& reply = model.SpecCmd;
    reply.Count = std::min(Byte(texts.Get(command, std::size_t{0})), kMaxReplyDataBytes);
    for (std::size_t i = 1; i <= reply.Count; ++i) reply.Data[i - 1] = Byte(texts.Get(command, i));
  }
}

}  // namespace qln
