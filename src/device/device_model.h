// The device model: the table of sixteen simulated devices with their configuration texts, the
// system settings, and the one active DeviceRecord, all guarded by one lock.
//
// Every access to a DeviceModel, and every configuration-file operation on it, happens while the
// caller holds DeviceModel::Lock, except where an operation says it takes the lock itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/link_view.h"
#include "device/burst_control.h"
#include "device/device_record.h"
#include "device/sections.h"

namespace qln {

// The configuration texts of one device: for each section (0..255) and each of its keys, the
// text as read from or written to the file, at most 63 characters.
class SectionTexts {
 public:
  // Empty text for a key never read or written.
  const std::string& Get(uint8_t section, std::string_view key) const;
  const std::string& Get(uint8_t section, std::size_t keyIndex) const;
  // Keys outside the section's table are ignored (they have no meaning for the model).
  void Set(uint8_t section, std::string_view key, std::string_view text);
  void Set(uint8_t section, std::size_t keyIndex, std::string_view text);
  // Whether any text of the section has been read or written (false: initial contents).
  bool Held(uint8_t section) const { return !sections_[section].empty(); }

 private:
  std::array<std::vector<std::string>, 256> sections_;
};

struct DeviceEntry {
  uint8_t DevEnable = 0;                 // the device answers the master only when 1
  std::array<uint8_t, 5> LongAddress{};  // MfrID, MfrDevType, DevIDNo (3 bytes, MSB first)
  uint32_t ResPreableNum = 0;            // preambles in front of each reply, 0..255
  uint32_t BurstCmdNo = 0;               // command carried by the burst frames
  bool ConfigChanged = false;            // reported as status bit 0x40; memory only
  SectionTexts Texts;
};

// The texts of the system section "HTDev_Sys".
struct SystemTexts {
  std::array<std::string, kDeviceCount> DevEn;  // Dev00_En .. Dev15_En
  std::string COMNo;
  std::string PreambleMarker;  // absent or 0: plain preambles
};

// The reply of the device-specific command decoded last: its count and data bytes.
struct SpecCmdReply {
  uint8_t Count = 0;
  std::array<uint8_t, 255> Data{};
};

struct DeviceModel;

// The model's lock. Releasing it publishes the link's view of the devices first, so every change
// made under it reaches the serial worker, which reads that view and never takes this lock.
class ModelMutex {
 public:
  explicit ModelMutex(DeviceModel& model) : model_(model) {}
  ModelMutex(const ModelMutex&) = delete;
  ModelMutex& operator=(const ModelMutex&) = delete;
  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock();

 private:
  DeviceModel& model_;
  std::mutex mutex_;
};

struct DeviceModel {
  DeviceModel();
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;

  ModelMutex Lock{*this};
  std::array<DeviceEntry, kDeviceCount> Table;
  SystemTexts System;
  DeviceRecord Active;
  // For each section, the device whose texts the active record's fields of that section were
  // last decoded from (kNoDevice while they hold the initial contents).
  std::array<uint8_t, 256> DecodedFor;
  SpecCmdReply SpecCmd;
  BurstControl Burst;
  // What the link reads of the devices, as of the last release of Lock.
  PublishedLinkView Link;
};

// The link's view of the devices as the model holds them now. Caller holds the model lock.
LinkView BuildLinkView(const DeviceModel& model);

// Decodes the texts of one section of a device (or of every device in index order with
// AllDevices) into the active record; sections 059 and 108 go into the device's table entry.
// Decoding 000 also sets the device's LongAddress. Defined for the thirteen device sections;
// other section numbers are ignored.
void DecodeSection(DeviceModel& model, uint8_t section, uint8_t device);

// The device's LongAddress from its section 000 texts (MfrID, MfrDevType, DevIDNo), as
// DecodeSection of 000 sets it, without changing the active record.
void DecodeLongAddress(DeviceModel& model, uint8_t device);

// DecodeSection of the thirteen device sections, in load order, then SelectBurstDevice.
void DecodeAll(DeviceModel& model, uint8_t device);

// The bursting device as the texts say: the lowest enabled device whose own section 109 holds a
// BurstMode other than 0, with its long address; none (burst off) when no device does.
void SelectBurstDevice(DeviceModel& model);

// Device indices an operation taking a device or AllDevices covers: first and one past last.
struct DeviceRange {
  uint8_t first;
  uint8_t end;
};
DeviceRange DevicesOf(uint8_t device);

}  // namespace qln
