// The serial worker: the thread that owns the open serial line. Every pass it lets the burst
// sender put a due burst frame on the line, then does one of three things: a step of a converter
// request, the transmission of the link's TransmitImage, or a read of the waiting bytes into the
// SerialLink (an empty read is a tick of the link's timer). Only a read, or awaiting the
// converter's answer, is followed by the 10 ms sleep that the link's tick timing assumes.
//
// Transmitting keys the line: RTS set and DTR cleared before the write, DTR set again once the
// last byte has left; RTS stays set from then on.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>

#include "base/clock.h"
#include "base/log_sink.h"
#include "base/notifier.h"
#include "base/result.h"
#include "commands/transaction.h"
#include "link/burst_sender.h"
#include "link/serial_link.h"
#include "serial/converter.h"
#include "serial/serial_port.h"

namespace qln {

// Everything a worker drives besides the port. The references outlive the worker.
struct SerialWorkerParts {
  SerialLink& link;
  BurstSender& burst;
  Transaction& transaction;  // the notes that follow a sent reply
  ConverterRequest& converter;
  ConverterChannelReport& channelReport;
  LogSink& log;  // the converter's commands and answers, beside the link's frames
  const Clock& clock;
  Notifier& notifier;  // a port that has gone away, a reply that could not be sent
  // Called on the worker thread when a pass has handed a request to the command layer.
  std::function<void()> requestHandedOver;
};

class SerialWorker {
 public:
  enum class PassEnd : uint8_t {
    Sleep,     // read, or awaited the converter: sleep 10 ms before the next pass
    Continue,  // transmitted: the next pass follows at once
    PortGone,  // the port has gone away; the worker stops
  };

  SerialWorker(SerialPort& port, SerialWorkerParts parts);
  ~SerialWorker();  // stops the thread
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // One pass, on the calling thread (the worker thread, or a test without one).
  PassEnd RunPass();

  // Starts the thread, at the highest priority the system allows it. Fails with the system's
  // reason when no thread can be started, and when the worker is started already (until Stop).
  Result<> Start();
  // Ends the thread after its current pass and waits for it.
  void Stop();

  // The port went away: the worker has reported it and stopped reading. Any thread.
  bool PortGone() const { return portGone_.load(std::memory_order_acquire); }

 private:
  void Loop();
  PassEnd Transmit();
  PassEnd ConverterStep();
  PassEnd ReadStep();
  PassEnd AwaitConverterAnswer();
  // RTS set, DTR cleared, write, wait until sent, DTR set; a failed write is reported.
  void KeyAndWrite(std::span<const uint8_t> bytes);
  PassEnd Gone(const ReadResult& result);

  SerialPort& port_;
  SerialWorkerParts parts_;
  std::array<uint8_t, 256> buffer_{};

  // The converter's answer being read (taken as ended once it fills the array).
  std::size_t answerLength_ = 0;
  std::array<uint8_t, 64> answer_{};
  uint8_t converterWait_ = 0;  // empty polls while awaiting the converter's answer

  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> portGone_{false};
};

}  // namespace qln
