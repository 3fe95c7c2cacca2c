#include "ui/device_status_window.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QRadioButton>
#include <QTest>
#include <memory>

#include "commands/command_fixture.h"
#include "ui/ui_test.h"

namespace qln {
namespace {

const char* const kBitTexts[8] = {  // bit 7 first
    "Field device malfunction",
    "Configuration changed",
    "Cold Start",
    "More status available",
    "Analog output current fixed",
    "Analog output saturated",
    "Nonprimary variable out of limits",
    "Primary variable out of limits"};

// The command layer over a temporary QLN.ini, asked for replies as the command thread does.
struct CommandLayer {
  CommandLayer() {
    test::WriteFile(dir / "QLN.ini", test::IniBuilder().Text());
    store.CheckAndLoadForOpen(model);
  }

  // The field device status of the device's reply to command 1.
  uint8_t ReplyStatus(uint8_t device) {
    exchange.Command = 1;
    exchange.ByteCount = 0;
    exchange.Device = device;
    exchange.Publish(ExchangeState::RequestPending);
    Dispatch(ctx, device);
    exchange.Publish(ExchangeState::Idle);
    return exchange.DeviceStatus;
  }

  test::TempDir dir;
  test::FakeNotifier notifier;
  test::FakeClock clock;
  DeviceModel model;
  ConfigStore store{notifier, clock, dir.Path()};
  CommandExchange exchange;
  CommandState state;
  CommunicationCounters counters;
  CommandContext ctx{model, store, exchange, state, clock, counters};
};

std::unique_ptr<DeviceStatusWindow> Open(CommandState& state) {
  auto window = std::make_unique<DeviceStatusWindow>(state);
  window->show();
  return window;
}

QCheckBox* Box(const QWidget& window, const char* text) {
  return test::ChildWithText<QCheckBox>(window, QString::fromLatin1(text));
}
QRadioButton* Mode(const QWidget& window, const char* text) {
  return test::ChildWithText<QRadioButton>(window, QString::fromLatin1(text));
}
// A click on the box or the round button itself: a box stretched by the layout takes clicks
// only on its indicator and text.
void Click(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

class DeviceStatusWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void FirstWindowShowsAutoWithEveryBitClearAndDisabled() {
    CommandState state;
    const auto window = Open(state);
    QCOMPARE(window->windowTitle(), QString("HART Device Status"));
    const auto* group = window->findChild<QGroupBox*>();
    QCOMPARE(group->title(), QString("DevSta Return Mode"));
    QCOMPARE(Mode(*window, "Auto (by QLN)")->parentWidget(), group);
    QVERIFY(Mode(*window, "Auto (by QLN)")->isChecked());
    QVERIFY(!Mode(*window, "Manual (by User)")->isChecked());
    for (const char* text : kBitTexts) {
      QCheckBox* box = Box(*window, text);
      QVERIFY2(box != nullptr, text);
      QVERIFY(!box->isChecked());
      QVERIFY(!box->isEnabled());
    }
  }

  // Manual mode returns exactly the ticked byte in the next reply; back in Auto the simulation
  // composes the status again and the byte waits for the next Manual.
  void ManualByteReachesTheNextReplyAndOutlivesAuto() {
    CommandLayer layer;
    QCOMPARE(layer.ReplyStatus(1), uint8_t{0x28});  // Auto: cold start once, current fixed
    QCOMPARE(layer.ReplyStatus(1), uint8_t{0x08});
    const auto window = Open(layer.state);
    Click(Mode(*window, "Manual (by User)"));
    QVERIFY(Box(*window, "Cold Start")->isEnabled());
    Click(Box(*window, "Cold Start"));
    QCOMPARE(layer.state.UserStatusByte.load(), uint8_t{0x20});
    QCOMPARE(layer.ReplyStatus(1), uint8_t{0x20});
    QCOMPARE(layer.ReplyStatus(7), uint8_t{0x20});  // every device

    Click(Mode(*window, "Auto (by QLN)"));
    QVERIFY(!Box(*window, "Cold Start")->isEnabled());
    QVERIFY(Box(*window, "Cold Start")->isChecked());
    QCOMPARE(layer.state.UserStatusByte.load(), uint8_t{0x20});
    QCOMPARE(layer.ReplyStatus(1), uint8_t{0x08});

    Click(Mode(*window, "Manual (by User)"));
    QCOMPARE(layer.ReplyStatus(1), uint8_t{0x20});
  }

  void EachBoxSetsAndClearsItsOwnBit() {
    CommandState state;
    const auto window = Open(state);
    Click(Mode(*window, "Manual (by User)"));
    Click(Box(*window, "Field device malfunction"));
    Click(Box(*window, "Primary variable out of limits"));
    QCOMPARE(state.UserStatusByte.load(), uint8_t{0x81});
    for (const char* text : kBitTexts) Click(Box(*window, text));  // toggles all eight
    QCOMPARE(state.UserStatusByte.load(), uint8_t{0x7E});
    Click(Box(*window, "Configuration changed"));
    QCOMPARE(state.UserStatusByte.load(), uint8_t{0x3E});
  }

  void WindowShowsTheStateItOpenedWithAndDoesNotFollowOthers() {
    CommandState state;
    const auto first = Open(state);
    const auto second = Open(state);
    Click(Mode(*second, "Manual (by User)"));
    Click(Box(*second, "Configuration changed"));
    Click(Box(*second, "Analog output saturated"));
    QVERIFY(Mode(*first, "Auto (by QLN)")->isChecked());
    QVERIFY(!Box(*first, "Configuration changed")->isChecked());
    QVERIFY(!Box(*first, "Configuration changed")->isEnabled());

    const auto third = Open(state);
    QVERIFY(Mode(*third, "Manual (by User)")->isChecked());
    for (int bit = 7; bit >= 0; --bit) {
      QCheckBox* box = Box(*third, kBitTexts[7 - bit]);
      QCOMPARE(box->isChecked(), bit == 6 || bit == 2);
      QVERIFY(box->isEnabled());
    }
  }

  void EnterAndEscapeHide() {
    CommandState state;
    const auto window = Open(state);
    Mode(*window, "Auto (by QLN)")->setFocus();
    QTest::keyClick(window.get(), Qt::Key_Return);
    QVERIFY(!window->isVisible());
    window->show();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QVERIFY(!window->isVisible());
  }
};

QLN_UI_TEST(DeviceStatusWindowTest);

}  // namespace
}  // namespace qln

#include "device_status_window_test.moc"
