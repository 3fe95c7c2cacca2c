#include "device/config_store.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>
#include <vector>

#include "device/text_values.h"
#include "link/encodings.h"

namespace qln {
namespace {

std::filesystem::path FilePath(std::filesystem::path directory) {
  if (directory.empty()) {
    std::error_code error;
    directory = std::filesystem::current_path(error);
  }
  return directory / kConfigFileName;
}

void ReadSectionFrom(const ProfileSnapshot& snapshot, DeviceModel& model, uint8_t section,
                     uint8_t device) {
  const auto keys = SectionKeys(section);
  const DeviceRange range = DevicesOf(device);
  for (uint8_t d = range.first; d < range.end && d < kDeviceCount; ++d) {
    const std::string name = SectionName(section, d);
    SectionTexts& texts = model.Table[d].Texts;
    for (std::size_t i = 0; i < keys.size(); ++i) texts.Set(section, i, snapshot.Read(name, keys[i]));
  }
}

void ReadSystemFrom(const ProfileSnapshot& snapshot, DeviceModel& model) {
  for (uint8_t d = 0; d < kDeviceCount; ++d) {
    model.System.DevEn[d] = snapshot.Read(kSystemSection, DevEnableKey(d));
  }
  model.System.COMNo = snapshot.Read(kSystemSection, "COMNo");
  model.System.PreambleMarker = snapshot.Read(kSystemSection, "PreambleMarker");
}

void LoadAllFrom(const ProfileSnapshot& snapshot, DeviceModel& model, uint8_t device) {
  ReadSystemFrom(snapshot, model);
  for (uint8_t section : kDeviceSections) ReadSectionFrom(snapshot, model, section, device);
}

}  // namespace

std::string IntText(uint32_t value) { return std::to_string(value); }

std::string FloatText(double value) { return FormatFixed6(value); }

std::string PackedText(const uint8_t* packed, std::size_t length) {
  std::array<char, 256> text{};
  std::size_t count = 0;
  UnpackAscii(packed, length, text.data(), &count);
  return std::string(text.data(), count);
}

ConfigStore::ConfigStore(Notifier& notifier, std::filesystem::path directory)
    : notifier_(notifier), file_(FilePath(std::move(directory))) {}

bool ConfigStore::CheckFile() {
  std::error_code error;
  const bool readable = ::access(file_.Path().c_str(), R_OK) == 0 &&
                        !std::filesystem::is_directory(file_.Path(), error);
  if (!readable) notifier_.Warning(std::string(kFileMissingText), std::string(kFileMissingCaption));
  return readable;
}

void ConfigStore::ReadSystem(DeviceModel& model) { ReadSystemFrom(*file_.Snapshot(), model); }

void ConfigStore::ReadSection(DeviceModel& model, uint8_t section, uint8_t device) {
  ReadSectionFrom(*file_.Snapshot(), model, section, device);
}

void ConfigStore::Refresh(DeviceModel& model, uint8_t section, uint8_t device) {
  ReadSection(model, section, device);
  DecodeSection(model, section, device);
}

void ConfigStore::LoadAll(DeviceModel& model, uint8_t device) {
  LoadAllFrom(*file_.Snapshot(), model, device);
}

std::string ConfigStore::ReadSystemKey(std::string_view key) {
  return file_.Snapshot()->Read(kSystemSection, key);
}

bool ConfigStore::ReloadAll(DeviceModel& model, uint8_t device) {
  if (!CheckFile()) return false;
  const auto snapshot = file_.Snapshot();
  std::lock_guard lock(model.Lock);
  LoadAllFrom(*snapshot, model, device);
  DecodeAll(model, device);
  return true;
}

bool ConfigStore::CheckAndLoadForOpen(DeviceModel& model) {
  const bool found = CheckFile();
  SetConfigFileFound(found);
  if (found) {
    const auto snapshot = file_.Snapshot();
    std::lock_guard lock(model.Lock);
    LoadAllFrom(*snapshot, model, AllDevices);
    DecodeAll(model, AllDevices);
  }
  return found;
}

// Collects the keys of one store operation: their texts change in the model at once, and the
// file receives them together in one replacement.
class ConfigStore::WriteBatch {
 public:
  explicit WriteBatch(DeviceModel& model) : model_(model) {}

  void Device(uint8_t device, uint8_t section, std::string_view key, std::string text) {
    model_.Table[device].Texts.Set(section, key, text);
    items_.push_back({SectionName(section, device), std::string(key), std::move(text)});
  }
  void System(std::string_view key, std::string text) {
    const std::string held = text.substr(0, kMaxValueLength);
    if (key == "COMNo") model_.System.COMNo = held;
    for (uint8_t d = 0; d < kDeviceCount; ++d) {
      if (key == DevEnableKey(d)) model_.System.DevEn[d] = held;
    }
    items_.push_back({std::string(kSystemSection), std::string(key), std::move(text)});
  }
  void Shared(std::string_view section, std::string_view key, std::string text) {
    items_.push_back({std::string(section), std::string(key), std::move(text)});
  }
  std::vector<ProfileAssignment> Assignments() const {
    std::vector<ProfileAssignment> assignments;
    assignments.reserve(items_.size());
    for (const Item& item : items_) assignments.push_back({item.section, item.key, item.value});
    return assignments;
  }

 private:
  struct Item {
    std::string section;
    std::string key;
    std::string value;
  };
  DeviceModel& model_;
  std::vector<Item> items_;
};

bool ConfigStore::Store(const WriteBatch& batch) {
  const std::string failure = file_.Write(batch.Assignments());
  if (failure.empty()) return true;
  notifier_.Problem("QLN.ini could not be saved: " + failure +
                    ". The change is held in memory only; make the file writable and repeat it.");
  return false;
}

bool ConfigStore::WriteKeys(DeviceModel& model, uint8_t device, uint8_t section,
                            std::span<const KeyText> keys) {
  WriteBatch batch(model);
  for (const KeyText& k : keys) batch.Device(device, section, k.key, k.text);
  return Store(batch);
}

bool ConfigStore::WriteSystemKeys(DeviceModel& model, std::initializer_list<KeyText> keys) {
  WriteBatch batch(model);
  for (const KeyText& k : keys) batch.System(k.key, k.text);
  return Store(batch);
}

bool ConfigStore::WriteSharedSection(DeviceModel& model, std::string_view section,
                                     std::span<const KeyText> keys) {
  WriteBatch batch(model);
  for (const KeyText& k : keys) batch.Shared(section, k.key, k.text);
  return Store(batch);
}

bool ConfigStore::SaveRow(DeviceModel& model, uint8_t device, const RowEntry& row) {
  // The long-address text: characters 1-2 MfrID, 3-4 MfrDevType, 5 onwards (at most 6) DevIDNo.
  const std::string_view address = row.LongAddress;
  const auto part = [&](std::size_t from, std::size_t count) {
    return ParseHex(address.substr(std::min(from, address.size()), count));
  };
  const std::string v7 = IntText(ParseHex(row.MfrIDv7) & 0xFFFF);
  const auto value = [&](int i) { return FloatText(ParseDouble(row.Values[i])); };
  const auto unit = [&](int i) { return IntText(row.Units[i]); };

  WriteBatch batch(model);
  batch.System(DevEnableKey(device), IntText(model.Table[device].DevEnable));
  batch.Device(device, 0, "MfrID", IntText(part(0, 2) & 0xFF));
  batch.Device(device, 0, "MfrDevType", IntText(part(2, 2) & 0xFF));
  batch.Device(device, 0, "DevIDNo", IntText(part(4, 6) & 0xFFFFFF));
  batch.Device(device, 0, "MfrID_v7", v7);
  batch.Device(device, 0, "LblDist_v7", v7);
  batch.Device(device, 1, "PV1Unit", unit(0));
  batch.Device(device, 1, "PV1Value", value(0));
  static constexpr std::string_view kUnitKeys[] = {"PV1Unit", "PV2Unit", "PV3Unit", "PV4Unit"};
  static constexpr std::string_view kValueKeys[] = {"PV1Value", "PV2Value", "PV3Value", "PV4Value"};
  for (int i = 0; i < 4; ++i) {
    batch.Device(device, 3, kUnitKeys[i], unit(i));
    batch.Device(device, 3, kValueKeys[i], value(i));
  }
  batch.Device(device, 15, "RangeUnit", unit(0));
  return Store(batch);
}

bool ConfigStore::SaveRevision(DeviceModel& model, uint8_t revision) {
  WriteBatch batch(model);
  for (uint8_t d = 0; d < kDeviceCount; ++d) batch.Device(d, 0, "UnivCmdRev", IntText(revision));
  return Store(batch);
}

bool ConfigStore::SavePort(DeviceModel& model, unsigned port) {
  return WriteSystemKeys(model, {{"COMNo", IntText(port)}});
}

bool ConfigStore::NoteConfigChangeFile(DeviceModel& model, uint8_t device) {
  Refresh(model, 0, device);
  const auto counter = static_cast<uint16_t>(model.Active.CfgChgCnt_v6 + 1);
  // The active record holds this device's section 000 now; keep it equal to the texts.
  model.Active.CfgChgCnt_v6 = counter;
  return WriteKeys(model, device, 0, {{"CfgChgCnt_v6", IntText(counter)}});
}

}  // namespace qln
