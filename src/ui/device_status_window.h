// The device status window "HART Device Status": chooses whether the replies' field device
// status byte is composed by the simulation (Auto) or is the byte the operator ticks here
// (Manual), one check box per bit.
//
// The window shows the mode and the byte as they were when it was created and writes them to the
// command layer's state at each click; the next reply the command layer composes uses them.
// Another open window does not follow. A new window is created for every request to show one;
// Enter, Escape and the close box hide it, and its owner decides when it goes.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>

#include "commands/command_state.h"

class QCheckBox;
class QKeyEvent;

namespace qln {

class DeviceStatusWindow : public QDialog {
  Q_OBJECT

 public:
  explicit DeviceStatusWindow(CommandState& state, QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void SetMode(StatusMode mode);

  CommandState& state_;
  std::array<QCheckBox*, 8> bits_{};  // by bit number, 0 (0x01) .. 7 (0x80)
};

}  // namespace qln
