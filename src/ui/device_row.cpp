#include "ui/device_row.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QPalette>
#include <algorithm>
#include <string>
#include <string_view>

#include "commands/units.h"
#include "device/text_values.h"
#include "ui/button_skins.h"
#include "ui/key_filter_edit.h"
#include "ui/skinned_button.h"

namespace qln {
namespace {

const QColor kSelected(255, 246, 190);
const QColor kSetText(120, 0, 120);
const QColor kMovingText(0, 70, 180);
const QColor kSimulatedText(190, 80, 0);
const QColor kReplayText(0, 120, 60);
const QColor kSquawkFlash(255, 150, 30);

// Grid columns, left to right. The "0x" label stands before the Long Addr field, under the
// same heading; each value field is followed by its unit list.
constexpr int kEnable = 0;
constexpr int kShortAddress = 1;
constexpr int kHexPrefix = 2;
constexpr int kLongAddress = 3;
constexpr int kMfrIDv7 = 4;
constexpr int kFirstValue = 5;  // value i at kFirstValue + 2 i, its unit list one column further
constexpr int kSet = kFirstValue + 8;

constexpr std::string_view kValueKeys[4] = {"PV1Value", "PV2Value", "PV3Value", "PV4Value"};
constexpr std::string_view kUnitKeys[4] = {"PV1Unit", "PV2Unit", "PV3Unit", "PV4Unit"};
constexpr const char* kVariables[4] = {"PV", "SV", "TV", "QV"};

uint32_t StoredNumber(const SectionTexts& texts, uint8_t section, std::string_view key) {
  return ParseUnsigned(texts.Get(section, key));
}

// Wide enough for `characters` digits and the frame around them.
int FieldWidth(const QWidget& field, int characters) {
  return QFontMetrics(field.font()).horizontalAdvance(QString(characters, QLatin1Char('0'))) + 14;
}

int UnitPosition(uint8_t code) {
  const auto table = UnitTable();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].Code == code) return static_cast<int>(i);
  }
  return -1;
}

// A unit by its name where the table has it, else by its code.
QString UnitText(uint8_t code) {
  const int position = UnitPosition(code);
  if (position < 0) return QString::number(code);
  const std::string_view name = UnitTable()[static_cast<std::size_t>(position)].Name;
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

}  // namespace

void DeviceRow::AddHeadings(QGridLayout& grid, QWidget* parent) {
  const auto heading = [&](const char* text, int column, int span = 1) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setAlignment(Qt::AlignCenter);
    grid.addWidget(label, kHeadingRow, column, 1, span);
  };
  heading("Enable", kEnable);
  heading("Short Addr", kShortAddress);
  heading("Long Addr (hex)", kHexPrefix, 2);
  heading("MfrID (v7)", kMfrIDv7);
  for (int i = 0; i < 4; ++i) {
    heading((std::string(kVariables[i]) + "_Value").c_str(), kFirstValue + 2 * i);
    heading((std::string(kVariables[i]) + "_Unit").c_str(), kFirstValue + 2 * i + 1);
  }
}

DeviceRow::DeviceRow(uint8_t device, QGridLayout& grid, QWidget* parent)
    : QObject(parent), device_(device) {
  const int row = kFirstGridRow + device;

  enable_ = new QCheckBox(parent);
  grid.addWidget(enable_, row, kEnable, Qt::AlignCenter);

  shortAddress_ = new ColourEdit(parent);
  shortAddress_->setReadOnly(true);
  shortAddress_->setAlignment(Qt::AlignCenter);
  shortAddress_->setText(QString::asprintf("%02d", device));
  shortAddress_->setFixedWidth(FieldWidth(*shortAddress_, 4));
  grid.addWidget(shortAddress_, row, kShortAddress, Qt::AlignCenter);

  grid.addWidget(new QLabel(QStringLiteral("0x"), parent), row, kHexPrefix, Qt::AlignRight);
  longAddress_ = new HexDigitEdit(parent);
  longAddress_->SetTypingLimit(10);
  // Row 0 has always kept typed letters as they are; the other rows turn them to upper case.
  longAddress_->SetUpperCase(device != 0);
  longAddress_->setFixedWidth(FieldWidth(*longAddress_, 11));
  grid.addWidget(longAddress_, row, kLongAddress);

  mfrIdV7_ = new HexDigitEdit(parent);
  mfrIdV7_->SetTypingLimit(4);
  mfrIdV7_->setAlignment(Qt::AlignCenter);
  mfrIdV7_->setFixedWidth(FieldWidth(*mfrIdV7_, 5));
  grid.addWidget(mfrIdV7_, row, kMfrIDv7, Qt::AlignCenter);

  for (std::size_t i = 0; i < 4; ++i) {
    values_[i] = new NumberEdit(parent);
    values_[i]->SetTypingLimit(13);  // a longer stored text is shown whole
    values_[i]->setAlignment(Qt::AlignRight);
    values_[i]->setFixedWidth(FieldWidth(*values_[i], 12));
    grid.addWidget(values_[i], row, kFirstValue + 2 * static_cast<int>(i));
    connect(values_[i], &QLineEdit::textEdited, this, [this, i] { FitTip(i); });

    units_[i] = new QComboBox(parent);
    for (const UnitEntry& unit : UnitTable()) {
      units_[i]->addItem(
          QString::fromUtf8(unit.Name.data(), static_cast<qsizetype>(unit.Name.size())));
    }
    units_[i]->setCurrentIndex(0);
    units_[i]->setMaxVisibleItems(20);
    grid.addWidget(units_[i], row, kFirstValue + 2 * static_cast<int>(i) + 1);
  }

  set_ = new SkinnedButton(QStringLiteral("Set"), parent);
  ApplyButtonSkin(*set_, ButtonSkin::Common);
  set_->SetTextColour(kSetText);
  set_->setAutoDefault(false);
  set_->hide();  // only SetParam stores the rows
  grid.addWidget(set_, row, kSet);

  simulation_ = new QAction(QStringLiteral("Moving values..."), this);
  connect(simulation_, &QAction::triggered, this, &DeviceRow::SimulationRequested);
  endSimulation_ = new QAction(QStringLiteral("End simulation"), this);
  endSimulation_->setEnabled(false);  // until a variable is simulated
  connect(endSimulation_, &QAction::triggered, this, &DeviceRow::EndSimulationRequested);
  for (QWidget* owner : {static_cast<QWidget*>(shortAddress_), static_cast<QWidget*>(enable_)}) {
    owner->addAction(simulation_);
    owner->addAction(endSimulation_);
    owner->setContextMenuPolicy(Qt::ActionsContextMenu);
  }

  for (ColourEdit* field : Fields()) {
    field->SetTextColour(Qt::black);
    field->installEventFilter(this);
  }
  Highlight(false);
}

std::array<ColourEdit*, 7> DeviceRow::Fields() const {
  return {shortAddress_, longAddress_, mfrIdV7_, values_[0], values_[1], values_[2], values_[3]};
}

void DeviceRow::ShowIdentity(const SectionTexts& texts) {
  longAddress_->setText(QString::asprintf("%02X%02X%06X", StoredNumber(texts, 0, "MfrID") & 0xFF,
                                          StoredNumber(texts, 0, "MfrDevType") & 0xFF,
                                          StoredNumber(texts, 0, "DevIDNo") & 0xFFFFFF));
  mfrIdV7_->setText(QString::asprintf("%04X", StoredNumber(texts, 0, "MfrID_v7") & 0xFFFF));
}

void DeviceRow::ShowValues(const SectionTexts& texts, bool unknownToFirst) {
  for (std::size_t i = 0; i < 4; ++i) {
    stored_[i] = texts.Get(3, kValueKeys[i]);
    if (shown_[i] == Shown::Stored) {
      values_[i]->setText(QString::fromStdString(stored_[i]));
      values_[i]->setCursorPosition(0);  // a long value shows its sign and first digits
      FitTip(i);
    }
    const int position =
        UnitPosition(static_cast<uint8_t>(StoredNumber(texts, 3, kUnitKeys[i]) & 0xFF));
    if (position >= 0 || unknownToFirst) {
      unitShown_[i] = std::max(position, 0);
      units_[i]->setCurrentIndex(unitShown_[i]);
    }
  }
}

void DeviceRow::FitTip(std::size_t i) {
  NumberEdit& field = *values_[i];
  const QString text = field.text();
  const int room = field.contentsRect().width() - 8;  // the frame's and the text's margins
  const bool fits = QFontMetrics(field.font()).horizontalAdvance(text) <= room;
  field.setToolTip(fits ? QString() : text);
}

void DeviceRow::ShowMotion(std::size_t i, std::optional<double> value,
                           const std::optional<MotionSettings>& settings,
                           std::optional<uint8_t> simulatedUnit) {
  NumberEdit& field = *values_[i];
  const QString row = QStringLiteral("%1").arg(device_, 2, 10, QLatin1Char('0'));
  Shown shown = Shown::Stored;
  const auto showValue = [&](const QString& text) {
    field.setText(text);
    field.setCursorPosition(0);
  };
  if (value && simulatedUnit) {
    shown = Shown::Simulated;
    showValue(QString::asprintf("%0.6f", *value));
    field.setToolTip(QStringLiteral("Simulated by command 79 (unit %1): the stored value stays as "
                                    "it is; end it with \"End simulation\" in the context menu "
                                    "of Short Addr %2.")
                         .arg(UnitText(*simulatedUnit), row));
  } else if (value && settings) {
    shown = Shown::Moving;
    showValue(QString::asprintf("%0.6f", *value));
    field.setToolTip(QStringLiteral("Moving value (%1), read-only while it moves: change or stop "
                                    "it with \"Moving values...\" in the context menu of "
                                    "Short Addr %2.")
                         .arg(QString::fromStdString(DescribeMotion(*settings)), row));
  } else if (shown_[i] != Shown::Stored) {
    showValue(QString::fromStdString(stored_[i]));
    FitTip(i);
  }
  if (shown != shown_[i]) {
    shown_[i] = shown;
    QFont font = field.font();
    font.setItalic(shown == Shown::Moving);
    font.setBold(shown == Shown::Simulated);
    field.setFont(font);
    field.SetTextColour(shown == Shown::Moving      ? kMovingText
                        : shown == Shown::Simulated ? kSimulatedText
                                                    : QColor(Qt::black));
    field.setReadOnly(shown != Shown::Stored);
    Highlight(selected_);  // the read-only face, or white again
  }
  endSimulation_->setEnabled(
      std::ranges::any_of(shown_, [](Shown s) { return s == Shown::Simulated; }));
}

void DeviceRow::Flash(bool lit) {
  flashing_ = lit;
  Highlight(selected_);
}

void DeviceRow::ShowReplay(const QString& capture) {
  if (capture == replay_) return;
  replay_ = capture;
  QFont font = shortAddress_->font();
  font.setBold(!capture.isEmpty());
  shortAddress_->setFont(font);
  shortAddress_->SetTextColour(capture.isEmpty() ? QColor(Qt::black) : kReplayText);
  shortAddress_->setToolTip(
      capture.isEmpty()
          ? QString()
          : QStringLiteral("Mimics the capture %1: a request it holds gets the recorded reply, "
                           "anything else the device's own ([HTDev%2_Replay] Capture in QLN.ini).")
                .arg(capture)
                .arg(device_, 2, 10, QLatin1Char('0')));
}

void DeviceRow::ApplyEnable(bool hart7) {
  const bool on = enable_->isChecked();
  longAddress_->setEnabled(on);
  mfrIdV7_->setEnabled(on && hart7);
  for (std::size_t i = 0; i < 4; ++i) {
    values_[i]->setEnabled(on);
    units_[i]->setEnabled(on);
  }
}

void DeviceRow::Highlight(bool selected) {
  selected_ = selected;
  for (ColourEdit* field : Fields()) {
    if (selected) {
      field->SetBackgroundColour(kSelected);
    } else if (field->isReadOnly()) {
      field->SetBackgroundColour(field->palette().color(QPalette::Active, QPalette::Button));
    } else {
      field->SetBackgroundColour(Qt::white);
    }
  }
  if (flashing_) shortAddress_->SetBackgroundColour(kSquawkFlash);
}

RowEntry DeviceRow::Entry() const {
  RowEntry entry;
  entry.Device = device_;
  entry.Enabled = enable_->isChecked();
  entry.LongAddress = longAddress_->text().toStdString();
  if (entry.LongAddress.size() < 8) entry.LongAddress.insert(0, 8 - entry.LongAddress.size(), '0');
  entry.MfrIDv7 = mfrIdV7_->text().toStdString();
  const auto table = UnitTable();
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string typed = values_[i]->text().toStdString();
    if (shown_[i] == Shown::Stored && typed != stored_[i]) entry.Values[i] = typed;
    const int position = units_[i]->currentIndex();
    if (position != unitShown_[i]) {
      entry.Units[i] = table[static_cast<std::size_t>(position < 0 ? 0 : position)].Code;
    }
  }
  return entry;
}

bool DeviceRow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn) emit Focused();
  return QObject::eventFilter(watched, event);
}

}  // namespace qln
