#include "scenario/moving_values.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace qln {
namespace {

constexpr std::array<std::string_view, 6> kModeNames = {"fixed", "sine",   "triangle",
                                                        "ramp",  "square", "random"};
constexpr uint64_t kSeed = 0x51A7'10F5'EED0'0000ULL;  // the generators' fixed seed

std::string_view Trim(std::string_view text) {
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<double> MotionNumber(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!std::isfinite(value) || std::fabs(value) > FLT_MAX) return std::nullopt;
  return value;
}

namespace {

// Where in its period the elapsed time is: 0 at the start, approaching 1 at the end.
double Phase(const MotionSettings& s, uint64_t elapsedMs) {
  return std::fmod(static_cast<double>(elapsedMs) / 1000.0, s.period) / s.period;
}

uint64_t SeedOf(uint8_t device, std::size_t variable) {
  return kSeed + device * kMovingVariables + variable;
}

}  // namespace

std::string SimulationSectionName(uint8_t device) {
  char name[32];
  std::snprintf(name, sizeof name, "HTDev%02u_Simulation", static_cast<unsigned>(device));
  return name;
}

std::string MotionKey(std::size_t variable, MotionField field) {
  static constexpr std::string_view kNames[] = {"Mode", "Low", "High", "Period", "Noise"};
  return "PV" + std::to_string(variable + 1) + std::string(kNames[static_cast<std::size_t>(field)]);
}

MotionKeys MotionKeyNames(std::size_t variable) {
  const auto key = [&](MotionField field) { return MotionKey(variable, field); };
  return {key(MotionField::Mode), key(MotionField::Low), key(MotionField::High),
          key(MotionField::Period), key(MotionField::Noise)};
}

std::string_view MotionModeName(MotionMode mode) {
  return kModeNames[static_cast<std::size_t>(mode)];
}

std::optional<MotionMode> ParseMotionMode(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return MotionMode::Fixed;
  for (std::size_t i = 0; i < kModeNames.size(); ++i) {
    const std::string_view name = kModeNames[i];
    const bool same = std::ranges::equal(text, name, [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    if (same) return static_cast<MotionMode>(i);
  }
  return std::nullopt;
}

std::string MotionProblemText(MotionProblem problem, std::string_view high) {
  switch (problem) {
    case MotionProblem::NotAMode:
      return "is not a mode (fixed, sine, triangle, ramp, square or random)";
    case MotionProblem::NotANumber:
      return "is not a number";
    case MotionProblem::AboveHigh:
      return "is above " + std::string(high);
    case MotionProblem::NotAPeriod:
      return "is not a period above 0";
    case MotionProblem::NotANoise:
      return "is not a noise amplitude of 0 or more";
    case MotionProblem::BeyondFloat:
      return "takes the value beyond the float range";
  }
  return {};
}

std::string MotionFaultLine(const MotionFault& fault, uint8_t device) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "Dev[%u]_Simulation: ", static_cast<unsigned>(device));
  return prefix + MotionKey(fault.variable, fault.field) + "=" + fault.text + " " +
         MotionProblemText(fault.problem, MotionKey(fault.variable, MotionField::High)) + "; PV" +
         std::to_string(fault.variable + 1) + " stays fixed";
}

ParsedMotion ParseMotion(const MotionTexts& texts, std::size_t variable) {
  const auto fault = [&](MotionField field, const std::string& text, MotionProblem problem) {
    return ParsedMotion{std::nullopt, MotionFault{variable, field, text, problem}};
  };
  const std::optional<MotionMode> mode = ParseMotionMode(texts.mode);
  if (!mode) return fault(MotionField::Mode, texts.mode, MotionProblem::NotAMode);
  if (*mode == MotionMode::Fixed) return {};
  const std::optional<double> low = MotionNumber(texts.low);
  if (!low) return fault(MotionField::Low, texts.low, MotionProblem::NotANumber);
  const std::optional<double> high = MotionNumber(texts.high);
  if (!high) return fault(MotionField::High, texts.high, MotionProblem::NotANumber);
  if (*low > *high) return fault(MotionField::Low, texts.low, MotionProblem::AboveHigh);
  const std::optional<double> period = MotionNumber(texts.period);
  if (!period || !(*period > 0.0)) {
    return fault(MotionField::Period, texts.period, MotionProblem::NotAPeriod);
  }
  const std::optional<double> noise =
      Trim(texts.noise).empty() ? std::optional<double>(0.0) : MotionNumber(texts.noise);
  if (!noise || !(*noise >= 0.0)) {
    return fault(MotionField::Noise, texts.noise, MotionProblem::NotANoise);
  }
  // The value with its noise must stay a float.
  if (std::max(std::fabs(*low), std::fabs(*high)) + *noise > FLT_MAX) {
    return fault(MotionField::Noise, texts.noise, MotionProblem::BeyondFloat);
  }
  return {MotionSettings{*mode, *low, *high, *period, *noise}, std::nullopt};
}

double PeriodicValue(const MotionSettings& s, uint64_t elapsedMs) {
  const double phase = Phase(s, elapsedMs);
  const double span = s.high - s.low;
  switch (s.mode) {
    case MotionMode::Sine:
      return s.low + span / 2.0 * (1.0 + std::sin(2.0 * std::numbers::pi * phase));
    case MotionMode::Triangle:
      return s.low + span * (phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase);
    case MotionMode::Ramp:
      return s.low + span * phase;
    case MotionMode::Square:
      return phase < 0.5 ? s.low : s.high;
    default:
      return s.low;
  }
}

double MotionRandom::Symmetric() {
  state_ += 0x9E37'79B9'7F4A'7C15ULL;
  uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBULL;
  z ^= z >> 31;
  // The top 53 bits as a fraction in [0, 1), then moved to [-1, 1).
  return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
}

double RandomWalkStep(const MotionSettings& s, double value, double dtSeconds,
                      MotionRandom& random) {
  const double largest = (s.high - s.low) / s.period * dtSeconds;
  return std::clamp(value + random.Symmetric() * largest, s.low, s.high);
}

MovingValues::MovingValues() {
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    for (std::size_t i = 0; i < kMovingVariables; ++i) {
      variables_[device][i].random = MotionRandom(SeedOf(device, i));
    }
  }
}

void MovingValues::SetTexts(uint8_t device, const DeviceMotionTexts& texts,
                            std::vector<std::string>& problems) {
  if (device >= kDeviceCount) return;
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    Variable& v = variables_[device][i];
    if (v.texts == texts[i]) continue;
    const ParsedMotion parsed = ParseMotion(texts[i], i);
    if (parsed.fault) problems.push_back(MotionFaultLine(*parsed.fault, device));
    v = Variable{texts[i], parsed.settings, false, 0, 0, 0.0, MotionRandom(SeedOf(device, i))};
    if (v.settings) v.walk = (v.settings->low + v.settings->high) / 2.0;
  }
}

std::array<std::optional<double>, kMovingVariables> MovingValues::Evaluate(uint8_t device,
                                                                           uint32_t nowMs) {
  std::array<std::optional<double>, kMovingVariables> values;
  if (device >= kDeviceCount) return values;
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    Variable& v = variables_[device][i];
    if (!v.settings) continue;
    const MotionSettings& s = *v.settings;
    // The difference of two readings is right across the counter's wrap.
    const uint32_t step = v.started ? nowMs - v.lastMs : 0;
    v.started = true;
    v.lastMs = nowMs;
    v.elapsedMs += step;
    double value = 0.0;
    if (s.mode == MotionMode::Random) {
      v.walk = RandomWalkStep(s, v.walk, step / 1000.0, v.random);
      value = v.walk;
    } else {
      value = PeriodicValue(s, v.elapsedMs);
    }
    if (s.noise > 0.0) value += v.random.Symmetric() * s.noise;
    values[i] = value;
  }
  return values;
}

std::optional<MotionSettings> MovingValues::Settings(uint8_t device, std::size_t variable) const {
  if (device >= kDeviceCount || variable >= kMovingVariables) return std::nullopt;
  return variables_[device][variable].settings;
}

bool MovingValues::AnyMoving(uint8_t device) const {
  if (device >= kDeviceCount) return false;
  return std::ranges::any_of(variables_[device],
                             [](const Variable& v) { return v.settings.has_value(); });
}

std::string DescribeMotion(const MotionSettings& s) {
  char text[160];
  std::snprintf(text, sizeof text, "%s %g..%g over %g s", MotionModeName(s.mode).data(), s.low,
                s.high, s.period);
  std::string description = text;
  if (s.noise > 0.0) {
    std::snprintf(text, sizeof text, " +-%g noise", s.noise);
    description += text;
  }
  return description;
}

}  // namespace qln
