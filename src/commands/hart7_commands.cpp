#include "commands/hart7_commands.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/encodings.h"
#include "commands/common_practice_commands.h"
#include "commands/dispatcher.h"
#include "commands/units.h"
#include "device/text_values.h"

namespace qln {
namespace {

constexpr uint8_t kInvalidVariable = 17;  // "invalid device variable index"
constexpr uint8_t kInvalidUnits = 12;     // "invalid units code"
constexpr uint8_t kNotUsed = 250;
constexpr std::size_t kVariables = 4;  // PV, SV, TV, QV
constexpr std::size_t kProcessUnitTagBytes = 32;
constexpr uint8_t kSquawkOff = 0;
constexpr uint8_t kSquawkOn = 1;
constexpr uint8_t kSquawkOnce = 2;
constexpr uint8_t kFixedValue = 1;  // command 79's command code; 0 is normal
constexpr uint8_t kPropertyInput = 0x01;
constexpr uint8_t kPropertySimulated = 0x80;
constexpr uint32_t kTicksPerMs = 32;  // acquisition periods count 1/32 ms

uint8_t* Data(CommandContext& ctx) { return ctx.exchange.Data.data(); }

std::string DeviceSection(uint8_t device, const char* suffix) {
  char name[32];
  std::snprintf(name, sizeof name, "HTDev%02u_%s", static_cast<unsigned>(device), suffix);
  return name;
}

// What a key's text must read as.
enum class Form : uint8_t { Count, Number, Letters, Text };
struct KeyRule {
  std::string key;
  std::string fallback;
  Form form;
  uint32_t max = 0;  // Count: the largest value; Text: the longest text
};

std::optional<double> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

bool Reads(const KeyRule& rule, const std::string& text) {
  switch (rule.form) {
    case Form::Count:
      return !text.empty() && text.size() <= 10 &&
             std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
             std::strtoull(text.c_str(), nullptr, 10) <= rule.max;
    case Form::Number:
      return Number(text).has_value();
    case Form::Letters:
      return text.size() == 2 &&
             std::all_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    case Form::Text:
      return text.size() <= rule.max;
  }
  return false;
}

// The texts of the keys, in order: the file's (or a change still pending), the default where the
// key is absent, and the default in place of a text that does not read as its key's value; such
// a text is reported once, and again only after it changed.
std::vector<std::string> ReadChecked(CommandContext& ctx, const std::string& section,
                                     const std::vector<KeyRule>& rules) {
  std::vector<std::string_view> keys;
  for (const KeyRule& rule : rules) keys.push_back(rule.key);
  std::vector<std::string> texts = ctx.store.ReadKeys(section, keys);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    std::string& text = texts[i];
    const std::string where = section + "/" + rules[i].key;
    if (text.empty() || Reads(rules[i], text)) {
      ctx.state.ReportedTexts.erase(where);
      if (text.empty()) text = rules[i].fallback;
      continue;
    }
    auto [reported, fresh] = ctx.state.ReportedTexts.try_emplace(where, text);
    if ((fresh || reported->second != text) && ctx.notifier != nullptr) {
      ctx.notifier->Problem("QLN.ini [" + section + "] " + rules[i].key + "=" + text +
                            " is not a valid value; " + rules[i].fallback + " is used.");
    }
    reported->second = text;
    text = rules[i].fallback;
  }
  return texts;
}

void WriteSection(CommandContext& ctx, const std::string& section, std::vector<KeyText> keys) {
  (void)ctx.store.WriteSharedSection(ctx.model, section, keys);
}

// A device-variable code (0..3, or 246..249 for PV..QV) as the variable's index.
std::optional<std::size_t> VariableIndex(uint8_t code) {
  if (code < kVariables) return code;
  if (code >= 246 && code < 246 + kVariables) return code - 246u;
  return std::nullopt;
}

std::string Key(std::size_t variable, const char* name) {
  return "DV" + std::to_string(variable) + name;
}

struct Variable {
  uint8_t* unit;
  float* value;
};
Variable VariableOf(DeviceRecord& r, std::size_t n) {
  switch (n) {
    case 1:
      return {&r.PV2Unit, &r.PV2Value};
    case 2:
      return {&r.PV3Unit, &r.PV3Value};
    case 3:
      return {&r.PV4Unit, &r.PV4Value};
    default:
      return {&r.PV1Unit, &r.PV1Value};
  }
}

// Whether writing is allowed, else the refusal's code: write protection, then the lock.
uint8_t WriteRefusal(CommandContext& ctx) {
  if (ctx.model.Active.WrProtCode != 0) return kWriteProtected;
  if (ctx.state.LockState != 0) return kAccessRestricted;
  return kResponseSuccess;
}

// 512/513: country code and SI-units-only flag; 520/521: process unit tag. `request` holds the
// extended command's own data; the reply data go to `out`. Returns the response code.
uint8_t Extended(CommandContext& ctx, uint8_t device, uint16_t command,
                 std::span<const uint8_t> request, std::vector<uint8_t>& out) {
  const std::string country = DeviceSection(device, "Cmd512");
  const std::string unit = DeviceSection(device, "Cmd520");
  const std::vector<KeyRule> countryKeys{{"CountryCode", "US", Form::Letters},
                                         {"SIUnitsOnly", "0", Form::Count, 1}};
  const std::vector<KeyRule> tagKeys{{"ProcessUnitTag", "", Form::Text, kProcessUnitTagBytes}};
  switch (command) {
    case 513: {
      if (const uint8_t refusal = WriteRefusal(ctx); refusal != kResponseSuccess) return refusal;
      if (request.size() < 3) return kTooFewDataBytes;
      const bool letters = std::all_of(request.begin(), request.begin() + 2,
                                       [](uint8_t c) { return c >= 'A' && c <= 'Z'; });
      if (!letters || request[2] > 1) return kInvalidSelection;
      WriteSection(ctx, country,
                   {{"CountryCode", std::string(request.begin(), request.begin() + 2)},
                    {"SIUnitsOnly", std::to_string(request[2])}});
      CountConfigChange(ctx, device);
      [[fallthrough]];
    }
    case 512: {
      const std::vector<std::string> texts = ReadChecked(ctx, country, countryKeys);
      out.insert(out.end(), texts[0].begin(), texts[0].end());
      out.push_back(static_cast<uint8_t>(ParseUnsigned(texts[1])));
      return kResponseSuccess;
    }
    case 521: {
      if (const uint8_t refusal = WriteRefusal(ctx); refusal != kResponseSuccess) return refusal;
      if (request.size() < kProcessUnitTagBytes) return kTooFewDataBytes;
      std::string tag(request.begin(), request.begin() + kProcessUnitTagBytes);
      while (!tag.empty() && (tag.back() == '\0' || tag.back() == ' ')) tag.pop_back();
      // A line of the file holds the text: no control characters.
      if (std::any_of(tag.begin(), tag.end(), [](char c) {
            const auto b = static_cast<uint8_t>(c);
            return b < 0x20 || b == 0x7F;
          })) {
        return kInvalidSelection;
      }
      WriteSection(ctx, unit, {{"ProcessUnitTag", tag}});
      CountConfigChange(ctx, device);
      [[fallthrough]];
    }
    case 520: {
      const std::string tag = ReadChecked(ctx, unit, tagKeys)[0];
      out.insert(out.end(), tag.begin(), tag.end());
      out.resize(2 + kProcessUnitTagBytes, 0);  // padded with NULs
      return kResponseSuccess;
    }
    default:
      return kNotImplemented;
  }
}

std::vector<KeyRule> SimulationKeys(std::size_t n) {
  return {{Key(n, "Simulated"), "0", Form::Count, 1},
          {Key(n, "Value"), "0", Form::Number},
          {Key(n, "Unit"), "250", Form::Count, 255},
          {Key(n, "Status"), "0", Form::Count, 255}};
}

// The DVnSimulated keys of the four variables.
std::vector<KeyRule> SimulatedFlags() {
  std::vector<KeyRule> flags;
  for (std::size_t n = 0; n < kVariables; ++n) flags.push_back(SimulationKeys(n)[0]);
  return flags;
}

}  // namespace

void Command31(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t count = ctx.exchange.ByteCount;
  if (count < 2) return Refuse(ctx, kTooFewDataBytes);
  const uint16_t command = Get16(d);
  const std::vector<uint8_t> request(d + 2, d + count);
  std::vector<uint8_t> out{d[0], d[1]};  // the reply echoes the number, whatever its code
  const uint8_t code = Extended(ctx, device, command, request, out);
  if (code != kResponseSuccess) out.resize(2);
  std::copy(out.begin(), out.end(), d);
  Reply(ctx, static_cast<uint8_t>(out.size()), code);
}

void Command53(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t code = d[0];
  const uint8_t unit = d[1];
  const std::optional<std::size_t> n = VariableIndex(code);
  if (!n) return Refuse(ctx, kInvalidVariable);
  if (*n == 0) {  // the PV: as command 44 does, range and limits converted with it
    d[0] = unit;
    Command44(ctx, device);
    d[1] = d[0];
    d[0] = code;
    return Reply(ctx, 2);
  }
  RefreshSection(ctx, 3, device);  // the stored values, not a moving one of this moment
  const Variable v = VariableOf(ctx.model.Active, *n);
  const uint8_t cls = ClassOfUnit(*v.unit);
  if (cls != 0 && ClassOfUnit(unit) == cls) {
    const auto factor =
        ConversionFactor(cls, UnitIndexInClass(cls, *v.unit), UnitIndexInClass(cls, unit));
    if (factor) *v.value *= *factor;
  }
  *v.unit = unit;
  const std::string index = std::to_string(*n + 1);
  if (ctx.store.ConfigFileFound()) {
    ctx.store.WriteKeys(
        ctx.model, device, 3,
        {{"PV" + index + "Unit", IntText(*v.unit)}, {"PV" + index + "Value", FloatText(*v.value)}});
  }
  ctx.state.RefreshRequest.store(true);
  d[0] = code;
  d[1] = unit;
  Reply(ctx, 2);
}

void Command54(CommandContext& ctx, uint8_t device) {
  if (ctx.exchange.ByteCount < 1) return Refuse(ctx, kTooFewDataBytes);
  uint8_t* d = Data(ctx);
  const uint8_t code = d[0];
  const std::optional<std::size_t> n = VariableIndex(code);
  if (!n) return Refuse(ctx, kInvalidVariable);
  for (uint8_t section : {uint8_t{3}, uint8_t{14}, uint8_t{15}})
    RefreshSection(ctx, section, device);
  DeviceRecord& r = ctx.model.Active;
  const std::string section = DeviceSection(device, "Cmd054");
  const std::vector<std::string> texts =
      ReadChecked(ctx, section,
                  {{Key(*n, "SensorSN"), std::to_string(r.TransducerSN), Form::Count, 0xFFFFFF},
                   {Key(*n, "UpperLimit"), FloatText(r.UpLimit), Form::Number},
                   {Key(*n, "LowerLimit"), FloatText(r.LoLimit), Form::Number},
                   {Key(*n, "MinSpan"), FloatText(r.MinSpan), Form::Number},
                   {Key(*n, "Damping"), FloatText(r.PVDampValue), Form::Number},
                   {Key(*n, "Family"), std::to_string(kNotUsed), Form::Count, 255},
                   {Key(*n, "AcquisitionMs"), "1000", Form::Count, 0xFFFFFFFF / kTicksPerMs}});
  const Variable v = VariableOf(r, *n);
  // The PV's sensor is the transducer of sections 014 and 015; the others are the section's.
  const bool pv = *n == 0;
  const uint8_t unit = pv ? r.LimitUnit : *v.unit;
  uint8_t statuses[kVariables];
  const uint8_t simulated = ApplySimulation(ctx, device, statuses);
  d[0] = code;
  Put24(d + 1, pv ? r.TransducerSN : ParseUnsigned(texts[0]));
  d[4] = unit;
  EncodeFloat(pv ? r.UpLimit : static_cast<float>(ParseDouble(texts[1])), d + 5);
  EncodeFloat(pv ? r.LoLimit : static_cast<float>(ParseDouble(texts[2])), d + 9);
  EncodeFloat(pv ? r.PVDampValue : static_cast<float>(ParseDouble(texts[4])), d + 13);
  EncodeFloat(pv ? r.MinSpan : static_cast<float>(ParseDouble(texts[3])), d + 17);
  d[21] = ClassOfUnit(unit);
  d[22] = static_cast<uint8_t>(ParseUnsigned(texts[5]));
  Put32(d + 23, ParseUnsigned(texts[6]) * kTicksPerMs);
  d[27] = static_cast<uint8_t>(kPropertyInput | ((simulated >> *n) & 1 ? kPropertySimulated : 0));
  Reply(ctx, 28);
}

void Command72(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const uint8_t control = ctx.exchange.ByteCount == 0 ? kSquawkOnce : d[0];
  if (control > kSquawkOnce) return Refuse(ctx, kInvalidSelection);
  ctx.state.SquawkFlashes[device].store(control == kSquawkOn     ? kSquawkOnFlashes
                                        : control == kSquawkOnce ? 1
                                                                 : 0);
  if (control != kSquawkOff) ctx.exchange.Note = ReplyNote::Squawk;
  d[0] = control;
  Reply(ctx, 1);
}

void Command79(CommandContext& ctx, uint8_t device) {
  uint8_t* d = Data(ctx);
  const std::optional<std::size_t> n = VariableIndex(d[0]);
  if (!n) return Refuse(ctx, kInvalidVariable);
  if (d[1] > kFixedValue) return Refuse(ctx, kInvalidSelection);
  const uint8_t unit = d[2];
  if (d[1] == kFixedValue && ClassOfUnit(unit) == 0) return Refuse(ctx, kInvalidUnits);
  const float value = DecodeFloat(d + 3);
  const std::vector<KeyRule> keys = SimulationKeys(*n);
  std::vector<KeyText> texts{{keys[0].key, std::to_string(d[1])}};
  if (d[1] == kFixedValue) {
    texts.push_back({keys[1].key, ValueText(value)});
    texts.push_back({keys[2].key, std::to_string(unit)});
    texts.push_back({keys[3].key, std::to_string(d[7])});
  }
  WriteSection(ctx, DeviceSection(device, "Cmd079"), texts);
  ctx.state.RefreshRequest.store(true);
  Reply(ctx, 8);
}

uint8_t ApplySimulation(CommandContext& ctx, uint8_t device, uint8_t statuses[4]) {
  std::fill_n(statuses, kVariables, 0);
  // Only a device in HART 7 mode simulates: a section left from then does nothing in revision 6.
  if (ParseUnsigned(ctx.model.Table[device].Texts.Get(0, "UnivCmdRev")) < 7) return 0;
  const std::string section = DeviceSection(device, "Cmd079");
  // Every read command and burst frame comes here: the value keys are read only for a variable
  // that is simulated.
  const std::vector<std::string> flags = ReadChecked(ctx, section, SimulatedFlags());
  uint8_t mask = 0;
  DeviceRecord& r = ctx.model.Active;
  for (std::size_t n = 0; n < kVariables; ++n) {
    if (ParseUnsigned(flags[n]) != kFixedValue) continue;
    const std::vector<KeyRule> keys = SimulationKeys(n);
    const std::vector<std::string> t = ReadChecked(ctx, section, {keys.begin() + 1, keys.end()});
    const Variable v = VariableOf(r, n);
    *v.value = static_cast<float>(ParseDouble(t[0]));
    *v.unit = static_cast<uint8_t>(ParseUnsigned(t[1]));
    statuses[n] = static_cast<uint8_t>(ParseUnsigned(t[2]));
    mask = static_cast<uint8_t>(mask | (1u << n));
  }
  if (mask != 0) {  // the record holds values that are not the file's
    ctx.model.DecodedFor[1] = kNoDevice;
    ctx.model.DecodedFor[3] = kNoDevice;
  }
  return mask;
}

void EndSimulation(CommandContext& ctx, uint8_t device) {
  const std::string section = DeviceSection(device, "Cmd079");
  const std::vector<KeyRule> rules = SimulatedFlags();
  const std::vector<std::string> texts = ReadChecked(ctx, section, rules);
  std::vector<KeyText> off;
  for (std::size_t n = 0; n < kVariables; ++n) {
    if (ParseUnsigned(texts[n]) != 0) off.push_back({rules[n].key, "0"});
  }
  if (!off.empty()) WriteSection(ctx, section, off);
}

}  // namespace qln
