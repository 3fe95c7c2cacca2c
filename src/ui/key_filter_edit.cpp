#include "ui/key_filter_edit.h"

#include <QKeyEvent>
#include <QValidator>

#include <utility>

namespace qln {

// Checks every change of the text, however it came: only characters of the alphabet, each
// once-only character at most once. Letters become upper case when the field asks for it.
class KeyFilterEdit::Validator : public QValidator {
 public:
  explicit Validator(KeyFilterEdit& edit) : QValidator(&edit), edit_(edit) {}

  State validate(QString& input, int& /*position*/) const override {
    if (edit_.upperCase_) {
      input = input.toUpper();
    }
    for (QChar c : std::as_const(input)) {
      if (!edit_.alphabet_.contains(c)) {
        return Invalid;
      }
    }
    for (QChar c : edit_.once_) {
      if (input.count(c) > 1) {
        return Invalid;
      }
    }
    return Acceptable;
  }

 private:
  const KeyFilterEdit& edit_;
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
  if (typed.isEmpty() || !typed.front().isPrint() || command) {  // types nothing: the edit's own key
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
