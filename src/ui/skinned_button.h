// A push button drawn from a bitmap strip: frames 0..3 of the strip (normal, pressed, disabled,
// focused) are scaled to the button by nine-slice scaling and drawn under its text. Magenta
// pixels of the strip are transparent and show the button-face colour.
#pragma once

#include <QColor>
#include <QImage>
#include <QPushButton>
#include <array>

namespace qln {

class SkinnedButton : public QPushButton {
  Q_OBJECT

 public:
  explicit SkinnedButton(QWidget* parent = nullptr);
  explicit SkinnedButton(const QString& text, QWidget* parent = nullptr);

  // Takes the frames from a strip of `frames` frames side by side (frame width = strip width /
  // frames) whose fixed borders are top, bottom, left and right pixels wide; only frames 0..3
  // are used. Returns false, keeping the images in use, for a null strip, fewer than four
  // frames or frames narrower than a pixel. Borders are kept within the frame, leaving at least
  // one pixel of centre.
  bool SetBitmap(const QImage& strip, int frames, int top, int bottom, int left, int right);
  // The text colour of the enabled button, shown from the next repaint on.
  void SetTextColour(const QColor& colour);
  QColor TextColour() const { return textColour_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The frames of a skin's strip, left to right: one for each state the button is drawn in.
  static constexpr int kNormalFrame = 0;
  static constexpr int kPressedFrame = 1;
  static constexpr int kDisabledFrame = 2;
  static constexpr int kFocusedFrame = 3;
  static constexpr int kFrameCount = 4;
  struct Borders {
    int top = 0, bottom = 0, left = 0, right = 0;
  };

  // Scales the frames to the button's size and takes them with their borders as the button's
  // own; false, changing nothing, when an image cannot be made.
  bool BuildImages(const std::array<QImage, kFrameCount>& frames, const Borders& borders);

  std::array<QImage, kFrameCount> frames_;  // the strip's frames, magenta made transparent
  Borders borders_;                         // their fixed borders
  std::array<QImage, kFrameCount> images_;  // the frames at the button's size; null until set
  QColor textColour_{Qt::black};
};

}  // namespace qln
