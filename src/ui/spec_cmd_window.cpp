#include "ui/spec_cmd_window.h"

#include <QComboBox>
#include <QEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/key_filter_edit.h"

namespace qln {
namespace {

constexpr int kColumns = 10;
constexpr int kRows = (kSpecCmdWindowBytes + kColumns - 1) / kColumns;  // the last row is short
const QColor kHighlight(255, 246, 190);

}  // namespace

uint8_t CellByte(const QString& text) {
  unsigned value = 0;
  for (QChar c : text) {
    const int digit = QStringLiteral("0123456789abcdef").indexOf(c.toLower());
    if (digit < 0) break;
    value = ((value << 4) | static_cast<unsigned>(digit)) & 0xFFu;
  }
  return static_cast<uint8_t>(value);
}

SpecCmdWindow::SpecCmdWindow(Simulator& simulator, SpecCmdEntry& entry, QWidget* parent)
    : QDialog(parent), simulator_(simulator), entry_(entry) {
  setWindowTitle(QStringLiteral("HART Device Specific Command"));

  command_ = new QComboBox(this);
  command_->setObjectName(QStringLiteral("commandNumber"));
  for (int number = kFirstCommand; number <= kLastCommand; ++number)
    command_->addItem(QString::number(number));
  count_ = new QComboBox(this);
  count_->setObjectName(QStringLiteral("paramNum"));
  for (int count = 0; count <= kSpecCmdWindowBytes; ++count)
    count_->addItem(QString::number(count));
  auto* lists = new QHBoxLayout;
  lists->addWidget(new QLabel(QStringLiteral("HART CMD No : "), this));
  lists->addWidget(command_);
  lists->addSpacing(16);
  lists->addWidget(new QLabel(QStringLiteral("CMD Param Num : "), this));
  lists->addWidget(count_);
  lists->addStretch();

  auto* grid = new QGroupBox(QStringLiteral("CMD Param Value (HEX)"), this);
  auto* cells = new QGridLayout(grid);
  for (int column = 1; column <= kColumns; ++column) {
    cells->addWidget(new QLabel(QString::number(column), grid), 0, column, Qt::AlignCenter);
  }
  for (int row = 0; row < kRows; ++row) {
    cells->addWidget(new QLabel(QString::number(row), grid), row + 1, 0, Qt::AlignCenter);
  }
  for (int k = 1; k <= kSpecCmdWindowBytes; ++k) {
    auto* cell = new HexDigitEdit(grid);
    cell->setObjectName(QStringLiteral("cell%1").arg(k));
    cell->setMaxLength(2);
    cell->setAlignment(Qt::AlignCenter);
    cell->setFixedWidth(QFontMetrics(cell->font()).horizontalAdvance(QStringLiteral("WWW")) + 8);
    cell->SetBackgroundColour(Qt::white);
    cell->SetTextColour(Qt::black);
    cell->setText(QStringLiteral("00"));
    cell->installEventFilter(this);
    cells->addWidget(cell, (k - 1) / kColumns + 1, (k - 1) % kColumns + 1);
    cells_[static_cast<std::size_t>(k - 1)] = cell;
  }

  auto* set = new QPushButton(QStringLiteral("Set"), this);
  auto* get = new QPushButton(QStringLiteral("Get"), this);
  auto* clear = new QPushButton(QStringLiteral("Clear"), this);
  // The window has always carried a hidden "Del" that does nothing: removing a command's
  // section is not offered.
  auto* del = new QPushButton(QStringLiteral("Del"), this);
  del->hide();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(set);
  buttons->addWidget(get);
  buttons->addWidget(clear);
  buttons->addWidget(del);

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("status"));

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(lists);
  layout->addWidget(grid);
  layout->addLayout(buttons);
  layout->addWidget(status_);

  // The lists start at 128 and 1, and the shared entry takes them, whatever another window set.
  command_->setCurrentIndex(0);
  count_->setCurrentIndex(1);
  entry_.CommandNumber = kFirstCommand;
  entry_.ParamNum = 1;
  ApplyParamNum();
  ShowStored();

  connect(command_, &QComboBox::activated, this, [this](int position) {
    entry_.CommandNumber = static_cast<uint8_t>(kFirstCommand + position);
    ShowStored();
  });
  connect(count_, &QComboBox::activated, this, [this](int position) {
    entry_.ParamNum = static_cast<uint8_t>(position);
    ApplyParamNum();
  });
  connect(set, &QPushButton::clicked, this, &SpecCmdWindow::SetEntry);
  connect(get, &QPushButton::clicked, this, &SpecCmdWindow::GetEntry);
  connect(clear, &QPushButton::clicked, this, &SpecCmdWindow::ClearCells);
}

void SpecCmdWindow::SetEntry() {
  entry_.CommandNumber = static_cast<uint8_t>(kFirstCommand + command_->currentIndex());
  entry_.ParamNum = static_cast<uint8_t>(count_->currentIndex());
  ApplyParamNum();
  for (std::size_t i = 0; i < cells_.size(); ++i) entry_.Data[i] = CellByte(cells_[i]->text());
  // A failed write has been reported to the operator as well.
  const Result<> saved = simulator_.SaveSpecCmd(entry_);
  status_->setText(saved ? QStringLiteral("Command %1 stored with %2 data bytes.")
                               .arg(entry_.CommandNumber)
                               .arg(entry_.ParamNum)
                         : QStringLiteral("Command %1 was not stored: %2")
                               .arg(entry_.CommandNumber)
                               .arg(QString::fromStdString(saved.error())));
}

void SpecCmdWindow::GetEntry() {
  const bool found = simulator_.LoadSpecCmd(entry_);  // a count above 64 comes back as 64
  ShowEntry();
  status_->setText(found ? StoredStatus()
                         : QStringLiteral("Command %1: nothing stored.").arg(entry_.CommandNumber));
}

QString SpecCmdWindow::StoredStatus() const {
  return QStringLiteral("Command %1: the stored reply, %2 data bytes.")
      .arg(entry_.CommandNumber)
      .arg(entry_.ParamNum);
}

void SpecCmdWindow::ShowStored() {
  SpecCmdEntry stored = entry_;
  if (simulator_.LoadSpecCmd(stored)) {
    entry_ = stored;
    ShowEntry();
    status_->setText(StoredStatus());
  } else {
    status_->setText(QStringLiteral("Command %1: nothing stored yet; Set stores the bytes shown.")
                         .arg(entry_.CommandNumber));
  }
}

void SpecCmdWindow::ShowEntry() {
  command_->setCurrentIndex(entry_.CommandNumber - kFirstCommand);
  count_->setCurrentIndex(entry_.ParamNum);
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    const bool counted = i < entry_.ParamNum;
    cells_[i]->setText(counted ? QString::asprintf("%02X", entry_.Data[i]) : QStringLiteral("00"));
  }
  entry_.ParamNum = static_cast<uint8_t>(count_->currentIndex());
  ApplyParamNum();
}

void SpecCmdWindow::ClearCells() {
  for (HexDigitEdit* cell : cells_) {
    cell->SetBackgroundColour(Qt::white);
    cell->setText(QStringLiteral("00"));
  }
}

void SpecCmdWindow::ApplyParamNum() {
  for (std::size_t i = 0; i < cells_.size(); ++i) cells_[i]->setEnabled(i < entry_.ParamNum);
}

void SpecCmdWindow::HighlightCell(int k) {
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    cells_[i]->SetBackgroundColour(static_cast<int>(i) + 1 == k ? kHighlight : QColor(Qt::white));
  }
}

bool SpecCmdWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn) {
    for (std::size_t i = 0; i < cells_.size(); ++i) {
      if (cells_[i] == watched) HighlightCell(static_cast<int>(i) + 1);
    }
  }
  return QDialog::eventFilter(watched, event);
}

void SpecCmdWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    reject();  // hides the window, as Escape does
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace qln
