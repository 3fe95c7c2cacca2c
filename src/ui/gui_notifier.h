// How the simulator's core reaches the operator in the GUI program: warnings and write failures
// become message boxes on the UI thread, the console notes go to standard error.
//
// The core calls the notifier from the command thread and the serial worker as well as from the
// UI thread, and no widget may be touched from those threads: their boxes are posted to the UI
// thread. A warning must block its caller until the operator has acknowledged it, so a warning
// from another thread waits on a condition of its own that the posted box signals. The UI thread
// releases those waits while it waits for the other threads itself (closing the port joins the
// command thread): a command thread waiting for a box that the UI thread cannot show until the
// join has returned would otherwise never return.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "base/notifier.h"

namespace qln {

class GuiNotifier final : public QObject, public Notifier {
  Q_OBJECT

 public:
  // Shows one message box and returns once the operator has closed it. UI thread.
  using ShowBox =
      std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text)>;

  // Created on the UI thread, whose event loop shows the boxes.
  explicit GuiNotifier(ShowBox show, QObject* parent = nullptr);

  // Any thread. On the UI thread the box shows at once; on another thread it is posted to the UI
  // thread and the call returns when the box has been closed, or when the waits are released.
  void Warning(const std::string& text, const std::string& caption) override;
  // Any thread; never waits, since the core reports in the middle of a command or a write, where
  // waiting for the UI thread could deadlock. The problem is printed on standard error and
  // posted as a box, unless a problem box is posted or open already (a file that cannot be
  // written fails at every command: one box at a time is enough).
  void Problem(const std::string& text) override;

  // UI thread. While released, warnings from other threads do not wait for their boxes (which
  // still show), and those waiting already return at once.
  void SetWaitsReleased(bool released);

  // The warnings from other threads that wait for their boxes now. Any thread.
  int WaitingWarnings();

 private:
  ShowBox show_;
  std::atomic<bool> problemDue_{false};  // a problem box is posted or open

  std::mutex mutex_;
  std::condition_variable boxClosed_;
  bool released_ = false;  // under mutex_
  int waiting_ = 0;        // under mutex_
};

// Holds the waits of a notifier released for as long as it lives.
class ReleasedWaits {
 public:
  explicit ReleasedWaits(GuiNotifier& notifier) : notifier_(notifier) {
    notifier_.SetWaitsReleased(true);
  }
  ~ReleasedWaits() { notifier_.SetWaitsReleased(false); }
  ReleasedWaits(const ReleasedWaits&) = delete;
  ReleasedWaits& operator=(const ReleasedWaits&) = delete;

 private:
  GuiNotifier& notifier_;
};

}  // namespace qln
