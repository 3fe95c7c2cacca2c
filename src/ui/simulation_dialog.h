// The dialog that sets a device's moving values up: for each of PV, SV, TV and QV the mode, Low,
// High, Period and Noise of the device's simulation section. It opens with the section's texts;
// OK is taken only when every variable's texts make a motion (or a fixed variable), otherwise
// the fault is shown in the dialog's own words ("PV, Low: 10 is above High.") and it stays open.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>

#include "scenario/moving_values.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace qln {

class SimulationDialog : public QDialog {
  Q_OBJECT

 public:
  SimulationDialog(uint8_t device, const DeviceMotionTexts& texts, QWidget* parent = nullptr);

  // The texts as set in the dialog; a fixed variable keeps its other texts as they were typed.
  DeviceMotionTexts Texts() const;

  QComboBox& Mode(int variable) const { return *modes_[static_cast<std::size_t>(variable)]; }
  // Field 0 Low, 1 High, 2 Period, 3 Noise of a variable.
  QLineEdit& Field(int variable, int field) const;
  QLabel& Fault() const { return *fault_; }

 public slots:
  void accept() override;

 private:
  std::array<QComboBox*, kMovingVariables> modes_{};
  std::array<std::array<QLineEdit*, 4>, kMovingVariables> fields_{};
  QLabel* fault_;
};

}  // namespace qln
