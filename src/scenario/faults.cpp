#include "scenario/faults.h"

#include <cstdio>

#include "base/hart_frame.h"

namespace qln {
namespace {

constexpr std::string_view kSpaces = " \t";

// A whole decimal number from 0 to max, with spaces around it allowed.
std::optional<uint16_t> WholeNumber(std::string_view text, uint16_t max) {
  const std::size_t first = text.find_first_not_of(kSpaces);
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(kSpaces) - first + 1);
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

std::string RangeReason(const char* what, unsigned low, unsigned high) {
  return std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
         std::to_string(high);
}

std::size_t Index(FaultKey key) { return static_cast<std::size_t>(key); }

}  // namespace

std::string FaultSection(uint8_t device) {
  char name[24];
  std::snprintf(name, sizeof name, "HTDev%02d_Faults", device);
  return name;
}

FaultSettings ParseFaults(const FaultTexts& texts) {
  FaultSettings settings;
  const auto read = [&](FaultKey key, uint16_t low, uint16_t high, const char* what) {
    const std::string& text = texts[Index(key)];
    if (text.find_first_not_of(kSpaces) == std::string::npos) return;  // empty: off
    const std::optional<uint16_t> value = WholeNumber(text, high);
    if (value && *value >= low) {
      settings.values[Index(key)] = *value;
    } else {
      settings.refused.push_back({key, text, RangeReason(what, low, high)});
    }
  };
  for (FaultKey key : {FaultKey::BusyReplies, FaultKey::DropReplies, FaultKey::BadChecksums,
                       FaultKey::ResponseCodeCount}) {
    read(key, 0, kMaxFaultCount, "a count");
  }
  read(FaultKey::ExtraDelayTicks, 0, kMaxExtraDelayTicks, "a delay in ticks");
  if (settings.Get(FaultKey::ResponseCodeCount) > 0) {
    read(FaultKey::ResponseCode, 1, 255, "a response code");
    // Without a usable code the count arms nothing.
    if (settings.Get(FaultKey::ResponseCode) == 0) {
      settings.values[Index(FaultKey::ResponseCodeCount)] = 0;
    }
  }
  return settings;
}

std::optional<FaultKey> FaultUse::Counted() const {
  switch (kind) {
    case FaultKind::Drop:
      return FaultKey::DropReplies;
    case FaultKind::Busy:
      return FaultKey::BusyReplies;
    case FaultKind::ResponseCode:
      return FaultKey::ResponseCodeCount;
    case FaultKind::BadChecksum:
      return FaultKey::BadChecksums;
    case FaultKind::None:
      break;
  }
  return std::nullopt;
}

FaultUse NextFault(const FaultSettings& settings) {
  FaultUse use;
  const uint16_t delay = settings.Get(FaultKey::ExtraDelayTicks);
  use.delayPeriods = static_cast<uint8_t>((delay + kTicksPerReplyWait - 1) / kTicksPerReplyWait);
  struct Order {
    FaultKind kind;
    FaultKey key;
  };
  for (const Order o : {Order{FaultKind::Drop, FaultKey::DropReplies},
                        Order{FaultKind::Busy, FaultKey::BusyReplies},
                        Order{FaultKind::ResponseCode, FaultKey::ResponseCodeCount},
                        Order{FaultKind::BadChecksum, FaultKey::BadChecksums}}) {
    const uint16_t count = settings.Get(o.key);
    if (count == 0) continue;
    use.kind = o.kind;
    use.left = static_cast<uint16_t>(count - 1);
    if (o.kind == FaultKind::Busy) use.responseCode = kBusyResponse;
    if (o.kind == FaultKind::ResponseCode) {
      use.responseCode = static_cast<uint8_t>(settings.Get(FaultKey::ResponseCode));
    }
    break;
  }
  return use;
}

std::string FaultNote(uint8_t device, const FaultUse& use) {
  if (!use.Any()) return {};
  std::string what;
  switch (use.kind) {
    case FaultKind::Drop:
      what = "reply dropped";
      break;
    case FaultKind::Busy:
      what = "busy reply";
      break;
    case FaultKind::ResponseCode:
      what = "response code " + std::to_string(use.responseCode);
      break;
    case FaultKind::BadChecksum:
      what = "bad checksum";
      break;
    case FaultKind::None:
      break;
  }
  if (use.kind != FaultKind::None) what += " (" + std::to_string(use.left) + " left)";
  // A dropped reply is not sent at all, so it is not held either.
  if (use.delayPeriods != 0 && use.kind != FaultKind::Drop) {
    what += (what.empty() ? "reply held " : ", held ") +
            std::to_string(use.delayPeriods * kTicksPerReplyWait) + " ticks";
  }
  return "Dev[" + std::to_string(device) + "]_Fault: " + what + "\r\n";
}

}  // namespace qln
