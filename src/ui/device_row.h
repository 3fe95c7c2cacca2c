// One row of the main window's device grid: the controls of one simulated device (poll address
// 0..15) under the grid's column headings, what they show of the device's configuration texts,
// and what they hand to the store.
#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/config_store.h"
#include "device/device_model.h"
#include "scenario/moving_values.h"

class QAction;
class QCheckBox;
class QComboBox;
class QEvent;
class QGridLayout;
class QWidget;

namespace qln {

class ColourEdit;
class HexDigitEdit;
class NumberEdit;
class SkinnedButton;

class DeviceRow : public QObject {
  Q_OBJECT

 public:
  // The first grid row of the headings, and the grid row of device d: kFirstGridRow + d.
  static constexpr int kHeadingRow = 0;
  static constexpr int kFirstGridRow = 1;

  // Puts the column headings into the grid.
  static void AddHeadings(QGridLayout& grid, QWidget* parent);

  // Creates the row's controls as children of `parent` and lays them out in the grid. The Short
  // Addr field shows the device's number; the unit lists hold every unit, the first selected.
  DeviceRow(uint8_t device, QGridLayout& grid, QWidget* parent);

  // Long Addr: "%02X%02X%06X" of MfrID, MfrDevType and DevIDNo (kept to 8, 8 and 24 bits);
  // MfrID (v7): "%04X" of MfrID_v7 (16 bits). `texts`: the simulator's copy (Simulator::Grid).
  void ShowIdentity(const SectionTexts& texts);
  // The four value fields show PV1Value..PV4Value of section 003 as stored, from their start,
  // with the whole text as tooltip when it is wider than the field; each unit list selects
  // PV1Unit..PV4Unit. A code no list entry has selects the first entry when `unknownToFirst`,
  // else leaves the list as it is.
  void ShowValues(const SectionTexts& texts, bool unknownToFirst);

  // A moving variable's field shows its live value in italics and blue on the read-only face,
  // with the motion and where to change it as its tooltip; a variable command 79 simulates
  // (`simulatedUnit` set) shows the simulated value in bold dark orange on that face, with its
  // unit and how to end it as its tooltip. Neither can be edited (the stored value stays as it
  // is); a fixed one shows the stored text again. "End simulation" is enabled while one of the
  // row's variables is simulated.
  void ShowMotion(std::size_t variable, std::optional<double> value,
                  const std::optional<MotionSettings>& settings,
                  std::optional<uint8_t> simulatedUnit);
  // A device that mimics a capture (`capture` its file, empty: none) shows its Short Addr in
  // bold dark green, with the capture and what it answers as its tooltip.
  void ShowReplay(const QString& capture);
  bool Replaying() const { return !replay_.isEmpty(); }
  bool Moving(int i) const { return shown_[static_cast<std::size_t>(i)] == Shown::Moving; }
  bool Simulated(int i) const { return shown_[static_cast<std::size_t>(i)] == Shown::Simulated; }
  // Squawk: the Short Addr field on the flash colour while lit, its normal face otherwise.
  void Flash(bool lit);
  bool Flashing() const { return flashing_; }

  // The Enable box's fields are editable exactly while it is ticked; the MfrID (v7) field
  // only when the revision in force is 7 or more as well.
  void ApplyEnable(bool hart7);
  // Selected: the seven text fields on the highlight colour; otherwise the Short Addr field and
  // moving and simulated values on the button face (read-only) and the others white. A lit
  // flash keeps the Short Addr field on its colour.
  void Highlight(bool selected);
  // The row as the store takes it: the Enable box, the long address left-padded with '0' to 8
  // characters, the MfrID (v7) text, and the value texts and unit codes the operator changed
  // since they were shown from the file (none for a moving or simulated variable).
  RowEntry Entry() const;

  QCheckBox& EnableBox() const { return *enable_; }
  ColourEdit& ShortAddress() const { return *shortAddress_; }
  HexDigitEdit& LongAddress() const { return *longAddress_; }
  HexDigitEdit& MfrIDv7() const { return *mfrIdV7_; }
  NumberEdit& Value(int i) const { return *values_[static_cast<std::size_t>(i)]; }
  QComboBox& Unit(int i) const { return *units_[static_cast<std::size_t>(i)]; }
  SkinnedButton& SetButton() const { return *set_; }
  // "Moving values...", in the context menu of the Short Addr field and the Enable box.
  QAction& SimulationAction() const { return *simulation_; }
  // "End simulation", in the same menus.
  QAction& EndSimulationAction() const { return *endSimulation_; }

 signals:
  // A text field of the row received the focus.
  void Focused();
  // The operator asked to set the row's moving values up.
  void SimulationRequested();
  // The operator asked to end the command 79 simulation of the row's variables.
  void EndSimulationRequested();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // What a value field shows: the stored text, or a live value it cannot be edited for.
  enum class Shown : uint8_t { Stored, Moving, Simulated };

  // The seven fields that show the selection.
  std::array<ColourEdit*, 7> Fields() const;
  // The whole text of value field i as its tooltip when the field is too narrow for it.
  void FitTip(std::size_t i);

  QCheckBox* enable_;
  ColourEdit* shortAddress_;
  HexDigitEdit* longAddress_;
  HexDigitEdit* mfrIdV7_;
  std::array<NumberEdit*, 4> values_{};
  std::array<QComboBox*, 4> units_{};
  SkinnedButton* set_;
  QAction* simulation_;
  QAction* endSimulation_;
  uint8_t device_;
  std::array<std::string, 4> stored_;  // the value texts as stored
  std::array<int, 4> unitShown_{};     // the unit lists' positions as shown from the file
  std::array<Shown, 4> shown_{};
  bool selected_ = false;
  bool flashing_ = false;
  QString replay_;  // the capture the device mimics
};

}  // namespace qln
