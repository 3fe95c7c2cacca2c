#include "commands/spec_cmd_commands.h"

#include <algorithm>

#include "device/spec_cmd_table.h"

namespace qln {

void SpecCmdCommand(CommandContext& ctx, uint8_t device) {
  const uint8_t command = ctx.exchange.Command;
  // Without the file the reply decoded last, for whatever command, is sent again.
  if (ctx.store.ConfigFileFound()) {
    ReadSpecCmd(ctx.store, ctx.model, device, command);
    DecodeSpecCmd(ctx.model, device, command);
  }
  const SpecCmdReply& reply = ctx.model.SpecCmd;
  std::copy_n(reply.Data.begin(), reply.Count, ctx.exchange.Data.begin());
  Reply(ctx, reply.Count);
}

}  // namespace qln
