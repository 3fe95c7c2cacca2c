#include "ui/gui_notifier.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdio>
#include <memory>
#include <utility>

namespace qln {

GuiNotifier::GuiNotifier(ShowBox show, QObject* parent) : QObject(parent), show_(std::move(show)) {}

void GuiNotifier::Warning(const std::string& text, const std::string& caption) {
  const QString shownText = QString::fromStdString(text);
  const QString shownCaption = QString::fromStdString(caption);
  if (QThread::currentThread() == thread()) {
    show_(QMessageBox::Warning, shownCaption, shownText);
    return;
  }
  // The flag outlives this call: a released wait returns before its box has been shown.
  auto closed = std::make_shared<bool>(false);
  QMetaObject::invokeMethod(
      this,
      [this, closed, shownText, shownCaption] {
        show_(QMessageBox::Warning, shownCaption, shownText);
        {
          std::lock_guard lock(mutex_);
          *closed = true;
        }
        boxClosed_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(mutex_);
  ++waiting_;
  boxClosed_.wait(lock, [&] { return *closed || released_; });
  --waiting_;
}

void GuiNotifier::Problem(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  if (problemDue_.exchange(true)) return;
  const QString shownText = QString::fromStdString(text);
  QMetaObject::invokeMethod(
      this,
      [this, shownText] {
        show_(QMessageBox::Warning, QCoreApplication::applicationName(), shownText);
        problemDue_ = false;
      },
      Qt::QueuedConnection);
}

int GuiNotifier::WaitingWarnings() {
  std::lock_guard lock(mutex_);
  return waiting_;
}

void GuiNotifier::SetWaitsReleased(bool released) {
  {
    std::lock_guard lock(mutex_);
    released_ = released;
  }
  boxClosed_.notify_all();
}

}  // namespace qln
