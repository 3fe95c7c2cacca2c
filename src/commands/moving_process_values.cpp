#include "commands/moving_process_values.h"

#include <string>
#include <vector>

namespace qln {

DeviceMotionTexts ReadMotionTexts(const ProfileSnapshot& file, uint8_t device) {
  const std::string section = SimulationSectionName(device);
  DeviceMotionTexts texts;
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    const MotionKeys keys = MotionKeyNames(i);
    texts[i] = {file.Read(section, keys.mode), file.Read(section, keys.low),
                file.Read(section, keys.high), file.Read(section, keys.period),
                file.Read(section, keys.noise)};
  }
  return texts;
}

Result<> WriteMotionTexts(DeviceModel& model, ConfigStore& store, uint8_t device,
                          const DeviceMotionTexts& texts) {
  std::vector<KeyText> keys;
  std::array<MotionKeys, kMovingVariables> names;
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    names[i] = MotionKeyNames(i);
    const MotionTexts& t = texts[i];
    keys.insert(keys.end(), {{names[i].mode, t.mode},
                             {names[i].low, t.low},
                             {names[i].high, t.high},
                             {names[i].period, t.period},
                             {names[i].noise, t.noise}});
  }
  return store.WriteSharedSection(model, SimulationSectionName(device), keys);
}

std::array<std::optional<double>, kMovingVariables> MovingValuesNow(ConfigStore& store,
                                                                    MovingValues& motion,
                                                                    const Clock& clock,
                                                                    uint8_t device) {
  // The store re-parses the file only when it changed on disk: an edit counts at once.
  if (const auto snapshot = store.Snapshot(); snapshot->Exists()) {
    std::vector<std::string> problems;
    motion.SetTexts(device, ReadMotionTexts(*snapshot, device), problems);
    for (const std::string& problem : problems) store.Operator().Problem(problem);
  }
  return motion.Evaluate(device, clock.Milliseconds());
}

void ApplyMovingValues(CommandContext& ctx, uint8_t device) {
  const auto values = MovingValuesNow(ctx.store, ctx.state.Motion, ctx.clock, device);
  DeviceRecord& r = ctx.model.Active;
  float* const fields[kMovingVariables] = {&r.PV1Value, &r.PV2Value, &r.PV3Value, &r.PV4Value};
  bool moved = false;
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    if (!values[i]) continue;
    *fields[i] = static_cast<float>(*values[i]);
    moved = true;
  }
  if (moved) {
    ctx.model.DecodedFor[1] = kNoDevice;
    ctx.model.DecodedFor[3] = kNoDevice;
  }
}

void RestoreStoredValues(CommandContext& ctx, uint8_t device) {
  if (ctx.model.DecodedFor[3] != kNoDevice) return;
  RefreshSection(ctx, 3, device);
}

void ConvertMotionRange(CommandContext& ctx, uint8_t device, double factor) {
  if (!ctx.store.ConfigFileFound()) return;
  const auto snapshot = ctx.store.Snapshot();
  const std::string section = SimulationSectionName(device);
  const MotionKeys keys = MotionKeyNames(0);
  std::vector<KeyText> converted;
  for (const std::string* key : {&keys.low, &keys.high, &keys.noise}) {
    const std::optional<double> value = MotionNumber(snapshot->Read(section, *key));
    if (value && *value != 0.0) converted.push_back({*key, FloatText(*value * factor)});
  }
  if (!converted.empty()) ctx.store.WriteSharedSection(ctx.model, section, converted);
}

}  // namespace qln
