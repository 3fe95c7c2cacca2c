// HART-IP security as the live file holds it: the section "HTDev_HartIpSecurity" with
//   Policy=off|allow|require
//   Client<N>Identity=<PSK identity>     N = 0..15, the client's slot; slot 0 is the security
//   Client<N>Key=<hex, 16..64 bytes>     manager, the only client that may change credentials
//   Client<N>Password=<text>             (stored by command 541; no handshake uses it)
// The policy: off serves plaintext only (a TLS or DTLS handshake is not answered), allow serves
// plaintext and secured sessions side by side, require serves secured sessions only (a plaintext
// session initiate of version 1, or any over UDP, is refused with status 16). Without a client
// that has a usable identity and key the policy is off, whatever the file says.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qln::hartip {

inline constexpr std::string_view kSecuritySection = "HTDev_HartIpSecurity";
inline constexpr std::size_t kClientSlots = 16;
// A key is 128 bits or longer; the longest is the longest a TLS PSK may be in OpenSSL.
inline constexpr std::size_t kMinKeyBytes = 16;
inline constexpr std::size_t kMaxKeyBytes = 64;

enum class SecurityPolicy : uint8_t { Off, Allow, Require };

struct ClientEntry {
  uint8_t slot = 0;
  std::string identity;
  std::vector<uint8_t> key;
  bool operator==(const ClientEntry&) const = default;
};

struct SecuritySettings {
  SecurityPolicy policy = SecurityPolicy::Off;
  std::vector<ClientEntry> clients;  // those with an identity and a key that parses
  // One text per entry that does not parse, naming it (never its key), for the console.
  std::vector<std::string> problems;

  const ClientEntry* Find(std::string_view identity) const;
};

// The section's key names, in the order ParseSecuritySettings takes their texts: Policy, then
// Identity, Key, Password of slot 0, of slot 1, ...
inline constexpr std::size_t kSecurityKeysPerSlot = 3;
inline constexpr std::size_t kSecurityKeyCount = 1 + kSecurityKeysPerSlot * kClientSlots;
const std::array<std::string_view, kSecurityKeyCount>& SecurityKeyNames();
// "Client<slot>Identity", "Client<slot>Key", "Client<slot>Password".
std::string ClientKeyName(uint8_t slot, std::string_view what);

// The settings from the texts of SecurityKeyNames() (empty: absent).
SecuritySettings ParseSecuritySettings(std::span<const std::string> texts);

// Upper-case hex of the bytes, and back (nothing for odd lengths or other characters).
std::string HexText(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text);

}  // namespace qln::hartip
