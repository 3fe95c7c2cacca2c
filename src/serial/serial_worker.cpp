#include "serial/serial_worker.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace qln {

namespace {

using namespace std::chrono_literals;

constexpr auto kPollPeriod = 10ms;
constexpr auto kResetNoteDelay = 100ms;
// Empty polls after which an unanswered converter request is given up.
constexpr uint8_t kConverterWaitLimit = 10;
// The byte of a get-channel answer that holds the channel digit.
constexpr std::size_t kConverterChannelByte = 4;
constexpr std::string_view kConverterOrigin = "K-3056";  // marks its lines in the traffic log

// Real-time scheduling at the top priority when the system grants it; otherwise the lowest nice
// value the user may take (none below 0 without privilege), and otherwise normal priority.
void RaisePriority() {
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0) return;
  // RLIMIT_NICE n allows nice values down to 20 - n.
  const rlim_t allowed =
      limit.rlim_cur == RLIM_INFINITY ? 40 : std::min<rlim_t>(limit.rlim_cur, 40);
  const int lowest = 20 - static_cast<int>(allowed);
  if (lowest < 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), lowest);
}

}  // namespace

SerialWorker::SerialWorker(SerialPort& port, SerialWorkerParts parts)
    : port_(port), parts_(std::move(parts)) {}

SerialWorker::~SerialWorker() { Stop(); }

Result<> SerialWorker::Start() {
  if (thread_.joinable()) return Failure{"the serial worker is started already"};
  running_.store(true, std::memory_order_release);
  try {
    thread_ = std::thread(&SerialWorker::Loop, this);
  } catch (const std::system_error& e) {
    running_.store(false, std::memory_order_release);
    return Failure{e.what()};
  }
  return {};
}

void SerialWorker::Stop() {
  running_.store(false, std::memory_order_release);
  if (thread_.joinable()) thread_.join();
}

void SerialWorker::Loop() {
  RaisePriority();
  while (running_.load(std::memory_order_acquire)) {
    const PassEnd end = RunPass();
    if (end == PassEnd::PortGone) return;
    if (end == PassEnd::Sleep) std::this_thread::sleep_for(kPollPeriod);
  }
}

SerialWorker::PassEnd SerialWorker::RunPass() {
  parts_.burst.BurstCheck();
  // A HART transmission always goes before the converter.
  if (parts_.link.TransmitPending()) return Transmit();
  if (parts_.converter.State.load(std::memory_order_acquire) != ConverterState::Idle) {
    return ConverterStep();
  }
  return ReadStep();
}

SerialWorker::PassEnd SerialWorker::Transmit() {
  KeyAndWrite(parts_.link.TransmitImage());
  if (const std::optional<SentReply> sent = parts_.link.TransmissionDone()) {
    // The note of a reset follows a moment after its reply, as a device's restart would.
    if (sent->Note == ReplyNote::Reset) std::this_thread::sleep_for(kResetNoteDelay);
    parts_.transaction.ReplySent(sent->Device, sent->Note);
  }
  return PassEnd::Continue;
}

void SerialWorker::KeyAndWrite(std::span<const uint8_t> bytes) {
  port_.SetRts(true);
  port_.SetDtr(false);
  const bool written = port_.Write(bytes.data(), bytes.size());
  if (written) port_.WaitSent(bytes.size());
  port_.SetDtr(true);
  if (!written) {
    parts_.notifier.Problem("The serial port did not take " + std::to_string(bytes.size()) +
                            " bytes to send within a second; they were not sent.");
  }
}

SerialWorker::PassEnd SerialWorker::ReadStep() {
  const ReadResult result = port_.Read(buffer_.data(), buffer_.size());
  if (result.gone) return Gone(result);
  const LinkEvent event = parts_.link.Receive({buffer_.data(), result.count}, result.lineError);
  if (event == LinkEvent::RequestHandedOver && parts_.requestHandedOver) {
    parts_.requestHandedOver();
  }
  return PassEnd::Sleep;
}

SerialWorker::PassEnd SerialWorker::ConverterStep() {
  ConverterRequest& request = parts_.converter;
  if (request.State.load(std::memory_order_acquire) == ConverterState::Awaiting) {
    return AwaitConverterAnswer();
  }
  const uint8_t digit = static_cast<uint8_t>('0' + request.Channel);
  const std::array<uint8_t, 5> setChannel{'#', 'C', '5', digit, '\r'};
  const std::array<uint8_t, 4> getChannel{'#', 'C', '6', '\r'};
  std::span<const uint8_t> command;
  if (request.Code == kConverterSetChannel) command = setChannel;
  if (request.Code == kConverterGetChannel) command = getChannel;
  if (command.empty()) {  // not a command of the module: dropped
    request.State.store(ConverterState::Idle, std::memory_order_release);
    return PassEnd::Continue;
  }
  answerLength_ = 0;
  request.State.store(ConverterState::Awaiting, std::memory_order_release);
  KeyAndWrite(command);
  parts_.log.Log(LogKind::Sent,
                 TrafficLine(parts_.clock, LogKind::Sent, kConverterOrigin, 0, command));
  return PassEnd::Continue;
}

// The answer's bytes are the converter's, not the link's: they get no tick either. The answer has
// ended when a poll after its first bytes finds the line silent, or when it has filled answer_;
// it is logged, and only its fifth byte, the channel digit of a get-channel answer, is used.
SerialWorker::PassEnd SerialWorker::AwaitConverterAnswer() {
  ConverterRequest& request = parts_.converter;
  const ReadResult result = port_.Read(buffer_.data(), buffer_.size());
  if (result.gone) return Gone(result);
  if (result.count > 0) {
    const std::size_t kept = std::min(result.count, answer_.size() - answerLength_);
    std::copy_n(buffer_.begin(), kept,
                answer_.begin() + static_cast<std::ptrdiff_t>(answerLength_));
    answerLength_ += kept;
    if (answerLength_ < answer_.size()) return PassEnd::Sleep;
  } else if (answerLength_ == 0) {
    if (++converterWait_ > kConverterWaitLimit) {
      converterWait_ = 0;
      request.State.store(ConverterState::Idle, std::memory_order_release);
    }
    return PassEnd::Sleep;
  }
  parts_.log.Log(LogKind::Received, TrafficLine(parts_.clock, LogKind::Received, kConverterOrigin,
                                                0, std::span(answer_.data(), answerLength_)));
  if (request.Code == kConverterGetChannel && answerLength_ > kConverterChannelByte) {
    const uint8_t channel = static_cast<uint8_t>(answer_[kConverterChannelByte] - '0');
    if (channel < kConverterChannels) parts_.channelReport.Report(channel);
  }
  answerLength_ = 0;
  converterWait_ = 1;
  request.State.store(ConverterState::Idle, std::memory_order_release);
  return PassEnd::Sleep;
}

SerialWorker::PassEnd SerialWorker::Gone(const ReadResult& result) {
  if (!portGone_.exchange(true, std::memory_order_acq_rel)) {
    parts_.notifier.Problem("The simulated devices no longer answer: " + result.reason);
  }
  return PassEnd::PortGone;
}

}  // namespace qln
