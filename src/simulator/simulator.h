// The simulator: one instance of everything the sixteen simulated devices are made of, wired
// together, and the serial port with its two threads while the port is open.
//
// Open runs the file check and a full load of QLN.ini, resets the link layer, opens the port,
// starts the serial worker, stores the port number in the file and starts the command thread.
// The command thread runs while the port is open: it executes each request as soon as the serial
// worker has handed it over (and looks at least every 100 ms), passes the traffic log lines on
// and delivers the converter's channel reports. Close stops both threads and closes the port;
// no thread outlives an open port.
//
// Beside the port, and independent of it, the simulator can run a HART-IP server (StartHartIp):
// its sessions reach the same devices through the same command layer, one request at a time.
//
// Open, Close and the destructor are called from one thread, the one that owns the simulator.
// The command thread may call the notifier's Warning (the file check of commands 0, 11 and 21);
// a notifier whose Warning waits for the owning thread must let that wait end while Close runs.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/communication_counters.h"
#include "base/console.h"
#include "base/log_queue.h"
#include "base/notifier.h"
#include "base/pcapng_capture.h"
#include "base/result.h"
#include "commands/command_state.h"
#include "commands/transaction.h"
#include "device/config_store.h"
#include "device/device_model.h"
#include "device/profile_file.h"
#include "device/spec_cmd_table.h"
#include "hartip/command_backend.h"
#include "hartip/hartip_server.h"
#include "link/burst_sender.h"
#include "link/command_exchange.h"
#include "link/serial_link.h"
#include "scenario/moving_values.h"
#include "serial/converter.h"
#include "serial/serial_port.h"
#include "serial/serial_worker.h"

namespace qln {

// What the operator's grid shows of the sixteen devices: a copy taken under the model lock.
struct DeviceGrid {
  std::array<bool, kDeviceCount> Enabled{};  // each device answers the master (DevEnable 1)
  std::vector<SectionTexts> Texts;           // each device's configuration texts, by index
  uint8_t Revision = 0;                      // the universal command revision in force
};

// A dynamic variable as the grid shows it now: a moving one's value and motion; a simulated one's
// (command 79) value and unit; neither for a fixed one.
struct MovingValue {
  std::optional<double> Value;
  std::optional<MotionSettings> Settings;
  std::optional<uint8_t> SimulatedUnit;  // set while command 79 holds the variable fixed
};
using DeviceMovingValues = std::array<MovingValue, kMovingVariables>;

class Simulator {
 public:
  // Receives each traffic log line, oldest first; called on the command thread, or on the
  // HART-IP server's thread while the port is closed; never on two threads at once.
  using LogHandler = std::function<void(LogKind kind, std::string line)>;
  // Receives a channel the converter reported; called on the command thread.
  using ChannelHandler = std::function<void(uint8_t channel)>;

  // QLN.ini is looked for in `directory` (the working directory when empty).
  Simulator(Notifier& notifier, Console& console, const Clock& clock,
            std::filesystem::path directory, LogHandler onLogLine,
            ChannelHandler onChannel = nullptr);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The program's start: the changes a recovery file beside QLN.ini holds written into it (see
  // ConfigStore::ApplyRecovery), a full load of QLN.ini (with the notifier's warning when the
  // file is missing), then each device's enable flag from its Dev%02d_En text (1 enabled, anything
  // else disabled); later loads leave the flags alone. Returns whether the file was found, and sets
  // `comNumber` to the low 8 bits of COMNo (0, no port, when those are 0 or it is no number).
  bool StartUp(int& comNumber);

  // Opens COM `comNumber` (1..255): the device named by COM<n>Path in QLN.ini, or /dev/ttyS<n-1>.
  // With `device` (a device path, or pty:<link> for a virtual port) that device is opened
  // instead, and the number only names the port in messages and in the file (a number outside
  // 1..255 is then not stored). A port already open is closed first. Returns the device opened (a
  // path, or pty:<link>); a failure's message is "Open Com%d Failed", a line break, and what went
  // wrong (the device path and the system's reason).
  Result<std::string> Open(int comNumber, std::optional<std::string> device = std::nullopt);
  // Stops the serial worker and the command thread, waits for both and closes the port.
  void Close();
  // The program's end: HART-IP stopped and the port closed, then the changes the file has not
  // taken written once more; when that fails they are kept in the recovery file beside it (see
  // ConfigStore::SaveAtStop), and the failure's message says what could not be saved and where
  // it is. The owning thread.
  Result<> SaveAtStop();
  // Any thread.
  bool PortOpen() const { return portOpen_.load(std::memory_order_acquire); }
  // The open port has gone away (an adapter unplugged): the devices no longer answer until the
  // port is closed and opened again. The owning thread.
  bool PortGone() const;

  // HART-IP on the IPv4 address and port (TCP and UDP; port 0: any free port), with or without
  // the port open; a failure says what went wrong. A running server is stopped first.
  // The owning thread, as StopHartIp.
  Result<> StartHartIp(const std::string& address, uint16_t port);
  void StopHartIp();
  bool HartIpRunning() const { return hartIp_.Running(); }
  // The port bound, 0 while HART-IP is off.
  uint16_t HartIpPort() const { return hartIp_.Port(); }
  // What HART-IP serves, taken from HartIpView of [HTDev_Sys] when it starts: "flat" (poll
  // address N is device N) or, for anything else, the I/O system with the devices behind it.
  bool HartIpFlat() const { return hartIpBackend_.ServesFlat(); }
  // HART-IP sessions open now. Any thread.
  std::size_t HartIpSessions() const { return hartIp_.SessionCount(); }
  // Requests answered since start, serial and HART-IP together (see
  // CommunicationCounters::Served). Any thread.
  uint64_t TransactionsServed() const { return counters_.Served.load(std::memory_order_relaxed); }
  // HartIpPort of [HTDev_Sys]: the port HART-IP is configured on, 0 (off) when the key is
  // absent, 0 or no port number.
  uint16_t ConfiguredHartIpPort();
  // HartIpAddress of [HTDev_Sys]: the IPv4 address the program without a window serves HART-IP
  // on when the file gives the port (empty when the key is absent: the caller's default).
  std::string ConfiguredHartIpAddress();
  // Stores the port in HartIpPort (0: off); fails when the file could not be written.
  Result<> SaveHartIpPort(uint16_t port);

  // The operator's operations on the devices and the file. Each takes the model lock itself (the
  // caller holds none) and waits while a command executes; the file check's warning is shown
  // outside the lock. An operation that writes fails when the file did not take the change; the
  // failure has been reported to the notifier, and the change is kept in memory and written
  // again later. The owning thread.
  //
  // Rows of the grid, in one write: each device's enable flag into the device table, its texts
  // and units into the device's data and the file; then section 000 of each device is read again
  // (its long address, which the link matches, and the revision in force). A row of a device
  // beyond the sixteen stores nothing.
  Result<> StoreRows(std::span<const RowEntry> rows);
  // The universal command revision (6 or 7) into the record in force and every device's data.
  Result<> SwitchRevision(uint8_t revision);
  // A full load of QLN.ini, after the file check (with its warning when the file is missing).
  // Returns whether the file was there.
  bool ReloadAll();
  // While the port is closed, writes again the changes the file did not take (see
  // ConfigStore::RetryPendingWrites); while it is open the command thread does that.
  void RetryPendingWrites();
  // The enable flags, every device's texts and the revision in force, as they are now.
  DeviceGrid Grid();
  // The universal command revision of the record in force.
  uint8_t Revision();
  // The device's simulation section as the file holds it, and the section written at once.
  DeviceMotionTexts SimulationTexts(uint8_t device);
  Result<> StoreSimulation(uint8_t device, const DeviceMotionTexts& texts);
  // Each device's dynamic variables now (a bad text of a simulation section is reported to the
  // notifier once).
  std::array<DeviceMovingValues, kDeviceCount> MovingValuesNow();
  // Ends the simulation of the device's variables (as command 42 does), written at once.
  void EndSimulation(uint8_t device);
  // The capture each device replays (see commands/replay_device.h), empty for a device that
  // answers as usual. A changed Capture key is read by the device's next request.
  std::array<std::string, kDeviceCount> ReplayCaptures();
  // The device-specific command table: the entry's command written to the file with its count
  // and bytes, or loaded from it into the entry (see SaveSpecCmd and LoadSpecCmd).
  Result<> SaveSpecCmd(const SpecCmdEntry& entry);
  bool LoadSpecCmd(SpecCmdEntry& entry);
  // What each COM number opens (COM n at n - 1, for 1..255): the device its COM<n>Path names,
  // or /dev/ttyS<n-1>.
  std::vector<std::string> PortDevices();

  // Captures every frame the simulator receives and sends, serial and HART-IP, into `path` (see
  // base/capture_format.h), a numbered next file started whenever one reaches `limitBytes`. A
  // relative path is taken from the directory of QLN.ini. Fails naming the file. A file that
  // later cannot be written ends the capture with a console note. The owning thread, as
  // StopCapture; both may be called while the port is open or HART-IP runs.
  Result<> StartCapture(const std::filesystem::path& path, uint64_t limitBytes);
  void StopCapture() { capture_.Stop(); }
  bool Capturing() const { return capture_.Capturing(); }
  // CaptureFile and CaptureLimitMB of [HTDev_Sys]: the file (empty: no capture) and the size
  // limit in bytes (kDefaultCaptureLimitMB when the key is absent, 0 or no number).
  std::pair<std::string, uint64_t> ConfiguredCapture();
  static constexpr uint64_t kDefaultCaptureLimitMB = 100;

  // The parts the operator interface works on that need no lock: their shared fields are atomic.
  CommandState& State() { return state_; }
  ConverterRequest& Converter() { return converter_; }

  // Watches the file's disk operations (see ProfileFile::SetDiskHook): tests and probes slow the
  // disk down with it. Set it before the simulator starts threads.
  void SetDiskHook(std::function<void(ProfileFile::DiskOperation)> hook) {
    store_.SetDiskHook(std::move(hook));
  }

  static constexpr int kComPorts = 255;

 private:
  static Failure OpenFailure(int comNumber, const std::string& reason);
  void CommandLoop();
  void PassLogLines();
  void Wake();
  void AfterIpTraffic();

  Notifier& notifier_;
  const Clock& clock_;
  LogHandler onLogLine_;
  ChannelHandler onChannel_;
  std::filesystem::path directory_;
  // Before the transports, which hand it their frames; stopped last.
  PcapngCapture capture_;

  DeviceModel model_;
  ConfigStore store_;
  CommandExchange exchange_;
  CommandState state_;
  CommunicationCounters counters_;
  LogQueue log_;
  Transaction transaction_;
  SerialLink link_;
  BurstSender burst_;
  ConverterRequest converter_;
  ConverterChannelReport channelReport_;

  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<SerialWorker> worker_;
  std::thread commandThread_;
  std::atomic<bool> portOpen_{false};

  // Wakes the command thread when a request has been handed over or the port closes.
  std::mutex wakeMutex_;
  std::condition_variable wakeUp_;
  bool woken_ = false;
  // Held while log lines are passed on: by the command thread, or the HART-IP thread.
  std::mutex passMutex_;

  // Last: its thread uses everything above and is stopped first.
  CommandBackend hartIpBackend_;
  HartIpServer hartIp_;
};

}  // namespace qln
