#include "ui/key_filter_edit.h"

#include <QKeyEvent>
#include <QValidator>
#include <utility>

namespace qln {

// Checks every change of the text, however it came: only characters of the alphabet, each
// once-only character at most once, and not longer than the typing limit unless it is no longer
// than the text before the change (so a longer text the program put in can be edited in place,
// but never made longer). Letters become upper case when the field asks for it.
//
// Two changes are taken as they are, never cut nor refused. The program's own text: setText
// clears the edit's undo history, so a change with nothing to undo is that text (or an undo all
// the way back to it). And an undo, the only change after which there is something to redo:
// every state it returns to was checked when it was made. Every other change is the operator's.
class KeyFilterEdit::Validator : public QValidator {
 public:
  explicit Validator(KeyFilterEdit& edit) : QValidator(&edit), edit_(edit) {}

  State validate(QString& input, int& /*position*/) const override {
    if (edit_.upperCase_) {
      input = input.toUpper();
    }
    if (edit_.isUndoAvailable() && !edit_.isRedoAvailable() && !OperatorMayMake(input)) {
      return Invalid;
    }
    length_ = input.size();
    return Acceptable;
  }

 private:
  bool OperatorMayMake(const QString& input) const {
    if (edit_.typingLimit_ >= 0 && input.size() > edit_.typingLimit_ && input.size() > length_) {
      return false;
    }
    for (QChar c : input) {
      if (!edit_.alphabet_.contains(c)) {
        return false;
      }
    }
    for (QChar c : edit_.once_) {
      if (input.count(c) > 1) {
        return false;
      }
    }
    return true;
  }

  const KeyFilterEdit& edit_;
  mutable qsizetype length_ = 0;  // of the text before the change: the last one taken
};

KeyFilterEdit::KeyFilterEdit(QString alphabet, QString once, QWidget* parent)
    : ColourEdit(parent), alphabet_(std::move(alphabet)), once_(std::move(once)) {
  setValidator(new Validator(*this));
}

bool KeyFilterEdit::AcceptsKey(QChar c) const {
  return alphabet_.contains(c) && !(once_.contains(c) && text().contains(c));
}

int KeyFilterEdit::CaretStart() const {
  return hasSelectedText() ? selectionStart() : cursorPosition();
}

void KeyFilterEdit::keyPressEvent(QKeyEvent* event) {
  const QString typed = event->text();
  const bool command = (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) != 0;
  if (typed.isEmpty() || !typed.front().isPrint() ||
      command) {  // types nothing: the edit's own key
    QLineEdit::keyPressEvent(event);
    return;
  }
  for (QChar c : typed) {
    if (!AcceptsKey(c)) {
      event->accept();  // swallowed: neither typed nor passed on
      return;
    }
  }
  const QString upper = typed.toUpper();
  if (!upperCase_ || upper == typed) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  // The same key with upper-case text, so that the change stays one undoable step.
  QKeyEvent upperEvent(event->type(), event->key(), event->modifiers(), event->nativeScanCode(),
                       event->nativeVirtualKey(), event->nativeModifiers(), upper,
                       event->isAutoRepeat(), event->count());
  QLineEdit::keyPressEvent(&upperEvent);
  event->setAccepted(upperEvent.isAccepted());
}

HexDigitEdit::HexDigitEdit(QWidget* parent)
    : KeyFilterEdit(QStringLiteral("0123456789ABCDEFabcdef."), QStringLiteral("."), parent) {}

NumberEdit::NumberEdit(QWidget* parent)
    : KeyFilterEdit(QStringLiteral("0123456789.-"), QStringLiteral(".-"), parent) {}

bool NumberEdit::AcceptsKey(QChar c) const {
  return KeyFilterEdit::AcceptsKey(c) && (c != u'-' || CaretStart() == 0);
}

}  // namespace qln
