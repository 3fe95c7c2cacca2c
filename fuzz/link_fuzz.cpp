// Fuzz target: the link's receiver and reply stage, driven through the link harness with reads
// (bytes and their line-error code), empty polls, well-formed requests and changing answers of
// a fake command layer. After every step each transmitted image must be a sound slave reply:
// preambles as the addressed device wants them, a slave delimiter, the address of the request,
// a byte count that covers the rest, a good checksum, within the image's capacity; and no frame
// is answered twice (every transmission follows a frame end that has not been answered yet).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/encodings.h"
#include "link/link_harness.h"

namespace qln {
namespace {

constexpr uint8_t kLineErrors[] = {0x00, 0x90, 0xA0, 0xC0, 0xF0};

[[noreturn]] void Fail(const char* what, std::span<const uint8_t> image) {
  std::fprintf(stderr, "link fuzz: %s: %s\n", what, test::Hex(image).c_str());
  std::abort();
}

// Checks one transmitted image against the view the reply was framed with.
void CheckImage(const LinkView& view, uint8_t device, std::span<const uint8_t> image) {
  if (image.size() > kTransmitImageCapacity) Fail("image beyond its capacity", image);
  const std::size_t preambles = view.Devices[device].Preambles;
  if (image.size() < preambles + 5) Fail("image too short for its preambles and a frame", image);
  for (std::size_t i = 0; i < preambles; ++i) {
    const bool marker = view.PreambleMarker && (i == 2 || i == 3);
    const uint8_t expected = !marker ? 0xFF : i == 2 ? 0x02 : 0xCF;
    if (image[i] != expected) Fail("wrong preamble byte", image);
  }
  const std::span<const uint8_t> frame = image.subspan(preambles);
  const bool longFrame = frame[0] == 0x86;
  if (frame[0] != 0x06 && !longFrame) Fail("not a slave delimiter", image);
  const std::size_t countPos = longFrame ? 7 : 3;
  if (frame.size() < countPos + 4) Fail("frame too short for its status bytes", image);
  if ((frame[1] & 0x40) != 0) Fail("burst bit set in a reply", image);
  if (!longFrame && (frame[1] & 0x3F) != device) Fail("short address of another device", image);
  if (longFrame) {
    const auto& address = view.Devices[device].LongAddress;
    const bool own = (frame[1] & 0x3F) == (address[0] & 0x3F) &&
                     std::equal(address.begin() + 1, address.end(), frame.begin() + 2);
    const bool broadcast =
        (frame[1] & 0x3F) == 0 &&
        std::all_of(frame.begin() + 2, frame.begin() + 6, [](uint8_t b) { return b == 0; });
    // Command 21 is answered by the device addressed before, whatever long address it carries.
    if (!own && !(broadcast && frame[6] == 11) && frame[6] != 21) {
      Fail("long address of another device", image);
    }
  }
  if (frame[countPos] < 2 || frame.size() != countPos + 2 + frame[countPos]) {
    Fail("byte count does not cover the frame", image);
  }
  if (FrameChecksum(frame.data(), frame.size() - 1) != frame.back()) Fail("bad checksum", image);
}

}  // namespace
}  // namespace qln

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace qln;
  FuzzedDataProvider input(data, size);
  test::LinkHarness harness;
  // Some enabled devices, each with its own long address and preamble count.
  const uint16_t enabled = input.ConsumeIntegral<uint16_t>() | 1;
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    if ((enabled >> device & 1) == 0) continue;
    std::array<uint8_t, 5> address{};
    for (uint8_t& byte : address) byte = input.ConsumeIntegral<uint8_t>();
    harness.EnableDevice(device, address, input.ConsumeIntegralInRange<uint32_t>(0, 300));
  }
  harness.model.System.PreambleMarker = input.ConsumeBool() ? "1" : "0";
  harness.dispatcher.delay = input.ConsumeIntegralInRange(1, 60);

  std::size_t checked = 0;
  uint16_t framesAnswered = 0;  // frame ends counted when the last transmission went out
  const auto check = [&] {
    const LinkView view = BuildLinkView(harness.model);
    for (; checked < harness.sent.size(); ++checked) {
      const auto& image = harness.sent[checked].bytes;
      CheckImage(view, harness.link.AddressedDevice(), image);
      if (harness.ReceivedFrames() == framesAnswered) Fail("a frame answered twice", image);
      framesAnswered = harness.ReceivedFrames();
    }
  };

  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange(0, 4)) {
      case 0: {  // a read of raw bytes
        const uint8_t lineError = input.PickValueInArray(kLineErrors);
        const auto bytes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(1, 40));
        harness.Read(bytes, lineError);
        break;
      }
      case 1:
        harness.Ticks(input.ConsumeIntegralInRange(1, 50));
        break;
      case 2: {  // a well-formed request to some device, by poll or by long address
        const uint8_t device = input.ConsumeIntegralInRange<uint8_t>(0, kDeviceCount - 1);
        const uint8_t command = input.ConsumeIntegral<uint8_t>();
        const auto body = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(0, 30));
        const bool primary = input.ConsumeBool();
        harness.Request(
            input.ConsumeBool()
                ? test::ShortFrame(device, command, body, primary)
                : test::LongFrame(harness.model.Table[device].LongAddress, command, body, primary),
            input.ConsumeIntegralInRange<std::size_t>(2, 20));
        break;
      }
      case 3: {  // what the command layer answers next, and how long it takes
        const uint8_t code = input.ConsumeIntegral<uint8_t>();
        const uint8_t status = input.ConsumeIntegral<uint8_t>();
        const uint8_t count = input.ConsumeIntegral<uint8_t>();
        const uint8_t fill = input.ConsumeIntegral<uint8_t>();
        harness.dispatcher.delay = input.ConsumeIntegralInRange(1, 60);
        harness.dispatcher.execute = [=](CommandExchange& exchange) {
          exchange.ResponseCode = code;
          exchange.DeviceStatus = status;
          exchange.ByteCount = count;
          exchange.Data.fill(fill);
        };
        break;
      }
      default: {  // a device switched on or off, or its preambles changed
        const uint8_t device = input.ConsumeIntegralInRange<uint8_t>(0, kDeviceCount - 1);
        harness.model.Table[device].DevEnable = input.ConsumeBool() ? 1 : 0;
        harness.model.Table[device].ResPreableNum = input.ConsumeIntegralInRange<uint32_t>(0, 300);
        harness.Ticks(0);  // publishes the change
        break;
      }
    }
    check();
  }
  harness.Ticks(60);
  check();
  return 0;
}
