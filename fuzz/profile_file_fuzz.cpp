// Fuzz target: the profile-file layer. Arbitrary file text, then a few writes of keys whose
// names and values come from the input. After every write: a refused write (names that cannot
// read back) leaves the file byte-identical; an accepted one reads back its values, leaves every
// other section and key of the file reading as before, and the layer's own parse of the new file
// answers as a fresh parse of it does.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "device/profile_file.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "profile file fuzz: %s\n", what.c_str());
  std::abort();
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  a = Trim(a), b = Trim(b);
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// Names that may be sections or keys of the text: what stands between '[' and ']', and before
// '=' (a rough cut; the layer's own reads are the oracle).
void CollectNames(const std::string& text, std::vector<std::string>& sections,
                  std::vector<std::string>& keys) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::string_view content = Trim(line);
    if (content.starts_with('[') && sections.size() < 24) {
      sections.emplace_back(Trim(content.substr(1, content.find(']') - 1)));
    } else if (const auto equals = content.find('=');
               equals != std::string_view::npos && keys.size() < 32) {
      keys.emplace_back(Trim(content.substr(0, equals)));
    }
  }
}

// A name from a small alphabet, so that writes meet the file's own names and the characters the
// parser looks at.
std::string Name(FuzzedDataProvider& input, const std::vector<std::string>& known) {
  if (!known.empty() && input.ConsumeBool()) {
    return known[input.ConsumeIntegralInRange<std::size_t>(0, known.size() - 1)];
  }
  return input.ConsumeRandomLengthString(12);
}

// One directory for the process; scripts/fuzz.sh points TMPDIR at a directory in memory (a write
// flushes the file to the disk, which would bound the speed) and removes it afterwards.
const fs::path& Directory() {
  static const fs::path directory = [] {
    std::string pattern = (fs::temp_directory_path() / "qln-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Fail("no temporary directory");
    return fs::path(pattern);
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using qln::ProfileAssignment;
  FuzzedDataProvider input(data, size);
  const fs::path path = Directory() / "QLN.ini";
  const std::string original = input.ConsumeRandomLengthString(size);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << original;

  std::vector<std::string> sections{"A"};
  std::vector<std::string> keys{"k"};
  CollectNames(original, sections, keys);
  qln::ProfileFile file(path);

  for (int round = 0; round < 4 && input.remaining_bytes() > 0; ++round) {
    const auto before = qln::ProfileFile(path).Snapshot();
    const std::string bytesBefore = ReadAll(path);
    std::vector<std::string> texts;  // section, key, value of each assignment
    const int count = input.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < count; ++i) {
      texts.push_back(Name(input, sections));
      texts.push_back(Name(input, keys));
      texts.push_back(input.ConsumeRandomLengthString(80));
    }
    std::vector<ProfileAssignment> assignments;
    for (std::size_t i = 0; i < texts.size(); i += 3) {
      assignments.push_back({texts[i], texts[i + 1], texts[i + 2]});
    }
    const qln::Result<> written = file.Write(assignments);
    if (!written) {
      if (ReadAll(path) != bytesBefore) {
        Fail("a refused write changed the file: " + written.error());
      }
      continue;
    }
    for (const ProfileAssignment& a : assignments) {
      sections.emplace_back(Trim(a.section));
      keys.emplace_back(Trim(a.key));
    }
    const auto after = qln::ProfileFile(path).Snapshot();
    const auto cached = file.Snapshot();
    // Each assigned key reads its value back (the last assignment of a key wins).
    for (std::size_t i = 0; i < assignments.size(); ++i) {
      const ProfileAssignment& a = assignments[i];
      const bool overridden =
          std::any_of(assignments.begin() + static_cast<std::ptrdiff_t>(i) + 1, assignments.end(),
                      [&](const ProfileAssignment& b) {
                        return SameName(a.section, b.section) && SameName(a.key, b.key);
                      });
      const std::string expected(Trim(a.value.substr(0, a.value.find_first_of("\r\n"))));
      if (!overridden && after->ReadWhole(a.section, a.key) != expected) {
        Fail("a written key does not read back: [" + std::string(a.section) + "] " +
             std::string(a.key));
      }
    }
    // Every other name reads as before, and the layer's parse answers as a fresh one.
    for (const std::string& section : sections) {
      if (before->HasSection(section) && !after->HasSection(section)) Fail("section lost");
      if (cached->HasSection(section) != after->HasSection(section)) Fail("stale section index");
      for (const std::string& key : keys) {
        const std::string now = after->ReadWhole(section, key);
        if (cached->ReadWhole(section, key) != now) Fail("the layer's parse differs: " + key);
        const bool touched =
            std::any_of(assignments.begin(), assignments.end(), [&](const ProfileAssignment& a) {
              return SameName(a.section, section) && SameName(a.key, key);
            });
        if (!touched && before->ReadWhole(section, key) != now) {
          Fail("an untouched key changed: [" + section + "] " + key);
        }
      }
    }
  }
  return 0;
}
