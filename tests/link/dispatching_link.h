// A link harness whose command thread is the real transaction path, over a QLN.ini of
// IniBuilder's sixteen devices loaded as opening the port does: master frames in, real replies,
// console notes and reports out.
#pragma once

#include "commands/command_fixture.h"
#include "commands/transaction.h"
#include "link/link_harness.h"

namespace qln::test {

struct DispatchingLink {
  explicit DispatchingLink(const IniBuilder& ini = IniBuilder()) {
    WriteFile(dir / "QLN.ini", ini.Text());
    loaded = store.CheckAndLoadForOpen(link.model);
    link.commandThread = [this] {
      if (link.exchange.LoadState() == ExchangeState::RequestPending) {
        transaction.Execute(link.exchange);
      }
    };
    link.replySent = [this](const SentReply& sent) {
      transaction.ReplySent(sent.Device, sent.Note);
    };
  }

  TempDir dir;
  FakeNotifier notifier;
  RecordingConsole console;
  LinkHarness link;
  ConfigStore store{notifier, link.clock, dir.Path()};
  CommandState state;
  Transaction transaction{{link.model, store, state, link.clock, link.counters, notifier, console}};
  bool loaded = false;  // the file was there and has been loaded
};

}  // namespace qln::test
