// Engineering units: the unit codes the simulator knows with their display names and device
// variable classifications, the conversion factors between units of one classification, and the
// loop current and percent of range derived from the primary variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "device/device_record.h"

namespace qln {

struct UnitEntry {
  uint8_t Code;            // HART unit code
  std::string_view Name;   // as shown in the main window's unit lists
  uint8_t Classification;  // HART device variable classification code
};

// The 97 known units, grouped by classification; the main window lists them in this order.
std::span<const UnitEntry> UnitTable();

// Classification of a unit code: that of its first entry in the UnitTable, 0 (not classified)
// for a code the table does not hold.
uint8_t ClassOfUnit(uint8_t unit);

// Position of a unit in its classification's conversion table: for pressure the ten positions of
// its own table (codes without a position of their own count as kg/cm2, position 0), for the
// other classifications the unit's position within its group of the UnitTable. 0 for a unit
// outside the classification.
std::size_t UnitIndexInClass(uint8_t classification, uint8_t unit);

// The factor that turns a value in the unit at position `from` of the classification's
// conversion table into the unit at position `to` (value x factor). Empty for a classification
// without a conversion table or a position outside it.
std::optional<float> ConversionFactor(uint8_t classification, std::size_t from, std::size_t to);

// Transfer function codes of the loop current, as command 47 selects them.
inline constexpr uint8_t kTransferLinear = 0;
inline constexpr uint8_t kTransferSquareRoot = 1;
inline constexpr uint8_t kTransferRootOfCube = 2;
inline constexpr uint8_t kTransferRootOfFifthPower = 3;
inline constexpr uint8_t kTransferIdentity = 4;
inline constexpr uint8_t kTransferSquare = 5;

// From the primary variable value pv: Span := UpRangeValue - LoRangeValue, LoopCurrent by the
// transfer function (only the linear one uses the range; other values count as linear), and
// PercentOfRange := (LoopCurrent - 4) x 6.25. Nothing is clamped: currents outside 4..20 mA and
// percentages outside 0..100 stand as computed, and a zero span or a root of a negative value
// give IEEE infinities and NaNs.
void UpdateLoopCurrent(DeviceRecord& record, uint8_t transferFunction, float pv);

}  // namespace qln
