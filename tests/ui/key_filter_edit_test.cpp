#include "ui/key_filter_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QTest>
#include <QWidget>

#include "ui/ui_test.h"

namespace qln {
namespace {

// Records the keys that reach the window behind an edit.
class KeyRecorder : public QObject {
 public:
  QList<int> keys;

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      keys.append(static_cast<QKeyEvent*>(event)->key());
    }
    return false;
  }
};

class KeyFilterEditTest : public QObject {
  Q_OBJECT

 private slots:
  void HexEditTakesHexDigitsAndOnePoint() {
    HexDigitEdit edit;
    QTest::keyClicks(&edit, "12.3.4");
    QCOMPARE(edit.text(), QString("12.34"));
    QTest::keyClicks(&edit, "Gg x-+");
    QCOMPARE(edit.text(), QString("12.34"));
    QTest::keyClicks(&edit, "aF");
    QCOMPARE(edit.text(), QString("12.34aF"));  // a lower-case letter stays as typed
  }

  void UpperCaseOptionTurnsTypedAndPastedLettersUp() {
    HexDigitEdit edit;
    edit.SetUpperCase(true);
    edit.setText("12");
    QTest::keyClicks(&edit, "0a1b");
    QCOMPARE(edit.text(), QString("120A1B"));
    QTest::keyClick(&edit, Qt::Key_Z, Qt::ControlModifier);  // the typing stays undoable
    QCOMPARE(edit.text(), QString("12"));
    QGuiApplication::clipboard()->setText("cd");
    QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit.text(), QString("12CD"));
  }

  void NumberEditTakesASignedDecimal() {
    NumberEdit edit;
    QTest::keyClicks(&edit, "-1.5.2e");
    QCOMPARE(edit.text(), QString("-1.52"));
  }

  void NumberEditTakesAMinusOnlyOnceAndAtTheStart() {
    NumberEdit edit;
    QTest::keyClicks(&edit, "1-");
    QCOMPARE(edit.text(), QString("1"));

    edit.setText("5");
    QTest::keyClick(&edit, Qt::Key_Home);
    QTest::keyClicks(&edit, "-");
    QCOMPARE(edit.text(), QString("-5"));
    QTest::keyClick(&edit, Qt::Key_Home);
    QTest::keyClicks(&edit, "-");
    QCOMPARE(edit.text(), QString("-5"));

    // The caret is the start of the selection: "7" selected from its end backwards.
    edit.setText("37");
    edit.setSelection(2, -1);
    QTest::keyClicks(&edit, "-");
    QCOMPARE(edit.text(), QString("37"));
    edit.setSelection(0, 1);
    QTest::keyClicks(&edit, "-");
    QCOMPARE(edit.text(), QString("-7"));
  }

  void EditingKeysStillWork() {
    NumberEdit edit;
    QTest::keyClicks(&edit, "1234");
    QTest::keyClick(&edit, Qt::Key_Backspace);
    QTest::keyClick(&edit, Qt::Key_Home);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QTest::keyClick(&edit, Qt::Key_Right);
    QTest::keyClicks(&edit, ".");
    QTest::keyClick(&edit, Qt::Key_End);
    QTest::keyClicks(&edit, "9");
    QCOMPARE(edit.text(), QString("2.39"));
  }

  void RefusedKeysAreSwallowedWhileEnterAndEscapeReachTheWindow() {
    QWidget window;
    KeyRecorder recorder;
    window.installEventFilter(&recorder);
    auto* edit = new HexDigitEdit(&window);
    QTest::keyClicks(edit, "G");
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(edit, Qt::Key_Escape);
    QCOMPARE(recorder.keys, (QList<int>{Qt::Key_Return, Qt::Key_Escape}));
  }

  void PasteCannotBringInWhatTheKeysRefuse() {
    NumberEdit number;
    number.setText("5");
    QGuiApplication::clipboard()->setText("12x");
    QTest::keyClick(&number, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(number.text(), QString("5"));
    number.setText("-5");
    number.insert("-");  // a second minus, however it comes
    QCOMPARE(number.text(), QString("-5"));
    QGuiApplication::clipboard()->setText("1.2");
    QTest::keyClick(&number, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(number.text(), QString("-51.2"));

    HexDigitEdit hex;
    hex.setText("3.4");
    QGuiApplication::clipboard()->setText("1.2");
    QTest::keyClick(&hex, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(hex.text(), QString("3.4"));
    hex.insert("fg");
    QCOMPARE(hex.text(), QString("3.4"));
  }

  // The limit stops typing and pasting, never a text the program puts in; that text can be
  // overtyped and shortened, and undo brings it back, but it never grows.
  void TypingLimitBoundsTheOperatorButNotTheProgram() {
    NumberEdit edit;
    edit.SetTypingLimit(13);
    QTest::keyClicks(&edit, "-12345678.901234");
    QCOMPARE(edit.text(), QString("-12345678.901"));
    QGuiApplication::clipboard()->setText("5");
    QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit.text(), QString("-12345678.901"));

    const QString stored("12345678901234.000000");
    edit.setText(stored);
    QCOMPARE(edit.text(), stored);
    QTest::keyClicks(&edit, "7");
    QCOMPARE(edit.text(), stored);
    edit.setSelection(0, 1);
    QTest::keyClicks(&edit, "9");  // overtyped in place
    QCOMPARE(edit.text(), QString("92345678901234.000000"));
    QTest::keyClick(&edit, Qt::Key_End);
    QTest::keyClick(&edit, Qt::Key_Backspace);
    QTest::keyClicks(&edit, "7");  // shortened, it does not grow again
    QCOMPARE(edit.text(), QString("92345678901234.00000"));
    // Undoing a deletion lengthens the text: taken, and it leaves the limit in force.
    QTest::keyClick(&edit, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(edit.text(), QString("92345678901234.000000"));
    QTest::keyClicks(&edit, "5");
    QCOMPARE(edit.text(), QString("92345678901234.000000"));
    while (edit.isUndoAvailable()) QTest::keyClick(&edit, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(edit.text(), stored);

    QGuiApplication::clipboard()->setText("123456789012345678901234");
    edit.selectAll();
    QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit.text(), stored);
    edit.selectAll();
    QTest::keyClick(&edit, Qt::Key_Delete);
    QTest::keyClicks(&edit, "12345678901234.5");  // a new text is the operator's: 13 at most
    QCOMPARE(edit.text(), QString("1234567890123"));
    edit.setText(QString());
    QGuiApplication::clipboard()->setText("12345678901234");
    QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);  // refused whole, not cut
    QCOMPARE(edit.text(), QString());
  }
};

QLN_UI_TEST(KeyFilterEditTest);

}  // namespace
}  // namespace qln

#include "key_filter_edit_test.moc"
