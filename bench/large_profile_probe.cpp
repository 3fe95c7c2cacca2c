// Memory and write time of the profile-file layer on large files: a 10 MB file of 300,000 lines
// and a 1.8 MB file of 100,000 small sections. Each run generates the file in a temporary
// directory, parses it, reads a key of every section, then writes one key 20 times (each write
// followed by a read, as a command's write-back is followed by the next refresh).
//
// Targets: peak resident memory under 4 times the file size plus 16 MB; a write of one key
// (with the parse it needs) under 100 ms for the 10 MB file, in a Release build.
//
// Usage: large_profile_probe lines|sections   (one kind per run: the peak is per process)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "device/profile_file.h"

namespace {

namespace fs = std::filesystem;
using Milliseconds = std::chrono::duration<double, std::milli>;

struct Layout {
  int sections;
  int keysPerSection;
};

void SectionName(char* out, std::size_t room, const Layout& layout, int s) {
  if (layout.keysPerSection == 1) {
    std::snprintf(out, room, "Sect%06d", s);
  } else {
    std::snprintf(out, room, "HTDev%02d_Cmd%06d", s % 16, s);
  }
}

// "lines": 27,273 sections of 10 keys, about 10 MB and 300,000 lines.
// "sections": 100,000 sections of one key, about 1.8 MB.
std::string Generate(const Layout& layout) {
  std::string content = "; generated configuration\n";
  char line[96];
  for (int s = 0; s < layout.sections; ++s) {
    SectionName(line, sizeof line, layout, s);
    content.append("[").append(line).append("]\n");
    for (int k = 0; k < layout.keysPerSection; ++k) {
      if (layout.keysPerSection == 1) {
        std::snprintf(line, sizeof line, "V=%03d\n", s % 1000);
      } else {
        std::snprintf(line, sizeof line, "Parameter%02d=%010d.%06d%06d\n", k, s, k * 1111,
                      s % 1000);
      }
      content += line;
    }
  }
  return content;
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

long CurrentKilobytes() {
  long pages = 0;
  long resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view kind = argc > 1 ? argv[1] : "lines";
  const Layout layout = kind == "sections" ? Layout{100'000, 1} : Layout{27'273, 10};
  std::string pattern = (fs::temp_directory_path() / "qln-large-profile-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const fs::path dir = pattern;
  const fs::path path = dir / "QLN.ini";
  long long fileBytes = 0;
  {
    const std::string content = Generate(layout);
    fileBytes = static_cast<long long>(content.size());
    std::ofstream(path, std::ios::binary) << content;
  }
  const long baseline = CurrentKilobytes();

  qln::ProfileFile file(path);
  const auto parseStart = std::chrono::steady_clock::now();
  std::size_t found = 0;
  {
    const auto snapshot = file.Snapshot();
    char name[32];
    for (int s = 0; s < layout.sections; ++s) {
      SectionName(name, sizeof name, layout, s);
      const char* key = layout.keysPerSection == 1 ? "V" : "Parameter05";
      found += !snapshot->Read(name, key).empty();
    }
  }
  const Milliseconds parse = std::chrono::steady_clock::now() - parseStart;

  std::vector<double> writes;
  std::vector<double> writesAlone;
  char section[32];
  SectionName(section, sizeof section, layout, layout.sections / 2 + 7);
  const char* key = layout.keysPerSection == 1 ? "V" : "Parameter05";
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const qln::Result<> written = file.Write(section, key, std::to_string(i));
    writesAlone.push_back(Milliseconds(std::chrono::steady_clock::now() - start).count());
    const auto read = file.Snapshot()->Read(section, key);
    writes.push_back(Milliseconds(std::chrono::steady_clock::now() - start).count());
    if (!written || read != std::to_string(i)) {
      std::fprintf(stderr, "write %d failed: %s\n", i, written.error().c_str());
      return 1;
    }
  }
  std::sort(writes.begin(), writes.end());
  std::sort(writesAlone.begin(), writesAlone.end());
  const double mb = static_cast<double>(fileBytes) / (1024.0 * 1024.0);
  std::printf("file: %s, %.2f MB, %d sections, %zu keys read\n", std::string(kind).c_str(), mb,
              layout.sections, found);
  std::printf("first parse and one read per section: %.1f ms\n", parse.count());
  std::printf("write of one key: median %.1f ms, max %.1f ms\n", writesAlone[10],
              writesAlone.back());
  std::printf("write of one key + next read: median %.1f ms, max %.1f ms\n", writes[10],
              writes.back());
  std::printf("resident: peak %.1f MB, now %.1f MB, before the layer %.1f MB; target %.1f MB\n",
              PeakKilobytes() / 1024.0, CurrentKilobytes() / 1024.0, baseline / 1024.0,
              4 * mb + 16);
  fs::remove_all(dir);
  return 0;
}
