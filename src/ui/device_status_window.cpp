#include "ui/device_status_window.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QRadioButton>
#include <QVBoxLayout>

namespace qln {
namespace {

// The check boxes from the top, bit 7 down to bit 0.
constexpr const char* kBitTexts[8] = {
    "Field device malfunction",
    "Configuration changed",
    "Cold Start",
    "More status available",
    "Analog output current fixed",
    "Analog output saturated",
    "Nonprimary variable out of limits",
    "Primary variable out of limits",
};

}  // namespace

DeviceStatusWindow::DeviceStatusWindow(CommandState& state, QWidget* parent)
    : QDialog(parent), state_(state) {
  setWindowTitle(QStringLiteral("HART Device Status"));

  auto* modeBox = new QGroupBox(QStringLiteral("DevSta Return Mode"), this);
  auto* autoMode = new QRadioButton(QStringLiteral("Auto (by QLN)"), modeBox);
  auto* manualMode = new QRadioButton(QStringLiteral("Manual (by User)"), modeBox);
  auto* modeLayout = new QVBoxLayout(modeBox);
  modeLayout->addWidget(autoMode);
  modeLayout->addWidget(manualMode);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(modeBox);
  const uint8_t byte = state_.UserStatusByte.load();
  for (int bit = 7; bit >= 0; --bit) {
    const auto mask = static_cast<uint8_t>(1u << bit);
    auto* box = new QCheckBox(QString::fromLatin1(kBitTexts[7 - bit]), this);
    box->setChecked((byte & mask) != 0);
    connect(box, &QCheckBox::clicked, this, [this, mask](bool ticked) {
      if (ticked) {
        state_.UserStatusByte.fetch_or(mask);
      } else {
        state_.UserStatusByte.fetch_and(static_cast<uint8_t>(~mask));
      }
    });
    bits_[static_cast<std::size_t>(bit)] = box;
    layout->addWidget(box);
  }

  const bool manual = state_.StatusReturnMode.load() == StatusMode::Manual;
  (manual ? manualMode : autoMode)->setChecked(true);
  for (QCheckBox* box : bits_) box->setEnabled(manual);
  connect(autoMode, &QRadioButton::clicked, this, [this] { SetMode(StatusMode::Auto); });
  connect(manualMode, &QRadioButton::clicked, this, [this] { SetMode(StatusMode::Manual); });
}

void DeviceStatusWindow::SetMode(StatusMode mode) {
  state_.StatusReturnMode.store(mode);
  for (QCheckBox* box : bits_) box->setEnabled(mode == StatusMode::Manual);
}

void DeviceStatusWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    reject();  // hides the window, as Escape does
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace qln
