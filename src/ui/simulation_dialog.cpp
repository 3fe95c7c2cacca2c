#include "ui/simulation_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace qln {
namespace {

constexpr const char* kVariables[kMovingVariables] = {"PV", "SV", "TV", "QV"};
// In the order of MotionField.
constexpr const char* kHeadings[] = {"Mode", "Low", "High", "Period (s)", "Noise"};
constexpr MotionMode kModes[] = {MotionMode::Fixed, MotionMode::Sine,   MotionMode::Triangle,
                                 MotionMode::Ramp,  MotionMode::Square, MotionMode::Random};

QString Text(const std::string& text) { return QString::fromStdString(text); }

// A fault in the dialog's words: "SV, Period (s): 0 is not a period above 0."
QString Wording(const MotionFault& fault) {
  const QString text = fault.text.empty() ? QStringLiteral("(empty)") : Text(fault.text);
  return QStringLiteral("%1, %2: %3 %4.")
      .arg(QString::fromLatin1(kVariables[fault.variable]),
           QString::fromLatin1(kHeadings[static_cast<std::size_t>(fault.field)]), text,
           Text(MotionProblemText(fault.problem, kHeadings[2])));
}

}  // namespace

SimulationDialog::SimulationDialog(uint8_t device, const DeviceMotionTexts& texts, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Moving values of device %1").arg(device, 2, 10, QLatin1Char('0')));
  auto* grid = new QGridLayout;
  for (int column = 0; column < 5; ++column) {
    grid->addWidget(new QLabel(QString::fromLatin1(kHeadings[column]), this), 0, column + 1);
  }
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    const int row = static_cast<int>(i) + 1;
    grid->addWidget(new QLabel(QString::fromLatin1(kVariables[i]), this), row, 0);
    modes_[i] = new QComboBox(this);
    for (MotionMode mode : kModes) {
      const std::string_view name = MotionModeName(mode);
      modes_[i]->addItem(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    }
    // A mode the dialog does not know shows as it is written, so that OK names the fault.
    const std::optional<MotionMode> mode = ParseMotionMode(texts[i].mode);
    if (mode) {
      modes_[i]->setCurrentIndex(static_cast<int>(*mode));
    } else {
      modes_[i]->addItem(Text(texts[i].mode));
      modes_[i]->setCurrentIndex(modes_[i]->count() - 1);
    }
    grid->addWidget(modes_[i], row, 1);
    const std::string* shown[] = {&texts[i].low, &texts[i].high, &texts[i].period, &texts[i].noise};
    for (std::size_t f = 0; f < 4; ++f) {
      fields_[i][f] = new QLineEdit(Text(*shown[f]), this);
      fields_[i][f]->setMaxLength(63);  // the longest text a key keeps
      grid->addWidget(fields_[i][f], row, static_cast<int>(f) + 2);
    }
  }
  fault_ = new QLabel(this);
  fault_->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &SimulationDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SimulationDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(fault_);
  layout->addWidget(buttons);
}

QLineEdit& SimulationDialog::Field(int variable, int field) const {
  return *fields_[static_cast<std::size_t>(variable)][static_cast<std::size_t>(field)];
}

DeviceMotionTexts SimulationDialog::Texts() const {
  DeviceMotionTexts texts;
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    const auto typed = [&](std::size_t f) { return fields_[i][f]->text().trimmed().toStdString(); };
    texts[i] = {modes_[i]->currentText().toStdString(), typed(0), typed(1), typed(2), typed(3)};
  }
  return texts;
}

void SimulationDialog::accept() {
  const DeviceMotionTexts texts = Texts();
  for (std::size_t i = 0; i < kMovingVariables; ++i) {
    if (const ParsedMotion parsed = ParseMotion(texts[i], i); parsed.fault) {
      fault_->setText(Wording(*parsed.fault));
      return;
    }
  }
  QDialog::accept();
}

}  // namespace qln
