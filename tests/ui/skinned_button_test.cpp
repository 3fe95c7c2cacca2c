#include "ui/skinned_button.h"

#include <QPainter>
#include <QTest>
#include <algorithm>
#include <vector>

#include "ui/button_skins.h"
#include "ui/ui_test.h"

namespace qln {
namespace {

constexpr QRgb kMagenta = qRgb(255, 0, 255);
constexpr int kFrame = 12;  // frames of the test strips are 12 x 12

// A strip of solid frames, each with its top-left 2 x 2 pixels magenta.
QImage SolidStrip(const std::vector<QRgb>& colours) {
  QImage strip(kFrame * static_cast<int>(colours.size()), kFrame, QImage::Format_RGB32);
  for (int i = 0; i < static_cast<int>(colours.size()); ++i) {
    QPainter painter(&strip);
    painter.fillRect(i * kFrame, 0, kFrame, kFrame, QColor(colours[i]));
    painter.fillRect(i * kFrame, 0, 2, 2, QColor(kMagenta));
  }
  return strip;
}

// A 5-frame strip whose frame 0 has a distinct colour in every pixel of its 4-pixel borders:
// corners a gradient, edges varying across their width only, the centre plain.
QImage PatternStrip() {
  const QRgb black = qRgb(0, 0, 0);
  QImage strip = SolidStrip({black, black, black, black, black});
  for (int y = 0; y < kFrame; ++y) {
    for (int x = 0; x < kFrame; ++x) {
      const bool middleX = x >= 4 && x < 8, middleY = y >= 4 && y < 8;
      if (middleX && middleY) {
        strip.setPixel(x, y, qRgb(90, 90, 90));
      } else if (middleX) {
        strip.setPixel(x, y, qRgb(0, 20 * y, 0));  // top and bottom edges
      } else if (middleY) {
        strip.setPixel(x, y, qRgb(20 * x, 0, 0));  // left and right edges
      } else {
        strip.setPixel(x, y, qRgb(20 * x, 20 * y, 255));  // corners
      }
    }
  }
  return strip;
}

QRgb Face(const QWidget& widget) {
  return widget.palette().color(QPalette::Active, QPalette::Button).rgb();
}

// The darkest pixel of the image, by the sum of its channels.
int Darkest(const QImage& image) {
  int darkest = 3 * 255;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      darkest = std::min(darkest, qRed(p) + qGreen(p) + qBlue(p));
    }
  }
  return darkest;
}

// The leftmost column that holds a pixel of other than the given colour; -1 when none.
int FirstInkColumn(const QImage& image, QRgb background) {
  for (int x = 0; x < image.width(); ++x) {
    for (int y = 0; y < image.height(); ++y) {
      if (image.pixel(x, y) != background) return x;
    }
  }
  return -1;
}

class SkinnedButtonTest : public QObject {
  Q_OBJECT

 private:
  const QRgb red_ = qRgb(200, 0, 0), green_ = qRgb(0, 200, 0), blue_ = qRgb(0, 0, 200);
  const QRgb yellow_ = qRgb(200, 200, 0), grey_ = qRgb(60, 60, 60);

 private slots:
  void ImageFollowsTheButtonsState() {
    QWidget window;
    window.resize(200, 100);
    auto* button = new SkinnedButton(&window);
    button->setGeometry(10, 10, 80, 30);
    QVERIFY(button->SetBitmap(SolidStrip({red_, green_, blue_, yellow_, grey_}), 5, 3, 3, 3, 3));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    button->clearFocus();

    QCOMPARE(test::Rendered(*button).pixel(40, 15), red_);
    button->setDown(true);  // pressed without the focus: the normal image
    QCOMPARE(test::Rendered(*button).pixel(40, 15), red_);
    button->setDown(false);
    button->setFocus();
    QVERIFY(button->hasFocus());
    QCOMPARE(test::Rendered(*button).pixel(40, 15), yellow_);
    button->setDown(true);  // the pressed image over the focused one
    QCOMPARE(test::Rendered(*button).pixel(40, 15), green_);
    button->setDown(false);
    button->setEnabled(false);
    QCOMPARE(test::Rendered(*button).pixel(40, 15), blue_);
  }

  void MagentaShowsTheButtonFace() {
    SkinnedButton button;
    button.resize(80, 30);
    QVERIFY(button.SetBitmap(SolidStrip({red_, green_, blue_, yellow_, grey_}), 5, 3, 3, 3, 3));
    const QImage image = test::Rendered(button);
    QCOMPARE(image.pixel(0, 0), Face(button));
    QCOMPARE(image.pixel(1, 1), Face(button));
    QCOMPARE(image.pixel(2, 2), red_);
  }

  void NineSliceKeepsCornersAndEdgeWidthsWhenResized() {
    SkinnedButton button;
    button.resize(40, 20);
    QVERIFY(button.SetBitmap(PatternStrip(), 5, 4, 4, 4, 4));
    button.resize(300, 90);
    const QImage strip = PatternStrip();
    const QImage image = test::Rendered(button);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        if (x >= 2 || y >= 2) QCOMPARE(image.pixel(x, y), strip.pixel(x, y));
        QCOMPARE(image.pixel(296 + x, y), strip.pixel(8 + x, y));
        QCOMPARE(image.pixel(x, 86 + y), strip.pixel(x, 8 + y));
        QCOMPARE(image.pixel(296 + x, 86 + y), strip.pixel(8 + x, 8 + y));
      }
      // Edges: stretched along their length, each line of the border as wide as in the frame.
      for (int along : {4, 150, 295}) {
        QCOMPARE(image.pixel(along, y), strip.pixel(5, y));
        QCOMPARE(image.pixel(along, 86 + y), strip.pixel(5, 8 + y));
      }
      for (int along : {4, 45, 85}) {
        QCOMPARE(image.pixel(y, along), strip.pixel(y, 5));
        QCOMPARE(image.pixel(296 + y, along), strip.pixel(8 + y, 5));
      }
    }
    QCOMPARE(image.pixel(150, 45), qRgb(90, 90, 90));
  }

  void RefusedStripsKeepTheImagesInUse() {
    SkinnedButton button;
    button.resize(80, 30);
    const QImage strip = SolidStrip({red_, green_, blue_, yellow_, grey_});
    QVERIFY(button.SetBitmap(strip, 5, 3, 3, 3, 3));
    QVERIFY(!button.SetBitmap(QImage(), 5, 3, 3, 3, 3));
    const QImage greens = SolidStrip({green_, green_, green_, green_, green_});
    QVERIFY(!button.SetBitmap(greens, 0, 3, 3, 3, 3));
    QVERIFY(
        !button.SetBitmap(greens, 3, 3, 3, 3, 3));  // no frame 3 to build the focused image from
    QVERIFY(!button.SetBitmap(QImage(4, kFrame, QImage::Format_RGB32), 5, 3, 3, 3, 3));
    QCOMPARE(test::Rendered(button).pixel(40, 15), red_);
    // Borders as wide as the frame or wider leave a centre to stretch.
    QVERIFY(
        button.SetBitmap(SolidStrip({green_, red_, blue_, yellow_, grey_, grey_}), 6, 8, 8, 8, 17));
    const QImage image = test::Rendered(button);
    QCOMPARE(image.pixel(40, 15), green_);
    QCOMPARE(image.pixel(79, 29), green_);
  }

  void DisabledTextIsGrey() {
    SkinnedButton button("MMMM");
    button.resize(80, 30);
    const QRgb white = qRgb(255, 255, 255);
    QVERIFY(button.SetBitmap(SolidStrip({white, white, white, white, white}), 5, 3, 3, 3, 3));
    const QColor grey = button.palette().color(QPalette::Disabled, QPalette::ButtonText);
    const int greySum = grey.red() + grey.green() + grey.blue();
    QVERIFY(greySum > 150);  // the check below tells grey from black

    QVERIFY(Darkest(test::Rendered(button)) < greySum - 100);  // black text
    button.setEnabled(false);
    const int darkest = Darkest(test::Rendered(button));
    QVERIFY(darkest >= greySum - 6);
    QVERIFY(darkest < greySum + 60);  // the text is drawn
  }

  void TextColourAndPressedTextShift() {
    QWidget window;
    window.resize(200, 100);
    auto* button = new SkinnedButton("MM", &window);
    button->setGeometry(10, 10, 80, 30);
    const QRgb white = qRgb(255, 255, 255);
    QVERIFY(button->SetBitmap(SolidStrip({white, white, white, white, white}), 5, 3, 3, 3, 3));
    button->SetTextColour(QColor(0, 0, 255));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    button->setFocus();

    const QImage focused = test::Rendered(*button).copy(2, 2, 76, 26);  // within the white frame
    bool blue = false;
    for (int y = 0; y < focused.height(); ++y) {
      for (int x = 0; x < focused.width(); ++x) {
        const QRgb p = focused.pixel(x, y);
        blue = blue || (qBlue(p) > 200 && qRed(p) < 60 && qGreen(p) < 60);
      }
    }
    QVERIFY(blue);
    button->setDown(true);
    const QImage pressed = test::Rendered(*button).copy(2, 2, 76, 26);
    QVERIFY(FirstInkColumn(focused, white) > 0);
    QCOMPARE(FirstInkColumn(pressed, white), FirstInkColumn(focused, white) + 5);
  }

  void ProjectSkinsLoadFromTheResources() {
    SkinnedButton button;
    button.resize(90, 28);
    QVERIFY(ApplyButtonSkin(button, ButtonSkin::Common));
    const QImage common(":/ui/button_strip_common.png");
    QCOMPARE(common.size(), QSize(5 * 24, 24));
    QImage image = test::Rendered(button);
    QCOMPARE(image.pixel(0, 0), Face(button));          // the rounded corner
    QCOMPARE(image.pixel(45, 0), common.pixel(12, 0));  // the outline
    QCOMPARE(image.pixel(45, 27), common.pixel(12, 23));

    QVERIFY(ApplyButtonSkin(button, ButtonSkin::Port));
    const QImage port(":/ui/button_strip_port.png");
    QCOMPARE(port.size(), QSize(6 * 24, 24));
    image = test::Rendered(button);
    QCOMPARE(image.pixel(0, 0), Face(button));
    QCOMPARE(image.pixel(45, 0), port.pixel(12, 0));
    QCOMPARE(image.pixel(45, 14), port.pixel(12, 12));
  }
};

QLN_UI_TEST(SkinnedButtonTest);

}  // namespace
}  // namespace qln

#include "skinned_button_test.moc"
