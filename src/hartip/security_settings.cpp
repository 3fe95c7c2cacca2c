#include "hartip/security_settings.h"

#include <algorithm>
#include <cctype>

namespace qln::hartip {
namespace {

constexpr std::string_view kWhat[kSecurityKeysPerSlot] = {"Identity", "Key", "Password"};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace

const ClientEntry* SecuritySettings::Find(std::string_view identity) const {
  const auto found = std::find_if(clients.begin(), clients.end(),
                                  [&](const ClientEntry& c) { return c.identity == identity; });
  return found == clients.end() ? nullptr : &*found;
}

std::string ClientKeyName(uint8_t slot, std::string_view what) {
  return "Client" + std::to_string(slot) + std::string(what);
}

const std::array<std::string_view, kSecurityKeyCount>& SecurityKeyNames() {
  // The names live as long as the program: built once from the slots.
  static const std::array<std::string, kSecurityKeyCount> texts = [] {
    std::array<std::string, kSecurityKeyCount> t;
    t[0] = "Policy";
    for (uint8_t slot = 0; slot < kClientSlots; ++slot) {
      for (std::size_t w = 0; w < kSecurityKeysPerSlot; ++w) {
        t[1 + slot * kSecurityKeysPerSlot + w] = ClientKeyName(slot, kWhat[w]);
      }
    }
    return t;
  }();
  static const std::array<std::string_view, kSecurityKeyCount> names = [] {
    std::array<std::string_view, kSecurityKeyCount> n;
    for (std::size_t i = 0; i < kSecurityKeyCount; ++i) n[i] = texts[i];
    return n;
  }();
  return names;
}

std::string HexText(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (char c : text.substr(i, 2)) {
      const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                        : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                    : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

SecuritySettings ParseSecuritySettings(std::span<const std::string> texts) {
  SecuritySettings settings;
  const std::array<std::string_view, kSecurityKeyCount>& names = SecurityKeyNames();
  for (uint8_t slot = 0; slot < kClientSlots; ++slot) {
    const std::size_t at = 1 + slot * kSecurityKeysPerSlot;
    if (at + 1 >= texts.size()) break;
    const std::string& identity = texts[at];
    const std::string& keyText = texts[at + 1];
    if (identity.empty() && keyText.empty()) continue;
    const std::string entry = "[" + std::string(kSecuritySection) + "] " +
                              std::string(identity.empty() ? names[at] : names[at + 1]);
    if (identity.empty()) {
      settings.problems.push_back("HART-IP security: " + entry +
                                  " has no identity beside it; client " + std::to_string(slot) +
                                  " cannot connect");
      continue;
    }
    if (keyText.empty()) continue;  // a client with a password only: no handshake uses it
    const std::optional<std::vector<uint8_t>> key = ParseHex(keyText);
    if (!key || key->size() < kMinKeyBytes || key->size() > kMaxKeyBytes) {
      settings.problems.push_back("HART-IP security: " + entry + " is not " +
                                  std::to_string(kMinKeyBytes) + " to " +
                                  std::to_string(kMaxKeyBytes) + " bytes in hex; client " +
                                  std::to_string(slot) + " (" + identity + ") cannot connect");
      continue;
    }
    if (settings.Find(identity) != nullptr) {
      settings.problems.push_back("HART-IP security: " + entry + " repeats the identity " +
                                  identity + " of a lower slot; client " + std::to_string(slot) +
                                  " cannot connect");
      continue;
    }
    settings.clients.push_back({slot, identity, *key});
  }
  const std::string policy = texts.empty() ? std::string() : Lower(texts[0]);
  if (!settings.clients.empty()) {
    settings.policy = policy == "require" ? SecurityPolicy::Require
                      : policy == "off"   ? SecurityPolicy::Off
                                          : SecurityPolicy::Allow;
  }
  if (!policy.empty() && policy != "off" && policy != "allow" && policy != "require") {
    settings.problems.push_back(
        "HART-IP security: [" + std::string(kSecuritySection) + "] Policy=" + texts[0] +
        " is none of off, allow, require; allow is served while a client has a key");
  }
  return settings;
}

}  // namespace qln::hartip
