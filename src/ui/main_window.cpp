#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <atomic>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "serial/converter.h"
#include "serial/port_path.h"
#include "ui/button_skins.h"
#include "ui/comm_log_window.h"
#include "ui/device_row.h"
#include "ui/device_status_window.h"
#include "ui/simulation_dialog.h"
#include "ui/skinned_button.h"
#include "ui/spec_cmd_window.h"

namespace qln {
namespace {

constexpr int kPorts = Simulator::kComPorts;    // COM1..COM255
constexpr char kHartIpAddress[] = "127.0.0.1";  // the window serves this machine only
const QColor kPortText(255, 255, 0);

void ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                    const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(icon, caption, shown, QMessageBox::Ok, parent);
  box.exec();
}

// The program's icon: a white Q on a field green square.
QIcon ProgramIcon() {
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(46, 110, 62));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
  QFont font = painter.font();
  font.setPixelSize(44);
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("Q"));
  return QIcon(pixmap);
}

// What COM n opens, as the port list tells it.
QString DescribeDevice(const std::string& device) {
  if (const auto link = PtyLink(device)) {
    return QStringLiteral("virtual port at %1")
        .arg(QString::fromUtf8(link->data(), static_cast<qsizetype>(link->size())));
  }
  return QString::fromStdString(device);
}

// A scroll area that asks for the whole size of what it shows (a plain one asks for a few dozen
// characters at most), so that the window around it opens at its natural size.
class NaturalScrollArea : public QScrollArea {
 public:
  using QScrollArea::QScrollArea;
  QSize sizeHint() const override {
    const int frame = 2 * frameWidth();
    return widget() ? widget()->sizeHint() + QSize(frame, frame) : QScrollArea::sizeHint();
  }
};

// Where a window of `size` goes beside the main window `main`: to its right where the screen has
// room, else to its left, else at the screen's edge on the roomier side (covering as little of
// the main window as it can); its top level with the main window's, within the screen.
QPoint BesidePosition(const QRect& main, const QSize& size, const QRect& screen) {
  const int top = std::clamp(main.top(), screen.top(),
                             std::max(screen.top(), screen.bottom() + 1 - size.height()));
  if (main.right() + size.width() <= screen.right()) return {main.right() + 1, top};
  if (main.left() - size.width() >= screen.left()) return {main.left() - size.width(), top};
  const bool right = screen.right() - main.right() >= main.left() - screen.left();
  const int left = right ? screen.right() + 1 - size.width() : screen.left();
  return {std::max(left, screen.left()), top};
}

SkinnedButton* NewButton(const char* text, ButtonSkin skin, QWidget* parent) {
  auto* button = new SkinnedButton(QString::fromLatin1(text), parent);
  ApplyButtonSkin(*button, skin);
  button->setAutoDefault(false);
  button->setMinimumSize(84, 26);
  return button;
}

}  // namespace

void SetDialogColours(QApplication& app) {
  QPalette palette = app.palette();
  palette.setColor(QPalette::Window, QColor(220, 230, 210));
  palette.setColor(QPalette::WindowText, Qt::black);
  app.setPalette(palette);
}

MainWindow::MainWindow(const Clock& clock, std::filesystem::path directory,
                       std::optional<std::string> portDevice, MessageBox showMessage,
                       QWidget* parent)
    : QDialog(parent),
      showMessage_(showMessage ? std::move(showMessage)
                               : MessageBox([this](QMessageBox::Icon icon, const QString& caption,
                                                   const QString& text) {
                                   ShowMessageBox(this, icon, caption, text);
                                 })),
      portDevice_(std::move(portDevice)),
      notifier_(showMessage_) {
  simulator_ = std::make_unique<Simulator>(
      notifier_, console_, clock, std::move(directory),
      [this](LogKind kind, std::string line) { logQueue_.Log(kind, std::move(line)); },
      [this](uint8_t channel) {
        // Called on the command thread: the list is changed on the UI thread.
        QMetaObject::invokeMethod(
            this, [this, channel] { SelectChannel(channel); }, Qt::QueuedConnection);
      });
  BuildWindow();

  logWindow_ = new CommLogWindow([this] { return logQueue_.TakeAll(); }, clock, this);
  logWindow_->SetMessageBox([this](QMessageBox::Icon icon, const QString& text) {
    showMessage_(icon, QApplication::applicationName(), text);
  });
  Remember(*logWindow_, Beside::DataLog);
  StartUp();
}

MainWindow::~MainWindow() { SaveAtEnd(); }

void MainWindow::BuildWindow() {
  setWindowTitle(QStringLiteral("QLN_v" QLN_VERSION " (Quillon)"));
  setWindowIcon(ProgramIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint);

  auto* menuBar = new QMenuBar(this);
  about_ =
      menuBar->addMenu(QStringLiteral("&Help"))->addAction(QStringLiteral("About Quillon (&A)..."));
  connect(about_, &QAction::triggered, this, &MainWindow::ShowAbout);
  addAction(about_);  // also in the window's context menu
  setContextMenuPolicy(Qt::ActionsContextMenu);

  auto* portGroup = new QGroupBox(QStringLiteral("ComPort"), this);
  portList_ = new QComboBox(portGroup);
  portList_->setObjectName(QStringLiteral("portList"));
  for (int port = 1; port <= kPorts; ++port) portList_->addItem(QStringLiteral("COM%1").arg(port));
  portList_->setMaxVisibleItems(16);
  openClose_ = NewButton("Open", ButtonSkin::Port, portGroup);
  openClose_->SetTextColour(kPortText);
  auto* portLayout = new QHBoxLayout(portGroup);
  portLayout->addWidget(portList_);
  portLayout->addWidget(openClose_);
  connect(portList_, &QComboBox::activated, this, [this](int position) {
    portNumber_ = position + 1;
    portList_->setToolTip(portList_->itemData(position, Qt::ToolTipRole).toString());
  });
  connect(openClose_, &QPushButton::clicked, this, &MainWindow::OpenOrClosePort);

  auto* hartIpGroup = new QGroupBox(QStringLiteral("HART-IP"), this);
  hartIpEnable_ = new QCheckBox(QStringLiteral("On"), hartIpGroup);
  hartIpEnable_->setObjectName(QStringLiteral("hartIpEnable"));
  hartIpPort_ = new QSpinBox(hartIpGroup);
  hartIpPort_->setObjectName(QStringLiteral("hartIpPort"));
  hartIpPort_->setRange(1, 65535);
  hartIpPort_->setValue(HartIpServer::kDefaultPort);
  hartIpPort_->setToolTip(QStringLiteral("HART-IP port (TCP and UDP) on 127.0.0.1"));
  hartIpState_ = new QLabel(hartIpGroup);
  hartIpState_->setObjectName(QStringLiteral("hartIpState"));
  hartIpState_->setToolTip(QStringLiteral(
      "What HART-IP serves: the I/O system at poll address 0 with the enabled devices behind "
      "it, or the flat view (poll address N is device N; HartIpView=flat in [HTDev_Sys], read "
      "when HART-IP starts); and the sessions open now"));
  auto* hartIpLayout = new QHBoxLayout(hartIpGroup);
  hartIpLayout->addWidget(hartIpEnable_);
  hartIpLayout->addWidget(hartIpPort_);
  hartIpLayout->addWidget(hartIpState_);
  connect(hartIpEnable_, &QCheckBox::toggled, this, &MainWindow::SwitchHartIp);

  auto* converterGroup = new QGroupBox(QStringLiteral("K-3056"), this);
  converterEnable_ = new QCheckBox(QStringLiteral("Enable"), converterGroup);
  channelList_ = new QComboBox(converterGroup);
  channelList_->setObjectName(QStringLiteral("channelList"));
  for (int channel = 0; channel < kConverterChannels; ++channel)
    channelList_->addItem(QString::number(channel));
  channelList_->setCurrentIndex(0);
  setChannel_ = NewButton("Set Ch", ButtonSkin::Common, converterGroup);
  getChannel_ = NewButton("Get Ch", ButtonSkin::Common, converterGroup);
  converterGroup->setToolTip(QStringLiteral(
      "K-3056: a multi-channel converter module on the same serial line, which switches the "
      "line between its four channels (0..3).\nWith the port open and Enable ticked, Set Ch and "
      "Get Ch send it its two commands; they show in the DataLog marked [K-3056]."));
  converterEnable_->setToolTip(QStringLiteral("Allow the converter's commands on the open port"));
  setChannel_->setToolTip(QStringLiteral(
      "Send #C5<ChNo> and a carriage return: the converter switches to channel ChNo"));
  getChannel_->setToolTip(QStringLiteral(
      "Send #C6 and a carriage return: the converter answers its channel, which ChNo then shows"));
  auto* converterLayout = new QHBoxLayout(converterGroup);
  converterLayout->addWidget(converterEnable_);
  converterLayout->addWidget(new QLabel(QStringLiteral("ChNo : "), converterGroup));
  converterLayout->addWidget(channelList_);
  converterLayout->addWidget(setChannel_);
  converterLayout->addWidget(getChannel_);
  connect(converterEnable_, &QCheckBox::clicked, this, &MainWindow::ShowConverterState);
  connect(setChannel_, &QPushButton::clicked, this, [this] {
    Sim().Converter().Post(kConverterSetChannel,
                           static_cast<uint8_t>(channelList_->currentIndex()));
  });
  connect(getChannel_, &QPushButton::clicked, this,
          [this] { Sim().Converter().Post(kConverterGetChannel, 0); });

  auto* functionGroup = new QGroupBox(QStringLiteral("Function"), this);
  auto* functionLayout = new QHBoxLayout(functionGroup);
  SkinnedButton* setParam = NewButton("SetParam", ButtonSkin::Common, functionGroup);
  SkinnedButton* dataLog = NewButton("DataLog", ButtonSkin::Common, functionGroup);
  SkinnedButton* devStatus = NewButton("DevStatus", ButtonSkin::Common, functionGroup);
  SkinnedButton* devSpecific = NewButton("Dev-Specific", ButtonSkin::Common, functionGroup);
  for (SkinnedButton* button : {setParam, dataLog, devStatus, devSpecific})
    functionLayout->addWidget(button);
  connect(setParam, &QPushButton::clicked, this, &MainWindow::SetParam);
  connect(dataLog, &QPushButton::clicked, this, [this] {
    if (!logWindow_->isVisible()) Place(*logWindow_, Beside::DataLog);
    logWindow_->showNormal();
    logWindow_->raise();
    logWindow_->activateWindow();
  });
  const auto showNew = [this](QDialog* window, Beside kind) {
    window->setAttribute(Qt::WA_DeleteOnClose);
    Remember(*window, kind);
    Place(*window, kind);
    window->show();
  };
  connect(devStatus, &QPushButton::clicked, this, [this, showNew] {
    showNew(new DeviceStatusWindow(Sim().State(), this), Beside::DevStatus);
  });
  connect(devSpecific, &QPushButton::clicked, this, [this, showNew] {
    showNew(new SpecCmdWindow(Sim(), specCmdEntry_, this), Beside::DevSpecific);
  });

  hart7_ = new QCheckBox(QStringLiteral("HART v7.0"), this);
  autoRefreshBox_ = new QCheckBox(QStringLiteral("GetCMD3Param (Auto)"), this);
  connect(hart7_, &QCheckBox::clicked, this, &MainWindow::SwitchRevision);
  connect(autoRefreshBox_, &QCheckBox::clicked, this, [this](bool on) { autoRefresh_ = on; });

  auto* devicesGroup = new QGroupBox(QStringLiteral("HART_Devices"), this);
  auto* grid = new QGridLayout(devicesGroup);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(3);
  DeviceRow::AddHeadings(*grid, devicesGroup);
  for (int r = 0; r < kRows; ++r) {
    auto* row = new DeviceRow(static_cast<uint8_t>(r), *grid, devicesGroup);
    rows_[static_cast<std::size_t>(r)] = row;
    connect(row, &DeviceRow::Focused, this, [this, r] { HighlightRow(r); });
    connect(row, &DeviceRow::SimulationRequested, this, [this, r] { SetUpSimulation(r); });
    connect(row, &DeviceRow::EndSimulationRequested, this, [this, r] { EndSimulation(r); });
    connect(&row->EnableBox(), &QCheckBox::clicked, this, [this, r] { ApplyRowEnable(r); });
    connect(&row->SetButton(), &QPushButton::clicked, this, [this, r] { StoreRow(r); });
  }

  auto* switches = new QHBoxLayout;
  switches->addWidget(hart7_);
  switches->addSpacing(24);
  switches->addWidget(autoRefreshBox_);
  switches->addStretch();
  auto* controls = new QHBoxLayout;
  controls->addWidget(portGroup);
  controls->addWidget(hartIpGroup);
  controls->addWidget(converterGroup);
  controls->addWidget(functionGroup);
  controls->addStretch();

  // The controls keep the size they need, as they always had; the window shows them in a
  // scroll area below the menu, so that it can be made smaller than that (a laptop screen with
  // large fonts or scaling) and every control can still be scrolled to.
  auto* outer = new QVBoxLayout(this);
  outer->setMenuBar(menuBar);
  auto* content = new QWidget;
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(outer->contentsMargins());  // the window's own margins
  layout->addLayout(controls);
  layout->addLayout(switches);
  layout->addWidget(devicesGroup);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  auto* scroll = new NaturalScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setFocusPolicy(Qt::NoFocus);  // Tab goes from control to control, scrolling to each
  scroll->setWidget(content);
  outer->setContentsMargins(QMargins());
  outer->addWidget(scroll);

  // Its natural size where the screen has room for it, else what the screen has room for. The
  // window manager's frame is not known before the window is shown: the style's title bar
  // height stands for it.
  const QSize room = screen()->availableGeometry().size() -
                     QSize(0, style()->pixelMetric(QStyle::PM_TitleBarHeight));
  resize(sizeHint().boundedTo(room));
}

void MainWindow::StartUp() {
  // The converter's controls wait for an open port.
  ShowPortState();

  int comNumber = 0;
  simulator_->StartUp(comNumber);  // the full load, with its warning when the file is missing
  // CaptureFile of [HTDev_Sys]: the traffic captured from the start; a file that cannot be
  // created is reported and the program goes on without a capture.
  if (const auto [captureFile, captureLimit] = Sim().ConfiguredCapture(); !captureFile.empty()) {
    if (const Result<> started = Sim().StartCapture(captureFile, captureLimit); !started) {
      notifier_.Problem(started.error() + "; going on without a capture");
    }
  }
  const DeviceGrid grid = Sim().Grid();
  hart7_->setChecked(grid.Revision >= 7);
  for (std::size_t r = 0; r < kRows; ++r) {
    rows_[r]->EnableBox().setChecked(grid.Enabled[r]);
    rows_[r]->ShowIdentity(grid.Texts[r]);
    rows_[r]->ShowValues(grid.Texts[r], true);
  }
  ShowMovingValues();
  portNumber_ = comNumber;
  portList_->setCurrentIndex(comNumber - 1);  // no selection for 0
  if (const uint16_t hartIpPort = Sim().ConfiguredHartIpPort(); hartIpPort != 0) {
    hartIpPort_->setValue(hartIpPort);
    hartIpEnable_->setChecked(true);  // starts the server
  }
  ShowHartIpState();
  ShowPortDevices();
  for (int r = 0; r < kRows; ++r) ApplyRowEnable(r);
  HighlightRow(kNoRow);

  autoRefresh_ = autoRefreshBox_->isChecked();
  timer_ = new QTimer(this);
  timer_->setObjectName(QStringLiteral("refreshTimer"));
  timer_->setInterval(kRefreshMilliseconds);
  connect(timer_, &QTimer::timeout, this, &MainWindow::RefreshProcessValues);
  timer_->start();
}

void MainWindow::ShowPortDevices() {
  const std::vector<std::string> devices = Sim().PortDevices();
  for (int port = 1; port <= kPorts; ++port) {
    const std::string& device =
        portDevice_ ? *portDevice_ : devices[static_cast<std::size_t>(port - 1)];
    portList_->setItemData(port - 1, DescribeDevice(device), Qt::ToolTipRole);
  }
  portList_->setToolTip(portList_->currentData(Qt::ToolTipRole).toString());
}

void MainWindow::OpenOrClosePort() {
  if (Sim().PortOpen()) {
    ClosePort();
  } else {
    OpenPort();
  }
}

void MainWindow::OpenPort() {
  // Port 0 (none selected) fails as any other number outside 1..255, whatever device is given.
  const Result<std::string> opened =
      Sim().Open(portNumber_, portNumber_ >= 1 ? portDevice_ : std::nullopt);
  if (!opened) {
    showMessage_(QMessageBox::Warning, QApplication::applicationName(),
                 QString::fromStdString(opened.error()));
    return;
  }
  ShowPortState();
}

void MainWindow::ClosePort() {
  if (!Sim().PortOpen()) return;
  {
    // The command thread may be waiting for a warning box that this thread would show only
    // after the join: it stops waiting, and the box shows when this thread gets to it.
    ReleasedWaits released(notifier_);
    Sim().Close();
  }
  converterEnable_->setChecked(false);
  ShowPortState();
  ShowPortDevices();  // the file may name other devices by now
}

void MainWindow::SwitchHartIp(bool on) {
  if (!on) {
    StopHartIp();
    Sim().SaveHartIpPort(0);
    hartIpPort_->setEnabled(true);
    return;
  }
  const auto port = static_cast<uint16_t>(hartIpPort_->value());
  const Result<> started = Sim().StartHartIp(kHartIpAddress, port);
  if (!started) {
    const QSignalBlocker quiet(hartIpEnable_);
    hartIpEnable_->setChecked(false);
    showMessage_(QMessageBox::Warning, QApplication::applicationName(),
                 QString::fromStdString(started.error()));
    return;
  }
  Sim().SaveHartIpPort(port);
  hartIpPort_->setEnabled(false);
  ShowHartIpState();
}

// A HART-IP request may be waiting for a warning box that this thread would show only after the
// join: it stops waiting, as for Close.
void MainWindow::StopHartIp() {
  {
    ReleasedWaits released(notifier_);
    Sim().StopHartIp();
  }
  ShowHartIpState();
}

void MainWindow::ShowHartIpState() {
  if (!Sim().HartIpRunning()) {
    hartIpState_->setText(QStringLiteral("off"));
    return;
  }
  const auto sessions = static_cast<qulonglong>(Sim().HartIpSessions());
  hartIpState_->setText(
      QStringLiteral("%1, %2 session%3")
          .arg(Sim().HartIpFlat() ? QStringLiteral("flat") : QStringLiteral("I/O system"))
          .arg(sessions)
          .arg(sessions == 1 ? QString() : QStringLiteral("s")));
}

void MainWindow::ShowPortState() {
  const bool open = Sim().PortOpen();
  openClose_->setText(open ? QStringLiteral("Close") : QStringLiteral("Open"));
  portList_->setEnabled(!open);
  converterEnable_->setEnabled(open);
  ShowConverterState();
}

void MainWindow::ShowConverterState() {
  const bool on = converterEnable_->isEnabled() && converterEnable_->isChecked();
  channelList_->setEnabled(on);
  setChannel_->setEnabled(on);
  getChannel_->setEnabled(on);
}

void MainWindow::SelectChannel(uint8_t channel) {
  if (channel < kConverterChannels) channelList_->setCurrentIndex(channel);
}

bool MainWindow::Hart7() { return Sim().Revision() >= 7; }

void MainWindow::ApplyRowEnable(int row) {
  rows_[static_cast<std::size_t>(row)]->ApplyEnable(Hart7());
  HighlightRow(row);
}

void MainWindow::HighlightRow(int row) {
  for (int r = 0; r < kRows; ++r) rows_[static_cast<std::size_t>(r)]->Highlight(r == row);
}

void MainWindow::StoreRow(int row) {
  const RowEntry entry = rows_[static_cast<std::size_t>(row)]->Entry();
  Sim().StoreRows(std::span(&entry, 1));  // a failed write has been reported to the operator
  HighlightRow(row);
}

void MainWindow::SetParam() {
  std::array<RowEntry, kRows> entries;
  for (std::size_t r = 0; r < kRows; ++r) entries[r] = rows_[r]->Entry();
  // One write for all rows, so that a file that cannot be written is reported once. The full
  // load follows only when the write went through: after a failure it could only add a second
  // box about the same file.
  if (Sim().StoreRows(entries)) Sim().ReloadAll();
  HighlightRow(kNoRow);
}

void MainWindow::SwitchRevision(bool hart7) {
  Sim().SwitchRevision(hart7 ? 7 : 6);
  for (DeviceRow* row : rows_) row->ApplyEnable(hart7);
}

void MainWindow::RefreshProcessValues() {
  Sim().RetryPendingWrites();  // while the port is closed no command thread does it
  const bool requested = Sim().State().RefreshRequest.exchange(false);
  if (autoRefresh_ || requested) {
    Sim().ReloadAll();
    const DeviceGrid grid = Sim().Grid();
    for (std::size_t r = 0; r < kRows; ++r) rows_[r]->ShowValues(grid.Texts[r], false);
  }
  ShowMovingValues();
  const auto captures = Sim().ReplayCaptures();
  for (std::size_t r = 0; r < kRows; ++r) {
    rows_[r]->ShowReplay(QString::fromStdString(captures[r]));
  }
  ShowSquawks();
  ShowHartIpState();
}

void MainWindow::ShowMovingValues() {
  const auto now = Sim().MovingValuesNow();
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t i = 0; i < kMovingVariables; ++i) {
      rows_[r]->ShowMotion(i, now[r][i].Value, now[r][i].Settings, now[r][i].SimulatedUnit);
    }
  }
}

void MainWindow::EndSimulation(int row) {
  Sim().EndSimulation(static_cast<uint8_t>(row));  // a failed write has been reported
  ShowMovingValues();
}

void MainWindow::ShowSquawks() {
  bool lit = false;
  for (std::size_t r = 0; r < kRows; ++r) {
    // The command thread may set the count at any time: only a count still as read is lowered.
    std::atomic<uint16_t>& flashes = Sim().State().SquawkFlashes[r];
    uint16_t left = flashes.load();
    while (left > 0 && !flashes.compare_exchange_weak(left, static_cast<uint16_t>(left - 1))) {
    }
    if (left == 0) continue;
    rows_[r]->Flash(true);
    lit = true;
  }
  if (lit) {
    QTimer::singleShot(kRefreshMilliseconds / 2, this, [this] {
      for (DeviceRow* row : rows_) {
        if (row->Flashing()) row->Flash(false);
      }
    });
  }
}

SimulationDialog* MainWindow::SetUpSimulation(int row) {
  DeviceMotionTexts texts = Sim().SimulationTexts(static_cast<uint8_t>(row));
  auto* dialog = new SimulationDialog(static_cast<uint8_t>(row), texts, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::accepted, this,
          [this, row, dialog] { StoreSimulation(row, dialog->Texts()); });
  Remember(*dialog, Beside::MovingValues);
  Place(*dialog, Beside::MovingValues);
  dialog->open();
  return dialog;
}

void MainWindow::StoreSimulation(int row, const DeviceMotionTexts& texts) {
  // A failed write has been reported to the operator.
  Sim().StoreSimulation(static_cast<uint8_t>(row), texts);
  ShowMovingValues();
}

void MainWindow::Remember(QDialog& window, Beside kind) {
  // finished comes with every close (OK, Cancel, Escape, Enter, the close box), while the window
  // still stands where the operator left it.
  connect(&window, &QDialog::finished, this,
          [this, &window, kind] { places_[static_cast<std::size_t>(kind)] = window.pos(); });
}

void MainWindow::Place(QDialog& window, Beside kind) {
  if (const std::optional<QPoint>& place = places_[static_cast<std::size_t>(kind)]) {
    window.move(*place);
    return;
  }
  // The window's frame is not known before it is shown: the style's title bar stands for it.
  const QSize size = window.sizeHint().expandedTo(window.size()) +
                     QSize(0, style()->pixelMetric(QStyle::PM_TitleBarHeight));
  window.move(BesidePosition(frameGeometry(), size, screen()->availableGeometry()));
}

void MainWindow::ShowAbout() {
  QDialog about(this);
  about.setWindowTitle(QStringLiteral("About Quillon"));
  auto* icon = new QLabel(&about);
  icon->setPixmap(windowIcon().pixmap(48, 48));
  auto* text = new QLabel(QStringLiteral("Quillon Ver " QLN_VERSION), &about);
  auto* close = new QPushButton(QStringLiteral("Close"), &about);
  close->setDefault(true);
  connect(close, &QPushButton::clicked, &about, &QDialog::accept);
  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addSpacing(12);
  top->addWidget(text);
  top->addStretch();
  auto* layout = new QVBoxLayout(&about);
  layout->addLayout(top);
  layout->addWidget(close, 0, Qt::AlignRight);
  about.exec();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();  // Enter does nothing here; Escape closes the window
    return;
  }
  QDialog::keyPressEvent(event);
}

void MainWindow::done(int result) {
  SaveAtEnd();
  QDialog::done(result);
}

bool MainWindow::SaveAtEnd() {
  StopHartIp();
  ClosePort();
  if (!savedAtEnd_) {
    const Result<> saved = Sim().SaveAtStop();
    savedAtEnd_ = static_cast<bool>(saved);
    if (!saved) {
      showMessage_(QMessageBox::Critical, QApplication::applicationName(),
                   QString::fromStdString(saved.error()));
    }
  }
  return *savedAtEnd_;
}

}  // namespace qln
