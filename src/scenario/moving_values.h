// Process values that move: for each device and dynamic variable (PV, SV, TV, QV) an optional
// motion set up in the device's section "HTDev%02d_Simulation" of QLN.ini, computed from the
// millisecond clock.
//
// Keys, for n = 1..4 (names match regardless of case, like every key of the file):
//   PV<n>Mode    fixed, sine, triangle, ramp, square or random (any case); absent: fixed
//   PV<n>Low     lowest value, in the variable's current unit
//   PV<n>High    highest value (not below Low)
//   PV<n>Period  seconds, above 0
//   PV<n>Noise   peak amplitude of noise added on top, 0 or more; absent: 0
//
// A variable's time starts at 0 when its motion is first seen (or its texts change), and from
// there each shape repeats over Period:
//   sine      starts at mid-range rising: High at a quarter period, Low at three quarters
//   triangle  starts at Low, rises to High at half period, falls back to Low
//   ramp      rises from Low to High over the period, then starts again at Low
//   square    Low for the first half period, High for the second
//   random    a bounded walk that starts at mid-range; between two evaluations dt seconds apart it
//             moves by at most (High - Low) / Period * dt, and never leaves Low..High
// Noise is uniform within +-Noise, drawn afresh at each evaluation; a value with noise may pass
// Low or High by at most Noise. Random numbers come from a generator with a fixed seed per
// device and variable, so that a run is reproducible.
//
// Texts that do not make a motion (Low above High, a period of 0 or less, a number that is no
// number or not finite, an unknown mode) leave the variable fixed; each is described once, when
// the texts change to it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/sections.h"

namespace qln {

inline constexpr std::size_t kMovingVariables = 4;  // PV, SV, TV, QV

enum class MotionMode : uint8_t { Fixed, Sine, Triangle, Ramp, Square, Random };

struct MotionSettings {
  MotionMode mode = MotionMode::Fixed;
  double low = 0.0;
  double high = 0.0;
  double period = 1.0;  // seconds
  double noise = 0.0;
};

// The texts of one variable's five keys, as the file holds them.
struct MotionTexts {
  std::string mode, low, high, period, noise;
  bool operator==(const MotionTexts&) const = default;
};
using DeviceMotionTexts = std::array<MotionTexts, kMovingVariables>;

// "HTDev%02d_Simulation".
std::string SimulationSectionName(uint8_t device);
// "PV<n>Mode", "PV<n>Low", "PV<n>High", "PV<n>Period", "PV<n>Noise" of variable index 0..3.
struct MotionKeys {
  std::string mode, low, high, period, noise;
};
MotionKeys MotionKeyNames(std::size_t variable);

// The five texts of a variable, in the order of MotionTexts and MotionKeys.
enum class MotionField : uint8_t { Mode, Low, High, Period, Noise };
std::string MotionKey(std::size_t variable, MotionField field);

// A whole text as a decimal number that a float holds (white space around it allowed); nothing
// for anything else: an empty text, trailing characters, NaN, infinities, magnitudes beyond
// FLT_MAX.
std::optional<double> MotionNumber(std::string_view text);

// The mode's name as the file spells it ("sine"), and the mode of a name in any case.
std::string_view MotionModeName(MotionMode mode);
std::optional<MotionMode> ParseMotionMode(std::string_view text);

// What is wrong with a variable's texts: which text, and how it fails.
enum class MotionProblem : uint8_t {
  NotAMode,
  NotANumber,
  AboveHigh,
  NotAPeriod,
  NotANoise,
  BeyondFloat
};
struct MotionFault {
  std::size_t variable = 0;
  MotionField field = MotionField::Mode;
  std::string text;
  MotionProblem problem = MotionProblem::NotAMode;
};
// The words after a text's name and the text ("is not a period above 0"); `high` names the High
// text for AboveHigh.
std::string MotionProblemText(MotionProblem problem, std::string_view high);
// The fault as the console reports it, in the file's words: "Dev[3]_Simulation: PV1Period=0 is
// not a period above 0; PV1 stays fixed".
std::string MotionFaultLine(const MotionFault& fault, uint8_t device);

// The motion the texts of variable 0..3 describe: the settings of a moving variable, nothing for
// a fixed one. A bad text leaves the variable fixed and is described in fault.
struct ParsedMotion {
  std::optional<MotionSettings> settings;
  std::optional<MotionFault> fault;
};
ParsedMotion ParseMotion(const MotionTexts& texts, std::size_t variable);

// The value of a periodic shape (sine, triangle, ramp, square) elapsedMs after its start,
// without noise.
double PeriodicValue(const MotionSettings& settings, uint64_t elapsedMs);

// A small generator with a fixed seed (splitmix64): the same seed gives the same numbers.
class MotionRandom {
 public:
  explicit MotionRandom(uint64_t seed = 0) : state_(seed) {}
  // Uniform in [-1, 1).
  double Symmetric();

 private:
  uint64_t state_;
};

// One step of the random walk: from value, dt seconds later, within Low..High.
double RandomWalkStep(const MotionSettings& settings, double value, double dtSeconds,
                      MotionRandom& random);

// The motions of all devices and their state (times, walks, texts last seen). Not thread-safe:
// its owner guards it (the simulator's model lock).
class MovingValues {
 public:
  MovingValues();

  // Takes the section's texts of the device. When a variable's texts differ from those last
  // taken, its motion is set up afresh (its time starts again) and, when they are bad, a line
  // describing the fault is appended to problems.
  void SetTexts(uint8_t device, const DeviceMotionTexts& texts, std::vector<std::string>& problems);

  // The values of the device's moving variables at nowMs (milliseconds, wrapping at 2^32); an
  // empty entry for a fixed variable. Advances the variables' times and random walks.
  std::array<std::optional<double>, kMovingVariables> Evaluate(uint8_t device, uint32_t nowMs);

  // The settings of a moving variable, for display; nothing for a fixed one.
  std::optional<MotionSettings> Settings(uint8_t device, std::size_t variable) const;
  bool AnyMoving(uint8_t device) const;

 private:
  struct Variable {
    MotionTexts texts;
    std::optional<MotionSettings> settings;
    bool started = false;  // lastMs holds the time of the last evaluation
    uint32_t lastMs = 0;
    uint64_t elapsedMs = 0;  // since the motion was set up; 64 bits outlive the clock's wrap
    double walk = 0.0;
    MotionRandom random;
  };
  std::array<std::array<Variable, kMovingVariables>, kDeviceCount> variables_;
};

// "sine 0..100 over 10 s", with " +-0.5 noise" when there is noise.
std::string DescribeMotion(const MotionSettings& settings);

}  // namespace qln
