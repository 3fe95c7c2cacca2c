#include "ui/main_window.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/encodings.h"
#include "commands/units.h"
#include "device/profile_file.h"
#include "e2e/hart_master.h"
#include "hartip/hartip_client.h"
#include "link/link_harness.h"
#include "serial/converter.h"
#include "support/fakes.h"
#include "support/temp_dir.h"
#include "ui/comm_log_window.h"
#include "ui/device_row.h"
#include "ui/device_status_window.h"
#include "ui/key_filter_edit.h"
#include "ui/log_list_model.h"
#include "ui/simulation_dialog.h"
#include "ui/skinned_button.h"
#include "ui/spec_cmd_window.h"
#include "ui/ui_test.h"

namespace qln {
namespace {

using namespace std::chrono_literals;

const QColor kSelected(255, 246, 190);

struct Message {
  QMessageBox::Icon icon;
  QString caption;
  QString text;
};

// The threads of this process (one thread started and ended first: a sanitizer may start a
// helper thread with the first thread of the process).
std::size_t ThreadCount() {
  [[maybe_unused]] static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

// The main window on a copy of the example QLN.ini (or none) in a temporary directory; COM3,
// the example's port, is a virtual port there. Message boxes are recorded, not shown.
struct WindowFixture {
  explicit WindowFixture(bool withFile = true) {
    if (withFile) {
      std::filesystem::copy_file(std::filesystem::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini",
                                 Ini());
      Configure("HTDev_Sys", "COM3Path", "pty:" + Link());
    }
  }

  std::filesystem::path Ini() const { return dir / "QLN.ini"; }
  std::string Link() const { return (dir / "hart").string(); }
  void Configure(std::string_view section, std::string_view key, std::string_view value) {
    QVERIFY(static_cast<bool>(ProfileFile(Ini()).Write(section, key, value)));
  }
  std::string Stored(std::string_view section, std::string_view key) const {
    return ProfileFile(Ini()).Snapshot()->Read(section, key);
  }

  MainWindow& Start() {
    const Clock& shown = useFakeClock ? static_cast<const Clock&>(fakeClock) : clock;
    window = std::make_unique<MainWindow>(
        shown, dir.Path(), std::nullopt,
        [this](QMessageBox::Icon icon, const QString& caption, const QString& text) {
          messages.push_back({icon, caption, text});
          onMessage();
        });
    window->show();
    return *window;
  }
  // Opens the port and connects the master to its other end.
  void OpenPort() {
    Press("Open");
    QVERIFY2(window->Sim().PortOpen(), messages.empty() ? "" : qPrintable(messages.back().text));
    master = std::make_unique<test::HartMaster>(Link());
    QVERIFY(master->Opened());
  }

  // One tick of the window's refresh timer, as its timeout gives it.
  void Tick() const {
    auto* timer = window->findChild<QTimer*>(QStringLiteral("refreshTimer"));
    QVERIFY(timer);
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
  }

  void Press(const char* text) const {
    auto* button = test::ChildWithText<QPushButton>(*window, QString::fromLatin1(text));
    QVERIFY2(button, text);
    QTest::mouseClick(button, Qt::LeftButton);
  }
  QCheckBox& Box(const char* text) const {
    return *test::ChildWithText<QCheckBox>(*window, QString::fromLatin1(text));
  }
  QComboBox& List(const char* name) const {
    return *window->findChild<QComboBox*>(QString::fromLatin1(name));
  }
  const DeviceRow& Row(int r) const { return window->Row(r); }
  QString Unit(int r, int i) const { return Row(r).Unit(i).currentText(); }

  test::TempDir dir;
  SystemClock clock;
  // The window's clock when set before Start (only for a window whose port stays closed: the
  // serial link needs real time).
  bool useFakeClock = false;
  test::FakeClock fakeClock;
  std::vector<Message> messages;
  std::function<void()> onMessage = [] {};
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<test::HartMaster> master;
};

// Whether row r looks selected (true), normal (false); fails the test for a mixture.
bool Highlighted(const DeviceRow& row) {
  const std::array<const ColourEdit*, 7> fields = {
      &row.ShortAddress(), &row.LongAddress(), &row.MfrIDv7(), &row.Value(0),
      &row.Value(1),       &row.Value(2),      &row.Value(3)};
  if (fields[0]->BackgroundColour() == kSelected) {
    for (const ColourEdit* field : fields) {
      if (field->BackgroundColour() != kSelected) qFatal("row partly selected");
    }
    return true;
  }
  // Read-only fields (the short address, moving values) on the button face, the others white.
  for (const ColourEdit* field : fields) {
    const QColor face = field->isReadOnly() ? QPalette().color(QPalette::Button) : Qt::white;
    if (field->BackgroundColour() != face) qFatal("field not on its face");
  }
  return false;
}

int HighlightedRow(const MainWindow& window) {
  int found = MainWindow::kNoRow;
  for (int r = 0; r < MainWindow::kRows; ++r) {
    if (Highlighted(window.Row(r))) found = r;
  }
  return found;
}

// A TCP socket listening on a free loopback port: the port stays taken while it lives.
struct TakenPort {
  TakenPort() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd, 1);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~TakenPort() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  uint16_t port = 0;
};

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void StartsWithTheDevicesOfTheFile() {
    WindowFixture f;
    f.Configure("HTDev_Sys", "COM6Path", "/dev/ttyUSB0");
    f.Configure("HTDev01_Cmd003", "PV2Unit", "250");  // no such unit
    MainWindow& window = f.Start();
    QVERIFY(f.messages.empty());
    QCOMPARE(window.windowTitle(), QString("QLN_v1.08 (Quillon)"));

    // The example's device 15: MfrID 255, type 1, id 16777215; MfrID_v7 255.
    QCOMPARE(f.Row(15).LongAddress().text(), QString("FF01FFFFFF"));
    QCOMPARE(f.Row(15).MfrIDv7().text(), QString("00FF"));
    QCOMPARE(f.Row(0).LongAddress().text(), QString("2605123456"));
    QCOMPARE(f.Row(0).MfrIDv7().text(), QString("0026"));
    const QStringList values = {f.Row(0).Value(0).text(), f.Row(0).Value(1).text(),
                                f.Row(0).Value(2).text(), f.Row(0).Value(3).text()};
    QCOMPARE(values, (QStringList{"25.000000", "24.500000", "12.000000", "50.000000"}));
    QCOMPARE((QStringList{f.Unit(0, 0), f.Unit(0, 1), f.Unit(0, 2), f.Unit(0, 3)}),
             (QStringList{"Deg.C", "Deg.C", "mA", "%"}));
    QCOMPARE(f.Row(1).Unit(1).currentIndex(), 0);  // the unknown code shows the first unit
    QCOMPARE(f.Row(1).Unit(1).count(), 97);
    QCOMPARE(f.Row(12).Value(0).text(), QString("-650.000000"));

    for (int r = 0; r < MainWindow::kRows; ++r) {
      const bool enabled = r < 8;  // Dev00_En .. Dev07_En are 1
      QCOMPARE(f.Row(r).EnableBox().isChecked(), enabled);
      QCOMPARE(window.Sim().Grid().Enabled[static_cast<std::size_t>(r)], enabled);
      QCOMPARE(f.Row(r).LongAddress().isEnabled(), enabled);
      QCOMPARE(f.Row(r).MfrIDv7().isEnabled(), enabled);  // revision 7 in the file
      QCOMPARE(f.Row(r).Value(3).isEnabled(), enabled);
      QCOMPARE(f.Row(r).Unit(3).isEnabled(), enabled);
      QCOMPARE(f.Row(r).ShortAddress().text(), QString::asprintf("%02d", r));
      QVERIFY(f.Row(r).ShortAddress().isEnabled() && f.Row(r).ShortAddress().isReadOnly());
      QVERIFY(f.Row(r).SetButton().isHidden());
    }
    QCOMPARE(HighlightedRow(window), MainWindow::kNoRow);
    QVERIFY(f.Box("HART v7.0").isChecked());
    QVERIFY(!f.Box("GetCMD3Param (Auto)").isChecked());

    QComboBox& ports = f.List("portList");
    QCOMPARE(ports.count(), 255);
    QCOMPARE(ports.itemText(0), QString("COM1"));
    QCOMPARE(ports.itemText(254), QString("COM255"));
    QCOMPARE(ports.currentIndex(), 2);  // COMNo=3
    QCOMPARE(window.PortNumber(), 3);
    QCOMPARE(ports.itemData(0, Qt::ToolTipRole).toString(), QString("/dev/ttyS0"));
    QCOMPARE(ports.itemData(2, Qt::ToolTipRole).toString(),
             QString::fromStdString("virtual port at " + f.Link()));
    QCOMPARE(ports.itemData(5, Qt::ToolTipRole).toString(), QString("/dev/ttyUSB0"));
    QCOMPARE(ports.toolTip(), ports.itemData(2, Qt::ToolTipRole).toString());

    QVERIFY(!f.Box("Enable").isEnabled());
    QCOMPARE(f.List("channelList").currentText(), QString("0"));
    QVERIFY(!f.List("channelList").isEnabled());
    QVERIFY(!test::ChildWithText<QPushButton>(window, "Set Ch")->isEnabled());
    QVERIFY(!test::ChildWithText<QPushButton>(window, "Get Ch")->isEnabled());
    QVERIFY(test::ChildWithText<QPushButton>(window, "Open"));
    QVERIFY(!window.LogWindow().isVisible());

    auto* timer = window.findChild<QTimer*>(QStringLiteral("refreshTimer"));
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), MainWindow::kRefreshMilliseconds);
  }

  void StartsWithoutTheFile() {
    WindowFixture f(false);
    MainWindow& window = f.Start();
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.messages[0].caption, QString("WARNING"));
    QCOMPARE(f.messages[0].text, QString("QLN.ini not found ..."));
    for (int r = 0; r < MainWindow::kRows; ++r) {
      QCOMPARE(f.Row(r).LongAddress().text(), QString("0000000000"));
      QCOMPARE(f.Row(r).MfrIDv7().text(), QString("0000"));
      QCOMPARE(f.Row(r).Value(0).text(), QString());
      QCOMPARE(f.Row(r).Unit(3).currentIndex(), 0);
      QVERIFY(!f.Row(r).EnableBox().isChecked());
      QVERIFY(!f.Row(r).LongAddress().isEnabled());
    }
    QCOMPARE(f.List("portList").currentIndex(), -1);
    QCOMPARE(window.PortNumber(), 0);
    QVERIFY(!f.Box("HART v7.0").isChecked());
    QCOMPARE(HighlightedRow(window), MainWindow::kNoRow);

    // No port chosen: opening fails for COM0.
    f.Press("Open");
    QCOMPARE(f.messages.size(), std::size_t{2});
    QVERIFY2(f.messages[1].text.startsWith("Open Com0 Failed\n"), qPrintable(f.messages[1].text));
    QVERIFY(!window.Sim().PortOpen());
  }

  // A stored value longer than a field's typing limit is shown whole and kept as it is;
  // a COM number above 255 selects the port of its low 8 bits.
  void StoredTextsAreShownWholeAndComNoKeepsItsLowBits() {
    WindowFixture f;
    const std::string big = "12345678901234.000000";
    f.Configure("HTDev04_Cmd003", "PV1Value", big);
    f.Configure("HTDev04_Cmd003", "PV4Value", "-0.000012345678");
    f.Configure("HTDev_Sys", "COMNo", "300");
    MainWindow& window = f.Start();
    QCOMPARE(f.Row(4).Value(0).text(), QString::fromStdString(big));
    QCOMPARE(f.Row(4).Value(3).text(), QString("-0.000012345678"));
    QCOMPARE(f.List("portList").currentIndex(), 43);
    QCOMPARE(f.List("portList").currentText(), QString("COM44"));
    QCOMPARE(window.PortNumber(), 44);

    f.Press("SetParam");
    QVERIFY(f.messages.empty());
    QCOMPARE(f.Stored("HTDev04_Cmd003", "PV1Value"), big);
    QCOMPARE(f.Stored("HTDev04_Cmd003", "PV4Value"), std::string("-0.000012345678"));

    // What the operator types into the field is still held to 13 characters.
    NumberEdit& value = f.Row(4).Value(0);
    value.selectAll();
    QTest::keyClick(&value, Qt::Key_Delete);
    QTest::keyClicks(&value, "98765432109876");
    QCOMPARE(value.text(), QString("9876543210987"));
  }

  void RowsFilterTypingAndShowTheFocusedRow() {
    WindowFixture f;
    MainWindow& window = f.Start();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    // Row 0 keeps typed letters as they are, the other rows turn them to upper case.
    for (int r : {0, 1}) {
      HexDigitEdit& address = f.Row(r).LongAddress();
      address.setFocus();
      address.clear();
      QTest::keyClicks(&address, "abcdefg0123x45");
      QCOMPARE(address.text(), r == 0 ? QString("abcdef0123") : QString("ABCDEF0123"));
    }
    QCOMPARE(HighlightedRow(window), 1);  // the field typed into last has the focus

    f.Row(1).MfrIDv7().setFocus();
    f.Row(1).MfrIDv7().clear();
    QTest::keyClicks(&f.Row(1).MfrIDv7(), "12345");
    QCOMPARE(f.Row(1).MfrIDv7().text(), QString("1234"));
    f.Row(2).Value(1).setFocus();
    f.Row(2).Value(1).clear();
    QTest::keyClicks(&f.Row(2).Value(1), "-12345678.901234");
    QCOMPARE(f.Row(2).Value(1).text(), QString("-12345678.901"));
    QCOMPARE(HighlightedRow(window), 2);

    f.Row(5).ShortAddress().setFocus();  // read-only, but it selects the row too
    QCOMPARE(HighlightedRow(window), 5);
    QTest::mouseClick(&f.Row(9).EnableBox(), Qt::LeftButton);
    QCOMPARE(HighlightedRow(window), 9);
  }

  // Text a quarter larger, as with 120 DPI fonts or 125 % scaling: the window opens within the
  // screen, can be made as small as 1366x768 at 125 % (1092x614) and smaller, and every control
  // can be scrolled into view; at its natural size it needs no scrolling.
  void TheWindowFitsSmallScreensAndScrollsToEveryControl() {
    const QFont normal = QApplication::font();
    QFont large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.25);
    QApplication::setFont(large);
    const auto restore = qScopeGuard([&] { QApplication::setFont(normal); });
    WindowFixture f;
    MainWindow& window = f.Start();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const QSize natural = window.sizeHint();
    QVERIFY(natural.width() > 1092 && natural.height() > 614);  // wider and taller than the screen
    const QRect screen = window.screen()->availableGeometry();
    QVERIFY(window.width() <= screen.width() && window.height() <= screen.height());
    QVERIFY(window.minimumSizeHint().width() <= 400 && window.minimumSizeHint().height() <= 300);

    auto* scroll = window.findChild<QScrollArea*>();
    QVERIFY(scroll);
    for (const QSize size : {QSize(1092, 614), QSize(640, 400)}) {
      window.resize(size);
      QTRY_COMPARE(window.size(), size);
      int controls = 0;
      for (QWidget* control : window.findChildren<QWidget*>()) {
        const bool operated = qobject_cast<QAbstractButton*>(control) != nullptr ||
                              qobject_cast<QComboBox*>(control) != nullptr ||
                              qobject_cast<QLineEdit*>(control) != nullptr;
        if (!operated || !control->isVisibleTo(&window)) continue;
        ++controls;
        const QPoint centre = control->mapTo(scroll->widget(), control->rect().center());
        scroll->ensureVisible(centre.x(), centre.y(), control->width() / 2 + 1,
                              control->height() / 2 + 1);
        const QRect shown(control->mapTo(scroll->viewport(), QPoint(0, 0)), control->size());
        QVERIFY2(scroll->viewport()->rect().contains(shown), control->metaObject()->className());
      }
      // The port list, Open, Enable, ChNo, Set Ch, Get Ch, the 4 function buttons, the 2 switches,
      // the HART-IP box and port field (its line edit), and 12 controls in each row.
      QCOMPARE(controls, 10 + 2 + 2 + 16 * 12);
    }

    window.resize(natural);
    QTRY_COMPARE(window.size(), natural);
    QCOMPARE(scroll->horizontalScrollBar()->maximum(), 0);
    QCOMPARE(scroll->verticalScrollBar()->maximum(), 0);
  }

  void RevisionSwitchSetsEveryDeviceAndTheMfrIDv7Fields() {
    WindowFixture f;
    MainWindow& window = f.Start();
    QTest::mouseClick(&f.Box("HART v7.0"), Qt::LeftButton);
    QVERIFY(!f.Box("HART v7.0").isChecked());
    for (int r = 0; r < MainWindow::kRows; ++r) {
      QCOMPARE(f.Stored(QString::asprintf("HTDev%02d_Cmd000", r).toStdString(), "UnivCmdRev"),
               std::string("6"));
      QVERIFY(!f.Row(r).MfrIDv7().isEnabled());
      QCOMPARE(f.Row(r).LongAddress().isEnabled(), r < 8);
    }
    QCOMPARE(window.Sim().Revision(), uint8_t{6});

    // Under revision 6 a ticked Enable box leaves the MfrID (v7) field disabled.
    QTest::mouseClick(&f.Row(9).EnableBox(), Qt::LeftButton);
    QVERIFY(f.Row(9).LongAddress().isEnabled());
    QVERIFY(!f.Row(9).MfrIDv7().isEnabled());

    QTest::mouseClick(&f.Box("HART v7.0"), Qt::LeftButton);
    for (int r = 0; r < MainWindow::kRows; ++r) {
      QCOMPARE(f.Stored(QString::asprintf("HTDev%02d_Cmd000", r).toStdString(), "UnivCmdRev"),
               std::string("7"));
      QCOMPARE(f.Row(r).MfrIDv7().isEnabled(), r < 8 || r == 9);
    }
    QCOMPARE(window.Sim().Revision(), uint8_t{7});
  }

  void SetParamStoresTheRowsWithTheirConversions() {
    WindowFixture f;
    MainWindow& window = f.Start();
    f.OpenPort();
    const DeviceRow& row = f.Row(2);
    row.LongAddress().setText("ABCDE");
    row.MfrIDv7().setText("1.2");
    row.Value(0).clear();
    row.Value(3).setText("-7.25");
    test::Choose(row.Unit(0), 1);
    f.Row(3).LongAddress().setText("123456789");
    f.Press("SetParam");
    QVERIFY(f.messages.empty());

    QCOMPARE(f.Stored("HTDev02_Cmd000", "MfrID"), std::string("0"));
    QCOMPARE(f.Stored("HTDev02_Cmd000", "MfrDevType"), std::string("10"));
    QCOMPARE(f.Stored("HTDev02_Cmd000", "DevIDNo"), std::to_string(0xBCDE));
    QCOMPARE(f.Stored("HTDev02_Cmd000", "MfrID_v7"), std::string("1"));
    QCOMPARE(f.Stored("HTDev02_Cmd000", "LblDist_v7"), std::string("1"));
    QCOMPARE(f.Stored("HTDev02_Cmd001", "PV1Value"), std::string("0.000000"));
    QCOMPARE(f.Stored("HTDev02_Cmd003", "PV1Value"), std::string("0.000000"));
    QCOMPARE(f.Stored("HTDev02_Cmd003", "PV4Value"), std::string("-7.250000"));
    const std::string secondUnit = std::to_string(UnitTable()[1].Code);
    QCOMPARE(f.Stored("HTDev02_Cmd001", "PV1Unit"), secondUnit);
    QCOMPARE(f.Stored("HTDev02_Cmd003", "PV1Unit"), secondUnit);
    QCOMPARE(f.Stored("HTDev02_Cmd015", "RangeUnit"), secondUnit);
    QCOMPARE(f.Stored("HTDev03_Cmd000", "MfrID"), std::to_string(0x12));
    QCOMPARE(f.Stored("HTDev03_Cmd000", "MfrDevType"), std::to_string(0x34));
    QCOMPARE(f.Stored("HTDev03_Cmd000", "DevIDNo"), std::to_string(0x56789));
    // Untouched rows are stored as shown.
    QCOMPARE(f.Stored("HTDev15_Cmd000", "DevIDNo"), std::string("16777215"));
    QCOMPARE(f.Stored("HTDev00_Cmd003", "PV2Value"), std::string("24.500000"));

    // The device answers at its new long address; the field keeps the text as typed.
    const auto reply = f.master->Transact(test::LongFrame({0x00, 0x0A, 0x00, 0xBC, 0xDE}, 0));
    QVERIFY(reply);
    QCOMPARE(reply->ResponseCode(), uint8_t{0});
    QCOMPARE(row.LongAddress().text(), QString("ABCDE"));
    QCOMPARE(row.Value(0).text(), QString());
    QCOMPARE(HighlightedRow(window), MainWindow::kNoRow);
  }

  // SetParam leaves what nobody touched byte for byte and stores a typed number without losing
  // digits; grid, file and command 3 agree. A long value shows from its start, whole as tooltip.
  void SetParamKeepsUntouchedValuesAndTypedDigits() {
    WindowFixture f;
    const char* extremes[] = {"0.00000000012345678", "123456789012345678.5", "-12345.6789012345",
                              "0.12345678901234567"};
    const char* keys[] = {"PV1Value", "PV2Value", "PV3Value", "PV4Value"};
    for (int i = 0; i < 4; ++i) f.Configure("HTDev03_Cmd003", keys[i], extremes[i]);
    f.Start();
    f.OpenPort();
    const QString negative = extremes[2];
    QCOMPARE(f.Row(3).Value(2).text(), negative);
    QCOMPARE(f.Row(3).Value(2).cursorPosition(), 0);
    QCOMPARE(f.Row(3).Value(2).toolTip(), negative);
    QCOMPARE(f.Row(3).Value(0).toolTip(), QString(extremes[0]));

    const char* typed[] = {"26", extremes[2], extremes[0], extremes[3]};
    // The 17th digit is beyond a double: the number is kept with the digits it needs.
    const char* stored[] = {"26.000000", extremes[2], extremes[0], "0.12345678901234566"};
    for (int i = 0; i < 4; ++i) f.Row(0).Value(i).setText(typed[i]);
    f.Press("SetParam");
    QVERIFY(f.messages.empty());
    QTest::mouseClick(&f.Box("GetCMD3Param (Auto)"), Qt::LeftButton);
    f.Tick();  // the grid shows the file again
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(f.Stored("HTDev03_Cmd003", keys[i]), std::string(extremes[i]));
      QCOMPARE(f.Row(3).Value(i).text(), QString(extremes[i]));
      QCOMPARE(f.Stored("HTDev00_Cmd003", keys[i]), std::string(stored[i]));
      QCOMPARE(f.Row(0).Value(i).text(), QString(stored[i]));
    }
    QCOMPARE(f.Stored("HTDev00_Cmd001", "PV1Value"), std::string("26.000000"));

    // Command 3: the four variables as single-precision numbers, after the current and each unit.
    const auto variable = [](const test::SlaveFrame& reply, int i) {
      return DecodeFloat(reply.Data().data() + 5 + 5 * i);
    };
    for (const auto& [device, texts] :
         {std::pair{uint8_t{3}, extremes}, std::pair{uint8_t{0}, stored}}) {
      const QByteArray shown = QByteArray::fromHex(f.Row(device).LongAddress().text().toLatin1());
      std::array<uint8_t, 5> address{};
      std::copy(shown.begin(), shown.end(), address.begin());
      const auto reply = f.master->Transact(test::LongFrame(address, 3));
      QVERIFY(reply);
      QCOMPARE(reply->ResponseCode(), uint8_t{0});
      for (int i = 0; i < 4; ++i) QCOMPARE(variable(*reply, i), std::stof(texts[i]));
    }
  }

  // With its directory gone, SetParam says so in one box: one write for all rows, and no reload
  // warning about the same file on top of it.
  void SetParamWithoutItsDirectoryShowsOneBox() {
    WindowFixture f;
    f.useFakeClock = true;
    f.Start();
    f.Row(2).Value(0).setText("7");
    std::filesystem::remove_all(f.dir.Path());
    f.Press("SetParam");
    QCoreApplication::processEvents();
    QCOMPARE(f.messages.size(), std::size_t{1});
    QVERIFY2(f.messages[0].text.contains("QLN.ini"), qPrintable(f.messages[0].text));
  }

  void AnEnableBoxTakesEffectOnlyWithSetParam() {
    WindowFixture f;
    MainWindow& window = f.Start();
    f.OpenPort();
    QVERIFY(!f.master->Transact(test::ShortFrame(9), 400ms));

    QTest::mouseClick(&f.Row(9).EnableBox(), Qt::LeftButton);
    QVERIFY(f.Row(9).Value(0).isEnabled());
    QVERIFY(!window.Sim().Grid().Enabled[9]);
    QCOMPARE(f.Stored("HTDev_Sys", "Dev09_En"), std::string("0"));
    QVERIFY(!f.master->Transact(test::ShortFrame(9), 400ms));

    f.Press("SetParam");
    QVERIFY(window.Sim().Grid().Enabled[9]);
    QCOMPARE(f.Stored("HTDev_Sys", "Dev09_En"), std::string("1"));
    const auto reply = f.master->Transact(test::ShortFrame(9));
    QVERIFY(reply);
    QCOMPARE(reply->ResponseCode(), uint8_t{0});
  }

  void ValuesAreRefreshedOnRequestOrAutomatically() {
    WindowFixture f;
    MainWindow& window = f.Start();
    f.OpenPort();
    f.Configure("HTDev05_Cmd003", "PV3Value", "1.500000");  // a hand edit
    f.Tick();
    QCOMPARE(f.Row(5).Value(2).text(), QString("9.760000"));  // not shown: no refresh asked for

    // Command 44 to device 0: PV unit Deg.C becomes Deg.F. The next tick shows every row again.
    const std::array<uint8_t, 5> device0{38, 5, 0x12, 0x34, 0x56};
    const auto reply = f.master->Transact(test::LongFrame(device0, 44, {33}));
    QVERIFY(reply);
    QCOMPARE(reply->ResponseCode(), uint8_t{0});
    f.Tick();
    QCOMPARE(f.Unit(0, 0), QString("Deg.F"));
    QCOMPARE(f.Row(0).Value(0).text().toStdString(), f.Stored("HTDev00_Cmd003", "PV1Value"));
    QVERIFY(f.Row(0).Value(0).text() != "25.000000");
    QCOMPARE(f.Row(5).Value(2).text(), QString("1.500000"));

    // The same unit again changes nothing: no refresh.
    f.Configure("HTDev05_Cmd003", "PV3Value", "2.500000");
    QVERIFY(f.master->Transact(test::LongFrame(device0, 44, {33})));
    f.Tick();
    QCOMPARE(f.Row(5).Value(2).text(), QString("1.500000"));

    // Automatic refresh: hand edits show within a tick; an unknown unit keeps the selection.
    QTest::mouseClick(&f.Box("GetCMD3Param (Auto)"), Qt::LeftButton);
    f.Configure("HTDev01_Cmd003", "PV2Unit", "250");
    f.Tick();
    QCOMPARE(f.Row(5).Value(2).text(), QString("2.500000"));
    QCOMPARE(f.Unit(1, 1), QString("Deg.C"));
    QCOMPARE(f.Row(2).LongAddress().text(), QString("1A01011170"));  // identities are not refreshed
    (void)window;
  }

  void MovingValuesShowLiveAndAreSetUpFromTheRowsMenu() {
    WindowFixture f;
    f.useFakeClock = true;
    MainWindow& window = f.Start();
    // The example's device 6 moves its PV (a sine with noise), device 7 its PV in a random walk.
    for (int r : {6, 7}) {
      QVERIFY(f.Row(r).Moving(0));
      QVERIFY(f.Row(r).Value(0).font().italic());
      QVERIFY(f.Row(r).Value(0).isReadOnly());
      QVERIFY(!f.Row(r).Moving(1));
    }
    QVERIFY(f.Row(6).Value(0).toolTip().startsWith(
        "Moving value (sine 1000..1500 over 20 s +-5 noise), read-only while it moves"));
    QVERIFY(!f.Row(5).Moving(0));
    QVERIFY(!f.Row(5).Value(0).isReadOnly());
    // The sine starts at mid-range when first shown and is at its top a quarter period later.
    const double first = f.Row(6).Value(0).text().toDouble();
    QVERIFY2(first >= 1245.0 && first <= 1255.0, qPrintable(f.Row(6).Value(0).text()));
    f.fakeClock.milliseconds += 5000;
    f.Tick();
    const double top = f.Row(6).Value(0).text().toDouble();
    QVERIFY2(top >= 1495.0 && top <= 1505.0, qPrintable(f.Row(6).Value(0).text()));

    // The row's context menu opens the dialog; a bad period is refused in it, a good one written.
    QAction& action = f.Row(5).SimulationAction();
    QVERIFY(f.Row(5).ShortAddress().actions().contains(&action));
    action.trigger();
    auto* dialog = window.findChild<SimulationDialog*>();
    QVERIFY(dialog);
    QCOMPARE(dialog->Mode(0).currentText(), QString("fixed"));
    test::Choose(dialog->Mode(1), 3);  // ramp
    dialog->Field(1, 0).setText("10");
    dialog->Field(1, 1).setText("20");
    dialog->Field(1, 2).setText("0");
    dialog->accept();
    QCOMPARE(dialog->Fault().text(), QString("SV, Period (s): 0 is not a period above 0."));
    QVERIFY(f.Stored("HTDev05_Simulation", "PV2Mode").empty());  // nothing written
    dialog->Field(1, 2).setText("5");
    dialog->accept();
    QCOMPARE(f.Stored("HTDev05_Simulation", "PV2Mode"), std::string("ramp"));
    QCOMPARE(f.Stored("HTDev05_Simulation", "PV2Period"), std::string("5"));
    // Only what was set is written: no empty keys, no "fixed" for the variables left alone.
    const std::string file = test::ReadFile(f.Ini());
    std::string section = file.substr(file.find("[HTDev05_Simulation]"));
    section = section.substr(0, section.find("\r\n[", 1));
    for (const char* unset : {"PV1", "PV2Noise", "PV3", "PV4"})
      QVERIFY2(section.find(unset) == std::string::npos, section.c_str());
    QVERIFY(f.Row(5).Moving(1));
    QVERIFY(f.Row(5).Value(1).toolTip().contains("(ramp 10..20 over 5 s)"));

    // Storing the row keeps the stored value of a moving variable, never the live one.
    const std::string stored = f.Stored("HTDev05_Cmd003", "PV2Value");
    window.StoreRow(5);
    QCOMPARE(f.Stored("HTDev05_Cmd003", "PV2Value"), stored);
    // Back to fixed: the stored text shows again and can be edited.
    DeviceMotionTexts texts;
    window.StoreSimulation(5, texts);
    QVERIFY(!f.Row(5).Moving(1));
    QCOMPARE(f.Row(5).Value(1).text().toStdString(), stored);
    QVERIFY(!f.Row(5).Value(1).isReadOnly());
  }

  void SimulatedValuesEndFromTheRowsMenuAndASquawkFlashesTheRow() {
    WindowFixture f;
    f.useFakeClock = true;
    // Command 79 has fixed device 5's PV at 42.5 Deg.C, and device 6's moving PV.
    for (const char* section : {"HTDev05_Cmd079", "HTDev06_Cmd079"}) {
      f.Configure(section, "DV0Simulated", "1");
      f.Configure(section, "DV0Value", "42.5");
      f.Configure(section, "DV0Unit", "32");
      f.Configure(section, "DV0Status", "192");
    }
    MainWindow& window = f.Start();
    auto* timer = window.findChild<QTimer*>(QStringLiteral("refreshTimer"));
    QVERIFY(timer);
    timer->stop();  // only the test's ticks count the flashes
    f.Tick();
    const NumberEdit& pv = f.Row(5).Value(0);
    QVERIFY(f.Row(5).Simulated(0));
    QCOMPARE(pv.text(), QString("42.500000"));
    QVERIFY(pv.isReadOnly());
    QVERIFY(pv.font().bold() && !pv.font().italic());
    QCOMPARE(pv.toolTip(), QString("Simulated by command 79 (unit Deg.C): the stored value stays "
                                   "as it is; end it with \"End simulation\" in the context "
                                   "menu of Short Addr 05."));
    QVERIFY(!f.Row(5).Simulated(1) && !f.Row(5).Value(1).isReadOnly());
    QVERIFY(f.Row(6).Simulated(0) && !f.Row(6).Moving(0));  // over the motion
    QCOMPARE(f.Row(6).Value(0).text(), QString("42.500000"));
    // Storing the row keeps the stored value, never the simulated one.
    window.StoreRow(5);
    QCOMPARE(f.Stored("HTDev05_Cmd003", "PV1Value"), std::string("98.600000"));

    // "End simulation" is offered where a variable is simulated; it brings the stored value back.
    QAction& end = f.Row(5).EndSimulationAction();
    QVERIFY(f.Row(5).ShortAddress().actions().contains(&end));
    QVERIFY(!f.Row(4).EndSimulationAction().isEnabled());
    QVERIFY(end.isEnabled());
    end.trigger();
    QCOMPARE(f.Stored("HTDev05_Cmd079", "DV0Simulated"), std::string("0"));
    QVERIFY(!f.Row(5).Simulated(0));
    QCOMPARE(pv.text(), QString("98.600000"));
    QVERIFY(!pv.isReadOnly() && !pv.font().bold());
    QVERIFY(!end.isEnabled());
    QVERIFY(f.Row(6).Simulated(0));  // another device's simulation goes on

    // Squawk twice: the Short Addr field lights for half a tick at each of two ticks, then the
    // row keeps its normal face.
    window.Sim().State().SquawkFlashes[3].store(2);
    for (const uint16_t left : {uint16_t{1}, uint16_t{0}}) {
      f.Tick();
      QVERIFY(f.Row(3).Flashing());
      QVERIFY(f.Row(3).ShortAddress().BackgroundColour() != QPalette().color(QPalette::Button));
      QCOMPARE(window.Sim().State().SquawkFlashes[3].load(), left);
      QVERIFY(!f.Row(2).Flashing());
      QTRY_VERIFY(!f.Row(3).Flashing());
    }
    f.Tick();
    QVERIFY(!f.Row(3).Flashing());
    QVERIFY(!Highlighted(f.Row(3)));  // on its normal face again
  }

  void AReplayingDeviceShowsItsShortAddrInItsOwnStyleNamingTheCapture() {
    WindowFixture f;
    f.useFakeClock = true;
    const std::string capture = std::string(QLN_SOURCE_DIR) +
                                "/tests/data/captures/hart-ip_all_types_and_commands_sent.pcapng";
    f.Configure("HTDev00_Replay", "Capture", capture);
    MainWindow& window = f.Start();
    auto* timer = window.findChild<QTimer*>(QStringLiteral("refreshTimer"));
    QVERIFY(timer);
    timer->stop();
    f.OpenPort();
    // The device's first request reads the capture: command 0 gets the recorded refusal.
    const auto reply = f.master->Transact(test::ShortFrame(0));
    QVERIFY(reply);
    QCOMPARE(reply->ResponseCode(), uint8_t{0x84});
    f.Tick();
    const ColourEdit& address = f.Row(0).ShortAddress();
    QVERIFY(f.Row(0).Replaying() && address.font().bold());
    QVERIFY(address.toolTip().contains(QString::fromStdString(capture)));
    QVERIFY(!f.Row(1).Replaying() && !f.Row(1).ShortAddress().font().bold());
    QVERIFY(f.Row(1).ShortAddress().toolTip().isEmpty());
  }

  void OpeningAnAbsentPortShowsTheFailure() {
    WindowFixture f;
    const std::string missing = (f.dir / "no-such-tty").string();
    f.Configure("HTDev_Sys", "COM5Path", missing);
    MainWindow& window = f.Start();
    test::Choose(f.List("portList"), 4);
    QCOMPARE(window.PortNumber(), 5);
    f.Press("Open");
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.messages[0].text, QString::fromStdString("Open Com5 Failed\n" + missing +
                                                        ": No such file or directory"));
    QVERIFY(!window.Sim().PortOpen());
    QVERIFY(test::ChildWithText<QPushButton>(window, "Open"));
    QVERIFY(f.List("portList").isEnabled());
    QCOMPARE(f.Stored("HTDev_Sys", "COMNo"), std::string("3"));
  }

  void OpenAndCloseRunOneCommandThreadAndTheConverterGroup() {
    WindowFixture f;
    MainWindow& window = f.Start();
    const std::size_t threads = ThreadCount();
    f.OpenPort();
    QCOMPARE(ThreadCount(), threads + 2);  // the serial worker and the command thread
    QVERIFY(test::ChildWithText<QPushButton>(window, "Close"));
    QVERIFY(!f.List("portList").isEnabled());
    QCheckBox& converter = f.Box("Enable");
    QVERIFY(converter.isEnabled() && !converter.isChecked());
    QVERIFY(!f.List("channelList").isEnabled());

    QTest::mouseClick(&converter, Qt::LeftButton);
    QVERIFY(f.List("channelList").isEnabled());
    test::Choose(f.List("channelList"), 2);
    f.Press("Set Ch");
    QCOMPARE(f.master->ReadBytes(5, 1s), (std::vector<uint8_t>{'#', 'C', '5', '2', '\r'}));
    // The worker gives the unanswered request up before it takes the next one.
    QTRY_VERIFY(window.Sim().Converter().State.load() == ConverterState::Idle);
    f.Press("Get Ch");
    QCOMPARE(f.master->ReadBytes(4, 1s), (std::vector<uint8_t>{'#', 'C', '6', '\r'}));
    f.master->Send({'!', 'C', '6', ':', '3', '\r'});  // the channel digit is the fifth byte
    QTRY_COMPARE(f.List("channelList").currentText(), QString("3"));

    f.Press("Close");
    QCOMPARE(ThreadCount(), threads);
    QVERIFY(test::ChildWithText<QPushButton>(window, "Open"));
    QVERIFY(f.List("portList").isEnabled());
    QVERIFY(!converter.isEnabled() && !converter.isChecked());
    QVERIFY(!f.List("channelList").isEnabled());
    QVERIFY(!test::ChildWithText<QPushButton>(window, "Set Ch")->isEnabled());

    f.Press("Open");
    QVERIFY(window.Sim().PortOpen());
    QCOMPARE(ThreadCount(), threads + 2);
    f.Press("Close");
    QCOMPARE(ThreadCount(), threads);
  }

  // The command thread waits for its warning box while the operator closes the port from the
  // box's own event loop: the join must not wait for the box.
  void AWarningInFlightDoesNotHoldUpClose() {
    test::Watchdog watchdog(60s);
    WindowFixture f;
    MainWindow& window = f.Start();
    f.OpenPort();
    bool closedFromBox = false;
    f.onMessage = [&] {
      if (f.messages.back().caption != "WARNING" || !window.Sim().PortOpen()) return;
      window.OpenOrClosePort();
      closedFromBox = !window.Sim().PortOpen();
    };
    std::filesystem::remove(f.Ini());
    f.master->Send(test::WithPreambles(test::ShortFrame(0)));  // command 0 checks the file
    QTRY_VERIFY_WITH_TIMEOUT(closedFromBox, 5000);
    QCOMPARE(f.messages.back().text, QString("QLN.ini not found ..."));
    QVERIFY(test::ChildWithText<QPushButton>(window, "Open"));
  }

  void EnterDoesNothingAndEscapeClosesWithThePort() {
    WindowFixture f;
    MainWindow& window = f.Start();
    const std::size_t threads = ThreadCount();
    f.OpenPort();
    QTest::keyClick(&window, Qt::Key_Return);
    QTest::keyClick(&f.Row(0).Value(0), Qt::Key_Enter);
    QVERIFY(window.isVisible());
    QVERIFY(window.Sim().PortOpen());
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.isVisible());
    QVERIFY(!window.Sim().PortOpen());
    QCOMPARE(ThreadCount(), threads);
  }

  // QLN.ini read-only when the window closes: a row stored meanwhile is written into the
  // recovery file, a box names it, and the program learns that QLN.ini lacks it (its exit code).
  // The next window, with the file writable again, writes it into QLN.ini and says so.
  void ClosingKeepsWhatTheFileDidNotTakeAndTheNextStartAppliesIt() {
    WindowFixture f;
    MainWindow& window = f.Start();
    QVERIFY(::chmod(f.Ini().c_str(), 0444) == 0);
    f.Row(0).Value(1).setText("31.5");
    window.StoreRow(0);
    QTRY_VERIFY(!f.messages.empty());
    QVERIFY(f.messages.back().text.contains("changed keys are held in memory only"));
    f.messages.clear();

    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.isVisible());
    QCOMPARE(f.messages.size(), std::size_t{1});
    QCOMPARE(f.messages[0].icon, QMessageBox::Critical);
    const std::filesystem::path recovery = f.dir / "QLN-recovery.ini";
    QVERIFY(f.messages[0].text.contains(QString::fromStdString(recovery.string())));
    QVERIFY(f.messages[0].text.contains("[HTDev00_Cmd003] PV2Value"));
    QVERIFY(!window.SaveAtEnd());
    QCOMPARE(f.messages.size(), std::size_t{1});  // said once
    QCOMPARE(ProfileFile(recovery).Snapshot()->Read("HTDev00_Cmd003", "PV2Value"),
             std::string("31.500000"));
    QCOMPARE(f.Stored("HTDev00_Cmd003", "PV2Value"), std::string("24.500000"));

    QVERIFY(::chmod(f.Ini().c_str(), 0644) == 0);
    f.window.reset();
    f.messages.clear();
    f.Start();
    QTRY_VERIFY(!f.messages.empty());
    QVERIFY(f.messages.back().text.contains("are written into it now"));
    QCOMPARE(f.Stored("HTDev00_Cmd003", "PV2Value"), std::string("31.500000"));
    QCOMPARE(f.Row(0).Value(1).text(), QString("31.500000"));
    QVERIFY(!std::filesystem::exists(recovery));
    QVERIFY(f.window->SaveAtEnd());
  }

  void FunctionButtonsOpenTheirWindows() {
    WindowFixture f;
    MainWindow& window = f.Start();
    f.OpenPort();
    f.Press("DataLog");
    QVERIFY(window.LogWindow().isVisible());
    QVERIFY(f.master->Transact(test::ShortFrame(0)));
    QTRY_COMPARE(window.LogWindow().Lines().LineCount(), 2);  // the request and the reply

    f.Press("DevStatus");
    f.Press("DevStatus");
    f.Press("Dev-Specific");
    QCOMPARE(window.findChildren<DeviceStatusWindow*>().size(), 2);
    QCOMPARE(window.findChildren<SpecCmdWindow*>().size(), 1);
    for (QDialog* shown : window.findChildren<DeviceStatusWindow*>()) QVERIFY(shown->isVisible());
    QVERIFY(window.findChild<SpecCmdWindow*>()->isVisible());
  }

  void HartIpBoxServesThePortAndKeepsItInTheFile() {
    WindowFixture f;
    uint16_t port = 0;
    {
      const TakenPort free;  // a port that is free once this closes
      port = free.port;
    }
    f.Configure("HTDev_Sys", "HartIpPort", std::to_string(port));
    MainWindow& window = f.Start();
    auto& box = *window.findChild<QCheckBox*>(QStringLiteral("hartIpEnable"));
    auto& field = *window.findChild<QSpinBox*>(QStringLiteral("hartIpPort"));
    // Started from the file, with the serial port closed; the port field is locked meanwhile.
    QVERIFY(box.isChecked());
    QCOMPARE(field.value(), int{port});
    QVERIFY(!field.isEnabled());
    QVERIFY(window.Sim().HartIpRunning());
    QVERIFY(!window.Sim().PortOpen());
    // The state line follows the sessions the server thread opens and closes, tick by tick.
    auto& state = *window.findChild<QLabel*>(QStringLiteral("hartIpState"));
    QCOMPARE(state.text(), QStringLiteral("I/O system, 0 sessions"));
    {
      test::HartIpClient host(test::HartIpClient::Transport::Tcp, port);
      QVERIFY(host.Initiate());
      const auto identity = host.Pdu(test::ShortFrame(0));
      QVERIFY(identity && identity->status == 0 && identity->body.size() >= 18);
      // Device 0's command 0 through the I/O system's 77: the log window lists the device's
      // frames among the others, marked as tunnelled.
      std::vector<uint8_t> wrapped{0, 0, 5};
      const std::vector<uint8_t> inner = test::ShortFrame(0);
      wrapped.insert(wrapped.end(), inner.begin(), inner.end() - 1);
      const auto tunnelled = host.Pdu(test::ShortFrame(0, 77, wrapped));
      QVERIFY(tunnelled && tunnelled->body.size() > 8 && tunnelled->body[4] == 0);
      window.LogWindow().AppendLogLines();
      const LogListModel& lines = window.LogWindow().Lines();
      QCOMPARE(lines.LineCount(), 6);
      for (int line : {3, 4}) {
        QVERIFY2(lines.Text(line).find(" tunnelled]  ") != std::string::npos,
                 lines.Text(line).c_str());
      }
      f.Tick();
      QCOMPARE(state.text(), QStringLiteral("I/O system, 1 session"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(state.text(), QStringLiteral("I/O system, 0 sessions"), 5000);
    // Off: stopped, the key 0.
    QTest::mouseClick(&box, Qt::LeftButton);
    QVERIFY(!window.Sim().HartIpRunning());
    QCOMPARE(state.text(), QStringLiteral("off"));
    QCOMPARE(f.Stored("HTDev_Sys", "HartIpPort"), std::string("0"));
    QVERIFY(field.isEnabled());
    // A port another program holds: a message, the box stays off and the key too.
    const TakenPort taken;
    field.setValue(taken.port);
    QTest::mouseClick(&box, Qt::LeftButton);
    QVERIFY(!box.isChecked());
    QVERIFY(!window.Sim().HartIpRunning());
    QCOMPARE(f.messages.size(), std::size_t{1});
    QVERIFY(f.messages.back().text.contains(QStringLiteral("cannot listen")));
    QCOMPARE(f.Stored("HTDev_Sys", "HartIpPort"), std::string("0"));
    // On again on the first port, the flat view asked for: running, stored, and said.
    f.Configure("HTDev_Sys", "HartIpView", "flat");
    field.setValue(port);
    QTest::mouseClick(&box, Qt::LeftButton);
    QVERIFY(window.Sim().HartIpRunning());
    QCOMPARE(f.Stored("HTDev_Sys", "HartIpPort"), std::to_string(port));
    QCOMPARE(state.text(), QStringLiteral("flat, 0 sessions"));
  }

  // The program explains itself without a display (the toolkit would abort without one).
  void HelpAndVersionNeedNoDisplay() {
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
      environment.remove(QString::fromLatin1(name));
    program.setProcessEnvironment(environment);
    const std::pair<const char*, const char*> answers[] = {{"--help", "Usage: quillon"},
                                                           {"--version", "quillon 1.08\n"}};
    for (const auto& [argument, start] : answers) {
      program.start(QStringLiteral(QLN_GUI), {QString::fromLatin1(argument)});
      QVERIFY(program.waitForFinished(30000));
      QCOMPARE(program.exitStatus(), QProcess::NormalExit);
      QCOMPARE(program.exitCode(), 0);
      QVERIFY(program.readAllStandardOutput().startsWith(start));
    }
  }

  void AboutBoxFromTheMenu() {
    WindowFixture f;
    MainWindow& window = f.Start();
    QAction* about = nullptr;
    for (QAction* action : window.findChildren<QAction*>()) {
      if (action->text() == "About Quillon (&A)...") about = action;
    }
    QVERIFY(about);
    QVERIFY(window.actions().contains(about));  // the window's context menu has it as well
    QString shownText;
    bool closed = false;
    QTimer::singleShot(0, [&] {
      QWidget* box = QApplication::activeModalWidget();
      if (!box) return;
      for (QLabel* label : box->findChildren<QLabel*>()) shownText += label->text();
      if (auto* close = test::ChildWithText<QPushButton>(*box, "Close")) {
        QTest::mouseClick(close, Qt::LeftButton);
        closed = true;
      }
    });
    test::Watchdog watchdog(30s);
    about->trigger();
    QVERIFY(closed);
    QCOMPARE(shownText, QString("Quillon Ver 1.08"));
  }
};

QLN_UI_TEST(MainWindowTest);

}  // namespace
}  // namespace qln

#include "main_window_test.moc"
