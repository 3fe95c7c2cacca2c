// Fuzz target: the command layer. Requests whose command number, byte count and data come from
// the input go through the dispatcher to two devices of a QLN.ini in a scratch directory, one in
// HART 7 mode and one of revision 6, the extended commands of 31 and the burst-message commands
// among them. Every reply must
// fit the frame (at most 253 data bytes besides the response code and status), 31 echoes its
// number whatever it answers, a revision-6 device answers 64 to the HART 7 commands, and the file
// keeps both devices' identity.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "commands/dispatcher.h"
#include "device/sections.h"
#include "support/fakes.h"

namespace {

using namespace qln;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "commands fuzz: %s\n", what.c_str());
  std::abort();
}

std::string Ini() {
  std::string text = "[HTDev_Sys]\nDev00_En=1\nDev01_En=1\n";
  for (int d = 0; d < 2; ++d) {
    char section[128];
    std::snprintf(section, sizeof section,
                  "[HTDev%02d_Cmd000]\nMfrID=38\nMfrDevType=5\nUnivCmdRev=%d\nDevIDNo=%d\n", d,
                  d == 0 ? 7 : 6, 100 + d);
    text += section;
  }
  return text;
}

struct Layer {
  Layer()
      : directory(std::filesystem::path(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") /
                  ("qln-commands-fuzz-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(directory);
    Reset();
  }
  ~Layer() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  void Reset() {
    std::ofstream(directory / "QLN.ini") << Ini();
    store.CheckAndLoadForOpen(model);
  }
  std::filesystem::path directory;
  test::FakeNotifier notifier;
  test::FakeClock clock;
  DeviceModel model;
  ConfigStore store{notifier, clock, directory};
  CommandExchange exchange;
  CommandState state;
  CommunicationCounters counters;
  CommandContext ctx{model, store, exchange, state, clock, counters, &notifier};
};

bool Hart7Only(uint8_t command) {
  switch (command) {
    case 31:
    case 53:
    case 54:
    case 72:
    case 79:
    case 103:
    case 104:
    case 105:
    case 107:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static Layer layer;
  layer.Reset();
  layer.notifier.problems.clear();
  FuzzedDataProvider input(data, size);
  for (int step = 0; step < 8 && input.remaining_bytes() > 0; ++step) {
    const uint8_t device = input.ConsumeBool() ? 1 : 0;
    // Mostly the commands with request data, the HART 7 ones and 31's extended numbers.
    static constexpr uint8_t kCommands[] = {31, 31, 31, 53,  54,  72,  79,  79,  9,  3,
                                            42, 48, 44, 103, 104, 105, 107, 108, 109};
    const uint8_t command =
        input.ConsumeBool()
            ? kCommands[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kCommands) - 1)]
            : input.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> request = input.ConsumeBytes<uint8_t>(input.ConsumeIntegral<uint8_t>());
    if (command == 31 && request.size() >= 2 && input.ConsumeBool()) {
      static constexpr uint16_t kExtended[] = {512, 513, 520, 521};
      const uint16_t number = kExtended[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
      request[0] = static_cast<uint8_t>(number >> 8);
      request[1] = static_cast<uint8_t>(number);
    }
    CommandExchange& exchange = layer.exchange;
    exchange.Command = command;
    exchange.ByteCount = static_cast<uint8_t>(request.size());
    std::copy(request.begin(), request.end(), exchange.Data.begin());
    exchange.Note = ReplyNote::None;
    exchange.Publish(ExchangeState::RequestPending);
    Dispatch(layer.ctx, device);
    if (exchange.LoadState() != ExchangeState::ReplyReady) Fail("no reply");
    exchange.Publish(ExchangeState::Idle);
    if (exchange.ByteCount > kMaxReplyData) Fail("reply beyond the frame");
    if (device == 1 && Hart7Only(command) && exchange.ResponseCode != kNotImplemented) {
      Fail("a revision-6 device answered command " + std::to_string(command));
    }
    if (command == 31 && device == 0 && request.size() >= 2 &&
        (exchange.ByteCount < 2 || exchange.Data[0] != request[0] ||
         exchange.Data[1] != request[1])) {
      Fail("31 did not echo its number");
    }
  }
  const auto snapshot = layer.store.Snapshot();
  for (uint8_t d = 0; d < 2; ++d) {
    if (snapshot->Read(SectionName(0, d), "DevIDNo") != std::to_string(100 + d)) {
      Fail("a device lost its identity: \"" + snapshot->Read(SectionName(0, d), "DevIDNo") + "\"");
    }
  }
  return 0;
}
