// The lines of the traffic log window, as a list model under an item view: only the rows in view
// are ever turned into display text, so the window stays responsive however long the list is.
//
// The list keeps at most kMaxLines lines. When more arrive, the oldest are dropped in chunks of
// kDropChunk (so that the list is not reshuffled at every line once it is full), and the number
// dropped since the last Clear is kept for the window to show.
//
// Every line is measured once, when it is added, in the list's font: its width is its text
// extent plus 3 pixels. The extent of the list is the widest width among its lines; it grows
// with each added line and is recomputed from the stored widths when lines are dropped.
#pragma once

#include <QAbstractListModel>
#include <QFontMetrics>
#include <QString>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class QFont;

namespace qln {

class LogListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  static constexpr int kMaxLines = 200000;
  static constexpr int kDropChunk = 10000;

  // Lines are measured in font, the font of the view that shows them.
  explicit LogListModel(const QFont& font, QObject* parent = nullptr);

  // Adds the lines at the end, in order, dropping the oldest lines first when the list would
  // pass kMaxLines.
  void Append(std::vector<std::string> lines);
  // Empties the list: no lines, extent 0, nothing dropped.
  void Clear();

  int LineCount() const { return static_cast<int>(lines_.size()); }
  const std::string& Text(int row) const { return lines_[static_cast<std::size_t>(row)].text; }
  // The pixel width of the widest line; 0 for an empty list.
  int Extent() const { return extent_; }
  // Lines dropped since the list was created or last cleared.
  int64_t DroppedLines() const { return dropped_; }

  // Writes every line, in order, each followed by CR LF, replacing the file. False when the
  // file cannot be created or written completely.
  bool SaveTo(const QString& path) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  struct Line {
    std::string text;
    int width;
  };

  // Removes the oldest count lines (at most all of them) and recomputes the extent.
  void DropOldest(std::size_t count);

  QFontMetrics metrics_;
  std::deque<Line> lines_;
  int extent_ = 0;
  int64_t dropped_ = 0;
};

}  // namespace qln
