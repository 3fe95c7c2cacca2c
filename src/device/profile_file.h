// The profile-file (INI) layer under QLN.ini.
//
// It keeps the behaviour the configuration store relies on: section and key names match
// regardless of case, a missing file, section or key reads as an empty text, values are cut to
// 63 characters, and a write replaces one key's value (creating file, section and key as needed)
// while every other line stays as it was. Files with LF or CRLF line ends (and a UTF-8
// byte-order mark) are read; a rewrite keeps the file's own line-end style.
//
// Beyond that: a write never leaves a torn file (temporary file in the same directory, flushed,
// then renamed over the original), write failures are returned to the caller, and a parse is
// reused while the file on disk is unchanged (device, inode, size, modification time).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qln {

// Longest value text a read returns; longer values are cut to their first 63 characters.
inline constexpr std::size_t kMaxValueLength = 63;

struct ProfileAssignment;

// One parse of the file. Immutable once built, so it can be shared between threads.
class ProfileSnapshot {
 public:
  // The value of key in section, cut to kMaxValueLength characters; empty when the section or
  // the key is missing. Names match regardless of case; the first occurrence wins.
  std::string Read(std::string_view section, std::string_view key) const;
  // Same as Read, without the cut (for the rare reader that allows more room).
  std::string ReadWhole(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;

 private:
  friend class ProfileFile;
  struct Line {
    std::string text;      // the line as it stands in the file, without its line end
    std::string_view end;  // its line end as it stands: "\r\n", "\n", "\r" or "" (last line)
    std::string section;   // section header line: the section name (trimmed); otherwise empty
    std::string key;       // key line: the key (trimmed); otherwise empty
    std::string value;     // key line: the value (trimmed)
    bool isSection = false;
    bool isKey = false;
  };
  // Section and key names compare and hash regardless of ASCII case, and look up by
  // string_view without building a string.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const;
  };
  struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  template <typename T>
  using NameMap = std::unordered_map<std::string, T, NameHash, NameEqual>;
  struct SectionIndex {
    std::size_t headerLine = 0;   // index of the header line
    std::size_t lastKeyLine = 0;  // index of the section's last key line, or of its header
    NameMap<std::size_t> keys;    // key -> line index of its first occurrence
  };

  static Line MakeLine(std::string_view text, std::string_view end);
  void BuildIndex();
  // Sets one key, keeping the index in step. Returns what is wrong with the names, if anything.
  std::string Apply(const ProfileAssignment& assignment);
  void InsertLine(std::size_t position, std::string_view text);
  const std::string* Find(std::string_view section, std::string_view key) const;

  std::vector<Line> lines_;
  NameMap<SectionIndex> sections_;  // section -> its first occurrence
  std::string_view lineEnd_ = "\n";  // line end of lines added by a write
  bool bom_ = false;
};

// One key to set in a section.
struct ProfileAssignment {
  std::string_view section;
  std::string_view key;
  std::string_view value;
};

class ProfileFile {
 public:
  explicit ProfileFile(std::filesystem::path path);

  const std::filesystem::path& Path() const { return path_; }

  // The parse of the file as it is on disk now. A missing or unreadable file gives an empty
  // snapshot. The file is parsed again only when it changed since the last call.
  std::shared_ptr<const ProfileSnapshot> Snapshot();

  // A slow or busy disk, played by tests and benchmarks: called before every read of a changed
  // file and before every replacement of it. The programs never set it.
  enum class DiskOperation { Read, Write };
  void SetDiskHook(std::function<void(DiskOperation)> hook) { diskHook_ = std::move(hook); }

  // Sets the given keys in one atomic replacement of the file. Returns an empty text on success,
  // otherwise what went wrong (the file on disk is then left as it was).
  std::string Write(std::span<const ProfileAssignment> assignments);
  std::string Write(std::string_view section, std::string_view key, std::string_view value);

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    bool exists = false;
    bool operator==(const Identity&) const = default;
  };
  static Identity IdentityOf(const struct stat& st);
  static Identity Stat(const std::filesystem::path& path);
  static std::shared_ptr<ProfileSnapshot> Parse(std::string_view content);
  static std::string Serialize(const ProfileSnapshot& snapshot);
  // The current parse, read again when the file changed. Called with mutex_ held.
  std::shared_ptr<const ProfileSnapshot> Load();
  // Replaces the file by content through a temporary file; returns the failure, if any, and
  // otherwise the identity of the new file.
  std::string Replace(const std::string& content, Identity& written);
  std::string Failure(std::string_view reason) const;

  std::filesystem::path path_;
  std::function<void(DiskOperation)> diskHook_;
  std::mutex mutex_;  // guards the cache below; readers on several threads may share a store
  Identity cachedIdentity_;
  std::shared_ptr<const ProfileSnapshot> cached_;
};

}  // namespace qln
