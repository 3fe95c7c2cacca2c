// The command dispatcher: runs the handler of a pending request for the addressed device, and
// composes what every reply shares (data suppression, the entry checks of writing commands, the
// configuration-changed bookkeeping, the field device status byte).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "commands/command_context.h"

namespace qln {

using CommandHandler = void (*)(CommandContext& ctx, uint8_t device);

// The entry checks of a writing command, in the order they run; the first failing one decides
// the reply. A minimum byte count of 0 makes the byte-count check pass always.
enum class GuardKind : uint8_t {
  None,
  ProtectLockMinimum,        // WrProtCode not 0 -> 7; LockState not 0 -> 16; too few bytes -> 5
  ProtectMinimumLockAbove1,  // WrProtCode not 0 -> 7; too few bytes -> 5; LockState above 1 -> 16
  ProtectMinimum,            // WrProtCode not 0 -> 7; too few bytes -> 5 (own rules follow)
};

// Up to four section numbers.
struct SectionList {
  constexpr SectionList() = default;
  constexpr SectionList(std::initializer_list<uint8_t> list) {
    for (uint8_t section : list) sections[count++] = section;
  }
  std::span<const uint8_t> Get() const { return {sections.data(), count}; }

  std::array<uint8_t, 4> sections{};
  uint8_t count = 0;
};

struct CommandEntry {
  CommandHandler handler = nullptr;  // none: answered with 64, command not implemented
  GuardKind guard = GuardKind::None;
  uint8_t minimumBytes = 0;
  // Sections of the active record that the command (or its guard) reads without refreshing them
  // itself; they are brought to the addressed device first when another device's data are there.
  SectionList reads;
  bool checksFile = false;  // repeats the existence check of the file first (commands 0, 11, 21)
  bool hart7Only = false;   // a device of an older revision answers 64
};

// Executes the request in the exchange for the device (the addressed device, 0..15) if one is
// pending, and publishes the reply. A fault armed in the device's fault section may answer it
// without executing it, or mark its reply for the link (see armed_faults.h). Returns the console
// line of the fault used, empty when none was. Takes the model lock itself; call it without.
std::string Dispatch(CommandContext& ctx, uint8_t device);

// The field device status byte of the device: UserStatusByte in Manual mode; in Auto mode
// configuration changed, cold start (once), more status available and loop current fixed.
uint8_t ComposeDeviceStatus(CommandContext& ctx, uint8_t device);

// After a configuration-changing command (whatever its response code): sets the device's
// ConfigChanged flag and counts the change in the file.
void NoteConfigChange(CommandContext& ctx, uint8_t device, uint8_t command);
// The same for a change made by a command that does not always change the configuration (an
// extended command inside 31).
void CountConfigChange(CommandContext& ctx, uint8_t device);
bool ChangesConfiguration(uint8_t command);

// Runs the entry checks; false (with the response code set and the data suppressed) when one
// fails.
bool WriteGuard(CommandContext& ctx, GuardKind guard, uint8_t minimumBytes);

// Whether the active record's fields of the section may hold another device's data than the
// device's. Sections 001 and 003 share PV1Unit and PV1Value, so either one decoded for another
// device counts for both.
bool HoldsOtherDevice(const DeviceModel& model, uint8_t section, uint8_t device);

// Refreshes for the device each of the sections that holds another device's data: from the file
// while it is known to be there, otherwise from the texts the model holds for the device. The
// caller holds the model lock.
void ClaimSections(DeviceModel& model, ConfigStore& store, uint8_t device,
                   std::span<const uint8_t> sections);

}  // namespace qln
