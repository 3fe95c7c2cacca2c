#include "ui/comm_log_window.h"

#include <QCheckBox>
#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <utility>

#include "base/traffic_line.h"
#include "ui/log_list_model.h"

namespace qln {
namespace {

QLineEdit* CounterField(QWidget* parent) {
  auto* field = new QLineEdit(QStringLiteral("0"), parent);
  field->setReadOnly(true);
  field->setAlignment(Qt::AlignCenter);
  field->setFixedWidth(QFontMetrics(field->font()).horizontalAdvance(QStringLiteral("0000000000")));
  return field;
}

void ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(icon, QGuiApplication::applicationDisplayName(), shown, QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace

CommLogWindow::CommLogWindow(LogSource source, const Clock& clock, QWidget* parent)
    : QDialog(parent), source_(std::move(source)), clock_(clock) {
  setWindowTitle(QStringLiteral("HART CommLog"));
  showMessage_ = [this](QMessageBox::Icon icon, const QString& text) {
    ShowMessageBox(this, icon, text);
  };

  // The list is a table of one column without headers or grid: its rows all have one fixed
  // height, so that a new line costs the view no more than the line (a list view lays out every
  // row again at each insertion), and the column is as wide as the list's extent, or as the view
  // where that is wider, which gives the horizontal scroll range.
  list_ = new QTableView(this);
  list_->setObjectName(QStringLiteral("lines"));
  list_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  list_->horizontalHeader()->hide();
  list_->horizontalHeader()->setStretchLastSection(true);
  list_->verticalHeader()->hide();
  const int rowHeight = QFontMetrics(list_->font()).height() + 2;
  list_->verticalHeader()->setMinimumSectionSize(rowHeight);
  list_->verticalHeader()->setDefaultSectionSize(rowHeight);
  list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  list_->setShowGrid(false);
  list_->setWordWrap(false);
  list_->setTextElideMode(Qt::ElideNone);
  list_->setTabKeyNavigation(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  model_ = new LogListModel(list_->font(), this);
  list_->setModel(model_);
  // Tall enough for the lines Auto Scroll keeps in view.
  list_->setMinimumHeight(kScrollLines * rowHeight + 2 * list_->frameWidth() +
                          list_->horizontalScrollBar()->sizeHint().height());
  list_->setMinimumWidth(QFontMetrics(list_->font()).horizontalAdvance(QString(72, u'0')));

  dropNotice_ = new QLabel(this);
  dropNotice_->setObjectName(QStringLiteral("dropNotice"));
  dropNotice_->hide();

  auto* clear = new QPushButton(QStringLiteral("Clear"), this);
  clear->setObjectName(QStringLiteral("clear"));
  auto* save = new QPushButton(QStringLiteral("Save"), this);
  save->setObjectName(QStringLiteral("save"));
  auto* saveCapture = new QPushButton(QStringLiteral("Save as capture"), this);
  saveCapture->setObjectName(QStringLiteral("saveCapture"));
  // Enter never presses them: a dialog's buttons are auto-default (Enter clicks the focused
  // one), and a click would leave the focus on the button for the next Enter or Space. Tab still
  // reaches them for a deliberate Space.
  for (QPushButton* button : {clear, save, saveCapture}) {
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::TabFocus);
  }
  receivedField_ = CounterField(this);
  receivedField_->setObjectName(QStringLiteral("recvCount"));
  sentField_ = CounterField(this);
  sentField_->setObjectName(QStringLiteral("sendCount"));
  autoScroll_ = new QCheckBox(QStringLiteral("Auto Scroll"), this);
  autoScroll_->setObjectName(QStringLiteral("autoScroll"));
  autoScroll_->setChecked(true);

  auto* controls = new QHBoxLayout;
  controls->addWidget(clear);
  controls->addWidget(save);
  controls->addWidget(saveCapture);
  controls->addStretch();
  controls->addWidget(new QLabel(QStringLiteral("RecvCnt : "), this));
  controls->addWidget(receivedField_);
  controls->addWidget(new QLabel(QStringLiteral("SendCnt : "), this));
  controls->addWidget(sentField_);
  controls->addStretch();
  controls->addWidget(autoScroll_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addWidget(dropNotice_);
  layout->addLayout(controls);

  connect(clear, &QPushButton::clicked, this, &CommLogWindow::Clear);
  connect(save, &QPushButton::clicked, this, &CommLogWindow::SaveLog);
  connect(saveCapture, &QPushButton::clicked, this, &CommLogWindow::SaveCapture);
  connect(autoScroll_, &QCheckBox::clicked, this, [this](bool ticked) {
    if (ticked) ScrollToNewest();
  });

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &CommLogWindow::AppendLogLines);
  timer_->start(kTickMilliseconds);
}

void CommLogWindow::AppendLogLines() {
  std::vector<LogLine> taken = source_();
  if (taken.empty()) return;
  std::vector<std::string> texts;
  texts.reserve(taken.size());
  for (LogLine& line : taken) {
    if (line.Kind == LogKind::Received) ++received_;
    if (line.Kind == LogKind::Sent) ++sent_;
    texts.push_back(std::move(line.Text));
  }
  model_->Append(std::move(texts));
  ShowState();
  if (autoScroll_->isChecked()) ScrollToNewest();
}

void CommLogWindow::Clear() {
  model_->Clear();
  received_ = 0;
  sent_ = 0;
  ShowState();
}

void CommLogWindow::SaveLog() {
  SaveAs(".csv", [&](const QString& path, const LocalTime&) { return model_->SaveTo(path); });
}

void CommLogWindow::SaveCapture() {
  SaveAs(".pcapng", [&](const QString& path, const LocalTime& t) {
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(model_->LineCount()));
    for (int row = 0; row < model_->LineCount(); ++row) lines.push_back(model_->Text(row));
    return WriteTrafficCapture(path.toStdString(), lines, t).has_value();
  });
}

// Writes "<working directory>/YYYYMMDD_hhmmss<extension>" with `write` and says how it went.
void CommLogWindow::SaveAs(const char* extension,
                           const std::function<bool(const QString&, const LocalTime&)>& write) {
  const LocalTime t = clock_.Now();
  const QString name = QString::asprintf("%04d%02d%02d_%02d%02d%02d", t.year, t.month, t.day,
                                         t.hour, t.minute, t.second);
  // No working directory (it was removed while the program runs) gives an empty path, which
  // would put the file into the root directory: that is a failure too.
  const QString directory = QDir::currentPath();
  const QString path = directory + u'/' + name + QLatin1String(extension);
  if (!QDir::isAbsolutePath(directory) || !write(path, t)) {
    showMessage_(QMessageBox::NoIcon, QStringLiteral("File Save NG !!"));
    return;
  }
  showMessage_(QMessageBox::Information, QStringLiteral("File Save OK !!\r\n( %1 )").arg(path));
}

void CommLogWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();  // Enter does nothing; a focused button passes it on to here
    return;
  }
  QDialog::keyPressEvent(event);
}

void CommLogWindow::ScrollToNewest() {
  if (model_->LineCount() == 0) return;
  const int top = std::max(0, model_->LineCount() - kScrollLines);
  list_->doItemsLayout();  // the scroll range takes in the new lines now, not at the next event
  list_->scrollTo(model_->index(top), QAbstractItemView::PositionAtTop);
}

void CommLogWindow::ShowState() {
  list_->horizontalHeader()->resizeSection(0, model_->Extent());
  receivedField_->setText(QString::number(received_));
  sentField_->setText(QString::number(sent_));
  const int64_t dropped = model_->DroppedLines();
  dropNotice_->setVisible(dropped > 0);
  if (dropped > 0) {
    dropNotice_->setText(QStringLiteral("Older lines dropped: %1 (the list keeps the newest %2)")
                             .arg(dropped)
                             .arg(LogListModel::kMaxLines));
  }
}

}  // namespace qln
