// The cost of a full reload of the example file (what the main window does every second with
// automatic refresh on, and at every port open) and of storing one device row.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <span>
#include <string>

#include "device/config_store.h"

namespace {

class QuietNotifier : public qln::Notifier {
 public:
  void Warning(const std::string&, const std::string&) override {}
  void Problem(const std::string&) override {}
};

// A copy of examples/QLN.ini in a directory of its own, removed afterwards.
class ExampleCopy {
 public:
  ExampleCopy() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qln-bench-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    std::filesystem::copy_file(std::filesystem::path(QLN_SOURCE_DIR) / "examples/QLN.ini",
                               dir_ / "QLN.ini");
  }
  ~ExampleCopy() { std::filesystem::remove_all(dir_); }
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

void BM_ReloadAllDevices(benchmark::State& state) {
  ExampleCopy copy;
  QuietNotifier notifier;
  const qln::SystemClock clock;
  qln::DeviceModel model;
  qln::ConfigStore store(notifier, clock, copy.Dir());
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.ReloadAll(model, qln::AllDevices));
  }
}
BENCHMARK(BM_ReloadAllDevices)->Unit(benchmark::kMicrosecond);

void BM_SaveRows(benchmark::State& state) {
  ExampleCopy copy;
  QuietNotifier notifier;
  const qln::SystemClock clock;
  qln::DeviceModel model;
  qln::ConfigStore store(notifier, clock, copy.Dir());
  store.ReloadAll(model, qln::AllDevices);
  qln::RowEntry row;
  row.Device = 3;
  row.LongAddress = "26051234";
  row.MfrIDv7 = "0026";
  row.Units[0] = row.Units[1] = 32;
  int i = 0;
  for (auto _ : state) {
    row.Values[0] = std::to_string(++i % 100) + ".25";
    std::lock_guard lock(model.Lock);
    benchmark::DoNotOptimize(store.SaveRows(model, std::span(&row, 1)));
  }
}
BENCHMARK(BM_SaveRows)->Unit(benchmark::kMicrosecond);

}  // namespace
