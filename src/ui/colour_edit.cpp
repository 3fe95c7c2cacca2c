#include "ui/colour_edit.h"

#include <QPalette>

namespace qln {

ColourEdit::ColourEdit(QWidget* parent)
    : QLineEdit(parent), background_(palette().color(QPalette::Button)) {
  ApplyColours();
}

void ColourEdit::SetBackgroundColour(const QColor& colour) {
  background_ = colour;
  ApplyColours();
  repaint();
}

void ColourEdit::SetTextColour(const QColor& colour) {
  text_ = colour;
  ApplyColours();
}

void ColourEdit::ApplyColours() {
  QPalette colours = palette();
  colours.setColor(QPalette::Base, background_);  // every group: disabled fields keep it too
  colours.setColor(QPalette::Active, QPalette::Text, text_);
  colours.setColor(QPalette::Inactive, QPalette::Text, text_);
  setPalette(colours);
}

}  // namespace qln
