// The main window "QLN_v<version> (Quillon)": the grid of the sixteen simulated devices, the COM
// port with Open/Close, the K-3056 converter's channel controls, the revision and refresh switches,
// and the buttons that store the grid and open the other windows.
//
// The window owns the simulator and everything that lives as long as the program: the notifier
// that shows the core's messages, the traffic log queue and its window, the shared entry of the
// device-specific command windows. It starts the program (a full load of QLN.ini and the grid
// filled from it) when it is created; the port stays closed until the operator opens it.
// Closing the window closes the port and waits for the serial worker and the command thread, then
// saves what QLN.ini has not taken (SaveAtEnd).
//
// Every action runs on the UI thread. What it reads of the devices and the file, and every change
// it makes to them, it asks the simulator for, which keeps an action from interleaving with a
// command being executed; the window shows copies and knows nothing of the simulator's locking.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPoint>
#include <QString>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/console.h"
#include "base/log_queue.h"
#include "device/spec_cmd_table.h"
#include "scenario/moving_values.h"
#include "simulator/simulator.h"
#include "ui/gui_notifier.h"

class QAction;
class QApplication;
class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QSpinBox;
class QTimer;

namespace qln {

class CommLogWindow;
class DeviceRow;
class SimulationDialog;
class SkinnedButton;

// Every window of the program on the dialog colours: RGB(220,230,210) behind black text.
void SetDialogColours(QApplication& app);

class MainWindow : public QDialog {
  Q_OBJECT

 public:
  // Shows a message box and returns once the operator has closed it.
  using MessageBox = GuiNotifier::ShowBox;

  static constexpr int kRows = 16;
  static constexpr int kNoRow = 100;  // HighlightRow: no row selected
  static constexpr int kRefreshMilliseconds = 1000;

  // QLN.ini is looked for in `directory` (the working directory when empty). With `portDevice`
  // (a device path, or pty:<link> for a virtual port) every COM number opens that device and
  // only names it. Message boxes are modal QMessageBoxes unless `showMessage` is given.
  MainWindow(const Clock& clock, std::filesystem::path directory = {},
             std::optional<std::string> portDevice = std::nullopt, MessageBox showMessage = nullptr,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  // Opens the port when closed, closes it when open.
  void OpenOrClosePort();
  // Stores every row in one write (see StoreRow), runs a full load when that write went through,
  // and selects no row.
  void SetParam();
  // The row's enable flag into the device table, and its identity and the values and units the
  // operator changed into the device's data and the file; then section 000 of the device is
  // read again (its long address and the revision in force).
  void StoreRow(int row);
  // Enables the row's fields from its Enable box, then selects the row.
  void ApplyRowEnable(int row);
  // Shows `row` (0..15) as selected and every other row as normal; kNoRow selects none.
  void HighlightRow(int row);
  // The timer's action: when the automatic refresh is on, or a command asked for it, a full
  // load and the four values and units of every row shown again.
  // At every tick also ShowMovingValues, ShowSquawks and ShowHartIpState.
  void RefreshProcessValues();
  // Each row's moving variables with their values now (italic, with the motion as tooltip), the
  // ones command 79 simulates with their simulated values (bold); the fixed ones as stored.
  void ShowMovingValues();
  // Ends the command 79 simulation of the row's device (from the row's context menu), then shows
  // the rows' values again.
  void EndSimulation(int row);
  // Squawk (command 72): each row whose device has flashes left lights its Short Addr field for
  // half a tick and counts one flash off.
  void ShowSquawks();
  // Opens the dialog of the row's moving values (also from the row's context menu); its OK
  // stores them with StoreSimulation.
  SimulationDialog* SetUpSimulation(int row);
  // Writes the device's simulation section at once, then shows the rows' moving values.
  void StoreSimulation(int row, const DeviceMotionTexts& texts);

  // The program's end, at the window's close (done) or, when it never closed, its destruction:
  // HART-IP stopped, the port closed, and the changes QLN.ini has not taken written once more
  // or kept in the recovery file beside it (Simulator::SaveAtStop); a box names what could not
  // be saved. Only the first call saves; every call returns whether QLN.ini holds every change.
  bool SaveAtEnd();

  Simulator& Sim() { return *simulator_; }
  const DeviceRow& Row(int row) const { return *rows_[static_cast<std::size_t>(row)]; }
  int PortNumber() const { return portNumber_; }
  CommLogWindow& LogWindow() const { return *logWindow_; }

 public slots:
  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildWindow();
  void StartUp();
  void OpenPort();
  void ClosePort();
  void ShowPortState();
  void ShowConverterState();
  void ShowPortDevices();
  void SwitchRevision(bool hart7);
  // The HART-IP checkbox: starts the server on 127.0.0.1 and the port field's port, or stops it;
  // HartIpPort in the file follows (the port, or 0).
  void SwitchHartIp(bool on);
  void StopHartIp();
  // The HART-IP box's state line: what is served (the I/O system or the flat view) and the
  // sessions open now, or "off". Sessions come and go on the server's thread: the refresh timer
  // shows them again at every tick.
  void ShowHartIpState();
  void SelectChannel(uint8_t channel);
  void ShowAbout();
  bool Hart7();
  // The windows the function buttons and a row's menu open. Each kind opens beside the main
  // window where the screen has room, or where the operator last left one of its kind in this
  // run: Remember keeps that place when a window of the kind is closed, Place moves a window
  // there before it is shown.
  enum class Beside : uint8_t { DataLog, DevStatus, DevSpecific, MovingValues };
  void Remember(QDialog& window, Beside kind);
  void Place(QDialog& window, Beside kind);

  MessageBox showMessage_;
  std::optional<std::string> portDevice_;
  GuiNotifier notifier_;
  StderrConsole console_;
  LogQueue logQueue_;
  SpecCmdEntry specCmdEntry_;
  // Declared last of the core's parts: destroyed first, its threads stopped before what they use.
  std::unique_ptr<Simulator> simulator_;

  int portNumber_ = 1;
  bool autoRefresh_ = false;
  std::optional<bool> savedAtEnd_;  // SaveAtEnd's outcome, once it has run

  std::array<DeviceRow*, kRows> rows_{};
  QComboBox* portList_ = nullptr;
  SkinnedButton* openClose_ = nullptr;
  QCheckBox* hartIpEnable_ = nullptr;
  QSpinBox* hartIpPort_ = nullptr;
  QLabel* hartIpState_ = nullptr;
  QCheckBox* converterEnable_ = nullptr;
  QComboBox* channelList_ = nullptr;
  SkinnedButton* setChannel_ = nullptr;
  SkinnedButton* getChannel_ = nullptr;
  QCheckBox* hart7_ = nullptr;
  QCheckBox* autoRefreshBox_ = nullptr;
  QAction* about_ = nullptr;
  CommLogWindow* logWindow_ = nullptr;
  QTimer* timer_ = nullptr;
  std::array<std::optional<QPoint>, 4> places_;  // by Beside
};

}  // namespace qln
