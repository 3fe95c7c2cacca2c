// The Qt Test classes of qln_ui_tests. Each test file registers its class with QLN_UI_TEST;
// main runs them all in one QApplication.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QImage>
#include <QObject>
#include <QString>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qln::test {

using UiTestFactory = std::unique_ptr<QObject> (*)();
std::vector<UiTestFactory>& UiTests();

template <class T>
bool AddUiTest() {
  UiTests().push_back([]() -> std::unique_ptr<QObject> { return std::make_unique<T>(); });
  return true;
}

// What the widget shows, as the screen would get it.
inline QImage Rendered(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The child widget of type T that shows text (a button's or a label's text); null when none does.
template <class T>
T* ChildWithText(const QWidget& parent, const QString& text) {
  for (T* child : parent.findChildren<T*>()) {
    if (child->text() == text) return child;
  }
  return nullptr;
}

// The user chooses the entry at position in a drop-down list.
inline void Choose(QComboBox& list, int position) {
  list.setCurrentIndex(position);
  emit list.activated(position);
}

// Ends the test program when it is still alive after `limit`: a step that hangs (a deadlock)
// fails the run instead of stopping it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!stopped_.wait_for(lock, limit, [this] { return done_; })) {
            qFatal("Watchdog: a step did not finish within %d s", static_cast<int>(limit.count()));
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    stopped_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool done_ = false;
  std::thread thread_;  // last: started once the rest is in place
};

}  // namespace qln::test

#define QLN_UI_TEST(Class) \
  [[maybe_unused]] static const bool registered##Class = qln::test::AddUiTest<Class>()
