#include "ui/colour_edit.h"

#include <QTest>

#include "ui/ui_test.h"

namespace qln {
namespace {

class ColourEditTest : public QObject {
  Q_OBJECT

 private slots:
  void StartsWithButtonFaceBehindBlackText() {
    ColourEdit edit;
    QCOMPARE(edit.BackgroundColour(), edit.palette().color(QPalette::Button));
    QCOMPARE(edit.TextColour(), QColor(Qt::black));
    edit.resize(80, 24);
    QCOMPARE(test::Rendered(edit).pixelColor(40, 12), edit.palette().color(QPalette::Button));
  }

  void BackgroundShowsEnabledDisabledAndReadOnly() {
    ColourEdit edit;
    edit.resize(80, 24);
    const QColor selected(255, 246, 190);
    edit.SetBackgroundColour(selected);
    QCOMPARE(test::Rendered(edit).pixelColor(40, 12), selected);
    edit.setReadOnly(true);
    QCOMPARE(test::Rendered(edit).pixelColor(40, 12), selected);
    edit.setEnabled(false);
    QCOMPARE(test::Rendered(edit).pixelColor(40, 12), selected);
  }

  void TextIsDrawnInTheTextColour() {
    ColourEdit edit;
    edit.resize(120, 24);
    edit.SetBackgroundColour(Qt::white);
    edit.SetTextColour(QColor(0, 0, 255));
    edit.setText("MMMMMMMM");
    const QImage image = test::Rendered(edit);
    int blue = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        blue += c.blue() > 200 && c.red() < 60 && c.green() < 60 ? 1 : 0;
      }
    }
    QVERIFY(blue > 10);
  }
};

QLN_UI_TEST(ColourEditTest);

}  // namespace
}  // namespace qln

#include "colour_edit_test.moc"
