// The device-specific command window "HART Device Specific Command": the operator picks a command
// number (128..253) and a count of data bytes (0..64), types the bytes in hexadecimal into a grid
// of 64 cells, and saves them to (Set) or loads them from (Get) the command's section of the
// configuration file, from which the command layer answers that command. Picking a command (and
// opening the window, at 128) shows its stored reply when the file holds one; otherwise the cells
// stay as they are, ready to be stored under the new number. The status line at the bottom says
// what the window shows and confirms a Set.
//
// Every open window works on the one shared SpecCmdEntry; creating a window resets its command
// number and count to 128 and 1 (its data bytes stay) before the stored reply of 128 is shown. A
// new window is created for every request to show one; Enter, Escape and the close box hide it,
// and its owner decides when it goes.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>

#include "device/spec_cmd_table.h"
#include "simulator/simulator.h"

class QComboBox;
class QEvent;
class QKeyEvent;
class QLabel;

namespace qln {

class HexDigitEdit;

class SpecCmdWindow : public QDialog {
  Q_OBJECT

 public:
  // Set and Get ask `simulator` to write the entry's command to the file or load it from there.
  SpecCmdWindow(Simulator& simulator, SpecCmdEntry& entry, QWidget* parent = nullptr);

  static constexpr uint8_t kFirstCommand = 128;
  static constexpr uint8_t kLastCommand = 253;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Set: takes the command number and count from the lists and the bytes from all 64 cells into
  // the entry, and writes the entry to the file.
  void SetEntry();
  // Get: loads the entry's command from the file and shows it; bytes above the count show "00".
  void GetEntry();
  // The entry's command's stored reply into the entry and the window, when the file holds one.
  void ShowStored();
  // The entry's command, count and bytes in the lists and cells.
  void ShowEntry();
  // "Command 130: the stored reply, 3 data bytes."
  QString StoredStatus() const;
  // Clear: every cell "00" on white; neither the entry nor the file changes.
  void ClearCells();
  // Cells 1..ParamNum of the entry enabled, the others disabled; texts unchanged.
  void ApplyParamNum();
  // Cell k (1..64) on the highlight colour, the others on white.
  void HighlightCell(int k);

  Simulator& simulator_;
  SpecCmdEntry& entry_;
  QComboBox* command_;
  QComboBox* count_;
  QLabel* status_;
  std::array<HexDigitEdit*, kSpecCmdWindowBytes> cells_{};  // cell k at k - 1
};

// A cell's byte: its text read as a hexadecimal number up to the first character that is not a
// hex digit (none gives 0), low 8 bits.
uint8_t CellByte(const QString& text);

}  // namespace qln
