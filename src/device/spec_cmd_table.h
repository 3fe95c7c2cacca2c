// The device-specific command table: for each command 128..253 a fixed reply (a count and the
// data bytes) that the operator defines, kept in the sections "HTDevAll_SpecCmd%03d" of the
// configuration file and shared by all sixteen devices.
#pragma once

#include <array>
#include <cstdint>

#include "base/result.h"
#include "device/config_store.h"
#include "device/device_model.h"

namespace qln {

// Most data bytes the window edits per command.
inline constexpr uint8_t kSpecCmdWindowBytes = 64;
// Most data bytes a reply frame carries: its byte count of 255 includes the two status bytes.
inline constexpr uint8_t kMaxReplyDataBytes = 253;

// The entry the device-specific command window works on; one for the whole program.
struct SpecCmdEntry {
  uint8_t CommandNumber = 128;
  uint8_t ParamNum = 1;                             // 0..64
  std::array<uint8_t, kSpecCmdWindowBytes> Data{};  // data bytes 1..64
};

// Reads the entry's command section into the entry. A count above 64 (hand-edited file) is cut
// to 64; data bytes above the count keep their values. Returns whether the file holds a reply
// for the command (a count); without one the count becomes 0. Caller holds the model lock.
bool LoadSpecCmd(ConfigStore& store, SpecCmdEntry& entry);
// Writes the entry: ParamNum and all 64 Param keys, those above ParamNum as 0. Caller holds the
// model lock.
Result<> SaveSpecCmd(ConfigStore& store, DeviceModel& model, const SpecCmdEntry& entry);

// Reads section "HTDevAll_SpecCmd<command>" into the texts of the device (or of every device
// with AllDevices): ParamNum, then Param1..Param<n>.
void ReadSpecCmd(ConfigStore& store, DeviceModel& model, uint8_t device, uint8_t command);
// Decodes those texts into the model's SpecCmdReply; a count above 253 sends 253 bytes.
void DecodeSpecCmd(DeviceModel& model, uint8_t device, uint8_t command);

}  // namespace qln
