// The moving process values in the command layer: the values a command reports are the device's
// moving values at the moment it executes, while the file keeps the stored PV<n>Value as the base
// a user edits. The caller holds the model lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "base/result.h"
#include "commands/command_context.h"
#include "scenario/moving_values.h"

namespace qln {

// The texts of the device's simulation section in the file.
DeviceMotionTexts ReadMotionTexts(const ProfileSnapshot& file, uint8_t device);
// Writes, in one write, the keys of the device's simulation section whose texts differ from what
// the file (or a change still pending) holds; a mode only when it names another mode, so that an
// unset mode is not written as "fixed". Nothing changed writes nothing. See ConfigStore::WriteKeys
// for a failed write.
Result<> WriteMotionTexts(DeviceModel& model, ConfigStore& store, uint8_t device,
                          const DeviceMotionTexts& texts);

// Takes the device's simulation section (from the file while it is there, otherwise the texts
// taken last), reports each bad text once to the store's notifier, and returns the
// values of the device's moving variables now.
std::array<std::optional<double>, kMovingVariables> MovingValuesNow(ConfigStore& store,
                                                                    MovingValues& motion,
                                                                    const Clock& clock,
                                                                    uint8_t device);

// Replaces PV1Value..PV4Value of the active record with the device's moving values now. A record
// holding moving values holds no device's stored data of sections 001 and 003: they are marked
// so, and the next command that needs the stored values reads them again.
void ApplyMovingValues(CommandContext& ctx, uint8_t device);

// Puts the device's stored values back into the active record when it holds moving ones (for a
// command that converts and writes the stored values).
void RestoreStoredValues(CommandContext& ctx, uint8_t device);

// After a change of the PV's unit with a conversion factor: the PV's Low, High and Noise of the
// simulation section are converted too, so that the motion keeps its place in the range. Texts
// that are no numbers, and zeros, stay as they are. Written while the file is known to be there.
void ConvertMotionRange(CommandContext& ctx, uint8_t device, double factor);

}  // namespace qln
