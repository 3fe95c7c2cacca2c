// A deterministic stand-in for the serial worker and the command thread around one
// SerialLink: reads of bytes and empty polls go in, every TransmitImage put on the line and
// every traffic log line come out, and after every pass the command thread gets its turn.
//
// The command thread is a std::function; by default it runs a FakeDispatcher that answers a
// pending request after a chosen number of passes. Replace it to plug in a real dispatcher.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/log_queue.h"
#include "device/device_model.h"
#include "link/command_exchange.h"
#include "link/serial_link.h"
#include "support/fakes.h"

namespace qln::test {

// A frame from the delimiter through the checksum; the byte count is that of data.
inline std::vector<uint8_t> MasterFrame(uint8_t delimiter, const std::vector<uint8_t>& address,
                                        uint8_t command, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame;
  frame.reserve(address.size() + data.size() + 4);
  frame.push_back(delimiter);
  frame.insert(frame.end(), address.begin(), address.end());
  frame.push_back(command);
  frame.push_back(static_cast<uint8_t>(data.size()));
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(FrameChecksum(frame.data(), frame.size()));
  return frame;
}

inline uint8_t MasterBit(bool primary) { return primary ? 0x80 : 0x00; }

inline std::vector<uint8_t> ShortFrame(uint8_t pollAddress, uint8_t command = 0,
                                       const std::vector<uint8_t>& data = {}, bool primary = true) {
  return MasterFrame(0x02, {static_cast<uint8_t>(MasterBit(primary) | pollAddress)}, command, data);
}

// Address byte 1 carries the master bit and the low six bits of the long address's first byte.
inline std::vector<uint8_t> LongFrame(const std::array<uint8_t, 5>& longAddress, uint8_t command,
                                      const std::vector<uint8_t>& data = {}, bool primary = true) {
  const std::vector<uint8_t> address{
      static_cast<uint8_t>(MasterBit(primary) | (longAddress[0] & 0x3F)), longAddress[1],
      longAddress[2], longAddress[3], longAddress[4]};
  return MasterFrame(0x82, address, command, data);
}

inline std::vector<uint8_t> WithPreambles(const std::vector<uint8_t>& frame,
                                          std::size_t count = 5) {
  std::vector<uint8_t> bytes;
  bytes.reserve(count + frame.size());
  bytes.assign(count, 0xFF);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  return bytes;
}

// "%02X " items, as in the traffic log.
inline std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char item[4];
  for (uint8_t byte : bytes) {
    std::snprintf(item, sizeof item, "%02X ", byte);
    text += item;
  }
  return text;
}

// Plays the command layer: acts only on a pending request, executes it under the model lock and
// publishes ReplyReady last.
class FakeDispatcher {
 public:
  FakeDispatcher(DeviceModel& model, CommandExchange& exchange)
      : model_(model), exchange_(exchange) {}

  // Passes that must see the request pending before it is answered; 1 answers at the first.
  int delay = 1;
  // Turns the request in the exchange into the reply. By default: response code 0, device
  // status 0, the request data echoed.
  std::function<void(CommandExchange&)> execute = [](CommandExchange& exchange) {
    exchange.ResponseCode = 0;
    exchange.DeviceStatus = 0;
  };
  std::vector<uint8_t> executed;  // command numbers, in order of execution

  void Pass() {
    if (exchange_.LoadState() != ExchangeState::RequestPending) {
      waited_ = 0;
      return;
    }
    if (++waited_ < delay) return;
    waited_ = 0;
    {
      std::lock_guard lock(model_.Lock);
      executed.push_back(exchange_.Command);
      execute(exchange_);
    }
    exchange_.Publish(ExchangeState::ReplyReady);
  }

 private:
  DeviceModel& model_;
  CommandExchange& exchange_;
  int waited_ = 0;
};

struct Transmission {
  std::vector<uint8_t> bytes;  // as on the line
  int tick;                    // empty polls before it
};

class LinkHarness {
 public:
  LinkHarness() {
    commandThread = [this] { dispatcher.Pass(); };
  }

  void EnableDevice(uint8_t device, const std::array<uint8_t, 5>& longAddress = {},
                    uint32_t preambles = 5) {
    model.Table[device].DevEnable = 1;
    model.Table[device].LongAddress = longAddress;
    model.Table[device].ResPreableNum = preambles;
  }

  // One read that returned these bytes, all carrying the read's line-error code (none: an empty
  // poll, as Ticks(1) without counting it).
  void Read(const std::vector<uint8_t>& bytes, uint8_t lineError = 0) {
    PublishModel();
    link.Receive(bytes, lineError);
    AfterPass();
  }

  // Empty polls.
  void Ticks(int count) {
    PublishModel();
    for (int i = 0; i < count; ++i) {
      ++tick;
      link.Receive({}, 0);
      AfterPass();
    }
  }

  // A request with preambles in one read, then the silence that ends it.
  void Request(const std::vector<uint8_t>& frame, std::size_t preambles = 5) {
    Read(WithPreambles(frame, preambles));
    Ticks(2);
  }

  // A request and the 40 empty polls within which every reply to it has gone out.
  void Converse(const std::vector<uint8_t>& frame, std::size_t preambles = 5) {
    Request(frame, preambles);
    Ticks(40);
  }

  uint16_t ReceivedFrames() const { return counters.ReceivedFrameCount.load(); }

  // The logged lines of one direction, oldest first.
  std::vector<std::string> Lines(LogKind kind) const {
    std::vector<std::string> texts;
    for (const LogLine& line : logged) {
      if (line.Kind == kind) texts.push_back(line.Text);
    }
    return texts;
  }

  FakeClock clock;
  LogQueue log;
  DeviceModel model;
  CommandExchange exchange;
  CommunicationCounters counters;
  // On the heap by itself, so that AddressSanitizer sees any write past its end.
  std::unique_ptr<SerialLink> owned =
      std::make_unique<SerialLink>(model.Link, exchange, counters, clock, log);
  SerialLink& link = *owned;
  FakeDispatcher dispatcher{model, exchange};
  std::function<void()> commandThread;  // runs after every pass
  // Told of every reply of the command layer that went out (the worker's notes); may be empty.
  std::function<void(const SentReply&)> replySent;

  std::vector<Transmission> sent;
  std::vector<LogLine> logged;
  int tick = 0;

 private:
  // Tests change the model directly; what they changed reaches the link as a release of the
  // model lock would publish it.
  void PublishModel() { model.Link.Publish(BuildLinkView(model)); }

  // The worker transmits a pending image at its next pass; the command thread then runs.
  void AfterPass() {
    if (link.TransmitPending()) {
      const auto image = link.TransmitImage();
      sent.push_back({{image.begin(), image.end()}, tick});
      if (const std::optional<SentReply> reply = link.TransmissionDone(); reply && replySent) {
        replySent(*reply);
      }
    }
    if (commandThread) commandThread();
    for (LogLine& line : log.TakeAll()) logged.push_back(std::move(line));
  }
};

}  // namespace qln::test
