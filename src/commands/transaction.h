// One transaction for every way in: what the serial line and the HART-IP sessions do with a
// frame they have accepted (CheckFrame) and handed over (CommandExchange::HandOver).
//
//   Execute     runs the command for the device under the model lock, with the faults armed in
//               the device's fault section; the console gets the line of a fault used, the
//               notifier a fault text that was refused.
//   framing     the reply is framed from the exchange with FrameExchangeReply
//               (link/command_exchange.h), which applies the fault: a dropped reply is none, a
//               bad checksum goes out spoiled.
//   ReplySent   once the reply has been sent: the console note that follows it (self test,
//               reset).
//   logging     both directions as TrafficLine (base/log_sink.h) forms them.
//
// What stays a transport's own: the serial line's timing, reply slots and busy reply; the
// network's sessions. The same frame gets the same reply bytes, log lines and notes either way.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "base/burst_frame.h"
#include "base/clock.h"
#include "base/communication_counters.h"
#include "base/console.h"
#include "base/notifier.h"
#include "commands/command_state.h"
#include "device/config_store.h"
#include "device/device_model.h"
#include "link/command_exchange.h"

namespace qln {

class Transaction {
 public:
  // What a transaction works on and reports to. The references outlive the transaction.
  struct Parts {
    DeviceModel& model;
    ConfigStore& store;
    CommandState& state;
    const Clock& clock;
    CommunicationCounters& counters;
    Notifier& notifier;
    Console& console;
  };

  explicit Transaction(Parts parts) : parts_(parts) {}

  // Executes the request pending in `exchange` for the device it was accepted for and publishes
  // the reply (ReplyReady), counting the request and a reply that is not dropped for the device
  // and the loop (CommunicationCounters). Any thread; every transport has an exchange of its own,
  // and the model lock keeps their commands apart. Takes the lock itself: call it without.
  void Execute(CommandExchange& exchange);

  // The reply of the command layer for `device` has been sent: the console note it carries.
  void ReplySent(uint8_t device, ReplyNote note);

  // The next frames of the `wanted` burst messages (bit n for message n) of the burst device on
  // the line (their master bit 0), built from the file under the model lock, each with its
  // period or the news that it is off; nothing while burst mode is off.
  std::vector<MessageFrame> BuildBursts(uint8_t wanted);

  // When each burst message of each device was last published over HART-IP.
  struct BurstSchedule {
    std::array<std::array<uint32_t, kBurstMessageCount>, kDeviceCount> lastMs{};
    std::array<std::array<bool, kBurstMessageCount>, kDeviceCount> running{};
  };
  // HART-IP has no shared line: every bursting device publishes (enabled, with a burst mode
  // other than 0 in its section 109), each of its enabled messages at its own period. The frames
  // due at `nowMs` (master bit 0), the schedule brought up to date; `waitMs` is the time until
  // the next one is due (at most kBurstPeriodMs, so that messages switched on are found).
  std::vector<BurstFrame> BuildDueBursts(uint32_t nowMs, BurstSchedule& schedule, uint32_t& waitMs);

  // What HART-IP's I/O system reports of a device (command 84): its identity as command 0 gives
  // it, from the device's section 000 of the file.
  struct Identity {
    uint16_t ManufacturerId = 0;      // MfrID_v7 for HART 7, MfrID before
    uint16_t ExpandedDeviceType = 0;  // MfrID, MfrDevType
    uint32_t DeviceId = 0;
    uint8_t UniversalRevision = 0;
    uint8_t DeviceRevision = 0;
    uint8_t Profile = 0;
    uint16_t Distributor = 0;
  };
  Identity DeviceIdentity(uint8_t device);

  // The file check that a device's command 0, 11 and 21 make, for HART-IP's I/O system's own:
  // whether the file is there decides whether writes reach it. It may wait for the operator to
  // acknowledge its warning: call it without the lock.
  void CheckFile() { parts_.store.SetConfigFileFound(parts_.store.CheckFile()); }

  // The model's lock and the file, for what lives beside the devices (HART-IP's I/O system keeps
  // its own section): `work` runs with the lock held.
  template <typename Work>
  auto WithStore(Work&& work) {
    std::lock_guard lock(parts_.model.Lock);
    return work(parts_.model, parts_.store);
  }

 private:
  void CountBack(uint8_t device);  // a burst frame built for the device

  Parts parts_;
};

}  // namespace qln
