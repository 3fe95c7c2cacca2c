// A link harness whose command thread is the real dispatcher, over a QLN.ini of IniBuilder's
// sixteen devices loaded as opening the port does: master frames in, real replies out.
#pragma once

#include "commands/command_fixture.h"
#include "link/link_harness.h"

namespace qln::test {

struct DispatchingLink {
  DispatchingLink() {
    WriteFile(dir / "QLN.ini", IniBuilder().Text());
    loaded = store.CheckAndLoadForOpen(link.model);
    link.commandThread = [this] { Dispatch(ctx, link.exchange.Device); };
  }

  TempDir dir;
  FakeNotifier notifier;
  LinkHarness link;
  ConfigStore store{notifier, dir.Path()};
  CommandState state;
  CommandContext ctx{link.model, store, link.exchange, state, link.clock, link.counters};
  bool loaded = false;  // the file was there and has been loaded
};

}  // namespace qln::test
