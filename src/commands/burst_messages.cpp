#include "commands/burst_messages.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "device/text_values.h"

namespace qln {
namespace {

enum Key : std::size_t {
  kControlKey,
  kCommandKey,
  kPeriodKey,
  kMaxPeriodKey,
  kTriggerModeKey,
  kTriggerClassKey,
  kTriggerUnitKey,
  kTriggerLevelKey,
  kFirstSlotKey,
};
static_assert(kFirstSlotKey + kBurstSlotCount == kBurstKeyCount);

constexpr std::string_view kKeys[kBurstKeyCount] = {
    "Control",     "Command",      "UpdatePeriodMs", "MaxUpdatePeriodMs",
    "TriggerMode", "TriggerClass", "TriggerUnit",    "TriggerLevel",
    "Slot0",       "Slot1",        "Slot2",          "Slot3",
    "Slot4",       "Slot5",        "Slot6",          "Slot7"};

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A decimal number of the whole text within first..last; nothing otherwise.
std::optional<uint32_t> Unsigned(std::string_view text, uint32_t first, uint32_t last) {
  text = Trimmed(text);
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  if (value < first || value > last) return {};
  return value;
}

// A number of the whole text ("nan" too: the trigger level of a continuous trigger).
std::optional<float> Float(std::string_view text) {
  text = Trimmed(text);
  float value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  return value;
}

std::string LevelText(float level) { return std::isnan(level) ? "nan" : ValueText(level); }

}  // namespace

std::string BurstSection(uint8_t device, uint8_t message) {
  char name[24];
  std::snprintf(name, sizeof name, "HTDev%02d_Burst%d", device, message);
  return name;
}

bool BurstCommandHasLayout(uint32_t command) {
  switch (command) {
    case 1:
    case 2:
    case 3:
    case 9:
    case 33:
    case 48:
      return true;
    default:
      return false;
  }
}

BurstMessage LoadBurstMessage(CommandContext& ctx, uint8_t device, uint8_t message) {
  const std::string section = BurstSection(device, message);
  const std::vector<std::string> texts = ctx.store.ReadKeys(section, kKeys);
  BurstMessage burst;
  if (message == 0) {
    // A file without the message's keys bursts as sections 108 and 109 say.
    const DeviceEntry& entry = ctx.model.Table[device];
    const uint32_t mode = ParseUnsigned(entry.Texts.Get(109, "BurstMode"));
    burst.control = static_cast<uint8_t>(mode > kHighestBurstControl ? 1 : mode);
    if (BurstCommandHasLayout(entry.BurstCmdNo))
      burst.command = static_cast<uint16_t>(entry.BurstCmdNo);
  }

  BurstTexts& reported = ctx.state.RefusedBurstTexts[device][message];
  BurstTexts refused;
  const auto refuse = [&](std::size_t key, const std::string& text, const std::string& why) {
    refused[key] = text;
    if (reported[key] == text || ctx.notifier == nullptr) return;
    ctx.notifier->Problem("QLN.ini [" + section + "] " + std::string(kKeys[key]) + "=" + text +
                          " refused: " + why + "; the default is used.");
  };
  const auto number = [&](std::size_t key, uint32_t first, uint32_t last,
                          const char* why) -> std::optional<uint32_t> {
    const std::string& text = texts[key];
    if (text.empty()) return {};
    const std::optional<uint32_t> value = Unsigned(text, first, last);
    if (!value) refuse(key, text, why);
    return value;
  };

  if (auto v = number(kControlKey, 0, kHighestBurstControl, "not a control code 0..4")) {
    burst.control = static_cast<uint8_t>(*v);
  }
  if (auto v = number(kCommandKey, 0, 0xFFFF, "not a command number")) {
    if (BurstCommandHasLayout(*v)) {
      burst.command = static_cast<uint16_t>(*v);
    } else {
      refuse(kCommandKey, texts[kCommandKey], "no burst frame for this command");
    }
  }
  const char* periodRange = "not a period of 500..3600000 ms";
  if (auto v = number(kPeriodKey, kMinBurstPeriodMs, kMaxBurstPeriodMs, periodRange)) {
    burst.periodMs = *v;
  }
  if (auto v = number(kMaxPeriodKey, kMinBurstPeriodMs, kMaxBurstPeriodMs, periodRange)) {
    burst.maxPeriodMs = *v;
  }
  burst.maxPeriodMs = std::max(burst.maxPeriodMs, burst.periodMs);
  if (auto v = number(kTriggerModeKey, 0, kHighestTriggerMode, "not a trigger mode 0..4")) {
    burst.triggerMode = static_cast<uint8_t>(*v);
  }
  if (auto v = number(kTriggerClassKey, 0, 255, "not a classification 0..255")) {
    burst.triggerClass = static_cast<uint8_t>(*v);
  }
  if (auto v = number(kTriggerUnitKey, 0, 255, "not a unit code 0..255")) {
    burst.triggerUnit = static_cast<uint8_t>(*v);
  }
  if (const std::string& text = texts[kTriggerLevelKey]; !text.empty()) {
    if (const std::optional<float> level = Float(text)) {
      burst.triggerLevel = *level;
    } else {
      refuse(kTriggerLevelKey, text, "not a number");
    }
  }
  for (std::size_t slot = 0; slot < kBurstSlotCount; ++slot) {
    if (auto v = number(kFirstSlotKey + slot, 0, 255, "not a device variable code 0..255")) {
      burst.slots[slot] = static_cast<uint8_t>(*v);
    }
  }
  reported = refused;
  return burst;
}

void SaveBurstMessage(CommandContext& ctx, uint8_t device, uint8_t message,
                      const BurstMessage& burst) {
  std::vector<std::string> values = {IntText(burst.control),     IntText(burst.command),
                                     IntText(burst.periodMs),    IntText(burst.maxPeriodMs),
                                     IntText(burst.triggerMode), IntText(burst.triggerClass),
                                     IntText(burst.triggerUnit), LevelText(burst.triggerLevel)};
  for (uint8_t code : burst.slots) values.push_back(IntText(code));
  std::vector<KeyText> keys;
  for (std::size_t key = 0; key < kBurstKeyCount; ++key) keys.push_back({kKeys[key], values[key]});
  (void)ctx.store.WriteSharedSection(ctx.model, BurstSection(device, message), keys);
}

uint32_t BurstPeriodMs(uint32_t period32, bool& adjusted) {
  const uint32_t wholeMs = period32 / 32 + (period32 % 32 != 0 ? 1 : 0);
  const uint32_t ms = std::clamp(wholeMs, kMinBurstPeriodMs, kMaxBurstPeriodMs);
  if (ms * 32 != period32) adjusted = true;
  return ms;
}

}  // namespace qln
