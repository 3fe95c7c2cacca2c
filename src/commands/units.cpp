#include "commands/units.h"

#include <array>
#include <cmath>
#include <initializer_list>

namespace qln {
namespace {

constexpr uint8_t kPressure = 65;
constexpr uint8_t kVolumetricFlow = 66;
constexpr uint8_t kTemperature = 64;
constexpr uint8_t kVolume = 68;

constexpr std::array<UnitEntry, 97> kUnits = {{
    {6, "psi", 65},      {7, "bar", 65},      {8, "mbar", 65},      {9, "g/cm2", 65},
    {10, "kg/cm2", 65},  {11, "Pa", 65},      {12, "kPa", 65},      {13, "torr", 65},
    {237, "MPa", 65},    {22, "gal/sec", 66}, {16, "gal/min", 66},  {136, "gal/hr", 66},
    {24, "l/sec", 66},   {17, "l/min", 66},   {138, "l/hr", 66},    {28, "m3/sec", 66},
    {131, "m3/min", 66}, {19, "m3/hr", 66},   {26, "ft3/sec", 66},  {15, "ft3/min", 66},
    {130, "ft3/hr", 66}, {70, "g/sec", 72},   {71, "g/min", 72},    {72, "g/hr", 72},
    {73, "Kg/sec", 72},  {74, "Kg/min", 72},  {75, "Kg/hr", 72},    {80, "lb/sec", 72},
    {81, "lb/min", 72},  {82, "lb/hr", 72},   {32, "Deg.C", 64},    {33, "Deg.F", 64},
    {34, "Deg.R", 64},   {35, "Kelvin", 64},  {20, "ft/sec", 67},   {21, "m/sec", 67},
    {114, "in/sec", 67}, {115, "in/min", 67}, {116, "ft/min", 67},  {120, "m/hr", 67},
    {40, "gal", 68},     {41, "liter", 68},   {43, "m3", 68},       {46, "bbl", 68},
    {111, "yd3", 68},    {112, "ft3", 68},    {113, "in3", 68},     {44, "ft", 69},
    {45, "m", 69},       {47, "in", 69},      {48, "cm", 69},       {49, "mm", 69},
    {50, "min", 70},     {51, "sec", 70},     {52, "hour", 70},     {53, "day", 70},
    {60, "gram", 71},    {61, "kg", 71},      {63, "lb", 71},       {90, "SGU", 73},
    {91, "g/cm3", 73},   {92, "kg/m3", 73},   {93, "lb/gal", 73},   {94, "lb/ft3", 73},
    {95, "g/ml", 73},    {96, "kg/l", 73},    {97, "g/l", 73},      {54, "cSt", 74},
    {55, "cpoise", 74},  {36, "mV", 83},      {58, "V", 83},        {39, "mA", 84},
    {37, "Ohm", 85},     {163, "kOhm", 85},   {69, "N_m", 77},      {89, "daTherm", 77},
    {126, "ft_lbf", 77}, {128, "kWh", 77},    {162, "Mcal", 77},    {164, "MJ", 77},
    {165, "Btu", 77},    {127, "kW", 79},     {129, "hp", 79},      {140, "Mcal/hr", 79},
    {141, "MJ/hr", 79},  {142, "Btu/hr", 79}, {117, "deg/sec", 75}, {118, "rev/sec", 75},
    {119, "rpm", 75},    {38, "Hz", 80},      {57, "%", 81},        {59, "pH", 87},
    {68, "N", 78},       {139, "ppm", 90},    {143, "deg", 86},     {144, "rad", 76},
    {153, "pF", 82},
}};

// Pressure codes with a position of their own, by position: kg/cm2, MPa, bar, kPa, mbar, psi,
// mmH2O, torr, atm, Pa (mmH2O and atm are not in the UnitTable).
constexpr std::array<uint8_t, 10> kPressurePositions = {10, 237, 7, 12, 8, 6, 4, 13, 14, 11};

constexpr std::size_t kMaxPositions = 12;

struct Matrix {
  std::size_t size = 0;
  std::array<std::array<float, kMaxPositions>, kMaxPositions> factor{};
};

// The classifications 64..84 with a conversion table, indexed by classification - 64.
constexpr uint8_t kFirstConvertible = 64;
using Tables = std::array<Matrix, 21>;

// A matrix from its first row: the value of one unit of position 0 in each unit. The other
// rows follow as ratios, [i][j] = row[j] / row[i].
Matrix FromFirstRow(std::initializer_list<double> row) {
  Matrix m;
  m.size = row.size();
  const double* r = row.begin();
  for (std::size_t i = 0; i < m.size; ++i) {
    for (std::size_t j = 0; j < m.size; ++j) m.factor[i][j] = static_cast<float>(r[j] / r[i]);
  }
  return m;
}

void SetRow(Matrix& m, std::size_t i, std::initializer_list<double> row) {
  std::size_t j = 0;
  for (double value : row) m.factor[i][j++] = static_cast<float>(value);
}

// Volumetric flow, position = volume x 3 + time base, from the volume factors of gal, liter, m3
// and ft3 and the ratios of the time bases per second, per minute and per hour.
Matrix VolumetricFlow(const Matrix& volume) {
  static constexpr std::size_t kVolumes[] = {0, 1, 2,
                                             5};  // gal, liter, m3, ft3 in the volume table
  static constexpr float kRate[3][3] = {
      {1.0f, 60.0f, 3600.0f}, {0.016666668f, 1.0f, 60.0f}, {0.00027777778f, 0.016666668f, 1.0f}};
  Matrix m;
  m.size = 12;
  for (std::size_t i = 0; i < m.size; ++i) {
    for (std::size_t j = 0; j < m.size; ++j) {
      m.factor[i][j] = volume.factor[kVolumes[i / 3]][kVolumes[j / 3]] * kRate[i % 3][j % 3];
    }
  }
  return m;
}

Tables BuildTables() {
  Tables t;
  const auto at = [&t](uint8_t classification) -> Matrix& {
    return t[classification - kFirstConvertible];
  };
  // Temperature multiplies too: each factor is the value of one unit in the other unit ("Deg.R"
  // being the Reaumur degree), so only the value 1 converts exactly.
  Matrix& temperature = at(kTemperature);
  temperature.size = 4;
  SetRow(temperature, 0, {1, 33.8, 0.8, 274.15});
  SetRow(temperature, 1, {-17.2222, 1, -13.7778, 255.928});
  SetRow(temperature, 2, {1.25, 34.25, 1, 274.4});
  SetRow(temperature, 3, {-272.15, -457.87, -217.72, 1});

  at(kPressure) = FromFirstRow(
      {1, 0.0980665, 0.980665, 98.0665, 980.665, 14.2231, 10000, 735.559, 0.96784, 98066.5});
  SetRow(at(kPressure), 5,
         {0.07031, 0.006895, 0.06895, 6.895, 68.95, 1, 703.08, 51.7157, 0.06805, 6895});

  at(67) = FromFirstRow({1, 0.3048, 12, 720, 60, 1097.28});  // velocity, from ft/sec
  at(kVolume) = FromFirstRow(                                // volume, from US gal
      {1, 3.785411784, 0.003785411784, 1.0 / 42, 0.0049511317, 0.13368055556, 231});
  at(kVolumetricFlow) = VolumetricFlow(at(kVolume));
  at(69) = FromFirstRow({1, 0.3048, 12, 30.48, 304.8});  // length, from ft
  at(70) = FromFirstRow({1, 60, 1.0 / 60, 1.0 / 1440});  // time, from min
  at(71) = FromFirstRow({1, 0.001, 0.0022046226});       // mass, from gram
  at(72) = FromFirstRow({1, 60, 3600, 0.001, 0.06, 3.6, 0.0022046226, 0.13227736,
                         7.9366414});  // mass flow, from g/sec
  // Density: "SGU" counts as g/cm3.
  at(73) = FromFirstRow({1, 1, 1000, 8.3454, 62.4264, 1, 1, 1000});
  at(74) = FromFirstRow({1, 1});                   // cSt and cpoise as equal
  at(75) = FromFirstRow({1, 1.0 / 360, 1.0 / 6});  // from deg/sec
  at(77) = FromFirstRow({1, 9.478e-09, 0.737562, 2.78e-07, 2.39e-07, 1e-06, 0.000948});
  at(79) = FromFirstRow({1, 1.341022, 0.8598452, 3.6, 3412.1416});  // power, from kW
  at(83) = FromFirstRow({1, 0.001});                                // mV, V
  at(84) = FromFirstRow({1, 0.001});                                // mA and A (unreachable)
  return t;
}

// Built once, on first use, and constant afterwards.
const Tables& ConversionTables() {
  static const Tables tables = BuildTables();
  return tables;
}

}  // namespace

std::span<const UnitEntry> UnitTable() { return kUnits; }

uint8_t ClassOfUnit(uint8_t unit) {
  for (const UnitEntry& entry : kUnits) {
    if (entry.Code == unit) return entry.Classification;
  }
  return 0;
}

std::size_t UnitIndexInClass(uint8_t classification, uint8_t unit) {
  if (classification == kPressure) {
    for (std::size_t p = 0; p < kPressurePositions.size(); ++p) {
      if (kPressurePositions[p] == unit) return p;
    }
    return 0;
  }
  std::size_t position = 0;
  for (const UnitEntry& entry : kUnits) {
    if (entry.Classification != classification) continue;
    if (entry.Code == unit) return position;
    ++position;
  }
  return 0;
}

std::optional<float> ConversionFactor(uint8_t classification, std::size_t from, std::size_t to) {
  if (classification < kFirstConvertible) return std::nullopt;
  const Tables& tables = ConversionTables();
  const std::size_t index = classification - kFirstConvertible;
  if (index >= tables.size()) return std::nullopt;
  const Matrix& m = tables[index];
  if (from >= m.size || to >= m.size) return std::nullopt;
  return m.factor[from][to];
}

void UpdateLoopCurrent(DeviceRecord& record, uint8_t transferFunction, float pv) {
  record.Span = record.UpRangeValue - record.LoRangeValue;
  const double v = pv;
  double current;
  switch (transferFunction) {
    case kTransferSquareRoot:
      current = std::sqrt(v);
      break;
    case kTransferRootOfCube:
      current = std::sqrt(v * v * v);
      break;
    case kTransferRootOfFifthPower:
      current = std::sqrt(v * v * v * v * v);
      break;
    case kTransferIdentity:
      current = v;
      break;
    case kTransferSquare:
      current = v * v;
      break;
    default:
      current = (v - record.LoRangeValue) * 16.0 / record.Span + 4.0;
      break;
  }
  record.LoopCurrent = static_cast<float>(current);
  record.PercentOfRange = static_cast<float>((current - 4.0) * 6.25);
}

}  // namespace qln
