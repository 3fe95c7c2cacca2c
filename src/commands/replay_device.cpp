#include "commands/replay_device.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

#include "base/hart_frame.h"
#include "commands/dispatcher.h"

namespace qln {

std::string ReplaySection(uint8_t device) {
  char name[32];
  std::snprintf(name, sizeof name, "HTDev%02d_Replay", device);
  return name;
}

void PrepareReplay(CommandContext& ctx, uint8_t device) {
  if (device >= kDeviceCount) return;
  const std::string section = ReplaySection(device);
  std::filesystem::path path;
  std::string text;
  {
    std::lock_guard lock(ctx.model.Lock);
    const std::string_view key = kReplayCaptureKey;
    text = ctx.store.ReadWholeKeys(section, std::span(&key, 1))[0];
    if (text == ctx.state.Replays[device].text) return;
    if (!text.empty()) path = ctx.store.Path().parent_path() / text;
  }
  std::shared_ptr<ReplayIndex> index;
  std::string problem;
  if (!path.empty()) {
    Result<std::shared_ptr<ReplayIndex>> loaded = ReplayIndex::Load(path);
    if (loaded) {
      index = std::move(*loaded);
    } else {
      problem = "QLN.ini [" + section + "] Capture=" + text + " refused: " + loaded.error() +
                "; the device answers as usual.";
    }
  }
  {
    std::lock_guard lock(ctx.model.Lock);
    // Another transport's request may have loaded the same text meanwhile: one report is enough.
    CommandState::Replay& replay = ctx.state.Replays[device];
    if (replay.text == text) return;
    replay = {text, path, std::move(index)};
  }
  if (!problem.empty() && ctx.notifier != nullptr) ctx.notifier->Problem(problem);
}

bool AnswerFromReplay(CommandContext& ctx, uint8_t device) {
  if (device >= kDeviceCount) return false;
  ReplayIndex* index = ctx.state.Replays[device].index.get();
  if (index == nullptr) return false;
  CommandExchange& e = ctx.exchange;
  const RecordedReply* reply =
      index->Next(e.Command, std::span(e.Data.data(), std::min<std::size_t>(e.ByteCount, 255)));
  if (reply == nullptr) return false;
  ctx.state.ExecutedCommandCount.fetch_add(1);
  const std::size_t count = std::min(reply->Data.size(), kMaxReplyData);
  std::copy_n(reply->Data.begin(), count, e.Data.begin());
  e.ByteCount = static_cast<uint8_t>(count);
  e.ResponseCode = reply->ResponseCode;
  e.DeviceStatus = ComposeDeviceStatus(ctx, device);
  return true;
}

}  // namespace qln
