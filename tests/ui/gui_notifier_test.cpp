#include "ui/gui_notifier.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ui/ui_test.h"

namespace qln {
namespace {

using namespace std::chrono_literals;

struct Box {
  QMessageBox::Icon icon;
  QString caption;
  QString text;
  bool onUiThread;
};

class GuiNotifierTest : public QObject {
  Q_OBJECT

 private:
  std::vector<Box> boxes;
  // What the box does while it is open, as a modal box's event loop would.
  std::function<void()> whileOpen = [] {};
  GuiNotifier notifier{[this](QMessageBox::Icon icon, const QString& caption, const QString& text) {
    boxes.push_back({icon, caption, text, QThread::currentThread() == thread()});
    whileOpen();
  }};

 private slots:
  void init() {
    boxes.clear();
    whileOpen = [] {};
  }

  void AWarningOnTheUiThreadShowsAtOnce() {
    notifier.Warning("QLN.ini not found ...", "WARNING");
    QCOMPARE(boxes.size(), std::size_t{1});
    QCOMPARE(boxes[0].icon, QMessageBox::Warning);
    QCOMPARE(boxes[0].caption, QString("WARNING"));
    QCOMPARE(boxes[0].text, QString("QLN.ini not found ..."));
  }

  void AWarningFromAnotherThreadWaitsUntilTheBoxIsClosed() {
    test::Watchdog watchdog(30s);
    std::atomic<bool> returned{false};
    bool returnedWhileOpen = true;
    int waitingWhileOpen = 0;
    whileOpen = [&] {
      returnedWhileOpen = returned.load();
      waitingWhileOpen = notifier.WaitingWarnings();
    };
    std::thread commandThread([&] {
      notifier.Warning("QLN.ini not found ...", "WARNING");
      returned = true;
    });
    QTRY_COMPARE(boxes.size(), std::size_t{1});
    QTRY_VERIFY(returned.load());
    commandThread.join();
    QVERIFY(boxes[0].onUiThread);
    QVERIFY(!returnedWhileOpen);
    QCOMPARE(waitingWhileOpen, 1);
    QCOMPARE(notifier.WaitingWarnings(), 0);
  }

  // The UI thread waits for the command thread (closing the port) while the command thread
  // waits for its warning: releasing the waits lets the join finish, and the box still shows.
  void ReleasedWaitsEndAWarningTheUiThreadCannotShow() {
    test::Watchdog watchdog(30s);
    std::thread commandThread([&] { notifier.Warning("QLN.ini not found ...", "WARNING"); });
    // The warning is posted and its thread waits (no event is processed here meanwhile).
    while (notifier.WaitingWarnings() == 0) std::this_thread::yield();
    {
      ReleasedWaits released(notifier);
      commandThread.join();
    }
    QCOMPARE(notifier.WaitingWarnings(), 0);
    QVERIFY(boxes.empty());
    QCoreApplication::processEvents();
    QCOMPARE(boxes.size(), std::size_t{1});

    // Released no more: the next warning waits for its box again.
    std::atomic<bool> returned{false};
    bool returnedWhileOpen = true;
    whileOpen = [&] { returnedWhileOpen = returned.load(); };
    std::thread again([&] {
      notifier.Warning("again", "WARNING");
      returned = true;
    });
    QTRY_VERIFY(returned.load());
    again.join();
    QVERIFY(!returnedWhileOpen);
  }

  void ProblemsNeverWaitAndShowOneBoxAtATime() {
    std::thread worker([&] {
      notifier.Problem("cannot write QLN.ini");
      notifier.Problem("cannot write QLN.ini again");  // while the first box is due: stderr only
    });
    worker.join();  // returns without any box shown
    QVERIFY(boxes.empty());
    // Everything the worker posted is delivered now: one box.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(boxes.size(), std::size_t{1});
    QCOMPARE(boxes[0].text, QString("cannot write QLN.ini"));
    QCOMPARE(boxes[0].caption, QCoreApplication::applicationName());

    notifier.Problem("later");   // the first box is closed: the next one shows
    QVERIFY(boxes.size() == 1);  // posted, even on the UI thread (the model lock may be held)
    QTRY_COMPARE(boxes.size(), std::size_t{2});
  }
};

QLN_UI_TEST(GuiNotifierTest);

}  // namespace
}  // namespace qln

#include "gui_notifier_test.moc"
