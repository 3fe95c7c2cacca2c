#include "commands/moving_process_values.h"

#include <string>
#include <string_view>
#include <vector>

#include "commands/hart7_commands.h"

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
  struct Wanted {
    std::string key;
    const std::string* text;
    bool mode;
  };
  std::vector<Wanted> wanted;
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    const MotionKeys k = MotionKeyNames(i);
    const MotionTexts& t = texts[i];
    wanted.insert(wanted.end(), {{k.mode, &t.mode, true},
                                 {k.low, &t.low, false},
                                 {k.high, &t.high, false},
                                 {k.period, &t.period, false},
                                 {k.noise, &t.noise, false}});
  }
  std::vector<std::string_view> keys;
  for (const Wanted& w : wanted) keys.push_back(w.key);
  const std::string section = SimulationSectionName(device);
  const std::vector<std::string> held = store.ReadKeys(section, keys);
  std::vector<KeyText> changed;
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    const Wanted& w = wanted[k];
    if (*w.text == held[k]) continue;
    const std::optional<MotionMode> named = ParseMotionMode(*w.text);
    if (w.mode && named && named == ParseMotionMode(held[k])) continue;
    changed.push_back({w.key, *w.text});
  }
  if (changed.empty()) return {};
  return store.WriteSharedSection(model, section, changed);
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
  uint8_t statuses[kMovingVariables];
  ApplySimulation(ctx, device, statuses);  // a simulated variable wins over a moving one
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
