#include "ui/spec_cmd_window.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/console.h"
#include "commands/command_fixture.h"
#include "device/profile_file.h"
#include "link/dispatching_link.h"
#include "simulator/simulator.h"
#include "ui/key_filter_edit.h"
#include "ui/ui_test.h"

namespace qln {
namespace {

const QColor kHighlight(255, 246, 190);

// Windows over one shared entry and a simulator on a QLN.ini in a temporary directory.
struct SpecFixture {
  explicit SpecFixture(const std::string& ini = {}) { test::WriteFile(dir / "QLN.ini", ini); }

  std::unique_ptr<SpecCmdWindow> Open() {
    auto window = std::make_unique<SpecCmdWindow>(simulator, entry);
    window->show();
    return window;
  }
  // A key of the file as it is on disk.
  std::string File(int command, const std::string& key) {
    return ProfileFile(dir / "QLN.ini")
        .Snapshot()
        ->Read("HTDevAll_SpecCmd" + std::to_string(command), key);
  }

  test::TempDir dir;
  test::FakeNotifier notifier;
  StderrConsole console;
  test::FakeClock clock;
  Simulator simulator{notifier, console, clock, dir.Path(), nullptr};
  SpecCmdEntry entry;
};

HexDigitEdit* Cell(const QWidget& window, int k) {
  return window.findChild<HexDigitEdit*>(QStringLiteral("cell%1").arg(k));
}
QComboBox& CommandList(const QWidget& window) {
  return *window.findChild<QComboBox*>("commandNumber");
}
QComboBox& CountList(const QWidget& window) { return *window.findChild<QComboBox*>("paramNum"); }
void Press(const QWidget& window, const char* text) {
  QTest::mouseClick(test::ChildWithText<QPushButton>(window, QString::fromLatin1(text)),
                    Qt::LeftButton);
}
void ChooseCommand(const QWidget& window, int command) {
  test::Choose(CommandList(window), command - 128);
}
void ChooseCount(const QWidget& window, int count) { test::Choose(CountList(window), count); }
// Replaces a cell's text by typing.
void Type(HexDigitEdit* cell, const char* keys) {
  cell->clear();
  QTest::keyClicks(cell, keys);
}

class SpecCmdWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void OpensAtCommand128WithOneByteKeepingTheEntrysBytes() {
    SpecFixture f;
    f.entry.CommandNumber = 150;
    f.entry.ParamNum = 9;
    f.entry.Data.fill(0x5A);
    const auto window = f.Open();
    QCOMPARE(window->windowTitle(), QString("HART Device Specific Command"));
    QCOMPARE(f.entry.CommandNumber, uint8_t{128});
    QCOMPARE(f.entry.ParamNum, uint8_t{1});
    QCOMPARE(f.entry.Data[63], uint8_t{0x5A});
    QCOMPARE(CommandList(*window).currentText(), QString("128"));
    QCOMPARE(CommandList(*window).count(), 126);
    QCOMPARE(CommandList(*window).itemText(125), QString("253"));
    QCOMPARE(CountList(*window).currentText(), QString("1"));
    QCOMPARE(CountList(*window).count(), 65);
    for (int k = 1; k <= 64; ++k) {
      QCOMPARE(Cell(*window, k)->text(), QString("00"));
      QCOMPARE(Cell(*window, k)->isEnabled(), k == 1);
      QCOMPARE(Cell(*window, k)->BackgroundColour(), QColor(Qt::white));
    }
    QVERIFY(Cell(*window, 65) == nullptr);
    // Seven rows of ten; the last holds bytes 61 to 64.
    QCOMPARE(Cell(*window, 61)->x(), Cell(*window, 1)->x());
    QCOMPARE(Cell(*window, 64)->x(), Cell(*window, 4)->x());
    QVERIFY(Cell(*window, 61)->y() > Cell(*window, 51)->y());
    QCOMPARE(Cell(*window, 10)->y(), Cell(*window, 1)->y());
    QVERIFY(test::ChildWithText<QPushButton>(*window, "Del")->isHidden());
  }

  // Set takes the lists and every cell as they are: no Get is needed after choosing another
  // command, and each cell (two hex digits at most) is read up to its first non-digit.
  void SetStoresTheCellsUnderTheChosenCommand() {
    SpecFixture f;
    const auto window = f.Open();
    Type(Cell(*window, 7), "9");
    QCOMPARE(Cell(*window, 7)->text(), QString());  // disabled: takes no keys
    ChooseCount(*window, 6);
    Type(Cell(*window, 1), "ff");
    Type(Cell(*window, 2), "F");
    Type(Cell(*window, 3), "1.");
    Type(Cell(*window, 4), ".");
    Type(Cell(*window, 5), "");
    Type(Cell(*window, 6), "a7g9");
    QCOMPARE(Cell(*window, 3)->text(), QString("1."));
    QCOMPARE(Cell(*window, 6)->text(), QString("a7"));
    ChooseCommand(*window, 140);  // nothing stored there: the cells stay
    Press(*window, "Set");
    QCOMPARE(f.File(140, "ParamNum"), std::string("6"));
    QCOMPARE(window->findChild<QLabel*>("status")->text(),
             QString("Command 140 stored with 6 data bytes."));
    const std::vector<std::string> expected{"255", "15", "1", "0", "0", "167", "0"};
    for (int i = 1; i <= 7; ++i)
      QCOMPARE(f.File(140, "Param" + std::to_string(i)), expected[static_cast<std::size_t>(i - 1)]);
    QCOMPARE(f.File(140, "Param64"), std::string("0"));

    ChooseCommand(*window, 141);
    Press(*window, "Set");
    QCOMPARE(f.File(141, "Param1"), std::string("255"));
    QCOMPARE(f.File(141, "Param2"), std::string("15"));
    QCOMPARE(f.entry.CommandNumber, uint8_t{141});
  }

  void LoweringTheCountKeepsTextsAndWritesZerosAbove() {
    SpecFixture f;
    const auto window = f.Open();
    ChooseCount(*window, 5);
    const char* bytes[] = {"11", "22", "33", "44", "55"};
    for (int k = 1; k <= 5; ++k) Type(Cell(*window, k), bytes[k - 1]);
    Press(*window, "Set");
    QCOMPARE(f.File(128, "Param5"), std::string("85"));

    ChooseCount(*window, 2);
    QVERIFY(Cell(*window, 2)->isEnabled());
    QVERIFY(!Cell(*window, 3)->isEnabled());
    QCOMPARE(Cell(*window, 3)->text(), QString("33"));
    Press(*window, "Set");
    QCOMPARE(f.File(128, "ParamNum"), std::string("2"));
    QCOMPARE(f.File(128, "Param3"), std::string("0"));
    QCOMPARE(f.File(128, "Param5"), std::string("0"));

    Press(*window, "Get");
    QCOMPARE(Cell(*window, 1)->text(), QString("11"));
    QCOMPARE(Cell(*window, 2)->text(), QString("22"));
    QCOMPARE(Cell(*window, 3)->text(), QString("00"));
    QCOMPARE(Cell(*window, 5)->text(), QString("00"));
    QVERIFY(!Cell(*window, 3)->isEnabled());
    QCOMPARE(CountList(*window).currentText(), QString("2"));
  }

  void ClearBlanksTheCellsOnly() {
    SpecFixture f;
    const auto window = f.Open();
    ChooseCount(*window, 2);
    Type(Cell(*window, 1), "C3");
    Type(Cell(*window, 2), "3C");
    Press(*window, "Set");
    const std::string file = test::ReadFile(f.dir / "QLN.ini");
    Cell(*window, 2)->SetBackgroundColour(kHighlight);

    Press(*window, "Clear");
    for (int k = 1; k <= 64; ++k) {
      QCOMPARE(Cell(*window, k)->text(), QString("00"));
      QCOMPARE(Cell(*window, k)->BackgroundColour(), QColor(Qt::white));
    }
    QCOMPARE(f.entry.Data[0], uint8_t{0xC3});
    QCOMPARE(f.entry.Data[1], uint8_t{0x3C});
    QCOMPARE(test::ReadFile(f.dir / "QLN.ini"), file);

    Press(*window, "Set");
    QCOMPARE(f.File(128, "ParamNum"), std::string("2"));
    QCOMPARE(f.File(128, "Param1"), std::string("0"));
  }

  void GetShowsAtMost64BytesAndNoneForAMissingSection() {
    std::string ini = "[HTDevAll_SpecCmd200]\nParamNum=100\n";
    for (int i = 1; i <= 100; ++i)
      ini += "Param" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    SpecFixture f(ini);
    const auto window = f.Open();
    ChooseCommand(*window, 200);  // picking a stored command shows its reply at once
    QCOMPARE(CountList(*window).currentText(), QString("64"));
    QCOMPARE(Cell(*window, 2)->text(), QString("02"));
    Press(*window, "Get");
    QCOMPARE(CountList(*window).currentText(), QString("64"));
    QCOMPARE(f.entry.ParamNum, uint8_t{64});
    QCOMPARE(Cell(*window, 64)->text(), QString("40"));
    QVERIFY(Cell(*window, 64)->isEnabled());

    ChooseCommand(*window, 131);
    Press(*window, "Get");
    QCOMPARE(CountList(*window).currentText(), QString("0"));
    for (int k = 1; k <= 64; ++k) {
      QCOMPARE(Cell(*window, k)->text(), QString("00"));
      QVERIFY(!Cell(*window, k)->isEnabled());
    }
  }

  // The windows share one entry: a new window resets it, an open one keeps showing its lists
  // until it uses them again.
  void NewWindowResetsTheSharedEntry() {
    SpecFixture f("[HTDevAll_SpecCmd128]\nParamNum=2\nParam1=1\nParam2=2\n");
    const auto first = f.Open();
    ChooseCommand(*first, 150);
    QCOMPARE(f.entry.CommandNumber, uint8_t{150});
    const auto second = f.Open();
    QCOMPARE(f.entry.CommandNumber, uint8_t{128});
    QCOMPARE(CommandList(*first).currentText(), QString("150"));
    Press(*first, "Get");
    QCOMPARE(CommandList(*first).currentText(), QString("128"));
    QCOMPARE(Cell(*first, 2)->text(), QString("02"));
  }

  void FocusedCellIsHighlighted() {
    SpecFixture f;
    const auto window = f.Open();
    ChooseCount(*window, 10);
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QTest::mouseClick(Cell(*window, 5), Qt::LeftButton);
    QCOMPARE(Cell(*window, 5)->BackgroundColour(), kHighlight);
    QTest::keyClick(Cell(*window, 5), Qt::Key_Tab);
    QCOMPARE(Cell(*window, 6)->BackgroundColour(), kHighlight);
    for (int k = 1; k <= 64; ++k) {
      if (k != 6) QCOMPARE(Cell(*window, k)->BackgroundColour(), QColor(Qt::white));
    }
  }

  void EnterAndEscapeHide() {
    SpecFixture f;
    const auto window = f.Open();
    Cell(*window, 1)->setFocus();
    QTest::keyClick(Cell(*window, 1), Qt::Key_Return);
    QVERIFY(!window->isVisible());
    window->show();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QVERIFY(!window->isVisible());
    QCOMPARE(f.File(128, "ParamNum"), std::string());  // hiding saves nothing
  }

  // What the command layer reads for a device-specific command is what Set just wrote.
  void SetReachesTheCommandLayersReading() {
    SpecFixture f;
    const auto window = f.Open();
    ChooseCommand(*window, 130);
    ChooseCount(*window, 3);
    Type(Cell(*window, 1), "01");
    Type(Cell(*window, 2), "02");
    Type(Cell(*window, 3), "AB");
    Press(*window, "Set");
    // The command layer's own model and store, on the same file.
    DeviceModel model;
    ConfigStore store(f.notifier, f.clock, f.dir.Path());
    std::lock_guard lock(model.Lock);
    ReadSpecCmd(store, model, 9, 130);
    DecodeSpecCmd(model, 9, 130);
    QCOMPARE(model.SpecCmd.Count, uint8_t{3});
    QCOMPARE(model.SpecCmd.Data[2], uint8_t{0xAB});
  }

  void MastersDeviceSpecificCommandIsAnsweredWithTheBytesJustSet() {
    test::DispatchingLink master;
    QVERIFY(master.loaded);
    test::LinkHarness& link = master.link;
    const std::array<uint8_t, 5> address = link.model.Table[2].LongAddress;  // as loaded
    link.EnableDevice(2, address);
    // The window's simulator and the answering link share nothing but the file.
    StderrConsole console;
    Simulator simulator(master.notifier, console, link.clock, master.dir.Path(), nullptr);
    SpecCmdEntry entry;
    SpecCmdWindow window(simulator, entry);
    ChooseCommand(window, 130);
    ChooseCount(window, 3);
    Type(Cell(window, 1), "01");
    Type(Cell(window, 2), "02");
    Type(Cell(window, 3), "AB");
    Press(window, "Set");

    link.Converse(test::LongFrame(address, 130));
    QVERIFY(!link.sent.empty());
    const std::vector<uint8_t>& reply = link.sent.back().bytes;
    // Five preambles, delimiter, five address bytes, command, byte count, response code,
    // status, data, checksum.
    QCOMPARE(reply.size(), std::size_t{19});
    QCOMPARE(reply[5], uint8_t{0x86});
    QCOMPARE(reply[11], uint8_t{130});
    QCOMPARE(reply[12], uint8_t{5});
    QCOMPARE(reply[13], uint8_t{0});
    QCOMPARE((std::vector<uint8_t>(reply.begin() + 15, reply.begin() + 18)),
             (std::vector<uint8_t>{0x01, 0x02, 0xAB}));
  }
};

QLN_UI_TEST(SpecCmdWindowTest);

}  // namespace
}  // namespace qln

#include "spec_cmd_window_test.moc"
