#include "ui/skinned_button.h"

#include <QFont>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <algorithm>
#include <utility>

namespace qln {
namespace {

// The button font: the face 宋體, 12 pixels high, normal weight, a sans-serif face where the
// platform lacks it.
QFont ButtonFont() {
  QFont font(QStringLiteral("\u5B8B\u9AD4"));
  font.setPixelSize(12);
  font.setWeight(QFont::Normal);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

// The frames of the strip as images with an alpha channel, magenta pixels fully transparent.
QImage KeyedStrip(const QImage& strip) {
  QImage keyed = strip.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < keyed.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
    for (int x = 0; x < keyed.width(); ++x) {
      if ((line[x] & 0x00FFFFFFu) == 0x00FF00FFu) {
        line[x] = 0;
      }
    }
  }
  return keyed.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The three parts of one side of `size` pixels: a fixed border `first` wide, the stretched
// middle, a fixed border `last` wide. Borders that do not fit share the side in proportion.
struct Parts {
  std::array<int, 3> start, length;
};
Parts Split(int size, int first, int last) {
  if (first + last > size) {
    first = size * first / (first + last);
    last = size - first;
  }
  return {{0, first, size - last}, {first, size - first - last, last}};
}

// Nine-slice scaling: corners copied unscaled, edges stretched along their length, the centre
// stretched both ways; nearest-pixel sampling keeps the transparent pixels sharp.
QImage NineSlice(const QImage& frame, int top, int bottom, int left, int right, QSize size) {
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  if (image.isNull()) {
    return image;
  }
  image.fill(Qt::transparent);
  const Parts fromX = Split(frame.width(), left, right), fromY = Split(frame.height(), top, bottom);
  const Parts toX = Split(size.width(), left, right), toY = Split(size.height(), top, bottom);
  QPainter painter(&image);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      const QRect from(fromX.start[column], fromY.start[row], fromX.length[column],
                       fromY.length[row]);
      const QRect to(toX.start[column], toY.start[row], toX.length[column], toY.length[row]);
      if (!from.isEmpty() && !to.isEmpty()) {
        painter.drawImage(to, frame, from);
      }
    }
  }
  return image;
}

}  // namespace

SkinnedButton::SkinnedButton(QWidget* parent) : SkinnedButton(QString(), parent) {}

SkinnedButton::SkinnedButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
  setFont(ButtonFont());
  // Every paint covers the whole button, so Qt need not erase it first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool SkinnedButton::SetBitmap(const QImage& strip, int frames, int top, int bottom, int left,
                              int right) {
  if (strip.isNull() || frames < kFrameCount || frames > strip.width()) {
    return false;
  }
  const QImage keyed = KeyedStrip(strip);
  if (keyed.isNull()) {
    return false;
  }
  const int width = strip.width() / frames, height = strip.height();
  std::array<QImage, kFrameCount> newFrames;
  for (int i = 0; i < kFrameCount; ++i) {
    newFrames[i] = keyed.copy(i * width, 0, width, height);
    if (newFrames[i].isNull()) {
      return false;
    }
  }
  // Borders are kept within the frame, leaving at least one pixel of centre to stretch.
  Borders borders;
  borders.left = std::clamp(left, 0, width - 1);
  borders.right = std::clamp(right, 0, width - 1 - borders.left);
  borders.top = std::clamp(top, 0, height - 1);
  borders.bottom = std::clamp(bottom, 0, height - 1 - borders.top);
  return BuildImages(newFrames, borders);
}

bool SkinnedButton::BuildImages(const std::array<QImage, kFrameCount>& frames,
                                const Borders& borders) {
  std::array<QImage, kFrameCount> images;
  if (!size().isEmpty()) {  // an empty button has nothing to draw until it gets a size
    for (int i = 0; i < kFrameCount; ++i) {
      images[i] =
          NineSlice(frames[i], borders.top, borders.bottom, borders.left, borders.right, size());
      if (images[i].isNull()) {
        return false;
      }
    }
  }
  frames_ = frames;
  borders_ = borders;
  images_ = std::move(images);
  return true;
}

void SkinnedButton::SetTextColour(const QColor& colour) {
  textColour_ = colour;
  update();
}

void SkinnedButton::resizeEvent(QResizeEvent* event) {
  QPushButton::resizeEvent(event);
  if (!frames_[kNormalFrame].isNull()) {
    BuildImages(frames_, borders_);  // on failure the images of the old size stay
  }
}

void SkinnedButton::paintEvent(QPaintEvent* /*event*/) {
  // Composed off screen and copied to the button in one step.
  const qreal ratio = devicePixelRatioF();
  QPixmap buffer(size() * ratio);
  buffer.setDevicePixelRatio(ratio);
  buffer.fill(palette().color(QPalette::Active, QPalette::Button));

  QPainter painter(&buffer);
  QRect textArea = rect();
  if (!images_[kNormalFrame].isNull()) {
    if (hasFocus()) {
      painter.drawImage(0, 0, images_[kFocusedFrame]);
      if (isDown()) {
        painter.drawImage(0, 0, images_[kPressedFrame]);
        textArea.translate(5, 0);
      }
    } else {
      painter.drawImage(0, 0, images_[isEnabled() ? kNormalFrame : kDisabledFrame]);
    }
  }
  painter.setFont(font());
  painter.setPen(isEnabled() ? textColour_
                             : palette().color(QPalette::Disabled, QPalette::ButtonText));
  painter.drawText(textArea, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
  painter.end();

  QPainter(this).drawPixmap(0, 0, buffer);
}

}  // namespace qln
