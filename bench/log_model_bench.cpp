// The traffic log over a long run: a million lines appended to the log list model one at a time
// (each measured once, the oldest dropped past the cap), and one timer tick of the shown log
// window while its list is full (taking a line, the view's layout and the repaint), which is
// what keeps the window responsive. Peak RSS is the process's, after each benchmark.
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QFontDatabase>
#include <cstdio>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/log_queue.h"
#include "ui/comm_log_window.h"
#include "ui/log_list_model.h"

namespace {

constexpr int kMillion = 1'000'000;

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// A received line of a long-frame command 3 request as the link layer writes it, its time stamp
// and last data byte varying with i.
std::string LogLine(int i) {
  char line[128];
  std::snprintf(line, sizeof line,
                "%02d:%02d:%02d.%03d  <==  FF FF FF FF FF 82 A6 06 BC 61 4E 03 00 %02X ",
                (i / 3600000) % 24, (i / 60000) % 60, (i / 1000) % 60, i % 1000, i & 0xFF);
  return line;
}

void BM_AppendMillionLinesToTheModel(benchmark::State& state) {
  const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  for (auto _ : state) {
    qln::LogListModel model(font);
    for (int i = 0; i < kMillion; ++i) model.Append({LogLine(i)});
    benchmark::DoNotOptimize(model.Extent());
  }
  state.SetItemsProcessed(state.iterations() * kMillion);
  state.counters["ns_per_line"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kMillion,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["peak_rss_MiB"] = PeakRssMiB();
}
BENCHMARK(BM_AppendMillionLinesToTheModel)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_TickOfTheShownWindowWithAFullList(benchmark::State& state) {
  qln::LogQueue queue;
  qln::SystemClock clock;
  qln::CommLogWindow window([&queue] { return queue.TakeAll(); }, clock);
  window.show();
  for (int i = 0; i < qln::LogListModel::kMaxLines; ++i)
    queue.Log(qln::LogKind::Received, LogLine(i));
  window.AppendLogLines();
  QApplication::processEvents();
  int i = qln::LogListModel::kMaxLines;
  for (auto _ : state) {
    queue.Log(qln::LogKind::Sent, LogLine(i++));
    window.AppendLogLines();
    QApplication::processEvents();  // the view lays out the list and repaints
  }
  state.counters["lines_kept"] = window.Lines().LineCount();
  state.counters["peak_rss_MiB"] = PeakRssMiB();
}
BENCHMARK(BM_TickOfTheShownWindowWithAFullList)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
