// The profile-file layer on a file the size of a full sixteen-device configuration: the cost of
// a full reload from an unchanged file (one snapshot per section, every key read) and of a
// single-key write.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/profile_file.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDevices = 16;
constexpr int kSectionsPerDevice = 13;
constexpr int kKeysPerSection = 11;

std::string SectionName(int device, int section) {
  return "HTDev_" + std::to_string(device) + "_Part" + std::to_string(section);
}
std::string KeyName(int key) { return "Parameter" + std::to_string(key); }

// About 2,300 keys and 45 KB, with the comments and blank lines a hand-kept file has.
std::string Content() {
  std::string content = "; Quillon device configuration\n\n";
  for (int device = 0; device < kDevices; ++device) {
    for (int section = 0; section < kSectionsPerDevice; ++section) {
      content.append("[").append(SectionName(device, section)).append("]\n");
      for (int key = 0; key < kKeysPerSection; ++key) {
        content += KeyName(key) + "=" + std::to_string(device * 1000 + key) + ".25\n";
      }
      content += "\n";
    }
  }
  return content;
}

// A temporary directory holding QLN.ini with the generated content; removed at the end.
class TemporaryProfile {
 public:
  TemporaryProfile() {
    std::string pattern = (fs::temp_directory_path() / "qln-profile-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    std::ofstream(dir_ / "QLN.ini", std::ios::binary) << Content();
  }
  ~TemporaryProfile() { fs::remove_all(dir_); }
  fs::path Path() const { return dir_ / "QLN.ini"; }

 private:
  fs::path dir_;
};

void BM_FullReloadFromUnchangedFile(benchmark::State& state) {
  TemporaryProfile profile;
  qln::ProfileFile file(profile.Path());
  std::vector<std::string> sections;
  for (int device = 0; device < kDevices; ++device) {
    for (int section = 0; section < kSectionsPerDevice; ++section) {
      sections.push_back(SectionName(device, section));
    }
  }
  std::vector<std::string> keys;
  for (int key = 0; key < kKeysPerSection; ++key) keys.push_back(KeyName(key));
  file.Snapshot();  // the first parse is not part of a reload of an unchanged file

  for (auto _ : state) {
    for (const std::string& section : sections) {
      const auto snapshot = file.Snapshot();
      for (const std::string& key : keys) benchmark::DoNotOptimize(snapshot->Read(section, key));
    }
  }
  state.counters["snapshots"] = static_cast<double>(sections.size());
  state.counters["reads"] = static_cast<double>(sections.size() * keys.size());
}
BENCHMARK(BM_FullReloadFromUnchangedFile)->Unit(benchmark::kMicrosecond);

void BM_ParseChangedFile(benchmark::State& state) {
  TemporaryProfile profile;
  for (auto _ : state) {
    qln::ProfileFile file(profile.Path());  // a fresh layer reads and parses the whole file
    benchmark::DoNotOptimize(file.Snapshot());
  }
}
BENCHMARK(BM_ParseChangedFile)->Unit(benchmark::kMicrosecond);

void BM_WriteOneKey(benchmark::State& state) {
  TemporaryProfile profile;
  qln::ProfileFile file(profile.Path());
  int counter = 0;
  for (auto _ : state) {
    const std::string value = std::to_string(++counter);
    if (!file.Write(SectionName(7, 6), KeyName(5), value)) {
      state.SkipWithError("write failed");
      break;
    }
  }
}
BENCHMARK(BM_WriteOneKey)->Unit(benchmark::kMicrosecond);

}  // namespace
