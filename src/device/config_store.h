// The configuration store: QLN.ini as the live store of the sixteen devices. Reads fill the
// devices' SectionTexts and the system texts; writes format a value into the SectionTexts and
// put it into the file at once.
//
// Unless an operation says otherwise, the caller holds the model lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/notifier.h"
#include "base/result.h"
#include "device/device_model.h"
#include "device/profile_file.h"

namespace qln {

inline constexpr std::string_view kConfigFileName = "QLN.ini";
inline constexpr std::string_view kFileMissingText = "QLN.ini not found ...";
inline constexpr std::string_view kFileMissingCaption = "WARNING";
// Beside QLN.ini: the changes a stop could not write into it, applied by the next start.
inline constexpr std::string_view kRecoveryFileName = "QLN-recovery.ini";

// What the main window stages from one device row for SaveRows. A value or unit the operator did
// not change is left empty: the file keeps its text byte for byte.
struct RowEntry {
  uint8_t Device = 0;
  bool Enabled = false;                  // the row's Enable box, for the device's DevEnable
  std::string LongAddress;               // hex text, left-padded with '0' to at least 8 characters
  std::string MfrIDv7;                   // hex text
  std::optional<std::string> Values[4];  // PV, SV, TV, QV value texts as typed
  std::optional<uint8_t> Units[4];       // PV, SV, TV, QV unit codes
};

// One key of a device section and its new text.
struct KeyText {
  std::string_view key;
  std::string text;
};

class ConfigStore {
 public:
  // The file is QLN.ini in directory, or in the process's working directory when none is given.
  // The clock times the retries of failed writes and the reports of them.
  ConfigStore(Notifier& notifier, const Clock& clock, std::filesystem::path directory = {});

  const std::filesystem::path& Path() const { return file_.Path(); }
  std::filesystem::path RecoveryPath() const {
    return file_.Path().parent_path() / kRecoveryFileName;
  }
  // See ProfileFile::SetDiskHook. Set it before the store is used by other threads.
  void SetDiskHook(std::function<void(ProfileFile::DiskOperation)> hook) {
    file_.SetDiskHook(std::move(hook));
  }

  // Removes the temporary files of writes that were killed before they finished (see
  // ProfileFile::RemoveStaleTemporaries); the program calls it when it starts. Takes no lock.
  std::size_t RemoveStaleTemporaries() { return file_.RemoveStaleTemporaries(); }

  // Tests that the file exists and may be read. When not, shows the warning "QLN.ini not found
  // ..." and returns false once it has been acknowledged. Does not change ConfigFileFound.
  // Needs no lock and must be called without the model lock held.
  bool CheckFile();

  bool ConfigFileFound() const { return found_.load(std::memory_order_acquire); }
  void SetConfigFileFound(bool found) { found_.store(found, std::memory_order_release); }

  // Read side. A read of a missing file, or of a file without the section (empty, garbage, cut
  // short), leaves the texts the model holds as they are; a text whose change is still waiting
  // to be written (see RetryPendingWrites) is read as that change.
  void ReadSystem(DeviceModel& model);
  void ReadSection(DeviceModel& model, uint8_t section, uint8_t device);
  // ReadSection and DecodeSection. Where the file lacks a section that the device holds texts
  // of, those are decoded as DecodeHeld does (a section never held decodes as empty texts).
  void Refresh(DeviceModel& model, uint8_t section, uint8_t device);
  // The refresh of a command while the file is not known to be there: when the active record's
  // section holds another device's data, decodes the texts of the section that the model holds
  // for this device; with none held (no file was ever read) the record stays as it is.
  void DecodeHeld(DeviceModel& model, uint8_t section, uint8_t device);
  void LoadAll(DeviceModel& model, uint8_t device);
  // The long addresses the link matches, taken from section 000 of every device when the file
  // changed since they were last taken (a file restored or edited while the program runs), so
  // that a device answers under the file's address at once. Costs a look at the file's identity
  // otherwise. IdentitiesStale tells, without the lock, whether a refresh would read the file.
  void RefreshIdentities(DeviceModel& model);
  bool IdentitiesStale();
  // A text of the system section that the model does not hold (for example COM3Path).
  std::string ReadSystemKey(std::string_view key);
  // The texts of keys of a section the model does not mirror (a device's faults), in the order
  // of `keys`: a change of the key still waiting to be written wins over the file's text, so
  // that what was written last is what is read.
  std::vector<std::string> ReadKeys(std::string_view section,
                                    std::span<const std::string_view> keys);
  // Same, without the cut to kMaxValueLength characters: for texts that are longer by nature
  // (the HART-IP clients' keys in hex and their identities).
  std::vector<std::string> ReadWholeKeys(std::string_view section,
                                         std::span<const std::string_view> keys);
  // The notifier the store reports to; readers of the sections the model does not mirror report
  // the faults they find in them there too. Its Problem never blocks.
  Notifier& Operator() { return notifier_; }
  // The file as it is on disk now, for readers of sections the model does not mirror.
  std::shared_ptr<const ProfileSnapshot> Snapshot() { return file_.Snapshot(); }

  // CheckFile, then (with the file there) LoadAll and DecodeAll. Takes the model lock itself;
  // call it without. Returns whether the file was there; ConfigFileFound is not changed.
  bool ReloadAll(DeviceModel& model, uint8_t device);
  // The file check and full load of opening the port: as ReloadAll, but the result of the check
  // becomes ConfigFileFound. Takes the model lock itself.
  bool CheckAndLoadForOpen(DeviceModel& model);

  // Write side. Each write sets the texts in the device's SectionTexts and writes them to the
  // file in one replacement; it fails, after reporting the failure to the notifier, when the
  // file could not be written. The texts change either way, and the keys that could not be
  // written stay pending: every later write, and RetryPendingWrites, writes them again.
  //
  // While the file is missing, a write creates it whole: from the file as it was last read, with
  // every text the model holds (all sections of all devices, and the system section) on top. A
  // write into a section the file lacks writes the section whole, from the texts the model holds,
  // so that the file never holds a device's section with its identity left out.
  //
  // The operator hears of failures in bounded form: the first failure at once, then at most one
  // line every kReportIntervalMs while writes go on failing (how many failed, what is pending),
  // and once that writing works again. Each failure line says how many changed keys are held in
  // memory only.
  Result<> WriteKeys(DeviceModel& model, uint8_t device, uint8_t section,
                     std::span<const KeyText> keys);
  Result<> WriteKeys(DeviceModel& model, uint8_t device, uint8_t section,
                     std::initializer_list<KeyText> keys) {
    return WriteKeys(model, device, section, std::span(keys.begin(), keys.size()));
  }
  Result<> WriteSystemKeys(DeviceModel& model, std::initializer_list<KeyText> keys);
  // A section shared by all devices (the device-specific command table): written to the file
  // only, since the devices' texts of it are read when a command needs them.
  Result<> WriteSharedSection(DeviceModel& model, std::string_view section,
                              std::span<const KeyText> keys);

  // The rows' enable flags, identities, and the values and units the operator changed, in one
  // write (a failed write is reported once for all rows). Devices must be below kDeviceCount.
  Result<> SaveRows(DeviceModel& model, std::span<const RowEntry> rows);
  Result<> SaveRevision(DeviceModel& model, uint8_t revision);
  Result<> SavePort(DeviceModel& model, unsigned port);
  // The file part of noting a configuration change: re-reads section 000 of the device and
  // writes its change counter plus one (modulo 65536), whatever ConfigFileFound says.
  Result<> NoteConfigChangeFile(DeviceModel& model, uint8_t device);

  // Writes the pending keys again when some are pending and at least kRetryIntervalMs have
  // passed since the last attempt. Reports as every write does. Takes the model lock itself
  // (call it without); costs nothing while nothing is pending. The command thread calls it on
  // every pass of its loop.
  void RetryPendingWrites(DeviceModel& model);
  bool HasPendingWrites() const { return hasPending_.load(std::memory_order_acquire); }

  // The program's stop: one last attempt to write the pending keys. When that fails they are
  // written into the recovery file beside QLN.ini (RecoveryPath, INI form), and the failure's
  // message names that file and the keys; when the recovery file cannot be written either, the
  // message lists every key with its value. Takes the model lock itself.
  Result<> SaveAtStop(DeviceModel& model);
  // The program's start, before the first load: the keys of a recovery file that an earlier stop
  // left are written into QLN.ini (and the file removed); when QLN.ini does not take them, they
  // are held as pending keys and the recovery file stays until they are written. Says what it
  // did to the notifier. While QLN.ini is missing it only says so: the file waits for a start
  // that finds QLN.ini. Takes the model lock itself.
  void ApplyRecovery(DeviceModel& model);

  static constexpr uint32_t kRetryIntervalMs = 2000;
  static constexpr uint32_t kReportIntervalMs = 10'000;

 private:
  class WriteBatch;
  struct PendingKey {
    std::string section;
    std::string key;
    std::string value;
    uint8_t device = kNoDevice;  // of a device section: its device and section number
    uint8_t number = 0;
  };
  // Writes the batch with the pending keys; keeps the batch's keys pending when that fails, and
  // reports.
  Result<> Store(DeviceModel& model, const WriteBatch& batch);
  // The file write of Store, with what a missing file or section needs besides.
  Result<> WriteFile(const DeviceModel& model, std::span<const PendingKey> items);
  // After a write that took every pending key: the report of it, and the end of a recovery file
  // that is no longer needed.
  void Saved();
  void ReportFailure(const std::string& reason, bool newChanges);
  // The keys as the profile file writes them; they refer to the keys' texts.
  static void AppendAssignments(std::span<const PendingKey> keys,
                                std::vector<ProfileAssignment>& out);
  // The texts the model holds, as assignments that recreate a missing file.
  std::vector<PendingKey> HeldTexts(const DeviceModel& model) const;
  static void AppendHeldSystem(const DeviceModel& model, std::vector<PendingKey>& out);
  static void AppendHeldSection(const DeviceModel& model, uint8_t device, uint8_t section,
                                std::vector<PendingKey>& out);
  void ReadSectionFrom(const ProfileSnapshot& snapshot, DeviceModel& model, uint8_t section,
                       uint8_t device) const;
  void ReadSystemFrom(const ProfileSnapshot& snapshot, DeviceModel& model) const;
  void LoadAllFrom(const ProfileSnapshot& snapshot, DeviceModel& model, uint8_t device) const;
  // The pending text of a key, if its change is still waiting to be written.
  const std::string* Pending(std::string_view section, std::string_view key) const;
  std::vector<std::string> Texts(std::string_view section, std::span<const std::string_view> keys,
                                 bool whole);
  // "[HTDev00_Cmd012] Message, [HTDev_Sys] COMNo": the first `listed` pending keys, with their
  // values when asked.
  std::string PendingList(std::size_t listed, bool values) const;
  // "3 changed keys are held in memory only".
  std::string HeldCount() const;

  Notifier& notifier_;
  const Clock& clock_;
  ProfileFile file_;
  std::atomic<bool> found_{false};
  // Guarded by the model lock, like every file operation.
  std::vector<PendingKey> pending_;
  uint32_t lastAttemptMs_ = 0;
  bool failing_ = false;     // a failure has been reported, and no write has worked since
  std::string lastFailure_;  // the reason last reported
  uint32_t lastReportMs_ = 0;
  std::size_t unreported_ = 0;  // writes of new changes that failed since the last report
  bool recoveryKept_ = false;   // the recovery file holds keys that are pending now
  std::atomic<bool> hasPending_{false};
  // The generation of the parse the long addresses were last taken from (0: none yet).
  std::atomic<uint64_t> identitiesOf_{0};
};

// Value texts as the store writes them.
std::string IntText(uint32_t value);
std::string FloatText(double value);                                // "%0.6f"
std::string PackedText(const uint8_t* packed, std::size_t length);  // unpacked characters

}  // namespace qln
