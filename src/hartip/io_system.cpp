#include "hartip/io_system.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "base/encodings.h"
#include "base/hart_frame.h"
#include "commands/command_context.h"
#include "device/text_values.h"

namespace qln {
namespace {

// The keys of the I/O system's section and the texts written when the file lacks it.
struct KeyDefault {
  std::string_view key;
  std::string_view text;
};
constexpr KeyDefault kKeys[] = {
    {"MfrID", "38"},
    {"ExpDevType", "9856"},  // 0x2680
    {"DevIDNo", "5327950"},  // 0x514C4E, "QLN"
    {"DevRev", "1"},
    {"SWRev", "1"},
    {"HWRev", "1"},
    {"Distributor", "38"},
    {"Tag", "QUILLON"},
    {"LongTag", "Quillon HART-IP I/O system"},
    {"Descriptor", "SIMULATOR"},
    {"Message", "QUILLON SIMULATED IO SYSTEM"},
    {"Day", "1"},
    {"Month", "1"},
    {"Year", "126"},
    {"FinalAssemblyNum", "0"},
    {"CfgChgCnt", "0"},
    {"MasterMode", "1"},
    {"RetryCount", "3"},
};
enum Key : std::size_t {
  kMfrId,
  kDeviceType,
  kDeviceId,
  kDeviceRev,
  kSoftwareRev,
  kHardwareRev,
  kDistributor,
  kTag,
  kLongTag,
  kDescriptor,
  kMessage,
  kDay,
  kMonth,
  kYear,
  kFinalAssembly,
  kChangeCounter,
  kMasterMode,
  kRetryCount,
  kKeyCount
};

constexpr uint8_t kCard = 0;
constexpr uint8_t kChannel = 0;
constexpr uint8_t kInvalidCard = 21;
constexpr uint8_t kInvalidChannel = 22;
constexpr uint8_t kNoSubDevice = 35;  // the sub-device does not answer: "dead"
constexpr uint8_t kUnknownUniqueId = 65;
constexpr uint8_t kMoreStatusAvailable = 0x10;
constexpr uint8_t kConfigChangedBit = 0x40;
constexpr uint8_t kMinRetries = 2;
constexpr uint8_t kMaxRetries = 5;
constexpr uint8_t kNotUsed = 250;
constexpr uint8_t kPreambles = 5;
constexpr std::size_t kSubscriptionRequest = 7;  // unique ID (5) and flags (2)
constexpr uint8_t kExtendedCommand = 31;         // 16-bit command number, then its data

// Client credentials: 541 a password, 542 a pre-shared key. Their requests: the client's slot
// (bits 0..3; bits 4..7 options, only repeated), a reserved byte, the secret, then the client's
// identity as Latin-1 text padded with NUL. 542's secret is the key's length in bytes (its CRC
// counted) and a field of the key, its CRC and padding.
constexpr std::size_t kPasswordRequest = 194;
constexpr std::size_t kKeyRequest = 197;
constexpr std::size_t kPasswordAt = 2;
constexpr std::size_t kPasswordField = 64;
constexpr std::size_t kKeyLengthAt = 2;
constexpr std::size_t kKeyAt = 3;
constexpr std::size_t kCrcBytes = 2;
constexpr std::size_t kIdentityField = 128;
constexpr std::size_t kLongestIdentity = kIdentityField - 1;
constexpr std::size_t kShortestIdentity = 8;
constexpr std::size_t kShortestPassword = 12;
constexpr uint8_t kSlotBits = 0x0F;
constexpr uint8_t kUnsupportedKeyLength = 10;  // 542
constexpr uint8_t kPasswordTooShort = 10;      // 541
constexpr uint8_t kDuplicateIdentity = 13;
constexpr uint8_t kKeyChangeFailed = 65;  // 542: the key does not match its CRC
constexpr uint8_t kIdentityTooShort = 67;

using Answer = IoSystem::Answer;

Answer Refusal(uint8_t code) { return {code, 0, {}}; }

void PutPacked(std::vector<uint8_t>& out, std::string_view text, std::size_t characters) {
  std::string padded(text.substr(0, characters));
  padded.resize(characters, ' ');
  for (char& c : padded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  uint8_t packed[48];
  std::size_t count = 0;
  PackAscii(padded, packed, &count);
  out.insert(out.end(), packed, packed + count);
}

void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void Put24(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 16));
  Put16(out, static_cast<uint16_t>(value));
}

void PutLongTag(std::vector<uint8_t>& out, std::span<const uint8_t, 32> tag) {
  out.insert(out.end(), tag.begin(), tag.end());
}

std::array<uint8_t, 32> LongTagBytes(std::string_view text) {
  std::array<uint8_t, 32> bytes{};
  std::copy_n(text.begin(), std::min<std::size_t>(text.size(), bytes.size()), bytes.begin());
  return bytes;
}

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF, not reflected, no final XOR. Over
// bytes followed by their own CRC (big-endian) it is 0.
uint16_t Crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (const uint8_t b : bytes) {
    crc = static_cast<uint16_t>(crc ^ (b << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

// The text of a NUL-padded field: its characters before the first NUL.
std::string FieldText(std::span<const uint8_t> field) {
  return std::string(field.begin(), std::find(field.begin(), field.end(), uint8_t{0}));
}

// Whether the file gives the text back as written: printable Latin-1 only (a line break would end
// the value early, and a control character has no place in a name or password) and no blank at
// either end (a read trims them).
bool Storable(std::string_view text) {
  if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u != 0x7F && (u < 0x80 || u >= 0xA0);
  });
}

// The 16-bit sub-device index that leads the request data of 84 and 86 (0: the I/O system).
std::optional<uint16_t> Index(std::span<const uint8_t> data) {
  if (data.size() < 2) return std::nullopt;
  return Get16(data.data());
}

}  // namespace

struct IoSystem::Identity {
  std::array<std::string, kKeyCount> texts;
  uint32_t Number(Key key, uint32_t limit) const {
    return std::min(ParseUnsigned(texts[key]), limit);
  }
  uint16_t Counter() const { return static_cast<uint16_t>(Number(kChangeCounter, 0xFFFF)); }
};

IoSystem::Identity IoSystem::Load() {
  static constexpr auto kNames = [] {
    std::array<std::string_view, kKeyCount> names{};
    for (std::size_t i = 0; i < kKeyCount; ++i) names[i] = kKeys[i].key;
    return names;
  }();
  Identity id;
  transaction_.WithStore([&](DeviceModel& model, ConfigStore& store) {
    const std::vector<std::string> texts = store.ReadKeys(kIoSystemSection, kNames);
    const bool absent = std::all_of(texts.begin(), texts.end(), [](auto& t) { return t.empty(); });
    std::vector<KeyText> defaults;
    for (std::size_t i = 0; i < kKeyCount; ++i) {
      id.texts[i] = texts[i].empty() ? std::string(kKeys[i].text) : texts[i];
      if (absent) defaults.push_back({kKeys[i].key, std::string(kKeys[i].text)});
    }
    // Written on first use, so that the operator finds the section to edit; a failed write is
    // reported by the store and retried with its other pending writes.
    if (absent && store.ConfigFileFound())
      (void)store.WriteSharedSection(model, kIoSystemSection, defaults);
  });
  return id;
}

std::array<uint8_t, 5> IoSystem::LongAddress() {
  const Identity id = Load();
  const uint32_t type = id.Number(kDeviceType, 0xFFFF);
  const uint32_t device = id.Number(kDeviceId, 0xFFFFFF);
  return {static_cast<uint8_t>((type >> 8) & kAddressMask), static_cast<uint8_t>(type),
          static_cast<uint8_t>(device >> 16), static_cast<uint8_t>(device >> 8),
          static_cast<uint8_t>(device)};
}

bool IoSystem::NamedBy(uint8_t command, std::span<const uint8_t> data) {
  const Identity id = Load();
  if (command == kReadTagCommand) {
    std::vector<uint8_t> tag;
    PutPacked(tag, id.texts[kTag], 8);
    return data.size() >= tag.size() && std::equal(tag.begin(), tag.end(), data.begin());
  }
  if (command == kReadLongTagCommand) {
    const std::array<uint8_t, 32> tag = LongTagBytes(id.texts[kLongTag]);
    return data.size() >= tag.size() && std::equal(tag.begin(), tag.end(), data.begin());
  }
  return false;
}

uint8_t IoSystem::DeviceStatus() const {
  return static_cast<uint8_t>((configChanged_ ? kConfigChangedBit : 0) |
                              (listChanged_ ? kMoreStatusAvailable : 0));
}

// The enabled devices, by poll address: the sub-devices 1..N.
std::vector<uint8_t> IoSystem::SubDevices() {
  const LinkView view = devices_.Read();
  std::vector<uint8_t> list;
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    if (view.Devices[device].Enabled) list.push_back(device);
  }
  return list;
}

// A list that differs from the one seen before sets "sub-device list changed" until command 48
// has reported it.
void IoSystem::NoteListChange(const std::vector<uint8_t>& list) {
  if (knownList_ && *knownList_ != list) listChanged_ = true;
  knownList_ = list;
}

IoSystem::Answer IoSystem::Execute(uint16_t command, std::span<const uint8_t> data,
                                   const Tunnel& tunnel, SessionMemory& memory) {
  ++ownFrames_;
  // Command 31 carries a 16-bit command number ahead of that command's data; its reply's data
  // repeat the number, whatever the response code.
  std::vector<uint8_t> number;
  if (command == kExtendedCommand) {
    if (data.size() < 2) return {kTooFewDataBytes, DeviceStatus(), {}};
    number.assign(data.begin(), data.begin() + 2);
    command = Get16(data.data());
    data = data.subspan(2);
  }
  Answer answer = Run(command, data, tunnel, memory);
  // Only a sub-device's long reply (77) can outgrow the frame; refused as 77 refuses one, rather
  // than cut short.
  if (answer.data.size() + number.size() > kMaxReplyData) answer = Refusal(kInvalidSelection);
  // Command 48 gives the status it reported, before it cleared "more status available".
  if (command != 48) answer.deviceStatus = DeviceStatus();
  answer.data.insert(answer.data.begin(), number.begin(), number.end());
  return answer;
}

IoSystem::Answer IoSystem::Run(uint16_t command, std::span<const uint8_t> data,
                               const Tunnel& tunnel, SessionMemory& memory) {
  // Identification checks the file as a device's does, so that a session that reaches only the
  // I/O system (no port opened, no device addressed yet) finds its section written.
  if (command == 0 || command == kReadTagCommand || command == kReadLongTagCommand) {
    transaction_.CheckFile();
  }
  Identity id = Load();
  const std::vector<uint8_t> list = SubDevices();
  NoteListChange(list);
  Answer answer;
  std::vector<uint8_t>& d = answer.data;
  switch (command) {
    case 0:
    case kReadTagCommand:
    case kReadLongTagCommand:
      answer = Identify(id);
      break;
    case 7:
      d = {0, 0};  // poll address 0, loop current not used
      break;
    case 8:
      d = {kNotUsed, kNotUsed, kNotUsed, kNotUsed};
      break;
    case 12:
      PutPacked(d, id.texts[kMessage], 32);
      break;
    case 13:
      PutPacked(d, id.texts[kTag], 8);
      PutPacked(d, id.texts[kDescriptor], 16);
      d.push_back(static_cast<uint8_t>(id.Number(kDay, 31)));
      d.push_back(static_cast<uint8_t>(id.Number(kMonth, 12)));
      d.push_back(static_cast<uint8_t>(id.Number(kYear, 255)));
      break;
    case 15: {
      d = {kNotUsed, kNotUsed, kNotUsed};  // alarm selection, transfer function, range units
      d.resize(3 + 3 * 4);                 // upper and lower range, damping: not a number
      for (std::size_t at = 3; at < d.size(); at += 4) {
        EncodeFloat(std::numeric_limits<float>::quiet_NaN(), d.data() + at);
      }
      d.insert(d.end(), {251, kNotUsed, 0});  // write protect none, reserved, channel flags
      break;
    }
    case 16:
      Put24(d, id.Number(kFinalAssembly, 0xFFFFFF));
      break;
    case 20:
      PutLongTag(d, LongTagBytes(id.texts[kLongTag]));
      break;
    case 38:
      if (data.size() >= 2 && Get16(data.data()) != id.Counter()) return Refusal(kCounterMismatch);
      configChanged_ = false;
      Put16(d, id.Counter());
      break;
    case 48:
      d.assign(14, 0);
      d[11] = listChanged_ ? kListChangedBit : 0;  // standardized status 2
      answer.deviceStatus = DeviceStatus();
      listChanged_ = false;
      break;
    case 74:
      d = {1, 1, kDeviceCount};  // cards, channels per card, sub-devices per channel
      Put16(d, static_cast<uint16_t>(list.size() + 1));  // the I/O system counts itself
      d.push_back(0);  // delayed responses: none, every answer comes at once
      d.push_back(static_cast<uint8_t>(id.Number(kMasterMode, 1)));
      d.push_back(static_cast<uint8_t>(id.Number(kRetryCount, kMaxRetries)));
      break;
    case 75:
      answer = PollSubDevice(data, tunnel);
      break;
    case 77:
      answer = SendToSubDevice(data, tunnel);
      break;
    case 84:
      answer = Summary(data, id, list);
      break;
    case 85:
      if (data.size() < 2) return Refusal(kTooFewDataBytes);
      if (data[0] != kCard) return Refusal(kInvalidCard);
      if (data[1] != kChannel) return Refusal(kInvalidChannel);
      d = {kCard, kChannel};
      for (const auto* count : {&counters_.LoopStx, &counters_.LoopAck, &counters_.LoopOstx,
                                &counters_.LoopOack, &counters_.LoopBack}) {
        Put16(d, count->load(std::memory_order_relaxed));
      }
      break;
    case 86:
      answer = Statistics(data, list);
      break;
    case 87:
    case 88:
      answer = Store(command, data, id);
      break;
    case 532:
    case 533:
      answer = Subscribe(command, data, list, memory.subscriptions);
      break;
    case 541:
    case 542:
      answer = WriteCredentials(command, data, memory.security);
      break;
    default:
      return Refusal(kNotImplemented);
  }
  return answer;
}

IoSystem::Answer IoSystem::Identify(const Identity& id) const {
  Answer answer;
  std::vector<uint8_t>& d = answer.data;
  d.push_back(254);
  Put16(d, static_cast<uint16_t>(id.Number(kDeviceType, 0xFFFF)));
  d.push_back(kPreambles);
  d.push_back(7);  // HART 7
  d.push_back(static_cast<uint8_t>(id.Number(kDeviceRev, 255)));
  d.push_back(static_cast<uint8_t>(id.Number(kSoftwareRev, 255)));
  d.push_back(static_cast<uint8_t>(id.Number(kHardwareRev, 31) << 3));
  d.push_back(kProtocolBridge);
  Put24(d, id.Number(kDeviceId, 0xFFFFFF));
  d.push_back(kPreambles);
  d.push_back(0);  // device variables: none of its own
  Put16(d, id.Counter());
  d.push_back(0);  // extended device status
  Put16(d, static_cast<uint16_t>(id.Number(kMfrId, 0xFFFF)));
  Put16(d, static_cast<uint16_t>(id.Number(kDistributor, 0xFFFF)));
  d.push_back(kProfile);
  return answer;
}

IoSystem::Answer IoSystem::PollSubDevice(std::span<const uint8_t> data, const Tunnel& tunnel) {
  if (data.size() < 3) return Refusal(kTooFewDataBytes);
  if (data[0] != kCard) return Refusal(kInvalidCard);
  if (data[1] != kChannel) return Refusal(kInvalidChannel);
  if (data[2] > kAddressMask) return Refusal(kInvalidSelection);
  std::array<uint8_t, 5> frame{kShortStx, static_cast<uint8_t>(kMasterBit | data[2]), 0, 0, 0};
  frame[4] = FrameChecksum(frame.data(), 4);
  const std::optional<std::vector<uint8_t>> reply = tunnel(frame);
  // A reply: delimiter, address, command, count, response code, status, data, checksum.
  if (!reply || reply->size() < 7) return Refusal(kNoSubDevice);
  return {kResponseSuccess, 0, std::vector<uint8_t>(reply->begin() + 6, reply->end() - 1)};
}

// Request: card, channel, preambles, then the sub-device's frame without its checksum
// (delimiter, address, command, byte count, data). Reply: card, channel and the sub-device's
// reply frame without its checksum.
IoSystem::Answer IoSystem::SendToSubDevice(std::span<const uint8_t> data, const Tunnel& tunnel) {
  if (data.size() < 4) return Refusal(kTooFewDataBytes);
  if (data[0] != kCard) return Refusal(kInvalidCard);
  if (data[1] != kChannel) return Refusal(kInvalidChannel);
  const std::span<const uint8_t> embedded = data.subspan(3);
  if ((embedded[0] & ~kLongFrameBit) != kFrameTypeStx) return Refusal(kInvalidSelection);
  const std::size_t countPos = CountPosition(embedded[0]);
  if (embedded.size() <= countPos || embedded.size() < countPos + 1 + embedded[countPos]) {
    return Refusal(kTooFewDataBytes);  // the byte count promises more than the request holds
  }
  std::vector<uint8_t> frame(embedded.begin(),
                             embedded.begin() + countPos + 1 + embedded[countPos]);
  frame.push_back(FrameChecksum(frame.data(), frame.size()));
  const std::optional<std::vector<uint8_t>> reply = tunnel(frame);
  if (!reply || reply->empty()) return Refusal(kNoSubDevice);
  Answer answer{kResponseSuccess, 0, {kCard, kChannel}};
  answer.data.insert(answer.data.end(), reply->begin(), reply->end() - 1);
  if (answer.data.size() > kMaxReplyData) return Refusal(kInvalidSelection);
  return answer;
}

IoSystem::Answer IoSystem::Summary(std::span<const uint8_t> data, const Identity& id,
                                   const std::vector<uint8_t>& list) {
  const std::optional<uint16_t> index = Index(data);
  if (!index) return Refusal(kTooFewDataBytes);
  if (*index > list.size()) return Refusal(kInvalidSelection);
  Answer answer;
  std::vector<uint8_t>& d = answer.data;
  Put16(d, *index);
  d.push_back(kCard);
  d.push_back(kChannel);
  if (*index == 0) {  // the I/O system itself
    Put16(d, static_cast<uint16_t>(id.Number(kMfrId, 0xFFFF)));
    Put16(d, static_cast<uint16_t>(id.Number(kDeviceType, 0xFFFF)));
    Put24(d, id.Number(kDeviceId, 0xFFFFFF));
    d.push_back(7);
    PutLongTag(d, LongTagBytes(id.texts[kLongTag]));
    d.push_back(static_cast<uint8_t>(id.Number(kDeviceRev, 255)));
    d.push_back(kProfile);
    Put16(d, static_cast<uint16_t>(id.Number(kDistributor, 0xFFFF)));
    return answer;
  }
  const uint8_t device = list[*index - 1];
  const Transaction::Identity sub = transaction_.DeviceIdentity(device);
  Put16(d, sub.ManufacturerId);
  Put16(d, sub.ExpandedDeviceType);
  Put24(d, sub.DeviceId);
  d.push_back(sub.UniversalRevision);
  PutLongTag(d, devices_.Read().Devices[device].LongTag);
  d.push_back(sub.DeviceRevision);
  d.push_back(sub.Profile);
  Put16(d, sub.Distributor);
  return answer;
}

IoSystem::Answer IoSystem::Statistics(std::span<const uint8_t> data,
                                      const std::vector<uint8_t>& list) const {
  const std::optional<uint16_t> index = Index(data);
  if (!index) return Refusal(kTooFewDataBytes);
  if (*index > list.size()) return Refusal(kInvalidSelection);
  Answer answer;
  Put16(answer.data, *index);
  if (*index == 0) {
    Put16(answer.data, ownFrames_);  // it answers every request
    Put16(answer.data, ownFrames_);
    Put16(answer.data, 0);
    return answer;
  }
  const DeviceTraffic& traffic = counters_.Devices[list[*index - 1]];
  for (const auto* count : {&traffic.Stx, &traffic.Ack, &traffic.Back}) {
    Put16(answer.data, count->load(std::memory_order_relaxed));
  }
  return answer;
}

// 87 master mode (0 secondary, 1 primary) and 88 retry count (2..5), written to the file with
// the configuration change counted.
IoSystem::Answer IoSystem::Store(uint16_t command, std::span<const uint8_t> data, Identity& id) {
  if (data.empty()) return Refusal(kTooFewDataBytes);
  const uint8_t value = data[0];
  if (command == 87 && value > 1) return Refusal(kInvalidSelection);
  if (command == 88 && value > kMaxRetries) return Refusal(kParameterTooLarge);
  if (command == 88 && value < kMinRetries) return Refusal(kParameterTooSmall);
  const std::string counter = std::to_string((id.Counter() + 1) & 0xFFFF);
  const KeyText keys[] = {
      {kKeys[command == 87 ? kMasterMode : kRetryCount].key, std::to_string(value)},
      {kKeys[kChangeCounter].key, counter}};
  transaction_.WithStore([&](DeviceModel& model, ConfigStore& store) {
    (void)store.WriteSharedSection(model, kIoSystemSection, keys);
  });
  configChanged_ = true;
  return {kResponseSuccess, 0, {value}};
}

// 532 reads and 533 writes the session's subscription to a device's publishes: request the
// device's unique ID (all zeros: every device) and, for 533, the flags; the reply repeats them.
IoSystem::Answer IoSystem::Subscribe(uint16_t command, std::span<const uint8_t> data,
                                     const std::vector<uint8_t>& list,
                                     Subscriptions& subscriptions) {
  const std::size_t needed = command == 533 ? kSubscriptionRequest : 5;
  if (data.size() < needed) return Refusal(kTooFewDataBytes);
  const std::span<const uint8_t> unique = data.first(5);
  const bool everyDevice =
      std::all_of(unique.begin(), unique.end(), [](uint8_t b) { return b == 0; });
  std::optional<uint8_t> target;
  if (!everyDevice) {
    const LinkView view = devices_.Read();
    // The unique ID's first byte may carry the expanded device type's top two bits, which are
    // not part of the long address.
    std::array<uint8_t, 5> wanted{};
    std::copy(unique.begin(), unique.end(), wanted.begin());
    wanted[0] &= kAddressMask;
    for (const uint8_t device : list) {
      std::array<uint8_t, 5> address = view.Devices[device].LongAddress;
      address[0] &= kAddressMask;
      if (address == wanted) target = device;
    }
    if (!target) return Refusal(kUnknownUniqueId);
  }
  if (command == 533) {
    const uint16_t flags = Get16(data.data() + 5);
    subscriptions.written = true;
    if (target) {
      subscriptions.flags[*target] = flags;
    } else {
      subscriptions.flags.fill(flags);
    }
  }
  // Before any 533 the session gets everything; the flags of every device are their union.
  uint16_t flags = 0xFFFF;
  if (subscriptions.written) {
    flags = 0;
    for (const uint8_t device : list) {
      if (!target || device == *target) flags |= subscriptions.flags[device];
    }
  }
  Answer answer{kResponseSuccess, 0, std::vector<uint8_t>(unique.begin(), unique.end())};
  Put16(answer.data, flags);
  return answer;
}

// 541 writes a client's password, 542 its pre-shared key (in hex, without its CRC), each with
// the client's identity, into the file's security section at once. Only the security manager
// (slot 0, over TLS or DTLS) may change them. The reply repeats the request.
IoSystem::Answer IoSystem::WriteCredentials(uint16_t command, std::span<const uint8_t> data,
                                            const SessionSecurity& security) {
  const bool key = command == 542;
  const std::size_t size = key ? kKeyRequest : kPasswordRequest;
  if (data.size() < size) return Refusal(kTooFewDataBytes);
  if (!security.secured || security.slot != 0) return Refusal(kAccessRestricted);
  std::string secret;
  if (key) {
    const std::size_t length = data[kKeyLengthAt];  // the key and its CRC
    if (length < hartip::kMinKeyBytes + kCrcBytes || length > hartip::kMaxKeyBytes + kCrcBytes) {
      return Refusal(kUnsupportedKeyLength);
    }
    const std::span<const uint8_t> field = data.subspan(kKeyAt, length);
    if (Crc16(field) != 0) return Refusal(kKeyChangeFailed);
    secret = hartip::HexText(field.first(length - kCrcBytes));
  } else {
    secret = FieldText(data.subspan(kPasswordAt, kPasswordField));
    if (secret.size() < kShortestPassword) return Refusal(kPasswordTooShort);
    if (!Storable(secret)) return Refusal(kInvalidSelection);
  }
  const std::string identity = FieldText(data.subspan(size - kIdentityField, kIdentityField));
  if (identity.size() < kShortestIdentity) return Refusal(kIdentityTooShort);
  // A field without its NUL, or a text the file would not give back, is refused.
  if (identity.size() > kLongestIdentity || !Storable(identity)) {
    return Refusal(kInvalidSelection);
  }
  const uint8_t slot = data[0] & kSlotBits;
  const std::string identityKey = hartip::ClientKeyName(slot, "Identity");
  const std::string secretKey = hartip::ClientKeyName(slot, key ? "Key" : "Password");
  return transaction_.WithStore([&](DeviceModel& model, ConfigStore& store) {
    // Identities name the clients in the handshake: two slots cannot share one.
    const std::vector<std::string> texts =
        store.ReadWholeKeys(hartip::kSecuritySection, hartip::SecurityKeyNames());
    for (uint8_t other = 0; other < hartip::kClientSlots; ++other) {
      if (other != slot && texts[1 + other * hartip::kSecurityKeysPerSlot] == identity) {
        return Refusal(kDuplicateIdentity);
      }
    }
    // A new client in the slot does not inherit the old one's other secret.
    const bool newClient = texts[1 + slot * hartip::kSecurityKeysPerSlot] != identity;
    const std::string otherKey = hartip::ClientKeyName(slot, key ? "Password" : "Key");
    std::vector<KeyText> keys = {{identityKey, identity}, {secretKey, secret}};
    if (newClient) keys.push_back({otherKey, ""});
    // A failed write is reported by the store and retried; until then reads give the new texts.
    (void)store.WriteSharedSection(model, hartip::kSecuritySection, keys);
    Answer answer{kResponseSuccess, 0, std::vector<uint8_t>(data.begin(), data.begin() + size)};
    answer.data[1] = 0;  // reserved
    return answer;
  });
}

}  // namespace qln
