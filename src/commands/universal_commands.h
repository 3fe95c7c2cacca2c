// Handlers of the universal commands, and the helpers other command families share with them.
// Each handler is run by Dispatch with the model lock held and the request in the exchange; it
// sets the response code, the reply data and their byte count (the reply overwrites the request
// in place).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "commands/command_context.h"

namespace qln {

void Command0(CommandContext& ctx, uint8_t device);   // read unique identifier (also 11, 21)
void Command1(CommandContext& ctx, uint8_t device);   // read primary variable
void Command2(CommandContext& ctx, uint8_t device);   // read loop current and percent of range
void Command3(CommandContext& ctx, uint8_t device);   // read dynamic variables and loop current
void Command7(CommandContext& ctx, uint8_t device);   // read loop configuration
void Command8(CommandContext& ctx, uint8_t device);   // read dynamic variable classifications
void Command9(CommandContext& ctx, uint8_t device);   // read device variables with status
void Command12(CommandContext& ctx, uint8_t device);  // read message
void Command13(CommandContext& ctx, uint8_t device);  // read tag, descriptor, date
void Command14(CommandContext& ctx, uint8_t device);  // read PV transducer information
void Command15(CommandContext& ctx, uint8_t device);  // read device information
void Command16(CommandContext& ctx, uint8_t device);  // read final assembly number
void Command17(CommandContext& ctx, uint8_t device);  // write message
void Command18(CommandContext& ctx, uint8_t device);  // write tag, descriptor, date
void Command19(CommandContext& ctx, uint8_t device);  // write final assembly number
void Command20(CommandContext& ctx, uint8_t device);  // read long tag
void Command22(CommandContext& ctx, uint8_t device);  // write long tag
void Command38(CommandContext& ctx, uint8_t device);  // reset configuration changed flag
void Command48(CommandContext& ctx, uint8_t device);  // read additional device status

// Device-variable codes of the device variables: 0..3 (and 246..249) PV..QV, 244 percent of
// range, 245 loop current.
inline constexpr uint8_t kPercentOfRangeCode = 244;
inline constexpr uint8_t kLoopCurrentCode = 245;
inline constexpr uint8_t kPercentUnit = 57;
inline constexpr uint8_t kMilliampereUnit = 39;

struct VariableValue {
  uint8_t unit;
  float value;
};
// The unit and value a device-variable code stands for; unknown codes stand for the PV.
VariableValue DynamicVariableValue(const DeviceRecord& record, uint8_t code);

// The loop current of the device: UpdateLoopCurrent with PV1Value, then the fixed current while
// the device's loop current is fixed (PercentOfRange keeps following the PV). Notes the device
// as the one whose range Span now holds; every computation of the loop current goes through here.
void LoopCurrentStep(DeviceRecord& record, CommandState& state, uint8_t device);

// The device-variable codes of a command 9 or 33 request, copied before the reply overwrites
// them: at most eight; the codes beyond are not answered.
inline constexpr std::size_t kMaxRequestedVariables = 8;
struct RequestedVariables {
  std::array<uint8_t, kMaxRequestedVariables> codes{};
  std::size_t count = 0;
};
// Takes the requested codes, then runs the command 1 and command 3 handlers for their refreshes
// and the loop current.
RequestedVariables ReadRequestedVariables(CommandContext& ctx, uint8_t device);

// A 24-bit number written by a master (request bytes 0-2, most significant first): replaces the
// field when it differs and is then written, while the file is known to be there, to the first
// three keys of the section (least significant byte first). Replies with the stored number.
void WriteNumber24(CommandContext& ctx, uint8_t device, uint32_t& field, uint8_t section);

}  // namespace qln
