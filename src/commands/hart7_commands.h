// Handlers of the commands a HART 7 device answers beyond the universal and older common-practice
// ones: 31 (extended command numbers, reaching 512/513 country code and SI-units flag and 520/521
// process unit tag), 53 and 54 (device variable units and information), 72 (squawk) and 79
// (device variable simulation). Dispatch runs them only for a device in HART 7 mode; a device of
// an older revision answers 64 to them, as before.
//
// Their data live in sections of the device that the model does not mirror, read at every
// command and written at once (ConfigStore::ReadKeys / WriteSharedSection):
//   [HTDev%02d_Cmd512]  CountryCode (two letters), SIUnitsOnly (0 or 1)
//   [HTDev%02d_Cmd520]  ProcessUnitTag (up to 32 characters)
//   [HTDev%02d_Cmd054]  per device variable n = 0..3 (PV..QV): DVnSensorSN, DVnUpperLimit,
//                       DVnLowerLimit, DVnMinSpan, DVnDamping, DVnFamily, DVnAcquisitionMs
//                       (the PV's limits, minimum span, sensor serial number and damping are
//                       those of sections 014 and 015)
//   [HTDev%02d_Cmd079]  per device variable n: DVnSimulated (0 or 1), DVnValue, DVnUnit, DVnStatus
// A text that does not read as its key's value is reported once (again only after it changed),
// naming the section, key and text, and the command answers from the key's default.
#pragma once

#include <cstdint>

#include "commands/command_context.h"

namespace qln {

void Command31(CommandContext& ctx, uint8_t device);  // extended command number
void Command53(CommandContext& ctx, uint8_t device);  // write device variable units
void Command54(CommandContext& ctx, uint8_t device);  // read device variable information
void Command72(CommandContext& ctx, uint8_t device);  // squawk
void Command79(CommandContext& ctx, uint8_t device);  // write device variable (simulation)

// The simulated variables of the device (command 79) put over the active record's PV..QV values
// and units, after any moving value; none while the device is not in HART 7 mode. Returns a mask of
// the simulated variables (bit n: variable n) and, for each, its status in `statuses`.
uint8_t ApplySimulation(CommandContext& ctx, uint8_t device, uint8_t statuses[4]);
// Ends every simulation of the device (command 42, the operator).
void EndSimulation(CommandContext& ctx, uint8_t device);

// Standardized status 0 bit of command 48 and the extended device status bit ("function check")
// a device reports while one of its variables is simulated.
inline constexpr uint8_t kSimulationActive = 0x01;
inline constexpr uint8_t kFunctionCheck = 0x20;

}  // namespace qln
