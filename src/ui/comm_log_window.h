// The traffic log window "HART CommLog": every received and sent HART frame as one line, the
// count of each direction, the newest lines kept in view on request, and a save of the list to a
// time-stamped ".csv" file in the working directory.
//
// The window is created once, hidden, and lives for the whole run; Escape and the close box hide
// it, Enter does nothing: Clear and Save are never default buttons and take no focus from a
// click, so an Enter after a click cannot clear the list without asking. From its creation on, a
// 20 ms timer takes every pending line from the log source, whether the window is shown or
// hidden, so no line waits for the next tick and none is lost however fast lines arrive. The
// list keeps the newest LogListModel::kMaxLines lines and says how many older ones it has dropped.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/log_queue.h"

class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QTableView;
class QTimer;

namespace qln {

class LogListModel;

class CommLogWindow : public QDialog {
  Q_OBJECT

 public:
  // The pending lines, oldest first, each taken once; called on the UI thread. For a LogQueue:
  // [&queue] { return queue.TakeAll(); }.
  using LogSource = std::function<std::vector<LogLine>()>;
  // Shows a message to the operator: text with no icon or with the information icon.
  using MessageBox = std::function<void(QMessageBox::Icon icon, const QString& text)>;

  static constexpr int kTickMilliseconds = 20;
  // Auto Scroll makes the line this many lines before the end the top line of the list.
  static constexpr int kScrollLines = 18;

  // The clock names the saved files. Messages go to modal message boxes until SetMessageBox.
  CommLogWindow(LogSource source, const Clock& clock, QWidget* parent = nullptr);

  void SetMessageBox(MessageBox show) { showMessage_ = std::move(show); }

  // Takes every pending line in order: counts it by kind and adds it to the list; then, with
  // Auto Scroll ticked, brings the newest lines into view. Run by the timer.
  void AppendLogLines();
  // Empties the list and sets both counters to 0.
  void Clear();
  // Writes the list to "<working directory>/YYYYMMDD_hhmmss.csv" (local time), each line followed
  // by CR LF, replacing a file of that name, and reports "File Save OK !!\r\n( <path> )" or, when
  // the file cannot be written or there is no working directory (removed while the program
  // runs), "File Save NG !!". The list and the counters stay as they are.
  void SaveLog();
  // Writes the list's traffic lines as a capture for Wireshark (see WriteTrafficCapture in
  // base/traffic_line.h) to "<working directory>/YYYYMMDD_hhmmss.pcapng", reported as SaveLog
  // reports.
  void SaveCapture();

  const LogListModel& Lines() const { return *model_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void SaveAs(const char* extension,
              const std::function<bool(const QString&, const LocalTime&)>& write);
  void ScrollToNewest();
  void ShowState();

  LogSource source_;
  const Clock& clock_;
  MessageBox showMessage_;
  LogListModel* model_;
  QTableView* list_;
  QLabel* dropNotice_;
  QLineEdit* receivedField_;
  QLineEdit* sentField_;
  QCheckBox* autoScroll_;
  QTimer* timer_;
  int64_t received_ = 0;
  int64_t sent_ = 0;
};

}  // namespace qln
