// A HART-IP host's discovery of a plant: for every port given, on this machine, a session over
// TCP, command 0 at poll address 0 (an I/O system must answer), command 74 for the number of
// devices behind it, command 84 for each of them, and command 0 through command 77 to each by its
// long address, which must answer with the device ID that 84 listed.
//
//   plant_discovery [--expect DEVICES] PORT...
//
// Prints one line per I/O system and a summary with the time taken; exit code 0 when every port
// answered so and, with --expect, exactly DEVICES devices were found, all with distinct unique
// IDs. The bench script of many instances (bench/plant_bench.sh) and the image's smoke test use
// it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "hartip/hart_reply.h"
#include "hartip/hartip_client.h"
#include "link/link_harness.h"

namespace {

using namespace qln::test;

// One command in a token-passing PDU; its reply when the device answered it with code 0.
std::optional<HartReply> Ask(HartIpClient& host, const Bytes& frame) {
  const auto response = host.Pdu(frame);
  if (!response || response->status != 0) return std::nullopt;
  auto reply = ReadReply(response->body, true);
  if (!reply || reply->code != 0) return std::nullopt;
  return reply;
}

// The devices behind the I/O system at `port`, by their long addresses; nothing, with the reason
// on standard error, when it does not answer as an I/O system does.
std::optional<std::vector<Address>> Discover(uint16_t port) {
  const auto fail = [port](const char* what) {
    std::fprintf(stderr, "plant_discovery: port %u: %s\n", static_cast<unsigned>(port), what);
    return std::nullopt;
  };
  HartIpClient host(HartIpClient::Transport::Tcp, port);
  const auto session = host.Connected() ? host.Initiate() : std::nullopt;
  if (!session || session->status != 0) return fail("no HART-IP session");
  const auto identity = Ask(host, ShortFrame(0));
  if (!identity || identity->data.size() < 22 || (identity->data[8] & 0x04) == 0) {
    return fail("no I/O system answers command 0 at poll address 0");
  }
  const Address io = AddressIn(identity->data, 1, 9);
  const auto listed = Ask(host, LongFrame(io, 74));
  if (!listed || listed->data.size() < 5) return fail("no answer to command 74");
  const uint64_t detected = Big(listed->data, 3, 2);  // the I/O system among them
  std::vector<Address> devices;
  for (uint64_t index = 1; index < detected; ++index) {
    const auto summary = Ask(
        host, LongFrame(io, 84, {static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index)}));
    if (!summary || summary->data.size() < 11) return fail("no answer to command 84");
    const Address device = AddressIn(summary->data, 6, 8);
    const auto outer = Ask(host, LongFrame(io, 77, Through77(LongFrame(device, 0))));
    const auto inner = outer && outer->data.size() > 2
                           ? ReadReply(std::span(outer->data).subspan(2), false)
                           : std::nullopt;
    if (!inner || inner->code != 0 || inner->data.size() < 12 ||
        AddressIn(inner->data, 1, 9) != device) {
      return fail("a listed device does not answer command 0 through command 77");
    }
    devices.push_back(device);
  }
  host.Request(1);  // session close
  return devices;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::size_t> expected;
  std::vector<uint16_t> ports;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--expect" && i + 1 < argc) {
      expected = std::strtoul(argv[++i], nullptr, 10);
      continue;
    }
    const unsigned long port = std::strtoul(argv[i], nullptr, 10);
    if (port == 0 || port > 0xFFFF) {
      std::fprintf(stderr, "usage: plant_discovery [--expect DEVICES] PORT...\n");
      return 2;
    }
    ports.push_back(static_cast<uint16_t>(port));
  }
  const auto start = std::chrono::steady_clock::now();
  std::size_t found = 0;
  std::set<Address> distinct;
  bool answered = !ports.empty();
  for (const uint16_t port : ports) {
    const auto devices = Discover(port);
    answered = answered && devices.has_value();
    if (!devices) continue;
    std::printf("port %u: I/O system with %zu devices\n", static_cast<unsigned>(port),
                devices->size());
    found += devices->size();
    distinct.insert(devices->begin(), devices->end());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu I/O systems, %zu devices (%zu distinct unique IDs) discovered in %.2f s\n",
              ports.size(), found, distinct.size(), seconds);
  const bool asExpected = !expected || (found == *expected && distinct.size() == found);
  if (!asExpected) std::fprintf(stderr, "plant_discovery: %zu devices expected\n", *expected);
  return answered && asExpected ? 0 : 1;
}
