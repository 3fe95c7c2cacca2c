#include "commands/transaction.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "commands/burst_frames.h"
#include "commands/command_context.h"
#include "commands/dispatcher.h"
#include "device/text_values.h"

namespace qln {

void Transaction::Execute(CommandExchange& exchange) {
  CommandContext context{parts_.model, parts_.store,    exchange,        parts_.state,
                         parts_.clock, parts_.counters, &parts_.notifier};
  CommunicationCounters& counters = parts_.counters;
  const uint8_t device = exchange.Device;
  Count(exchange.FromNetwork ? counters.LoopStx : counters.LoopOstx);
  if (device < kDeviceCount) Count(counters.Devices[device].Stx);
  const std::string faultNote = Dispatch(context, device);
  if (!faultNote.empty()) parts_.console.Note(faultNote);
  if (exchange.Fault == ReplyFault::Drop) return;
  Count(exchange.FromNetwork ? counters.LoopAck : counters.LoopOack);
  // HART-IP counts its answers where it gives them (an I/O system's own and a tunnelled one).
  if (!exchange.FromNetwork) counters.Served.fetch_add(1, std::memory_order_relaxed);
  if (device < kDeviceCount) Count(counters.Devices[device].Ack);
}

void Transaction::ReplySent(uint8_t device, ReplyNote note) {
  const char* format = note == ReplyNote::SelfTest ? "Dev[%d]_SelfTest_OK ...\r\n"
                       : note == ReplyNote::Reset  ? "Dev[%d]_Reset_OK ...\r\n"
                       : note == ReplyNote::Squawk ? "Dev[%02d] squawk\r\n"
                                                   : nullptr;
  if (format == nullptr) return;
  char text[64];
  std::snprintf(text, sizeof text, format, device);
  parts_.console.Note(text);
}

std::vector<MessageFrame> Transaction::BuildBursts(uint8_t wanted) {
  if (parts_.model.Burst.Enable.load(std::memory_order_acquire) == 0) return {};
  // Building a burst frame reads no request: the exchange only completes the context.
  CommandExchange unused;
  CommandContext context{parts_.model, parts_.store,    unused,          parts_.state,
                         parts_.clock, parts_.counters, &parts_.notifier};
  std::lock_guard lock(parts_.model.Lock);
  std::vector<MessageFrame> built = BuildBurstFrames(context, wanted);
  for (const MessageFrame& m : built) {
    if (m.frame) CountBack(m.frame->device);
  }
  return built;
}

std::vector<BurstFrame> Transaction::BuildDueBursts(uint32_t nowMs, BurstSchedule& schedule,
                                                    uint32_t& waitMs) {
  CommandExchange unused;
  CommandContext context{parts_.model, parts_.store,    unused,          parts_.state,
                         parts_.clock, parts_.counters, &parts_.notifier};
  std::vector<BurstFrame> due;
  waitMs = kBurstPeriodMs;
  std::lock_guard lock(parts_.model.Lock);
  for (uint8_t device = 0; device < kDeviceCount; ++device) {
    auto& running = schedule.running[device];
    auto& last = schedule.lastMs[device];
    const DeviceEntry& entry = parts_.model.Table[device];
    // The bursting devices as the file says: enabled, with a burst mode other than 0.
    if (entry.DevEnable != 1 || ParseUnsigned(entry.Texts.Get(109, "BurstMode")) == 0) {
      running.fill(false);
      continue;
    }
    const BurstPlan plan = PlanDeviceBursts(context, device);
    for (uint8_t m = 0; m < kBurstMessageCount; ++m) {
      if (!plan[m].enabled) {
        running[m] = false;
        continue;
      }
      const uint32_t period = plan[m].periodMs;
      if (!running[m] || nowMs - last[m] >= period) {
        running[m] = true;
        last[m] = nowMs;
        if (std::optional<BurstFrame> frame =
                BuildMessageFrame(context, device, entry.LongAddress, plan[m])) {
          CountBack(device);
          due.push_back(*frame);
        }
      }
      waitMs = std::min(waitMs, period - (nowMs - last[m]));
    }
  }
  return due;
}

void Transaction::CountBack(uint8_t device) {
  Count(parts_.counters.LoopBack);
  if (device < kDeviceCount) Count(parts_.counters.Devices[device].Back);
}

Transaction::Identity Transaction::DeviceIdentity(uint8_t device) {
  CommandExchange unused;
  CommandContext context{parts_.model, parts_.store,    unused,          parts_.state,
                         parts_.clock, parts_.counters, &parts_.notifier};
  std::lock_guard lock(parts_.model.Lock);
  RefreshSection(context, 0, device);
  const DeviceRecord& r = parts_.model.Active;
  const bool hart7 = r.UnivCmdRev >= 7;
  return {static_cast<uint16_t>(hart7 ? r.MfrID_v7 : r.MfrID),
          static_cast<uint16_t>(r.MfrID << 8 | r.MfrDevType),
          r.DevIDNo,
          r.UnivCmdRev,
          r.DevSpecCmdRev,
          r.DevProfile_v7,
          static_cast<uint16_t>(r.LblDist_v7)};
}

}  // namespace qln
