#include "ui/comm_log_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/dispatching_link.h"
#include "support/fakes.h"
#include "support/temp_dir.h"
#include "ui/log_list_model.h"
#include "ui/ui_test.h"

namespace qln {
namespace {

// The process's working directory is the test directory while this lives.
class InDirectory {
 public:
  explicit InDirectory(const std::filesystem::path& dir) : old_(QDir::currentPath()) {
    QDir::setCurrent(QString::fromStdString(dir.string()));
  }
  ~InDirectory() { QDir::setCurrent(old_); }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

 private:
  QString old_;
};

// A log window fed from a queue, with its messages recorded instead of shown.
struct LogWindowFixture {
  LogWindowFixture() {
    window.SetMessageBox(
        [this](QMessageBox::Icon icon, const QString& text) { messages.emplace_back(icon, text); });
  }

  QString Received() const { return window.findChild<QLineEdit*>("recvCount")->text(); }
  QString Sent() const { return window.findChild<QLineEdit*>("sendCount")->text(); }
  QTableView& List() const { return *window.findChild<QTableView*>("lines"); }
  // The line at the top of the list once the view has laid out what came in.
  int TopLine() const {
    QCoreApplication::processEvents();
    return List().indexAt(QPoint(1, 1)).row();
  }
  void Lines(int count, LogKind kind = LogKind::Received) {
    for (int i = 0; i < count; ++i) queue.Log(kind, "line " + std::to_string(next++));
  }
  void Click(const QString& text) {
    QTest::mouseClick(test::ChildWithText<QAbstractButton>(window, text), Qt::LeftButton);
  }

  LogQueue queue;
  test::FakeClock clock;
  CommLogWindow window{[this] { return queue.TakeAll(); }, clock};
  std::vector<std::pair<QMessageBox::Icon, QString>> messages;
  int next = 0;
};

std::vector<std::string> Texts(const LogListModel& model) {
  std::vector<std::string> texts;
  for (int row = 0; row < model.LineCount(); ++row) texts.push_back(model.Text(row));
  return texts;
}

class CommLogWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void CountsEachKindAndClearStartsAgain() {
    LogWindowFixture f;
    QCOMPARE(f.window.windowTitle(), QString("HART CommLog"));
    QCOMPARE(f.Received(), QString("0"));
    QCOMPARE(f.Sent(), QString("0"));
    f.queue.Log(LogKind::Received, "r1");
    f.queue.Log(LogKind::Sent, "s1");
    f.queue.Log(LogKind::Received, "r2");
    f.window.AppendLogLines();
    QCOMPARE(f.Received(), QString("2"));
    QCOMPARE(f.Sent(), QString("1"));
    QCOMPARE(Texts(f.window.Lines()), (std::vector<std::string>{"r1", "s1", "r2"}));

    f.Click("Clear");
    QCOMPARE(f.Received(), QString("0"));
    QCOMPARE(f.Sent(), QString("0"));
    QCOMPARE(f.window.Lines().LineCount(), 0);
    QCOMPARE(f.window.Lines().Extent(), 0);

    f.queue.Log(LogKind::Received, "r3");
    f.window.AppendLogLines();
    QCOMPARE(f.Received(), QString("1"));
    QCOMPARE(f.Sent(), QString("0"));
  }

  // The window starts hidden and its timer runs from the start: lines arriving faster than it
  // ticks are all taken at the next tick, in order, and the newest are in view at the first show.
  void TimerTakesEveryPendingLineWhileHidden() {
    LogWindowFixture f;
    f.Lines(300);
    QTRY_COMPARE(f.window.Lines().LineCount(), 300);
    QVERIFY(!f.window.isVisible());
    QCOMPARE(f.Received(), QString("300"));
    QCOMPARE(f.window.Lines().Text(0), std::string("line 0"));
    QCOMPARE(f.window.Lines().Text(299), std::string("line 299"));
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    QCOMPARE(f.TopLine(), 282);
  }

  void AutoScrollKeepsTheLastEighteenLinesInView() {
    LogWindowFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    f.Lines(5);
    f.window.AppendLogLines();
    QCOMPARE(f.TopLine(), 0);  // fewer than 18 lines: the list stays at its top
    f.Lines(15);
    f.window.AppendLogLines();
    QCOMPARE(f.TopLine(), 2);  // 20 lines: the third is at the top

    f.Click("Auto Scroll");  // off: the list stays where it is
    f.Lines(10);
    f.window.AppendLogLines();
    QCOMPARE(f.TopLine(), 2);
    f.Click("Auto Scroll");  // on again: scrolls at once
    QCOMPARE(f.TopLine(), 12);
  }

  void HorizontalRangeFollowsTheWidestLine() {
    LogWindowFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    const QFontMetrics metrics(f.List().font());
    const std::string wide(400, 'F');
    f.queue.Log(LogKind::Sent, "short");
    f.queue.Log(LogKind::Sent, wide);
    f.queue.Log(LogKind::Sent, "short again");
    f.window.AppendLogLines();
    const int extent = metrics.horizontalAdvance(QString::fromStdString(wide)) + 3;
    QCOMPARE(f.window.Lines().Extent(), extent);
    QTRY_COMPARE(f.List().horizontalScrollBar()->maximum(), extent - f.List().viewport()->width());

    f.Click("Clear");
    QCOMPARE(f.window.Lines().Extent(), 0);
    QTRY_COMPARE(f.List().horizontalScrollBar()->maximum(), 0);
  }

  // The list keeps the newest lines: past the limit the oldest go in chunks, the extent is
  // recomputed over what is left, and the window says how many went.
  void LongRunsDropTheOldestLinesAndSaySo() {
    LogWindowFixture f;
    auto* notice = f.window.findChild<QLabel*>("dropNotice");
    const QFontMetrics metrics(f.List().font());
    f.queue.Log(LogKind::Received, std::string(300, 'A'));  // the widest line, first to go
    f.Lines(LogListModel::kMaxLines - 1);
    f.window.AppendLogLines();
    QCOMPARE(f.window.Lines().LineCount(), LogListModel::kMaxLines);
    QCOMPARE(f.window.Lines().DroppedLines(), int64_t{0});
    QVERIFY(notice->isHidden());

    f.Lines(1);
    f.window.AppendLogLines();
    const LogListModel& lines = f.window.Lines();
    QCOMPARE(lines.LineCount(), LogListModel::kMaxLines - LogListModel::kDropChunk + 1);
    QCOMPARE(lines.DroppedLines(), int64_t{LogListModel::kDropChunk});
    QCOMPARE(lines.Text(0), "line " + std::to_string(LogListModel::kDropChunk - 1));
    QCOMPARE(lines.Text(lines.LineCount() - 1),
             "line " + std::to_string(LogListModel::kMaxLines - 1));
    int widest = 0;
    for (int row = 0; row < lines.LineCount(); ++row) {
      widest =
          std::max(widest, metrics.horizontalAdvance(QString::fromStdString(lines.Text(row))) + 3);
    }
    QCOMPARE(lines.Extent(), widest);
    QCOMPARE(f.Received(), QString::number(LogListModel::kMaxLines + 1));  // counts keep every line
    QVERIFY(!notice->isHidden());
    QCOMPARE(notice->text(),
             QString("Older lines dropped: 10000 (the list keeps the newest 200000)"));

    // A burst longer than the whole list: the newest lines stay, the count of dropped ones adds up.
    // 190001 + 200005 lines are 190006 too many: twenty chunks go, from the list and the burst.
    f.Lines(LogListModel::kMaxLines + 5);
    f.window.AppendLogLines();
    QCOMPARE(lines.LineCount(), 190006);
    QCOMPARE(lines.DroppedLines(), int64_t{210000});
    QCOMPARE(lines.Text(lines.LineCount() - 1), "line " + std::to_string(f.next - 1));

    f.Click("Clear");
    QVERIFY(notice->isHidden());
    QCOMPARE(lines.DroppedLines(), int64_t{0});
  }

  void SaveWritesEveryLineWithCrLfUnderTheTimeStampName() {
    test::TempDir dir;
    InDirectory in(dir.Path());
    LogWindowFixture f;
    const std::filesystem::path file = dir / "20241231_134507.csv";
    const QString path =
        QString::fromStdString((std::filesystem::canonical(dir.Path()) / file.filename()).string());

    f.Click("Save");  // an empty list: an empty file
    QVERIFY(std::filesystem::exists(file));
    QCOMPARE(test::ReadFile(file), std::string());
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.messages[0].first, QMessageBox::Information);
    QCOMPARE(f.messages[0].second, "File Save OK !!\r\n( " + path + " )");

    f.queue.Log(LogKind::Received, "10:00:00.000  <==  FF 02 80 00 00 82 ");
    f.queue.Log(LogKind::Sent, "10:00:00.120  ==>  FF 06 80 00 0E 00 00 88 ");
    f.window.AppendLogLines();
    f.Click("Save");  // the same second: the same file, replaced
    QCOMPARE(test::ReadFile(file),
             std::string("10:00:00.000  <==  FF 02 80 00 00 82 \r\n10:00:00.120  ==>  FF 06 80 00 "
                         "0E 00 00 88 \r\n"));
    QCOMPARE(std::distance(std::filesystem::directory_iterator(dir.Path()),
                           std::filesystem::directory_iterator()),
             1);
    QCOMPARE(f.window.Lines().LineCount(), 2);  // saving changes neither list nor counts
    QCOMPARE(f.Received(), QString("1"));

    f.clock.now.second = 8;
    f.Click("Save");
    QCOMPARE(test::ReadFile(dir / "20241231_134508.csv"), test::ReadFile(file));
  }

  // The traffic lines (preambles left out, HART-IP ones by their origin) become the packets of
  // a capture that the analyser decodes; other lines are left out.
  void SaveAsCaptureWritesTheTrafficLines() {
    test::TempDir dir;
    InDirectory in(dir.Path());
    LogWindowFixture f;
    f.queue.Log(LogKind::Received, "10:00:00.000  <==  FF FF FF 02 80 00 00 82 ");
    f.queue.Log(LogKind::Sent, "10:00:00.120  ==>  FF FF 06 80 00 02 00 00 84 ");
    f.queue.Log(LogKind::Received, "10:00:01.000  <==  [IP 127.0.0.1:50123]  02 80 00 00 82 ");
    f.queue.Log(LogKind::Sent, "not a traffic line");
    f.window.AppendLogLines();
    f.Click("Save as capture");
    const std::filesystem::path file = dir / "20241231_134507.pcapng";
    QVERIFY(std::filesystem::exists(file));
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.messages[0].first, QMessageBox::Information);
    QVERIFY(f.messages[0].second.endsWith("20241231_134507.pcapng )"));
    QCOMPARE(test::ReadFile(file).substr(0, 4), std::string("\x0A\x0D\x0D\x0A"));
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) return;
    const std::string command =
        "tshark -n -r " + file.string() + " -T fields -e ip.src -e hart_ip.pt.command 2>/dev/null";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[256];
      while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
      pclose(pipe);
    }
    QCOMPARE(output, std::string("169.254.72.1\t0\n169.254.72.2\t0\n127.0.0.1\t0\n"));
  }

  void SaveThatCannotWriteSaysNg() {
    test::TempDir dir;
    InDirectory in(dir.Path());
    LogWindowFixture f;
    std::filesystem::create_directory(dir /
                                      "20241231_134507.csv");  // the name is taken by a directory
    f.Lines(2);
    f.window.AppendLogLines();
    f.Click("Save");
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.messages[0].first, QMessageBox::NoIcon);
    QCOMPARE(f.messages[0].second, QString("File Save NG !!"));
    QCOMPARE(f.window.Lines().LineCount(), 2);

    // A file that opens but does not take the lines is not a success either.
    QVERIFY(!f.window.Lines().SaveTo("/dev/full"));
  }

  // The working directory removed while the program runs: the file would land in the root
  // directory; the save fails instead.
  void SaveWithoutAWorkingDirectorySaysNg() {
    test::TempDir dir;
    const std::filesystem::path gone = dir / "gone";
    std::filesystem::create_directory(gone);
    InDirectory in(gone);
    std::filesystem::remove(gone);
    LogWindowFixture f;
    f.clock.now.year = 2011;  // a name no root directory holds already
    const std::filesystem::path inRoot = "/20111231_134507.csv";
    QVERIFY(!std::filesystem::exists(inRoot));
    f.Lines(2);
    f.window.AppendLogLines();
    f.Click("Save");
    const bool written = std::filesystem::remove(inRoot);
    QVERIFY(!written);
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.messages[0].first, QMessageBox::NoIcon);
    QCOMPARE(f.messages[0].second, QString("File Save NG !!"));
    QCOMPARE(f.window.Lines().LineCount(), 2);
  }

  // Enter after a click on Clear or Save (or with either focused from the keyboard) presses
  // neither; a click still does.
  void EnterNeverPressesClearOrSave() {
    test::TempDir dir;
    InDirectory in(dir.Path());
    LogWindowFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.window));
    auto* clear = f.window.findChild<QPushButton*>("clear");
    auto* save = f.window.findChild<QPushButton*>("save");
    f.Lines(2);
    f.window.AppendLogLines();
    f.Click("Clear");
    QCOMPARE(f.window.Lines().LineCount(), 0);
    f.Lines(3);
    f.window.AppendLogLines();
    QVERIFY(QApplication::focusWidget() != clear);
    QWidget* focused = QApplication::focusWidget();
    QTest::keyClick(focused ? focused : &f.window, Qt::Key_Return);
    QCOMPARE(f.window.Lines().LineCount(), 3);

    f.Click("Save");
    QCOMPARE(f.messages.size(), std::size_t{1});
    for (QPushButton* button : {clear, save}) {
      QVERIFY(!button->isDefault() && !button->autoDefault());
      button->setFocus();  // as Tab brings it there
      QTest::keyClick(button, Qt::Key_Return);
      QTest::keyClick(button, Qt::Key_Enter);
    }
    QCOMPARE(f.window.Lines().LineCount(), 3);
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.Received(), QString("3"));
  }

  void EnterDoesNothingAndEscapeOnlyHides() {
    auto f = std::make_unique<LogWindowFixture>();
    QPointer<CommLogWindow> window(&f->window);
    f->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f->window));
    f->Lines(3, LogKind::Sent);
    f->window.AppendLogLines();
    f->window.findChild<QCheckBox*>("autoScroll")->setFocus();
    QTest::keyClick(&f->window, Qt::Key_Return);  // neither hides nor presses a button
    QVERIFY(f->window.isVisible());
    QCOMPARE(f->window.Lines().LineCount(), 3);
    QTest::keyClick(&f->window, Qt::Key_Escape);
    QVERIFY(!f->window.isVisible());
    QCoreApplication::processEvents();
    QVERIFY(!window.isNull());
    f->Lines(3, LogKind::Sent);  // still counting
    f->window.AppendLogLines();
    QCOMPARE(f->Sent(), QString("6"));
  }

  // The whole road: a master frame through the link layer and the command layer; its line and
  // its reply's line reach the window in that order.
  void MasterFrameAndReplyArriveAsTwoLinesInOrder() {
    test::DispatchingLink master;
    QVERIFY(master.loaded);
    test::LinkHarness& link = master.link;
    link.EnableDevice(0);
    CommLogWindow window([&link] { return std::exchange(link.logged, {}); }, link.clock);

    link.Converse(test::ShortFrame(0, 0));
    window.AppendLogLines();
    const LogListModel& lines = window.Lines();
    QCOMPARE(lines.LineCount(), 2);
    QVERIFY(lines.Text(0).find("  <==  FF FF FF FF FF 02 80 00 00 82 ") != std::string::npos);
    QVERIFY(lines.Text(1).find("  ==>  ") != std::string::npos);
    QVERIFY(lines.Text(1).find(" 06 80 00 ") !=
            std::string::npos);  // the reply to the same address
    QCOMPARE(window.findChild<QLineEdit*>("recvCount")->text(), QString("1"));
    QCOMPARE(window.findChild<QLineEdit*>("sendCount")->text(), QString("1"));
  }
};

QLN_UI_TEST(CommLogWindowTest);

}  // namespace
}  // namespace qln

#include "comm_log_window_test.moc"
