// An edit field whose background and text colours the window sets at run time, for example to
// show which device row is selected.
#pragma once

#include <QColor>
#include <QLineEdit>

namespace qln {

class ColourEdit : public QLineEdit {
  Q_OBJECT

 public:
  // Starts with the palette's button colour behind black text.
  explicit ColourEdit(QWidget* parent = nullptr);

  // Replaces the background colour and repaints the field at once. The colour shows whether
  // the field is enabled, disabled or read-only.
  void SetBackgroundColour(const QColor& colour);
  // Replaces the text colour of the enabled field; a disabled field keeps the palette's grey.
  void SetTextColour(const QColor& colour);
  QColor BackgroundColour() const { return background_; }
  QColor TextColour() const { return text_; }

 private:
  void ApplyColours();

  QColor background_;
  QColor text_{Qt::black};
};

}  // namespace qln
