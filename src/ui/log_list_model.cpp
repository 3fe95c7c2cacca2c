#include "ui/log_list_model.h"

#include <QFile>
#include <QFont>
#include <algorithm>
#include <utility>

namespace qln {

LogListModel::LogListModel(const QFont& font, QObject* parent)
    : QAbstractListModel(parent), metrics_(font) {}

void LogListModel::Append(std::vector<std::string> lines) {
  if (lines.empty()) return;
  const std::size_t limit = kMaxLines;
  const std::size_t chunk = kDropChunk;
  const std::size_t total = lines_.size() + lines.size();
  std::size_t skipped = 0;  // new lines that would be dropped at once: never shown nor measured
  if (total > limit) {
    const std::size_t drop = (total - limit + chunk - 1) / chunk * chunk;  // < total: limit > chunk
    const std::size_t fromList = std::min(drop, lines_.size());
    DropOldest(fromList);
    skipped = drop - fromList;
    dropped_ += static_cast<int64_t>(skipped);
  }
  const int first = LineCount();
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size() - skipped) - 1);
  for (auto line = lines.begin() + static_cast<std::ptrdiff_t>(skipped); line != lines.end();
       ++line) {
    const int width = metrics_.horizontalAdvance(QString::fromStdString(*line)) + 3;
    extent_ = std::max(extent_, width);
    lines_.push_back({std::move(*line), width});
  }
  endInsertRows();
}

void LogListModel::Clear() {
  beginResetModel();
  lines_.clear();
  extent_ = 0;
  dropped_ = 0;
  endResetModel();
}

void LogListModel::DropOldest(std::size_t count) {
  if (count == 0) return;
  beginRemoveRows(QModelIndex(), 0, static_cast<int>(count) - 1);
  lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
  dropped_ += static_cast<int64_t>(count);
  extent_ = 0;
  for (const Line& line : lines_) extent_ = std::max(extent_, line.width);
  endRemoveRows();
}

bool LogListModel::SaveTo(const QString& path) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  for (const Line& line : lines_) {
    const auto size = static_cast<qint64>(line.text.size());
    if (file.write(line.text.data(), size) != size || file.write("\r\n", 2) != 2) return false;
  }
  if (!file.flush()) return false;
  file.close();
  return file.error() == QFileDevice::NoError;
}

int LogListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : LineCount();
}

QVariant LogListModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= LineCount()) return {};
  return QString::fromStdString(Text(index.row()));
}

}  // namespace qln
