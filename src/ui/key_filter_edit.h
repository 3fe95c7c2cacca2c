// Colour edits that take only some typed characters: the hex-digit edit (hexadecimal digits and
// one point) and the number edit (digits, one point and one leading minus). Keys that type no
// character (Backspace, Delete, arrows, Home/End, Tab, Enter, Escape, Ctrl shortcuts) work as in
// any edit field; a typed character the filter refuses is swallowed. Text that arrives otherwise
// (paste, drop, input method) is refused as a whole when it holds a character no key would
// type, or a second point or minus, or when it would make the text longer than the typing limit.
//
// The typing limit bounds only what the operator types or pastes: a text the program puts in
// (setText) is shown whole however long it is, and the operator may edit it in place or shorten
// it but not make it longer. Cutting it would change what the field hands back (a value shown
// without its last digit is ten times too small).
#pragma once

#include <QString>

#include "ui/colour_edit.h"

class QKeyEvent;

namespace qln {

class KeyFilterEdit : public ColourEdit {
  Q_OBJECT

 public:
  // When on, typed and pasted letters become upper case.
  void SetUpperCase(bool on) { upperCase_ = on; }
  // The most characters typing or pasting may leave in the field; none until set.
  void SetTypingLimit(int characters) { typingLimit_ = characters; }

 protected:
  // alphabet: every character the field may hold; once: those it may hold at most once.
  KeyFilterEdit(QString alphabet, QString once, QWidget* parent);

  // Whether the typed character c is taken, given the text and caret before it: a character
  // of the alphabet, and one of the once-only characters only while the text holds none.
  virtual bool AcceptsKey(QChar c) const;
  // The caret for the filters: the start of the selection, else the cursor position.
  int CaretStart() const;

  void keyPressEvent(QKeyEvent* event) override;

 private:
  class Validator;

  const QString alphabet_;
  const QString once_;
  bool upperCase_ = false;
  int typingLimit_ = -1;  // none
};

// Accepts 0-9, A-F, a-f and a point while the text holds none.
class HexDigitEdit : public KeyFilterEdit {
  Q_OBJECT

 public:
  explicit HexDigitEdit(QWidget* parent = nullptr);
};

// Accepts 0-9, a point while the text holds none, and a minus while the text holds none and the
// caret is at the start.
class NumberEdit : public KeyFilterEdit {
  Q_OBJECT

 public:
  explicit NumberEdit(QWidget* parent = nullptr);

 protected:
  bool AcceptsKey(QChar c) const override;
};

}  // namespace qln
