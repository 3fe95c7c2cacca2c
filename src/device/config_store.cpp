#include "device/config_store.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>
#include <vector>

#include "base/encodings.h"
#include "device/text_values.h"

namespace qln {
namespace {

// Pending keys named in a report; the rest are counted.
constexpr std::size_t kListedKeys = 12;

std::filesystem::path FilePath(std::filesystem::path directory) {
  if (directory.empty()) {
    std::error_code error;
    directory = std::filesystem::current_path(error);
  }
  return directory / kConfigFileName;
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

const std::string* ConfigStore::Pending(std::string_view section, std::string_view key) const {
  for (const PendingKey& p : pending_) {
    if (p.section == section && p.key == key) return &p.value;
  }
  return nullptr;
}

// A section the file lacks (the file missing, empty, garbage or cut short) is not read as empty
// texts: the model keeps what it holds, so that a device never takes an identity decoded from
// nothing.
void ConfigStore::ReadSectionFrom(const ProfileSnapshot& snapshot, DeviceModel& model,
                                  uint8_t section, uint8_t device) const {
  const auto keys = SectionKeys(section);
  const DeviceRange range = DevicesOf(device);
  for (uint8_t d = range.first; d < range.end && d < kDeviceCount; ++d) {
    const std::string name = SectionName(section, d);
    const bool inFile = snapshot.HasSection(name);
    SectionTexts& texts = model.Table[d].Texts;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (const std::string* pending = Pending(name, keys[i])) {
        texts.Set(section, i, *pending);
      } else if (inFile) {
        texts.Set(section, i, snapshot.Read(name, keys[i]));
      }
    }
  }
}

void ConfigStore::ReadSystemFrom(const ProfileSnapshot& snapshot, DeviceModel& model) const {
  const bool inFile = snapshot.HasSection(kSystemSection);
  const auto read = [&](std::string_view key, std::string& text) {
    if (const std::string* pending = Pending(kSystemSection, key)) {
      text = pending->substr(0, kMaxValueLength);
    } else if (inFile) {
      text = snapshot.Read(kSystemSection, key);
    }
  };
  for (uint8_t d = 0; d < kDeviceCount; ++d) read(DevEnableKey(d), model.System.DevEn[d]);
  read("COMNo", model.System.COMNo);
  read("PreambleMarker", model.System.PreambleMarker);
}

void ConfigStore::LoadAllFrom(const ProfileSnapshot& snapshot, DeviceModel& model,
                              uint8_t device) const {
  ReadSystemFrom(snapshot, model);
  for (uint8_t section : kDeviceSections) ReadSectionFrom(snapshot, model, section, device);
}

ConfigStore::ConfigStore(Notifier& notifier, const Clock& clock, std::filesystem::path directory)
    : notifier_(notifier), clock_(clock), file_(FilePath(std::move(directory))) {}

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
  const auto snapshot = file_.Snapshot();
  const DeviceRange range = DevicesOf(device);
  for (uint8_t d = range.first; d < range.end && d < kDeviceCount; ++d) {
    if (!snapshot->HasSection(SectionName(section, d)) && model.Table[d].Texts.Held(section)) {
      DecodeHeld(model, section, d);
    } else {
      ReadSectionFrom(*snapshot, model, section, d);
      DecodeSection(model, section, d);
    }
  }
}

void ConfigStore::DecodeHeld(DeviceModel& model, uint8_t section, uint8_t device) {
  // A record that holds this device's section already may hold newer values than the texts (a
  // master's write while the file is not known to be there changes the record only).
  if (device < kDeviceCount && model.DecodedFor[section] != device &&
      model.Table[device].Texts.Held(section)) {
    DecodeSection(model, section, device);
  }
}

void ConfigStore::LoadAll(DeviceModel& model, uint8_t device) {
  LoadAllFrom(*file_.Snapshot(), model, device);
}

void ConfigStore::RefreshIdentities(DeviceModel& model) {
  const auto snapshot = file_.Snapshot();
  if (snapshot->Generation() == identitiesOf_.load(std::memory_order_acquire)) return;
  identitiesOf_.store(snapshot->Generation(), std::memory_order_release);
  ReadSectionFrom(*snapshot, model, 0, AllDevices);
  for (uint8_t d = 0; d < kDeviceCount; ++d) {
    if (model.Table[d].Texts.Held(0)) DecodeLongAddress(model, d);
  }
}

bool ConfigStore::IdentitiesStale() {
  return file_.Snapshot()->Generation() != identitiesOf_.load(std::memory_order_acquire);
}

std::string ConfigStore::ReadSystemKey(std::string_view key) {
  return ReadKeys(kSystemSection, std::span(&key, 1)).front();
}

std::vector<std::string> ConfigStore::ReadKeys(std::string_view section,
                                               std::span<const std::string_view> keys) {
  return Texts(section, keys, false);
}

std::vector<std::string> ConfigStore::ReadWholeKeys(std::string_view section,
                                                    std::span<const std::string_view> keys) {
  return Texts(section, keys, true);
}

std::vector<std::string> ConfigStore::Texts(std::string_view section,
                                            std::span<const std::string_view> keys, bool whole) {
  const auto snapshot = file_.Snapshot();
  std::vector<std::string> texts;
  texts.reserve(keys.size());
  for (std::string_view key : keys) {
    const std::string* pending = Pending(section, key);
    texts.push_back(pending != nullptr ? *pending
                    : whole            ? snapshot->ReadWhole(section, key)
                                       : snapshot->Read(section, key));
  }
  return texts;
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
    items_.push_back(
        {SectionName(section, device), std::string(key), std::move(text), device, section});
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
  const std::vector<PendingKey>& Items() const { return items_; }

 private:
  DeviceModel& model_;
  std::vector<PendingKey> items_;
};

void ConfigStore::AppendHeldSystem(const DeviceModel& model, std::vector<PendingKey>& out) {
  for (uint8_t d = 0; d < kDeviceCount; ++d) {
    out.push_back({std::string(kSystemSection), DevEnableKey(d), model.System.DevEn[d]});
  }
  out.push_back({std::string(kSystemSection), "COMNo", model.System.COMNo});
}

void ConfigStore::AppendHeldSection(const DeviceModel& model, uint8_t device, uint8_t section,
                                    std::vector<PendingKey>& out) {
  const SectionTexts& texts = model.Table[device].Texts;
  if (!texts.Held(section)) return;
  const std::string name = SectionName(section, device);
  const auto keys = SectionKeys(section);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    out.push_back({name, std::string(keys[i]), texts.Get(section, i), device, section});
  }
}

void ConfigStore::AppendAssignments(std::span<const PendingKey> keys,
                                    std::vector<ProfileAssignment>& out) {
  for (const PendingKey& p : keys) out.push_back({p.section, p.key, p.value});
}

std::vector<ConfigStore::PendingKey> ConfigStore::HeldTexts(const DeviceModel& model) const {
  std::vector<PendingKey> held;
  AppendHeldSystem(model, held);
  for (uint8_t d = 0; d < kDeviceCount; ++d) {
    for (uint8_t section : kDeviceSections) AppendHeldSection(model, d, section, held);
  }
  return held;
}

std::string ConfigStore::PendingList(std::size_t listed, bool values) const {
  std::string list;
  for (std::size_t i = 0; i < pending_.size() && i < listed; ++i) {
    if (i > 0) list += ", ";
    list.append("[").append(pending_[i].section).append("] ").append(pending_[i].key);
    // Secrets (HART-IP's pre-shared keys and passwords) never reach the console.
    const std::string_view key = pending_[i].key;
    const bool secret = key.ends_with("Key") || key.ends_with("Password");
    if (values) list.append("=").append(secret ? "(secret, not shown)" : pending_[i].value);
  }
  if (pending_.size() > listed) {
    list.append(" and ").append(std::to_string(pending_.size() - listed)).append(" more keys");
  }
  return list;
}

std::string ConfigStore::HeldCount() const {
  return std::to_string(pending_.size()) +
         (pending_.size() == 1 ? " changed key is" : " changed keys are") + " held in memory only";
}

// The pending keys go before the batch's, so that the batch's own keys win where both set one.
// A section the file lacks is written whole, from the model's texts, under them; a missing file
// is recreated with all of the model's texts under them.
Result<> ConfigStore::WriteFile(const DeviceModel& model, std::span<const PendingKey> items) {
  const auto snapshot = file_.Snapshot();
  std::vector<PendingKey> whole;
  std::vector<PendingKey> held;
  if (snapshot->Exists()) {
    std::vector<std::string_view> filled;
    const auto fill = [&](const PendingKey& p) {
      const bool system = p.section == kSystemSection;
      if ((!system && p.device >= kDeviceCount) || snapshot->HasSection(p.section) ||
          std::find(filled.begin(), filled.end(), p.section) != filled.end()) {
        return;
      }
      filled.push_back(p.section);
      if (system) {
        AppendHeldSystem(model, whole);
      } else {
        AppendHeldSection(model, p.device, p.number, whole);
      }
    };
    for (const PendingKey& p : pending_) fill(p);
    for (const PendingKey& p : items) fill(p);
  } else {
    held = HeldTexts(model);
  }
  std::vector<ProfileAssignment> assignments;
  assignments.reserve(whole.size() + pending_.size() + items.size());
  AppendAssignments(whole, assignments);
  AppendAssignments(pending_, assignments);
  AppendAssignments(items, assignments);
  std::vector<ProfileAssignment> restore;
  AppendAssignments(held, restore);
  return file_.Write(assignments, restore);
}

void ConfigStore::Saved() {
  if (failing_ || !pending_.empty()) {
    std::string text = "QLN.ini saved again";
    if (!pending_.empty()) {
      text.append(": the changes held in memory only (")
          .append(PendingList(kListedKeys, false))
          .append(") are in the file now");
    }
    notifier_.Problem(text + ".");
  }
  pending_.clear();
  failing_ = false;
  lastFailure_.clear();
  unreported_ = 0;
  hasPending_.store(false, std::memory_order_release);
  if (!recoveryKept_) return;
  recoveryKept_ = false;
  std::error_code error;
  if (!std::filesystem::remove(RecoveryPath(), error) && error) {
    notifier_.Problem("cannot remove " + RecoveryPath().string() + ": " + error.message() +
                      ". Its changes are in QLN.ini now; remove it, or the next start writes "
                      "them into QLN.ini again.");
  }
}

// The first failure is reported at once; later ones at most every kReportIntervalMs, and only
// when there is news: writes of new changes that failed, or another reason. Retries that fail
// for the reason reported say nothing.
void ConfigStore::ReportFailure(const std::string& reason, bool newChanges) {
  const uint32_t now = clock_.Milliseconds();
  if (!failing_) {
    failing_ = true;
    lastFailure_ = reason;
    lastReportMs_ = now;
    unreported_ = 0;
    notifier_.Problem("QLN.ini could not be saved: " + reason + ". " + HeldCount() + ": " +
                      PendingList(kListedKeys, false) +
                      ". They are written again every few seconds and with the next change; make "
                      "QLN.ini writable (or free space on its disk).");
    return;
  }
  if (newChanges) ++unreported_;
  if ((unreported_ == 0 && reason == lastFailure_) || now - lastReportMs_ < kReportIntervalMs) {
    return;
  }
  std::string text = "QLN.ini still cannot be saved: " + reason + ". ";
  if (unreported_ > 0) {
    text.append(std::to_string(unreported_))
        .append(unreported_ == 1 ? " more write" : " more writes")
        .append(" failed in the last ")
        .append(std::to_string((now - lastReportMs_) / 1000))
        .append(" s; ");
  }
  notifier_.Problem(text + HeldCount() + ": " + PendingList(kListedKeys, false) + ".");
  lastFailure_ = reason;
  lastReportMs_ = now;
  unreported_ = 0;
}

Result<> ConfigStore::Store(DeviceModel& model, const WriteBatch& batch) {
  const std::vector<PendingKey>& items = batch.Items();
  const Result<> written = WriteFile(model, items);
  if (written) {
    Saved();
    return written;
  }
  for (const PendingKey& item : items) {
    auto same = std::find_if(pending_.begin(), pending_.end(), [&](const PendingKey& p) {
      return p.section == item.section && p.key == item.key;
    });
    if (same != pending_.end()) {
      same->value = item.value;
    } else {
      pending_.push_back(item);
    }
  }
  hasPending_.store(!pending_.empty(), std::memory_order_release);
  ReportFailure(written.error(), !items.empty());
  return written;
}

void ConfigStore::RetryPendingWrites(DeviceModel& model) {
  if (!HasPendingWrites()) return;
  std::lock_guard lock(model.Lock);
  const uint32_t now = clock_.Milliseconds();
  if (pending_.empty() || now - lastAttemptMs_ < kRetryIntervalMs) return;
  lastAttemptMs_ = now;
  Store(model, WriteBatch(model));
}

Result<> ConfigStore::SaveAtStop(DeviceModel& model) {
  std::lock_guard lock(model.Lock);
  if (pending_.empty()) return {};
  const Result<> last = WriteFile(model, {});
  if (last) {
    Saved();
    return last;
  }
  std::vector<ProfileAssignment> keys;
  AppendAssignments(pending_, keys);
  const std::string recovery = RecoveryPath().string();
  std::string text = "QLN.ini could not be saved at stop: " + last.error() + ". ";
  if (const Result<> kept = ProfileFile(RecoveryPath()).Write(keys); !kept) {
    return Failure{text + "Nor could the changes be kept beside it (" + kept.error() + "): " +
                   std::to_string(pending_.size()) + " changed keys are lost; enter them again: " +
                   PendingList(pending_.size(), true) + "."};
  }
  recoveryKept_ = true;
  return Failure{text + "The " + std::to_string(pending_.size()) +
                 " changed keys held in memory only are kept in " + recovery + ": " +
                 PendingList(kListedKeys, false) +
                 ". The next start writes them into QLN.ini; make QLN.ini writable (or free "
                 "space on its disk) before it."};
}

void ConfigStore::ApplyRecovery(DeviceModel& model) {
  const auto kept = ProfileFile(RecoveryPath()).Snapshot();
  if (!kept->Exists()) return;
  const std::vector<ProfileEntry> entries = kept->Entries();
  std::error_code error;
  if (entries.empty()) {
    std::filesystem::remove(RecoveryPath(), error);  // nothing to recover
    return;
  }
  const std::string recovery = RecoveryPath().string();
  const std::string count = std::to_string(entries.size());
  if (!file_.Snapshot()->Exists()) {
    notifier_.Problem(recovery + " holds " + count +
                      " changed keys that an earlier run could not save; they are written into "
                      "QLN.ini at the first start that finds it.");
    return;
  }
  std::lock_guard lock(model.Lock);
  WriteBatch batch(model);
  for (const ProfileEntry& entry : entries) batch.Shared(entry.section, entry.key, entry.value);
  if (!Store(model, batch)) {
    recoveryKept_ = true;
    notifier_.Problem(recovery + " is kept until QLN.ini takes its " + count +
                      " changed keys; they are in force meanwhile.");
    return;
  }
  std::filesystem::remove(RecoveryPath(), error);
  notifier_.Problem("QLN.ini: the " + count + " changed keys that an earlier run could not save " +
                    "are written into it now, from " + recovery +
                    (error ? " (which could not be removed: " + error.message() +
                                 "; remove it, or the next start writes them again)."
                           : ", which is removed."));
}

Result<> ConfigStore::WriteKeys(DeviceModel& model, uint8_t device, uint8_t section,
                                std::span<const KeyText> keys) {
  WriteBatch batch(model);
  for (const KeyText& k : keys) batch.Device(device, section, k.key, k.text);
  return Store(model, batch);
}

Result<> ConfigStore::WriteSystemKeys(DeviceModel& model, std::initializer_list<KeyText> keys) {
  WriteBatch batch(model);
  for (const KeyText& k : keys) batch.System(k.key, k.text);
  return Store(model, batch);
}

Result<> ConfigStore::WriteSharedSection(DeviceModel& model, std::string_view section,
                                         std::span<const KeyText> keys) {
  WriteBatch batch(model);
  for (const KeyText& k : keys) batch.Shared(section, k.key, k.text);
  return Store(model, batch);
}

Result<> ConfigStore::SaveRows(DeviceModel& model, std::span<const RowEntry> rows) {
  static constexpr std::string_view kUnitKeys[] = {"PV1Unit", "PV2Unit", "PV3Unit", "PV4Unit"};
  static constexpr std::string_view kValueKeys[] = {"PV1Value", "PV2Value", "PV3Value", "PV4Value"};
  WriteBatch batch(model);
  for (const RowEntry& row : rows) {
    const uint8_t device = row.Device;
    // The long-address text: characters 1-2 MfrID, 3-4 MfrDevType, 5 onwards (at most 6)
    // DevIDNo.
    const std::string_view address = row.LongAddress;
    const auto part = [&](std::size_t from, std::size_t count) {
      return ParseHex(address.substr(std::min(from, address.size()), count));
    };
    const std::string v7 = IntText(ParseHex(row.MfrIDv7) & 0xFFFF);
    batch.System(DevEnableKey(device), IntText(model.Table[device].DevEnable));
    batch.Device(device, 0, "MfrID", IntText(part(0, 2) & 0xFF));
    batch.Device(device, 0, "MfrDevType", IntText(part(2, 2) & 0xFF));
    batch.Device(device, 0, "DevIDNo", IntText(part(4, 6) & 0xFFFFFF));
    batch.Device(device, 0, "MfrID_v7", v7);
    batch.Device(device, 0, "LblDist_v7", v7);
    // The PV's value and unit go to sections 001 and 003, its unit to 015's range unit too.
    for (std::size_t i = 0; i < 4; ++i) {
      if (row.Values[i]) {
        const std::string value = ValueText(ParseDouble(*row.Values[i]));
        if (i == 0) batch.Device(device, 1, kValueKeys[0], value);
        batch.Device(device, 3, kValueKeys[i], value);
      }
      if (row.Units[i]) {
        const std::string unit = IntText(*row.Units[i]);
        if (i == 0) {
          batch.Device(device, 1, kUnitKeys[0], unit);
          batch.Device(device, 15, "RangeUnit", unit);
        }
        batch.Device(device, 3, kUnitKeys[i], unit);
      }
    }
  }
  return Store(model, batch);
}

Result<> ConfigStore::SaveRevision(DeviceModel& model, uint8_t revision) {
  WriteBatch batch(model);
  for (uint8_t d = 0; d < kDeviceCount; ++d) batch.Device(d, 0, "UnivCmdRev", IntText(revision));
  return Store(model, batch);
}

Result<> ConfigStore::SavePort(DeviceModel& model, unsigned port) {
  return WriteSystemKeys(model, {{"COMNo", IntText(port)}});
}

Result<> ConfigStore::NoteConfigChangeFile(DeviceModel& model, uint8_t device) {
  Refresh(model, 0, device);
  const auto counter = static_cast<uint16_t>(model.Active.CfgChgCnt_v6 + 1);
  // The active record holds this device's section 000 now; keep it equal to the texts.
  model.Active.CfgChgCnt_v6 = counter;
  return WriteKeys(model, device, 0, {{"CfgChgCnt_v6", IntText(counter)}});
}

}  // namespace qln
