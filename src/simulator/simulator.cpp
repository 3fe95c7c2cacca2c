#include "simulator/simulator.h"

#include <chrono>
#include <cstdio>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "commands/hart7_commands.h"
#include "commands/moving_process_values.h"
#include "device/sections.h"
#include "device/text_values.h"
#include "serial/port_path.h"
#include "serial/posix_serial_port.h"

namespace qln {

namespace {
// The longest the command thread sleeps between two looks at its work.
constexpr auto kCommandCycle = std::chrono::milliseconds(100);
constexpr char kHartIpPortKey[] = "HartIpPort";
constexpr char kHartIpAddressKey[] = "HartIpAddress";
constexpr char kHartIpViewKey[] = "HartIpView";
constexpr char kCaptureFileKey[] = "CaptureFile";
constexpr char kCaptureLimitKey[] = "CaptureLimitMB";
}  // namespace

Simulator::Simulator(Notifier& notifier, Console& console, const Clock& clock,
                     std::filesystem::path directory, LogHandler onLogLine,
                     ChannelHandler onChannel)
    : notifier_(notifier),
      clock_(clock),
      onLogLine_(std::move(onLogLine)),
      onChannel_(std::move(onChannel)),
      directory_(directory),
      capture_(clock, [&console](const std::string& problem) { console.Note(problem + "\r\n"); }),
      store_(notifier, clock, std::move(directory)),
      transaction_({model_, store_, state_, clock, counters_, notifier, console}),
      link_(model_.Link, exchange_, counters_, clock, log_, &capture_),
      burst_(model_.Burst, counters_, link_, clock, [this] { Wake(); }),
      hartIpBackend_(
          {transaction_, clock, log_, model_.Link, counters_, [this] { AfterIpTraffic(); }}),
      hartIp_(hartIpBackend_, console, clock, &capture_) {}

Simulator::~Simulator() {
  StopHartIp();
  Close();
}

bool Simulator::StartUp(int& comNumber) {
  store_.RemoveStaleTemporaries();
  store_.ApplyRecovery(model_);  // what the last stop could not write goes into the file first
  const bool found = store_.ReloadAll(model_, AllDevices);
  std::lock_guard lock(model_.Lock);
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    model_.Table[device].DevEnable = ParseUnsigned(model_.System.DevEn[device]) == 1 ? 1 : 0;
  }
  SelectBurstDevice(model_);  // only an enabled device bursts
  const uint32_t configured = ParseUnsigned(model_.System.COMNo);
  comNumber = static_cast<int>(configured & 0xFF);  // the low 8 bits: 300 is COM44
  return found;
}

Result<std::string> Simulator::Open(int comNumber, std::optional<std::string> device) {
  Close();
  const bool numbered = comNumber >= 1 && comNumber <= kComPorts;
  if (!device && !numbered) {
    return OpenFailure(comNumber, "COM" + std::to_string(comNumber) +
                                      " is no port: the COM number must be 1 to 255");
  }
  store_.CheckAndLoadForOpen(model_);
  link_.ResetForOpen();
  model_.Burst.Prepared.Clear();  // the command thread prepares the first burst frame afresh
  std::string path;
  if (device) {
    path = *device;
  } else {
    // A HART-IP session may be writing meanwhile: the store's pending texts are under the lock.
    std::lock_guard lock(model_.Lock);
    path = *PortDevice(comNumber, store_.ReadSystemKey(PortPathKey(comNumber)));
  }

  Result<std::unique_ptr<PosixSerialPort>> opened = PosixSerialPort::Open(path);
  if (!opened) return OpenFailure(comNumber, opened.error());
  std::unique_ptr<SerialPort> port = std::move(*opened);
  // The line starts in the receive state: transmitter released.
  port->SetRts(false);
  port->SetDtr(true);
  auto worker = std::make_unique<SerialWorker>(
      *port, SerialWorkerParts{link_, burst_, transaction_, converter_, channelReport_, log_,
                               clock_, notifier_, [this] { Wake(); }});
  if (const Result<> started = worker->Start(); !started) {
    return OpenFailure(comNumber, path + ": cannot start the serial worker: " + started.error());
  }
  port_ = std::move(port);
  worker_ = std::move(worker);

  if (numbered) {
    std::lock_guard lock(model_.Lock);
    store_.SavePort(model_, static_cast<unsigned>(comNumber));
  }
  portOpen_.store(true, std::memory_order_release);
  try {
    commandThread_ = std::thread(&Simulator::CommandLoop, this);
  } catch (const std::system_error& e) {
    Close();
    return OpenFailure(comNumber, path + ": cannot start the command thread: " + e.what());
  }
  return path;
}

void Simulator::Close() {
  // The worker stops first, so that the command thread's last hand-over has every line.
  if (worker_) {
    worker_->Stop();
    worker_.reset();
  }
  portOpen_.store(false, std::memory_order_release);
  Wake();
  if (commandThread_.joinable()) commandThread_.join();
  port_.reset();
}

bool Simulator::PortGone() const { return worker_ && worker_->PortGone(); }

Failure Simulator::OpenFailure(int comNumber, const std::string& reason) {
  char first[32];
  std::snprintf(first, sizeof first, "Open Com%d Failed", comNumber);
  return Failure{std::string(first) + "\n" + reason};
}

void Simulator::CommandLoop() {
  while (PortOpen()) {
    // The request is executed for the device it was accepted for.
    if (exchange_.LoadState() == ExchangeState::RequestPending) transaction_.Execute(exchange_);
    // The serial worker sends burst frames but never reads the file: a message's next frame is
    // prepared here, as soon as its last one has been taken.
    if (model_.Burst.Enable.load(std::memory_order_acquire) != 0) {
      if (const uint8_t wanted = model_.Burst.Prepared.WantedMessages(); wanted != 0) {
        model_.Burst.Prepared.Put(transaction_.BuildBursts(wanted));
      }
    }
    // Changes that could not be written to the file are written again every few seconds.
    store_.RetryPendingWrites(model_);
    // A file changed on disk (restored, or edited by hand) gives the long addresses the link
    // matches now, not only at the next command, whose frame the link would not accept.
    if (store_.IdentitiesStale()) {
      std::lock_guard lock(model_.Lock);
      store_.RefreshIdentities(model_);
    }
    PassLogLines();
    if (const std::optional<uint8_t> channel = channelReport_.Take(); channel && onChannel_) {
      onChannel_(*channel);
    }
    std::unique_lock lock(wakeMutex_);
    wakeUp_.wait_for(lock, kCommandCycle, [this] { return woken_ || !PortOpen(); });
    woken_ = false;
  }
  PassLogLines();
}

void Simulator::PassLogLines() {
  std::lock_guard lock(passMutex_);
  for (LogLine& line : log_.TakeAll()) {
    if (onLogLine_) onLogLine_(line.Kind, std::move(line.Text));
  }
}

void Simulator::Wake() {
  {
    std::lock_guard lock(wakeMutex_);
    woken_ = true;
  }
  wakeUp_.notify_one();
}

Result<> Simulator::StartHartIp(const std::string& address, uint16_t port) {
  std::string view;
  {
    std::lock_guard lock(model_.Lock);
    view = store_.ReadSystemKey(kHartIpViewKey);
  }
  hartIpBackend_.ServeFlat(view == "flat");
  return hartIp_.Start(address, port);
}

void Simulator::StopHartIp() { hartIp_.Stop(); }

uint16_t Simulator::ConfiguredHartIpPort() {
  uint32_t port = 0;
  {
    std::lock_guard lock(model_.Lock);  // the store's pending texts, as for every read
    port = ParseUnsigned(store_.ReadSystemKey(kHartIpPortKey));
  }
  return port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
}

std::string Simulator::ConfiguredHartIpAddress() {
  std::lock_guard lock(model_.Lock);
  return store_.ReadSystemKey(kHartIpAddressKey);
}

Result<> Simulator::StartCapture(const std::filesystem::path& path, uint64_t limitBytes) {
  return capture_.Start(path.is_relative() && !directory_.empty() ? directory_ / path : path,
                        limitBytes);
}

std::pair<std::string, uint64_t> Simulator::ConfiguredCapture() {
  std::string file;
  uint32_t limitMB = 0;
  {
    std::lock_guard lock(model_.Lock);
    file = store_.ReadSystemKey(kCaptureFileKey);
    limitMB = ParseUnsigned(store_.ReadSystemKey(kCaptureLimitKey));
  }
  if (limitMB == 0) limitMB = kDefaultCaptureLimitMB;
  return {file, static_cast<uint64_t>(limitMB) << 20};
}

Result<> Simulator::SaveHartIpPort(uint16_t port) {
  std::lock_guard lock(model_.Lock);
  return store_.WriteSystemKeys(model_, {{kHartIpPortKey, std::to_string(port)}});
}

Result<> Simulator::StoreRows(std::span<const RowEntry> rows) {
  for (const RowEntry& row : rows) {
    if (row.Device >= kDeviceCount) return Failure{"no device " + std::to_string(row.Device)};
  }
  std::lock_guard lock(model_.Lock);
  for (const RowEntry& row : rows) model_.Table[row.Device].DevEnable = row.Enabled ? 1 : 0;
  Result<> written = store_.SaveRows(model_, rows);
  for (const RowEntry& row : rows) store_.Refresh(model_, 0, row.Device);
  return written;
}

Result<> Simulator::SwitchRevision(uint8_t revision) {
  std::lock_guard lock(model_.Lock);
  model_.Active.UnivCmdRev = revision;
  return store_.SaveRevision(model_, revision);
}

bool Simulator::ReloadAll() { return store_.ReloadAll(model_, AllDevices); }

void Simulator::RetryPendingWrites() {
  if (!PortOpen()) store_.RetryPendingWrites(model_);
}

Result<> Simulator::SaveAtStop() {
  StopHartIp();
  Close();
  return store_.SaveAtStop(model_);
}

DeviceGrid Simulator::Grid() {
  DeviceGrid grid;
  grid.Texts.reserve(kDeviceCount);
  std::lock_guard lock(model_.Lock);
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    grid.Enabled[device] = model_.Table[device].DevEnable == 1;
    grid.Texts.push_back(model_.Table[device].Texts);
  }
  grid.Revision = model_.Active.UnivCmdRev;
  return grid;
}

uint8_t Simulator::Revision() {
  std::lock_guard lock(model_.Lock);
  return model_.Active.UnivCmdRev;
}

DeviceMotionTexts Simulator::SimulationTexts(uint8_t device) {
  return ReadMotionTexts(*store_.Snapshot(), device);
}

Result<> Simulator::StoreSimulation(uint8_t device, const DeviceMotionTexts& texts) {
  std::lock_guard lock(model_.Lock);
  return WriteMotionTexts(model_, store_, device, texts);
}

std::array<std::string, kDeviceCount> Simulator::ReplayCaptures() {
  std::array<std::string, kDeviceCount> captures;
  std::lock_guard lock(model_.Lock);
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    const CommandState::Replay& replay = state_.Replays[device];
    if (replay.index) captures[device] = replay.path.string();
  }
  return captures;
}

std::array<DeviceMovingValues, kDeviceCount> Simulator::MovingValuesNow() {
  std::array<DeviceMovingValues, kDeviceCount> now;
  CommandExchange unused;  // the simulations are read as a command reads them
  CommandContext context{model_, store_, unused, state_, clock_, counters_, &notifier_};
  std::lock_guard lock(model_.Lock);
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    const auto values = qln::MovingValuesNow(store_, state_.Motion, clock_, device);
    uint8_t statuses[kMovingVariables];
    const uint8_t simulated = ApplySimulation(context, device, statuses);
    const DeviceRecord& r = model_.Active;
    const std::array<std::pair<uint8_t, float>, kMovingVariables> record{{{r.PV1Unit, r.PV1Value},
                                                                          {r.PV2Unit, r.PV2Value},
                                                                          {r.PV3Unit, r.PV3Value},
                                                                          {r.PV4Unit, r.PV4Value}}};
    for (std::size_t i = 0; i < kMovingVariables; ++i) {
      now[device][i] = {values[i], state_.Motion.Settings(device, i), std::nullopt};
      if (((simulated >> i) & 1) != 0) {
        now[device][i] = {record[i].second, std::nullopt, record[i].first};
      }
    }
  }
  return now;
}

void Simulator::EndSimulation(uint8_t device) {
  if (device >= kDeviceCount) return;
  CommandExchange unused;
  CommandContext context{model_, store_, unused, state_, clock_, counters_, &notifier_};
  std::lock_guard lock(model_.Lock);
  qln::EndSimulation(context, device);
}

Result<> Simulator::SaveSpecCmd(const SpecCmdEntry& entry) {
  std::lock_guard lock(model_.Lock);
  return qln::SaveSpecCmd(store_, model_, entry);
}

bool Simulator::LoadSpecCmd(SpecCmdEntry& entry) {
  std::lock_guard lock(model_.Lock);
  return qln::LoadSpecCmd(store_, entry);
}

std::vector<std::string> Simulator::PortDevices() {
  std::vector<std::string> keys;
  keys.reserve(kComPorts);
  for (int port = 1; port <= kComPorts; ++port) keys.push_back(PortPathKey(port));
  const std::vector<std::string_view> names(keys.begin(), keys.end());
  std::vector<std::string> configured;
  {
    std::lock_guard lock(model_.Lock);
    configured = store_.ReadKeys(kSystemSection, names);  // one read of the file for all
  }
  std::vector<std::string> devices;
  devices.reserve(kComPorts);
  for (int port = 1; port <= kComPorts; ++port) {
    devices.push_back(*PortDevice(port, configured[static_cast<std::size_t>(port - 1)]));
  }
  return devices;
}

// While the port is open the command thread passes the lines on; otherwise nobody else does.
void Simulator::AfterIpTraffic() {
  if (PortOpen()) {
    Wake();
  } else {
    PassLogLines();
  }
}

}  // namespace qln
